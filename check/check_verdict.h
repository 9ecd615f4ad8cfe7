// SPDX-License-Identifier: GPL-2.0-or-later
// The verdict of one stream check and the pure decisions behind it: which addresses can be
// checked and how, what the first bytes of a reply are, and what a failure to open means.
#pragma once

#include <cstdint>
#include <string>

#include "check/check_picture.h"

enum class Verdict { kLive, kNoMedia, kError, kUnreachable, kUnsupported, kNoStream };
const int kVerdictCount = 6;
// "live", "no-media", "error", "unreachable", "unsupported", "no-stream".
const char* VerdictWord(Verdict verdict);

struct CheckResult {
  Verdict verdict = Verdict::kNoStream;
  std::string detail;   // the reason or status in words; for live media its summary
  std::string played;   // the address that played, after wrappers; empty unless live
  std::string format;   // container format
  std::string video;    // codec and picture size, e.g. "mpeg2video 320x240"
  std::string audio;    // codec
  int64_t bitrate = 0;  // bits per second, 0 when unknown
  double fps = 0;       // frames per second of the video, 0 when unknown
  int width = 0;        // picture width, 0 when unknown
  int height = 0;       // picture height, 0 when unknown
  int64_t elapsedMs = 0;
  Picture picture;  // of a live stream with video, when the check makes pictures
};

CheckResult Judged(Verdict verdict, const std::string& detail);

// How an address is opened: as a byte stream (http, https, mmsh, mmst, rtmp and its
// variants), as an RTSP session, as mms (MMS over HTTP, then over TCP), or not at all.
enum class StreamScheme { kNone, kByteStream, kRtsp, kMms, kUnsupported };
StreamScheme SchemeOf(const std::string& address);
// The host name of address in lower case, without user, port or path; "" when none.
std::string HostOf(const std::string& address);
// address with its scheme replaced, e.g. "mms://h/x" -> "mmsh://h/x".
std::string WithScheme(const std::string& address, const std::string& scheme);

// What a reply holds, judged from its first bytes, its media type and its address.
// An HLS playlist counts as media: the media library plays it.
enum class ContentKind { kEmpty, kHtml, kAsx, kM3u, kPls, kMedia };
ContentKind SniffContent(const std::string& head, const std::string& mimeType,
                         const std::string& address);
bool IsWrapper(ContentKind kind);

// The verdict for a failure to open or probe, from the media library's error code, the
// status line the server sent when one was seen (e.g. "HTTP 404 Not Found"), the protocol
// word for statuses without a line ("HTTP", "RTSP"), and whether the time-out ran out.
CheckResult OpenFailure(int error, const std::string& statusLine, const std::string& protocol,
                        bool timedOut, int timeoutSeconds);

// The container formats that carry broadcast streams, by the media library's demuxer names;
// no other format is opened.
extern const char kStreamFormats[];
// True when one of a demuxer's names (e.g. "mov,mp4,m4a,3gp,3g2,mj2") is a stream format.
bool IsStreamFormat(const std::string& names);
// The no-media verdict for a reply of another format, e.g. "png_pipe (piped png sequence)".
CheckResult NotStreamFormat(const std::string& names, const std::string& longName);

// What the media library found in a stream that opened.
struct MediaFound {
  std::string format;
  std::string video;
  std::string audio;
  int64_t bitrate = 0;
  int64_t packets = 0;        // packets of an audio or video stream read
  bool frameDecoded = false;  // a frame of audio or video decoded from them
  std::string silence;        // why none did, e.g. "within 10 s"
  double fps = 0;
  int width = 0;
  int height = 0;
};
// Live when a video or audio codec was recognised and a frame of it decoded, else no-media.
CheckResult MediaResult(const MediaFound& media);

// The status the media library's log line reports, in the check's words: "HTTP 404 Not
// Found", "RTSP 454 Session Not Found", "RTMP stream not found", "host not found"; "" for any
// other line.
std::string StatusFromLibraryLog(const std::string& logLine);

// The demuxer a reply's media type names ("audio/mpeg; charset=x" -> "mp3"), or "" when the
// type names no stream format.
std::string FormatOfMimeType(const std::string& mimeType);
// The scheme of a redirect's target when the check does not follow it there ("file"), else "".
std::string ForeignRedirectScheme(const std::string& location);
// Bits per second of bytes over seconds of timestamps; 0 when the span is under a second.
int64_t MeasuredBitrate(int64_t bytes, double seconds);

// The quality label of a picture by its smaller side, so that portrait video is judged as
// players judge it and a 16x16384 picture is no 4K: "SD", "HD" (720), "FHD" (1080), "4K"
// (2160); "" when the height is unknown. A width of 0 (unknown) leaves the height alone.
std::string QualityOfPicture(int width, int height);
// The quality label a channel's name claims ("Eins HD", "x 1080i", "UHD"), or "".
std::string QualityInName(const std::string& name);
// HTTP statuses that tell the user more than their words: 401 needs credentials; 403 and 451
// are what servers answer outside the region they serve, and 403 also what they answer a
// request without the agent or referrer they want.
std::string StatusNote(const std::string& statusDetail);
// For a 403, what the request sent, to add to its verdict: ` (sent agent "A", no referrer)`;
// "" for any other status.
std::string RequestSentNote(const std::string& statusDetail, const std::string& userAgent,
                            const std::string& referrer);
