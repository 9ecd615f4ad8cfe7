// SPDX-License-Identifier: GPL-2.0-or-later
// One look at one address through FFmpeg's libavformat: what the server answers, and for
// media what it holds. Bounded by a deadline, a byte budget and the run's stop token.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "check/check_threads.h"
#include "check/check_verdict.h"
#include "base/stop_token.h"

// What a request sends beside the address, as a player would for this entry; empty fields
// leave the library's own.
struct StreamRequest {
  std::string userAgent;
  std::string referrer;
  std::vector<std::string> headers;  // "Name: value", never holding a line end
};
// Everything the media library reads for one check (wrappers, heads, playlists, segments,
// packets) comes out of this budget; what is past it reads as the end of the stream.
const int64_t kCheckBudgetBytes = 4 * 1024 * 1024;
// The HTTP requests one check sends (redirects, wrappers, playlists, segments, range requests);
// a check that would send more ends with a verdict that says so.
const int kCheckMaxRequests = 64;

struct ProbeLimits {
  CheckClock::time_point deadline;
  int timeoutSeconds = 0;  // for the words of a time-out verdict
  StreamRequest request;
  // What is left of the check's budget, shared by its probes; a probe left behind at the
  // deadline keeps it alive.
  std::shared_ptr<std::atomic<int64_t>> bytesLeft =
      std::make_shared<std::atomic<int64_t>>(kCheckBudgetBytes);
  std::shared_ptr<std::atomic<int>> requestsLeft =
      std::make_shared<std::atomic<int>>(kCheckMaxRequests);
  StopToken stop;        // the run's: a stop interrupts the probe
  bool picture = false;  // a live stream with video gives one picture (check_picture.h)
};

struct ProbeOutcome {
  ContentKind kind = ContentKind::kMedia;
  std::string body;     // the wrapper's text when kind is a wrapper
  std::string address;  // where the reply came from after redirects, for a wrapper's entries
  CheckResult result;   // the verdict for every other kind
};

// Prepares the media library for probes from many threads; call once before the first.
void StartMediaLibrary();
// Opens address (a byte-stream or RTSP address), reads its first bytes and judges them: a
// wrapper comes back with its text, media of a stream format is probed for its codecs and
// read until a frame of audio or video decodes. Blocks: the check runs it on its call pool,
// and a step that no interrupt reaches (a name lookup) may hold it past the deadline.
ProbeOutcome ProbeAddress(const std::string& address, StreamScheme scheme,
                          const ProbeLimits& limits);

// A list read from a file, standard input or an address.
struct ListBytes {
  std::string bytes;
  std::string problem;  // why it could not be read whole, or ""
  std::string address;  // for a download, the address it came from after redirects
};
// True for an http or https address, which DownloadList reads.
bool IsListAddress(const std::string& path);
// Downloads at most maxBytes from address within timeoutSeconds, and says from where.
ListBytes DownloadList(const std::string& address, int timeoutSeconds, int64_t maxBytes);
