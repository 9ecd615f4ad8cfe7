// Checks the stream addresses of a list in parallel: worker threads, a cap on connections
// per host, wrapper playlists followed to the stream that plays.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "check/check_verdict.h"

const int kMaxWrapperDepth = 5;

struct CheckSettings {
  int jobs = 8;             // checks at once
  int timeoutSeconds = 10;  // from the start of a check to its verdict
  int perHost = 4;          // connections to one host at once
};

// Called on the calling thread for each finished check, in finishing order.
using CheckProgress = std::function<void(size_t index, const CheckResult& result)>;

// Checks every address and gives the results in address order. A cancelled run (Ctrl-C)
// ends within about a second; the checks not finished by then keep a "stopped" result.
std::vector<CheckResult> CheckStreams(const std::vector<std::string>& addresses,
                                      const CheckSettings& settings, const CheckProgress& progress);
