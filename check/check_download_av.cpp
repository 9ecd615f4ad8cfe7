// SPDX-License-Identifier: GPL-2.0-or-later
// Downloads a list to check from an http or https address through libavformat's readers,
// the ones the probes use, bounded in time and bytes.
#include "check/check_probe.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
}

#include "text/text.h"

namespace {

const char kDownloadProtocols[] = "http,https,tcp,tls,crypto,httpproxy";
const char* const kListSchemes[] = {"http://", "https://"};
const int kBlockBytes = 64 * 1024;

struct DownloadClock {
  CheckClock::time_point deadline;
};

int DownloadInterrupted(void* opaque) {
  const DownloadClock* clock = static_cast<const DownloadClock*>(opaque);
  return CheckClock::now() >= clock->deadline ? 1 : 0;
}

// The address the reader ended up at after redirects; address itself when it tells none.
std::string FinalAddress(AVIOContext* io, const std::string& address) {
  uint8_t* location = nullptr;
  if (av_opt_get(io, "location", AV_OPT_SEARCH_CHILDREN, &location) < 0 || location == nullptr) {
    return address;
  }
  std::string final = reinterpret_cast<const char*>(location);
  av_free(location);
  return final.empty() ? address : final;
}

// A body sent without a length (no Content-Length, not chunked: "Connection: close" or
// HTTP/1.0) ends when the server closes the connection. The http reader reports that end as
// an input/output error when no length was announced; with one, it is a body cut short. A
// reset connection or a time-out is an error of its own.
bool BodyEndedWithConnection(AVIOContext* io, int error) {
  return error == AVERROR(EIO) && avio_size(io) < 0;
}

std::string ErrorWords(int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(error, text, sizeof text);
  return text;
}

}  // namespace

bool IsListAddress(const std::string& path) {
  const std::string lower = ToLowerCase(path);
  for (const char* scheme : kListSchemes) {
    if (StartsWith(lower, scheme)) return true;
  }
  return false;
}

ListBytes DownloadList(const std::string& address, int timeoutSeconds, int64_t maxBytes) {
  StartMediaLibrary();
  DownloadClock clock{CheckClock::now() + std::chrono::seconds(timeoutSeconds)};
  AVIOInterruptCB interrupt{DownloadInterrupted, &clock};
  AVDictionary* options = nullptr;
  av_dict_set(&options, "protocol_whitelist", kDownloadProtocols, 0);
  av_dict_set_int(&options, "rw_timeout", int64_t{timeoutSeconds} * 1000 * 1000, 0);
  av_dict_set_int(&options, "timeout", int64_t{timeoutSeconds} * 1000 * 1000, 0);
  AVIOContext* io = nullptr;
  ListBytes list;
  const int opened = avio_open2(&io, address.c_str(), AVIO_FLAG_READ, &interrupt, &options);
  av_dict_free(&options);
  if (opened < 0) {
    list.problem = ErrorWords(opened);
    return list;
  }
  list.address = FinalAddress(io, address);
  unsigned char block[kBlockBytes];
  while (list.problem.empty()) {
    const int got = avio_read(io, block, sizeof block);
    if (got == AVERROR_EOF || got == 0 || BodyEndedWithConnection(io, got)) break;
    if (got < 0) {
      list.problem = CheckClock::now() >= clock.deadline
                         ? Concat("no answer within ", NumberToText(timeoutSeconds), " s")
                         : ErrorWords(got);
      break;
    }
    list.bytes.append(reinterpret_cast<const char*>(block), static_cast<size_t>(got));
    if (static_cast<int64_t>(list.bytes.size()) > maxBytes) {
      list.problem = Concat("longer than ", std::to_string(maxBytes), " bytes");
    }
  }
  avio_closep(&io);
  return list;
}
