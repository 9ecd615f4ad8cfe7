// SPDX-License-Identifier: GPL-2.0-or-later
// The picture of a decoded frame: its size, the black mark, and the hash that tells the same
// still picture again. Frames are made with ffmpeg's generated sources.
#include "check/check_picture.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
}

#include <cstdlib>
#include <memory>

#include "tests/temp_folder.h"

namespace {

struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;

class CheckPictureTest : public TempFolderTest {
 protected:
  // One yuv420p frame of width x height that ffmpeg makes from input (its arguments).
  FramePtr Frame(const std::string& input, int width, int height) {
    const std::string raw = PathOf("frame.yuv");
    const std::string command = "ffmpeg -loglevel error -y " + input + " -frames:v 1 -s " +
                                std::to_string(width) + "x" + std::to_string(height) +
                                " -f rawvideo -pix_fmt yuv420p " + raw;
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    bytes_ = ReadBytes(raw);
    FramePtr frame(av_frame_alloc());
    frame->width = width;
    frame->height = height;
    frame->format = AV_PIX_FMT_YUV420P;
    av_image_fill_arrays(frame->data, frame->linesize,
                         reinterpret_cast<const uint8_t*>(bytes_.data()), AV_PIX_FMT_YUV420P, width,
                         height, 1);
    EXPECT_EQ(bytes_.size(), static_cast<size_t>(width * height * 3 / 2)) << input;
    return frame;
  }
  std::string bytes_;
};

// Width and height from the JPEG's start-of-frame segment.
std::pair<int, int> JpegSize(const std::string& jpeg) {
  const size_t sof = jpeg.find("\xFF\xC0");
  if (sof == std::string::npos || sof + 9 > jpeg.size()) return {0, 0};
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(jpeg[sof + i]); };
  return {byte(7) << 8 | byte(8), byte(5) << 8 | byte(6)};
}

TEST_F(CheckPictureTest, FramesBecomeSmallJpegsMarkedBlackOnlyWhenNothingShows) {
  struct Case {
    const char* source;
    int width, height;
    AVRational aspect;
    bool black;
    int pictureWidth, pictureHeight;
  };
  const Case cases[] = {
      {"color=black", 640, 360, {0, 1}, true, 320, 180},
      {"color=0x141414", 1280, 720, {1, 1}, true, 320, 180},  // near black
      {"color=0x303030", 640, 360, {0, 1}, false, 320, 180},  // a dark scene
      {"testsrc", 640, 480, {0, 1}, false, 320, 240},
      {"smptebars", 160, 120, {0, 1}, false, 160, 120},    // never made larger
      {"smptebars", 720, 576, {64, 45}, false, 320, 180},  // anamorphic 16:9
      {"smptebars", 4096, 16, {1, 1}, false, 320, 2},      // a sliver
      {"smptebars", 16, 2048, {1, 1}, false, 16, 320},     // a needle
  };
  for (const Case& c : cases) {
    FramePtr frame = Frame("-f lavfi -i " + std::string(c.source), c.width, c.height);
    frame->sample_aspect_ratio = c.aspect;
    const Picture picture = PictureOfFrame(*frame);
    ASSERT_FALSE(picture.jpeg.empty()) << c.source;
    EXPECT_LE(picture.jpeg.size(), kPictureMaxBytes);
    EXPECT_EQ(picture.jpeg.compare(0, 2, "\xFF\xD8"), 0);
    EXPECT_EQ(JpegSize(picture.jpeg), std::make_pair(c.pictureWidth, c.pictureHeight)) << c.source;
    EXPECT_EQ(picture.black, c.black) << c.source;
  }
  // Hostile sizes are refused before any scaling.
  for (const auto& [width, height] : {std::pair{0, 480}, {640, -1}, {4097, 2304}, {65536, 65536}}) {
    FramePtr frame(av_frame_alloc());
    frame->width = width;
    frame->height = height;
    frame->format = AV_PIX_FMT_YUV420P;
    EXPECT_TRUE(PictureOfFrame(*frame).jpeg.empty()) << width << "x" << height;
  }
}

TEST_F(CheckPictureTest, HashTellsTheSameStillPictureAgainAndAnotherApart) {
  const std::string card = PathOf("card.jpg");
  ASSERT_EQ(std::system(("ffmpeg -loglevel error -y -f lavfi -i smptebars=size=1280x720 "
                         "-frames:v 1 -q:v 12 " +
                         card)
                            .c_str()),
            0);
  const std::string bars = PictureOfFrame(*Frame("-f lavfi -i smptebars", 1280, 720)).hash;
  const std::string again = PictureOfFrame(*Frame("-i " + card, 1280, 720)).hash;
  const std::string smaller = PictureOfFrame(*Frame("-f lavfi -i smptebars", 640, 360)).hash;
  const std::string test0 = PictureOfFrame(*Frame("-f lavfi -i testsrc", 1280, 720)).hash;
  const std::string test2 = PictureOfFrame(*Frame("-f lavfi -i testsrc -ss 2", 1280, 720)).hash;
  EXPECT_EQ(bars.size(), 36u);
  EXPECT_EQ(again, bars) << "the card compressed again";
  EXPECT_EQ(smaller, bars) << "the card at another size";
  EXPECT_NE(test0, bars);
  EXPECT_NE(test2, test0) << "a moving picture two seconds later";
}

}  // namespace
