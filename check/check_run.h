// Checks the stream addresses of a list in parallel: worker threads, a cap on connections
// per host, wrapper playlists followed to the stream that plays.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "check/check_probe.h"
#include "check/check_verdict.h"

const int kMaxWrapperDepth = 5;

struct CheckSettings {
  int jobs = 8;             // checks at once
  int timeoutSeconds = 10;  // from the start of a check to its verdict
  int perHost = 4;          // connections to one host at once
  bool pictures = false;    // a live stream with video gives a picture with its result
};

// One address to check, with what its requests send.
struct CheckTarget {
  std::string address;
  StreamRequest request;
};

// The target of each index, made when it is needed; called on the worker threads, so it only
// reads what it shares.
using CheckTargetAt = std::function<CheckTarget(size_t index)>;
// Called on the calling thread for each finished check, in finishing order.
using CheckProgress = std::function<void(size_t index, const CheckResult& result)>;

// Checks the addresses of count targets and gives each result to progress as its check ends;
// nothing else holds the results. Hosts are counted by the address their name resolves to, so
// that two spellings of one server share its connections; a name is looked up when its first
// row comes up to run (once, bounded by the time-out), so probing starts at once. A check's
// time-out runs from its start, and it keeps its connection while it follows its wrappers on
// the same host. A cancelled run (Ctrl-C) ends within about a second; the checks not finished
// by then are not reported.
void CheckStreams(size_t count, const CheckTargetAt& targetAt, const CheckSettings& settings,
                  const CheckProgress& progress);
