// SPDX-License-Identifier: GPL-2.0-or-later
// The pure decisions of the stream check: schemes and hosts, sniffing reply heads, the
// meaning of library errors and log lines, and the media summary.
#include "check/check_verdict.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/error.h>
}

namespace {

TEST(CheckVerdictTest, SchemesAndHostsDecideHowAnAddressIsOpened) {
  struct Case {
    const char* address;
    StreamScheme scheme;
    const char* host;
  };
  const Case cases[] = {
      {"", StreamScheme::kNone, ""},
      {"   ", StreamScheme::kNone, ""},
      {"HTTP://User:pw@Stream.Example:8080/a?b#c", StreamScheme::kByteStream, "stream.example"},
      {"https://[::1]:443/x", StreamScheme::kByteStream, "[::1]"},
      {"mmsh://h/x", StreamScheme::kByteStream, "h"},
      {"rtmp://h/app/x", StreamScheme::kByteStream, "h"},
      {"rtsp://h:554/x", StreamScheme::kRtsp, "h"},
      {"mms://h/x", StreamScheme::kMms, "h"},
      {"ftp://h/x", StreamScheme::kUnsupported, "h"},
      {"file:///etc/passwd", StreamScheme::kUnsupported, ""},
      {"http://", StreamScheme::kUnsupported, ""},
      {"www.example.tv/live", StreamScheme::kUnsupported, ""},
      {"subfile,,0,1,:http://h/x", StreamScheme::kUnsupported, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SchemeOf(c.address), c.scheme) << c.address;
    EXPECT_EQ(HostOf(c.address), c.host) << c.address;
  }
  EXPECT_EQ(WithScheme("mms://h/x", "mmsh"), "mmsh://h/x");
}

TEST(CheckVerdictTest, SniffingTellsWrappersPagesAndMediaApart) {
  struct Case {
    std::string head;
    const char* mime;
    const char* address;
    ContentKind kind;
  };
  const Case cases[] = {
      {"", "", "http://h/a", ContentKind::kEmpty},
      {" \r\n", "", "http://h/a", ContentKind::kEmpty},
      {"\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<ASX version=\"3\">", "", "http://h/a",
       ContentKind::kAsx},
      {"<Asx><Entry><Ref href=\"x\"/>", "video/x-ms-asf", "http://h/a", ContentKind::kAsx},
      {"[Reference]\r\nRef1=http://h/x\r\n", "", "http://h/a.asx", ContentKind::kPls},
      {"[playlist]\nFile1=http://h/x\n", "audio/x-scpls", "http://h/a", ContentKind::kPls},
      {"#EXTM3U\n#EXTINF:-1,x\nhttp://h/x\n", "", "http://h/a", ContentKind::kM3u},
      {"#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:6\n", "", "http://h/a.m3u8",
       ContentKind::kMedia},
      {"http://h/x\r\nhttp://h/y\r\n", "text/plain", "http://h/a", ContentKind::kM3u},
      {"x.mp3\n", "", "http://h/a.M3U?x=1", ContentKind::kM3u},
      {"File1=x.mp3\n", "", "http://h/a.pls", ContentKind::kPls},
      {"<!DOCTYPE html><html>", "", "http://h/a.ts", ContentKind::kHtml},
      {"Not found", "text/html; charset=utf-8", "http://h/a", ContentKind::kHtml},
      {std::string("G\x40\x00\x10", 4), "", "http://h/a.m3u", ContentKind::kMedia},
      // The body decides before the reply's type: MPEG-TS served as an HTML page is media.
      {std::string("G\x40\x00\x10", 4), "text/html", "http://h/a.htm", ContentKind::kMedia},
      {"ID3\x03", "audio/mpeg", "http://h/a", ContentKind::kMedia},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SniffContent(c.head, c.mime, c.address), c.kind) << c.head;
  }
}

TEST(CheckVerdictTest, LibraryFailuresBecomeVerdictsWithTheirReason) {
  struct Case {
    int error;
    const char* statusLine;
    const char* protocol;
    bool timedOut;
    Verdict verdict;
    const char* detail;
  };
  const Case cases[] = {
      {AVERROR_EXIT, "", "HTTP", true, Verdict::kUnreachable, "no answer within 7 s"},
      {AVERROR_HTTP_NOT_FOUND, "HTTP 404 Gone Fishing", "HTTP", false, Verdict::kError,
       "HTTP 404 Gone Fishing"},
      {AVERROR_HTTP_SERVER_ERROR, "", "HTTP", false, Verdict::kError, "HTTP 5xx server error"},
      {AVERROR_HTTP_NOT_FOUND, "", "RTSP", false, Verdict::kError, "RTSP 404 Not Found"},
      {AVERROR_INVALIDDATA, "RTSP 454 Session Not Found", "RTSP", false, Verdict::kNoMedia,
       "no media recognised"},
      {AVERROR(EIO), "RTSP 461 Unsupported Transport", "RTSP", false, Verdict::kError,
       "RTSP 461 Unsupported Transport"},
      {AVERROR(EIO), "host not found", "HTTP", false, Verdict::kUnreachable, "host not found"},
      {AVERROR(ECONNREFUSED), "", "HTTP", false, Verdict::kUnreachable, "connection refused"},
      {AVERROR_EXIT, "", "HTTP", false, Verdict::kUnreachable, "stopped"},
      {AVERROR_EOF, "", "HTTP", false, Verdict::kNoMedia, "empty body"},
      {AVERROR_HTTP_FORBIDDEN, "", "HTTP", false, Verdict::kError,
       "HTTP 403 Forbidden: may be blocked in this region, or the server wants a player's agent or "
       "referrer"},
      {AVERROR_HTTP_OTHER_4XX, "HTTP 451 Unavailable For Legal Reasons", "HTTP", false,
       Verdict::kError, "HTTP 451 Unavailable For Legal Reasons: may be blocked in this region"},
      {AVERROR_HTTP_UNAUTHORIZED, "", "HTTP", false, Verdict::kError,
       "HTTP 401 Unauthorized: needs credentials"},
      {AVERROR_PROTOCOL_NOT_FOUND, "", "HTTP", false, Verdict::kUnsupported,
       "protocol not available"},
  };
  for (const Case& c : cases) {
    CheckResult result = OpenFailure(c.error, c.statusLine, c.protocol, c.timedOut, 7);
    EXPECT_EQ(result.verdict, c.verdict) << c.detail;
    EXPECT_EQ(result.detail, c.detail);
  }
}

TEST(CheckVerdictTest, StatusLinesComeFromTheLibraryLog) {
  const std::pair<const char*, const char*> cases[] = {
      {"[http @ 0x55d1] HTTP error 503 Service Unavailable\n", "HTTP 503 Service Unavailable"},
      {"[rtsp @ 0x55d1] method DESCRIBE failed: 404 Not Found\n", "RTSP 404 Not Found"},
      {"[rtsp @ 0x55d1] method SETUP failed: 461\n", "RTSP 461"},
      {"[tcp @ 0x55d1] Failed to resolve hostname nowhere.invalid: Name or service not known\n",
       "host not found"},
      {"[mpegts @ 0x55d1] probed stream 0 failed\n", ""},
      {"[rtmp @ 0x1] Server error: No such stream\n", "RTMP stream not found"},
      {"[rtmp @ 0x1] Server error: Play denied\n", "RTMP Play denied"},
  };
  for (const auto& c : cases) EXPECT_EQ(StatusFromLibraryLog(c.first), c.second) << c.first;
}

TEST(CheckVerdictTest, MediaIsLiveOnlyWhenAFrameOfARecognisedCodecDecoded) {
  struct Case {
    MediaFound media;
    Verdict verdict;
    const char* detail;
  };
  const Case cases[] = {
      {{"mpegts", "h264 320x240", "aac", 640000, 9, true, "", 0, 0},
       Verdict::kLive,
       "mpegts, h264 320x240, aac, 640 kb/s"},
      {{"mp3", "", "mp3", 0, 1, true, "", 0, 0}, Verdict::kLive, "mp3, mp3"},
      {{"rtsp", "", "pcm_mulaw", 64000, 0, false, "within 3 s", 0, 0},
       Verdict::kNoMedia,
       "rtsp, pcm_mulaw: no media packet within 3 s"},
      {{"mpegts", "mpeg2video", "", 0, 40, false, "before the stream ended", 0, 0},
       Verdict::kNoMedia,
       "mpegts, mpeg2video: no frame decoded before the stream ended"},
      {{"data", "", "", 0, 1, true, "", 0, 0},
       Verdict::kNoMedia,
       "no audio or video recognised in data"},
  };
  for (const Case& c : cases) {
    CheckResult result = MediaResult(c.media);
    EXPECT_EQ(result.verdict, c.verdict) << c.detail;
    EXPECT_EQ(result.detail, c.detail);
    EXPECT_EQ(result.format.empty(), c.verdict != Verdict::kLive) << c.detail;
  }
}

TEST(CheckVerdictTest, OnlyStreamFormatsAreOpened) {
  const std::pair<const char*, bool> cases[] = {
      {"mpegts", true},        {"mov,mp4,m4a,3gp,3g2,mj2", true},
      {"matroska,webm", true}, {"hls", true},
      {"rtsp", true},          {"png_pipe", false},
      {"srt", false},          {"sdp", false},
      {"mpegtsraw", false},    {"", false},
      {"image2,mp3x", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsStreamFormat(c.first), c.second) << c.first;
  EXPECT_EQ(NotStreamFormat("png_pipe", "piped png sequence").detail,
            "png_pipe (piped png sequence), not a stream format");
}

TEST(CheckVerdictTest, ReplyTypesNameTheirFormatAndRedirectsLeaveTheWeb) {
  const std::pair<const char*, const char*> types[] = {
      {"audio/mpeg", "mp3"},      {"Audio/AACP; charset=x", "aac"},
      {"video/MP2T", "mpegts"},   {"application/vnd.apple.mpegurl", "hls"},
      {"audio/x-mpegurl", "hls"}, {"video/mp4", ""},
      {"text/html", ""},          {"", ""}};
  for (const auto& c : types) EXPECT_EQ(FormatOfMimeType(c.first), c.second) << c.first;
  const std::pair<const char*, const char*> locations[] = {{"file:///etc/passwd", "file"},
                                                           {"FTP://h/x", "ftp"},
                                                           {"https://h/x", ""},
                                                           {"HTTP://h/x", ""},
                                                           {"/new/list.m3u", ""},
                                                           {"a/b:c", ""},
                                                           {"", ""}};
  for (const auto& c : locations) EXPECT_EQ(ForeignRedirectScheme(c.first), c.second) << c.first;
  const std::pair<std::pair<int64_t, double>, int64_t> rates[] = {
      {{250000, 1.0}, 2000000}, {{250000, 2.0}, 1000000}, {{250000, 0.96}, 0}, {{0, -1.0}, 0}};
  for (const auto& c : rates) EXPECT_EQ(MeasuredBitrate(c.first.first, c.first.second), c.second);
}

TEST(CheckVerdictTest, QualityLabelsComeFromTheSmallerSideAndName) {
  struct Size {
    int width;
    int height;
    const char* label;
  };
  const Size sizes[] = {{0, 0, ""},         {0, 240, "SD"},      {720, 576, "SD"},
                        {1280, 720, "HD"},  {0, 1080, "FHD"},    {1920, 1088, "FHD"},
                        {3840, 2160, "4K"}, {1080, 1920, "FHD"}, {720, 1280, "HD"},
                        {1, 2000, "SD"},    {16, 16384, "SD"},   {16384, 16, "SD"}};
  for (const Size& c : sizes) {
    EXPECT_EQ(QualityOfPicture(c.width, c.height), c.label) << c.width << "x" << c.height;
  }
  const std::pair<const char*, const char*> names[] = {{"Das Erste HD", "HD"},
                                                       {"Sport 1080i", "FHD"},
                                                       {"Kino (Full HD)", "FHD"},
                                                       {"Nature UHD", "4K"},
                                                       {"x-4K", "4K"},
                                                       {"Arte 720p", "HD"},
                                                       {"News SD", "SD"},
                                                       {"HDMI Shop", ""},
                                                       {"Channel 5", ""},
                                                       {"", ""}};
  for (const auto& c : names) EXPECT_EQ(QualityInName(c.first), c.second) << c.first;
}

TEST(CheckVerdictTest, AForbiddenStreamNamesTheAgentAndReferrerSent) {
  EXPECT_EQ(RequestSentNote("HTTP 403 Forbidden: x", "Lavf/59.27.100", ""),
            " (sent agent \"Lavf/59.27.100\", no referrer)");
  EXPECT_EQ(RequestSentNote("HTTP 403", "P", "http://r/"),
            " (sent agent \"P\", referrer \"http://r/\")");
  EXPECT_EQ(RequestSentNote("HTTP 404 Not Found", "P", "http://r/"), "");
}

}  // namespace
