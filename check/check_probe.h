// One look at one address through FFmpeg's libavformat: what the server answers, and for
// media what it holds. Bounded by a deadline and by the run's cancel (Ctrl-C).
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "check/check_verdict.h"

using CheckClock = std::chrono::steady_clock;

// What a request sends beside the address, as a player would for this entry; empty fields
// leave the library's own.
struct StreamRequest {
  std::string userAgent;
  std::string referrer;
  std::vector<std::string> headers;  // "Name: value", never holding a line end
};

struct ProbeLimits {
  CheckClock::time_point deadline;
  int timeoutSeconds = 0;  // for the words of a time-out verdict
  StreamRequest request;
};

struct ProbeOutcome {
  ContentKind kind = ContentKind::kMedia;
  std::string body;    // the wrapper's text when kind is a wrapper
  CheckResult result;  // the verdict for every other kind
};

// Prepares the media library for probes from many threads; call once before the first.
void StartMediaLibrary();
// Opens address (a byte-stream or RTSP address), reads its first bytes and judges them: a
// wrapper comes back with its text, media is probed for its format and codecs.
ProbeOutcome ProbeAddress(const std::string& address, StreamScheme scheme,
                          const ProbeLimits& limits);

// A list read from a file, standard input or an address.
struct ListBytes {
  std::string bytes;
  std::string problem;  // why it could not be read whole, or ""
};
// True for an http or https address, which DownloadList reads.
bool IsListAddress(const std::string& path);
// Downloads at most maxBytes from address within timeoutSeconds.
ListBytes DownloadList(const std::string& address, int timeoutSeconds, int64_t maxBytes);
