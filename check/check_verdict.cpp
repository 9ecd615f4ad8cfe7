// SPDX-License-Identifier: GPL-2.0-or-later
// Verdict words and the decisions of a stream check that need no network: schemes, sniffing
// of reply heads, and the meaning of the media library's error codes.
#include "check/check_verdict.h"

#include <algorithm>
#include <cerrno>
#include <vector>

extern "C" {
#include <libavutil/error.h>
}

#include "text/text.h"

namespace {

const char* const kVerdictWords[kVerdictCount] = {"live",        "no-media",    "error",
                                                  "unreachable", "unsupported", "no-stream"};
const char kSchemeEnd[] = "://";
const char* const kByteStreamSchemes[] = {"http",  "https", "mmsh",  "mmst",   "rtmp",
                                          "rtmps", "rtmpt", "rtmpe", "rtmpte", "rtmpts"};
const char kRtspScheme[] = "rtsp";
const char kMmsScheme[] = "mms";
// Wrapper playlists are small; anything that starts like one within this many bytes is read
// as one.
const int kSniffBytes = 1024;
// What the media library logs for a refused request or an unknown host.
const char kHttpErrorLog[] = "HTTP error ";
const char kRtspMethodLog[] = "method ";
const char kRtspFailureLog[] = " failed: ";
const char kResolveFailureLog[] = "Failed to resolve hostname";
const char kRtmpServerErrorLog[] = "Server error: ";
const char* const kRtmpNotFoundWords[] = {"no such stream", "not found"};
const char* const kAnsweredProtocols[] = {"HTTP", "RTSP", "RTMP"};
// The media types that name a stream format, and its demuxer.
struct MimeFormat {
  const char* mimeType;
  const char* format;
};
const MimeFormat kMimeFormats[] = {{"audio/mpeg", "mp3"},
                                   {"audio/mp3", "mp3"},
                                   {"audio/aac", "aac"},
                                   {"audio/aacp", "aac"},
                                   {"audio/x-aac", "aac"},
                                   {"video/mp2t", "mpegts"},
                                   {"application/vnd.apple.mpegurl", "hls"},
                                   {"application/x-mpegurl", "hls"},
                                   {"audio/mpegurl", "hls"},
                                   {"audio/x-mpegurl", "hls"}};
const char* const kFollowedSchemes[] = {"http", "https"};
const double kLeastRateSeconds = 1.0;
const char kRegionNote[] = ": may be blocked in this region";
// A 403 comes as often from a server that wants a player's agent or its page as the referrer.
const char kForbiddenNote[] =
    ": may be blocked in this region, or the server wants a player's agent or referrer";
const char kForbiddenStatus[] = "HTTP 403";
const char kCredentialsNote[] = ": needs credentials";
struct StatusNoteEntry {
  const char* status;
  const char* note;
};
const StatusNoteEntry kStatusNotes[] = {
    {"HTTP 401", kCredentialsNote}, {kForbiddenStatus, kForbiddenNote}, {"HTTP 451", kRegionNote}};
// The least picture height of each label, best first.
struct QualityStep {
  int leastHeight;
  const char* label;
};
const QualityStep kQualitySteps[] = {{1800, "4K"}, {1000, "FHD"}, {700, "HD"}, {1, "SD"}};
// The words of a name that claim a label, as the name's lower-case alphanumeric runs.
struct NamedQuality {
  const char* word;
  const char* label;
};
const NamedQuality kNamedQualities[] = {
    {"4k", "4K"},      {"uhd", "4K"},    {"2160p", "4K"},  {"uhdtv", "4K"}, {"fhd", "FHD"},
    {"fullhd", "FHD"}, {"1080p", "FHD"}, {"1080i", "FHD"}, {"1080", "FHD"}, {"hd", "HD"},
    {"720p", "HD"},    {"720", "HD"},    {"hdtv", "HD"},   {"sd", "SD"},    {"576p", "SD"},
    {"576i", "SD"},    {"480p", "SD"},   {"480i", "SD"},   {"sdtv", "SD"}};
const char kFormatNameEnd = ',';

}  // namespace

// MPEG-TS, MPEG-PS, FLV, ASF/WMV, MP4/MOV, Matroska/WebM, Ogg, MP3, AAC (ADTS and LATM), HLS,
// an RTSP session, and NSV and RealMedia, which the players of internet TV open too.
const char kStreamFormats[] =
    "mpegts,mpeg,flv,live_flv,asf,mov,matroska,ogg,mp3,aac,loas,hls,rtsp,nsv,rm";

namespace {

// The names of a comma-separated list.
std::vector<std::string> NameList(const std::string& names) {
  std::vector<std::string> list;
  size_t start = 0;
  while (start <= names.size()) {
    const size_t end = std::min(names.find(kFormatNameEnd, start), names.size());
    if (end > start) list.push_back(names.substr(start, end - start));
    start = end + 1;
  }
  return list;
}

bool IsSchemeByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// The scheme in lower case, or "" when address does not start with "scheme://".
std::string SchemeText(const std::string& address) {
  const size_t end = address.find(kSchemeEnd);
  if (end == std::string::npos || end == 0) return std::string();
  std::string scheme = ToLowerCase(address.substr(0, end));
  for (char c : scheme) {
    if (!IsSchemeByte(c)) return std::string();
  }
  return scheme;
}

// The text with leading white space, a UTF-8 byte-order mark and letter case removed.
std::string Normalised(const std::string& head) {
  std::string text = LeftPart(head, kSniffBytes);
  if (StartsWith(text, "\xEF\xBB\xBF")) text = text.substr(3);
  const size_t first = text.find_first_not_of(" \t\r\n");
  return first == std::string::npos ? std::string() : ToLowerCase(text.substr(first));
}

bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The address's path in lower case, without query or fragment.
std::string PathOf(const std::string& address) {
  return ToLowerCase(address.substr(0, address.find_first_of("?#")));
}

// True when the first line is an address this check can open.
bool LooksLikeAddressList(const std::string& text) {
  const StreamScheme scheme = SchemeOf(text.substr(0, text.find_first_of("\r\n")));
  return scheme != StreamScheme::kNone && scheme != StreamScheme::kUnsupported;
}

bool HasBinaryBytes(const std::string& text) {
  for (char c : text) {
    const unsigned char b = static_cast<unsigned char>(c);
    if (b < 9 || (b > 13 && b < 32)) return true;
  }
  return false;
}

std::string HttpStatusWords(int error) {
  switch (error) {
    case AVERROR_HTTP_BAD_REQUEST:
      return "400 Bad Request";
    case AVERROR_HTTP_UNAUTHORIZED:
      return "401 Unauthorized";
    case AVERROR_HTTP_FORBIDDEN:
      return "403 Forbidden";
    case AVERROR_HTTP_NOT_FOUND:
      return "404 Not Found";
    case AVERROR_HTTP_OTHER_4XX:
      return "4xx client error";
    case AVERROR_HTTP_SERVER_ERROR:
      return "5xx server error";
    default:
      return std::string();
  }
}

std::string LibraryErrorText(int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(error, text, sizeof text);
  return ToLowerCase(LeftPart(text, 1)) + RightPart(text, TextLength(text) - 1);
}

}  // namespace

const char* VerdictWord(Verdict verdict) { return kVerdictWords[static_cast<int>(verdict)]; }

CheckResult Judged(Verdict verdict, const std::string& detail) {
  CheckResult result;
  result.verdict = verdict;
  result.detail = detail;
  return result;
}

StreamScheme SchemeOf(const std::string& address) {
  if (TrimSpaces(address).empty()) return StreamScheme::kNone;
  const std::string scheme = SchemeText(address);
  if (HostOf(address).empty()) return StreamScheme::kUnsupported;
  for (const char* known : kByteStreamSchemes) {
    if (TextEquals(scheme, known)) return StreamScheme::kByteStream;
  }
  if (TextEquals(scheme, kRtspScheme)) return StreamScheme::kRtsp;
  if (TextEquals(scheme, kMmsScheme)) return StreamScheme::kMms;
  return StreamScheme::kUnsupported;
}

std::string HostOf(const std::string& address) {
  const size_t schemeEnd = address.find(kSchemeEnd);
  if (SchemeText(address).empty()) return std::string();
  std::string authority = address.substr(schemeEnd + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  const size_t at = authority.rfind('@');
  if (at != std::string::npos) authority = authority.substr(at + 1);
  if (StartsWith(authority, "[")) return ToLowerCase(authority.substr(0, authority.find(']') + 1));
  return ToLowerCase(authority.substr(0, authority.find(':')));
}

std::string WithScheme(const std::string& address, const std::string& scheme) {
  return Concat(scheme, address.substr(address.find(kSchemeEnd)));
}

ContentKind SniffContent(const std::string& head, const std::string& mimeType,
                         const std::string& address) {
  const std::string text = Normalised(head);
  const std::string mime = ToLowerCase(mimeType);
  if (text.empty()) return ContentKind::kEmpty;
  if (StartsWith(text, "#extm3u")) {
    return text.find("#ext-x-") != std::string::npos ? ContentKind::kMedia : ContentKind::kM3u;
  }
  if (StartsWith(text, "[playlist]") || StartsWith(text, "[reference]")) return ContentKind::kPls;
  if (text.find("<asx") != std::string::npos) return ContentKind::kAsx;
  if (StartsWith(text, "<!doctype html") || StartsWith(text, "<html")) return ContentKind::kHtml;
  // Binary bytes are media whatever the reply's type says, as players judge them.
  if (HasBinaryBytes(text)) return ContentKind::kMedia;
  if (StartsWith(mime, "text/html")) return ContentKind::kHtml;
  const std::string path = PathOf(address);
  if (EndsWith(path, ".pls")) return ContentKind::kPls;
  if (EndsWith(path, ".m3u") || EndsWith(path, ".m3u8") || LooksLikeAddressList(text)) {
    return ContentKind::kM3u;
  }
  return ContentKind::kMedia;
}

bool IsWrapper(ContentKind kind) {
  return kind == ContentKind::kAsx || kind == ContentKind::kM3u || kind == ContentKind::kPls;
}

CheckResult OpenFailure(int error, const std::string& statusLine, const std::string& protocol,
                        bool timedOut, int timeoutSeconds) {
  if (timedOut) {
    return Judged(Verdict::kUnreachable,
                  Concat("no answer within ", NumberToText(timeoutSeconds), " s"));
  }
  const std::string httpWords = HttpStatusWords(error);
  if (!httpWords.empty()) {
    const std::string status = statusLine.empty() ? Concat(protocol, " ", httpWords) : statusLine;
    return Judged(Verdict::kError, Concat(status, StatusNote(status)));
  }
  switch (error) {
    case AVERROR(ECONNREFUSED):
      return Judged(Verdict::kUnreachable, "connection refused");
    case AVERROR(EHOSTUNREACH):
    case AVERROR(ENETUNREACH):
      return Judged(Verdict::kUnreachable, "no route to host");
    case AVERROR(ETIMEDOUT):
      return Judged(Verdict::kUnreachable, "connection timed out");
    case AVERROR_EXIT:
      return Judged(Verdict::kUnreachable, "stopped");
    case AVERROR_PROTOCOL_NOT_FOUND:
      return Judged(Verdict::kUnsupported, "protocol not available");
    case AVERROR_EOF:
      return Judged(Verdict::kNoMedia, "empty body");
    case AVERROR_INVALIDDATA:
    case AVERROR_STREAM_NOT_FOUND:
    case AVERROR_DEMUXER_NOT_FOUND:
      return Judged(Verdict::kNoMedia, "no media recognised");
    default:
      break;
  }
  // A status line with no HTTP error code: an RTSP or MMS refusal, or a host not found.
  if (!statusLine.empty()) {
    bool answered = false;
    for (const char* answering : kAnsweredProtocols)
      answered = answered || StartsWith(statusLine, answering);
    return Judged(answered ? Verdict::kError : Verdict::kUnreachable, statusLine);
  }
  return Judged(Verdict::kUnreachable, LibraryErrorText(error));
}

bool IsStreamFormat(const std::string& names) {
  const std::vector<std::string> known = NameList(kStreamFormats);
  for (const std::string& name : NameList(names)) {
    if (std::find(known.begin(), known.end(), name) != known.end()) return true;
  }
  return false;
}

CheckResult NotStreamFormat(const std::string& names, const std::string& longName) {
  const std::string name = names.substr(0, names.find(kFormatNameEnd));
  return Judged(Verdict::kNoMedia, Concat(name, " (", longName, "), not a stream format"));
}

CheckResult MediaResult(const MediaFound& media) {
  if (media.video.empty() && media.audio.empty()) {
    return Judged(Verdict::kNoMedia, Concat("no audio or video recognised in ", media.format));
  }
  std::string detail = media.format;
  for (const std::string* part : {&media.video, &media.audio}) {
    if (!part->empty()) detail += Concat(", ", *part);
  }
  if (media.packets == 0) {
    return Judged(Verdict::kNoMedia, Concat(detail, ": no media packet ", media.silence));
  }
  if (!media.frameDecoded) {
    return Judged(Verdict::kNoMedia, Concat(detail, ": no frame decoded ", media.silence));
  }
  if (media.bitrate > 0) {
    detail += Concat(", ", NumberToText(static_cast<int32_t>(media.bitrate / 1000)), " kb/s");
  }
  CheckResult result = Judged(Verdict::kLive, detail);
  result.format = media.format;
  result.video = media.video;
  result.audio = media.audio;
  result.bitrate = media.bitrate;
  result.fps = media.fps;
  result.width = media.width;
  result.height = media.height;
  return result;
}

std::string StatusFromLibraryLog(const std::string& logLine) {
  const std::string line = TrimSpaces(logLine.substr(0, logLine.find_first_of("\r\n")));
  const size_t http = line.find(kHttpErrorLog);
  if (http != std::string::npos) {
    return Concat("HTTP ", TrimSpaces(line.substr(http + sizeof kHttpErrorLog - 1)));
  }
  const size_t rtsp = line.find(kRtspFailureLog);
  if (line.find(kRtspMethodLog) != std::string::npos && rtsp != std::string::npos) {
    const std::string reply = line.substr(rtsp + sizeof kRtspFailureLog - 1);
    const size_t codeEnd = reply.find_first_not_of("0123456789");
    const std::string code = reply.substr(0, codeEnd);
    const std::string reason =
        codeEnd == std::string::npos ? std::string() : TrimSpaces(reply.substr(codeEnd));
    return reason.empty() ? Concat("RTSP ", code) : Concat("RTSP ", code, " ", reason);
  }
  if (line.find(kResolveFailureLog) != std::string::npos) return "host not found";
  const size_t rtmp = line.find(kRtmpServerErrorLog);
  if (rtmp != std::string::npos) {
    const std::string words = TrimSpaces(line.substr(rtmp + sizeof kRtmpServerErrorLog - 1));
    for (const char* notFound : kRtmpNotFoundWords) {
      if (ToLowerCase(words).find(notFound) != std::string::npos) return "RTMP stream not found";
    }
    return Concat("RTMP ", words);
  }
  return std::string();
}

std::string FormatOfMimeType(const std::string& mimeType) {
  const std::string mime = TrimSpaces(ToLowerCase(mimeType.substr(0, mimeType.find(';'))));
  for (const MimeFormat& known : kMimeFormats) {
    if (TextEquals(mime, known.mimeType)) return known.format;
  }
  return std::string();
}

std::string ForeignRedirectScheme(const std::string& location) {
  const size_t colon = location.find(':');
  const size_t slash = location.find('/');
  const bool relative = colon == std::string::npos || (slash != std::string::npos && slash < colon);
  if (relative) return std::string();
  const std::string scheme = ToLowerCase(location.substr(0, colon));
  for (const char* followed : kFollowedSchemes) {
    if (TextEquals(scheme, followed)) return std::string();
  }
  return scheme;
}

int64_t MeasuredBitrate(int64_t bytes, double seconds) {
  if (!(seconds >= kLeastRateSeconds)) return 0;
  return static_cast<int64_t>(static_cast<double>(bytes) * 8 / seconds);
}

std::string QualityOfPicture(int width, int height) {
  const int side = width > 0 ? std::min(width, height) : height;
  for (const QualityStep& step : kQualitySteps) {
    if (side >= step.leastHeight) return step.label;
  }
  return std::string();
}

std::string QualityInName(const std::string& name) {
  const std::string lower = ToLowerCase(name);
  std::string word;
  std::string previous;
  for (size_t i = 0; i <= lower.size(); ++i) {
    const char c = i < lower.size() ? lower[i] : ' ';
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
      word += c;
      continue;
    }
    if (word.empty()) continue;
    const std::string joined = Concat(previous, word);  // "Full HD"
    for (const NamedQuality& named : kNamedQualities) {
      if (TextEquals(joined, named.word) || TextEquals(word, named.word)) return named.label;
    }
    previous = word;
    word.clear();
  }
  return std::string();
}

std::string StatusNote(const std::string& statusDetail) {
  for (const StatusNoteEntry& entry : kStatusNotes) {
    if (StartsWith(statusDetail, entry.status)) return entry.note;
  }
  return std::string();
}

std::string RequestSentNote(const std::string& statusDetail, const std::string& userAgent,
                            const std::string& referrer) {
  if (!StartsWith(statusDetail, kForbiddenStatus)) return std::string();
  const std::string sentReferrer =
      referrer.empty() ? std::string("no referrer") : Concat("referrer \"", referrer, "\"");
  return Concat(" (sent agent \"", userAgent, "\", ", sentReferrer, ")");
}
