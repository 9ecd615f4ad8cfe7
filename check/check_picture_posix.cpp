// SPDX-License-Identifier: GPL-2.0-or-later
// The picture of a live stream with FFmpeg: libswscale makes the decoded frame small, the
// mjpeg encoder makes it a JPEG, its hash is a coarse grid of its brightness. The
// Windows build's FFmpeg has neither, and takes check_picture_win.cpp instead.
#include "check/check_picture.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

namespace {

// Frames above the probe's decoder bound are not scaled (4096 x 2304).
const int64_t kMaxFramePixels = 4096 * 2304;
// However narrow a frame claims its pixels are, its picture is at most this tall.
const int kPictureMaxHeight = 320;
// Black: at most one pixel in kBrightShare is brighter than kBlackLuma (full range, of 255),
// so that a black screen with noise or a tiny logo is black and a dark scene is not.
const int kBlackLuma = 32;
const int kBrightShare = 200;
// The hash: whether each cell of a grid is brighter than the whole picture (an average hash),
// so that a still card that a live encoder compresses again at each key frame hashes the same.
const int kHashColumns = 16;
const int kHashRows = 9;
const char kHexDigits[] = "0123456789abcdef";
// The mjpeg encoder's quantiser, tried in turn until the JPEG fits kPictureMaxBytes.
const int kJpegQualities[] = {4, 10, 31};
// Full-range 4:2:0, as JPEG has it.
const AVPixelFormat kPictureFormat = AV_PIX_FMT_YUV420P;

struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct ScalerFree {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};
struct EncoderFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;

int Even(double size) { return std::max(2, static_cast<int>(size / 2) * 2); }

// The picture's size: the frame's display width (its pixels' aspect applied) up to
// kPictureMaxWidth, the height in proportion.
void PictureSize(const AVFrame& frame, int& width, int& height) {
  double displayWidth = frame.width;
  const AVRational aspect = frame.sample_aspect_ratio;
  if (aspect.num > 0 && aspect.den > 0) displayWidth = frame.width * av_q2d(aspect);
  width = Even(std::min<double>(kPictureMaxWidth, displayWidth));
  height = std::min(kPictureMaxHeight, Even(width * frame.height / displayWidth));
}

FramePtr Scaled(const AVFrame& frame) {
  int width = 0;
  int height = 0;
  PictureSize(frame, width, height);
  std::unique_ptr<SwsContext, ScalerFree> scaler(
      sws_getContext(frame.width, frame.height, static_cast<AVPixelFormat>(frame.format), width,
                     height, kPictureFormat, SWS_AREA, nullptr, nullptr, nullptr));
  FramePtr small(av_frame_alloc());
  if (!scaler || !small) return nullptr;
  const int* coefficients = sws_getCoefficients(SWS_CS_DEFAULT);
  const int sourceFullRange = frame.color_range == AVCOL_RANGE_JPEG ? 1 : 0;
  sws_setColorspaceDetails(scaler.get(), coefficients, sourceFullRange, coefficients, 1, 0, 1 << 16,
                           1 << 16);
  small->width = width;
  small->height = height;
  small->format = kPictureFormat;
  small->color_range = AVCOL_RANGE_JPEG;
  if (av_frame_get_buffer(small.get(), 0) < 0) return nullptr;
  const int rows = sws_scale(scaler.get(), frame.data, frame.linesize, 0, frame.height, small->data,
                             small->linesize);
  return rows == height ? std::move(small) : nullptr;
}

bool IsBlack(const AVFrame& small) {
  int64_t bright = 0;
  for (int y = 0; y < small.height; ++y) {
    const uint8_t* row = small.data[0] + static_cast<ptrdiff_t>(y) * small.linesize[0];
    bright += std::count_if(row, row + small.width, [](uint8_t v) { return v > kBlackLuma; });
  }
  return bright * kBrightShare <= static_cast<int64_t>(small.width) * small.height;
}

// The grid's bits as hex, 4 cells a digit.
std::string BrightnessHash(const AVFrame& small) {
  std::vector<int64_t> sums(kHashColumns * kHashRows);
  std::vector<int64_t> counts(sums.size());
  int64_t total = 0;
  for (int y = 0; y < small.height; ++y) {
    const uint8_t* row = small.data[0] + static_cast<ptrdiff_t>(y) * small.linesize[0];
    const int cellRow = y * kHashRows / small.height;
    for (int x = 0; x < small.width; ++x) {
      const int cell = cellRow * kHashColumns + x * kHashColumns / small.width;
      sums[cell] += row[x];
      counts[cell] += 1;
      total += row[x];
    }
  }
  const int64_t pixels = static_cast<int64_t>(small.width) * small.height;
  std::string hex;
  for (size_t i = 0; i < sums.size(); i += 4) {
    int digit = 0;
    for (size_t bit = i; bit < i + 4; ++bit) {
      digit = digit * 2 + (sums[bit] * pixels > total * counts[bit] ? 1 : 0);
    }
    hex += kHexDigits[digit];
  }
  return hex;
}

std::string Jpeg(AVFrame& small, int quality) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
  std::unique_ptr<AVCodecContext, EncoderFree> encoder(avcodec_alloc_context3(codec));
  std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
  if (!codec || !encoder || !packet) return "";
  encoder->width = small.width;
  encoder->height = small.height;
  encoder->pix_fmt = kPictureFormat;
  encoder->color_range = AVCOL_RANGE_JPEG;
  encoder->time_base = AVRational{1, 25};
  encoder->flags |= AV_CODEC_FLAG_QSCALE;
  encoder->global_quality = quality * FF_QP2LAMBDA;
  if (avcodec_open2(encoder.get(), codec, nullptr) < 0) return "";
  small.quality = encoder->global_quality;
  small.pts = 0;
  if (avcodec_send_frame(encoder.get(), &small) < 0) return "";
  if (avcodec_receive_packet(encoder.get(), packet.get()) < 0) return "";
  return std::string(reinterpret_cast<const char*>(packet->data), packet->size);
}

}  // namespace

bool PicturesAvailable() { return true; }

Picture PictureOfFrame(const AVFrame& frame) {
  Picture picture;
  if (frame.width <= 0 || frame.height <= 0 || frame.format < 0 ||
      static_cast<int64_t>(frame.width) * frame.height > kMaxFramePixels) {
    return picture;
  }
  FramePtr small = Scaled(frame);
  if (!small) return picture;
  for (const int quality : kJpegQualities) {
    std::string jpeg = Jpeg(*small, quality);
    if (!jpeg.empty() && jpeg.size() <= kPictureMaxBytes) {
      picture.jpeg = std::move(jpeg);
      break;
    }
  }
  if (picture.jpeg.empty()) return picture;
  picture.black = IsBlack(*small);
  picture.hash = BrightnessHash(*small);
  return picture;
}
