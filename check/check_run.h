// SPDX-License-Identifier: GPL-2.0-or-later
// Checks the stream addresses of a list in parallel: one owner loop on the caller's thread,
// the blocking calls on a pool, a cap on connections per host, wrapper playlists followed to
// the stream that plays.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "check/check_probe.h"
#include "check/check_verdict.h"
#include "base/stop_token.h"

const int kMaxWrapperDepth = 5;
// A probe has its deadline; the verdict of a probe that has not ended this long after it (a
// name lookup inside the media library, which no interrupt reaches) is a time-out, and its
// thread is left to end on its own.
const auto kVerdictGrace = std::chrono::milliseconds(500);

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

// The target of each index, made when its check starts (on the calling thread).
using CheckTargetAt = std::function<CheckTarget(size_t index)>;
// Called on the calling thread for each finished check, in finishing order.
using CheckProgress = std::function<void(size_t index, const CheckResult& result)>;

// Checks the addresses of count targets and gives each result to progress as its check ends;
// nothing else holds the results. Hosts are counted by the address their name resolves to, so
// that two spellings of one server share its connections; a name is looked up once, by the
// first row of it that starts. A row's time-out runs from when it leaves the queue and covers
// its name lookup, its wait for a connection and its probes; its verdict comes at the latest
// kVerdictGrace after. A check keeps its connection while it follows its wrappers on the same
// host. A stop ends the run at once; the checks not finished by then are not reported. Runs
// may go on in one process one after the other and at the same time.
void CheckStreams(size_t count, const CheckTargetAt& targetAt, const CheckSettings& settings,
                  const CheckProgress& progress, const StopToken& stop);

// The blocking steps of a check, the threads they run on and the clock the run keeps its
// deadlines by; tests pass fakes. Empty ones are the run's own pool and the steady clock.
struct CheckSteps {
  // The numeric address a host name stands for; the name itself when it does not resolve.
  std::function<std::string(const std::string& name)> lookUp;
  std::function<ProbeOutcome(const std::string& address, StreamScheme scheme,
                             const ProbeLimits& limits)>
      probe;
  // Runs work on another thread, then then there.
  std::function<void(std::function<void()> work, std::function<void()> then)> post;
  std::function<CheckClock::time_point()> now;
  // The owner's wait, under lock, until ready() or the deadline; posted is notified when a
  // call ends or a stop comes.
  std::function<void(std::unique_lock<std::mutex>& lock, std::condition_variable& posted,
                     CheckClock::time_point deadline, const std::function<bool()>& ready)>
      waitUntil;
};
void CheckStreamsWith(size_t count, const CheckTargetAt& targetAt, const CheckSettings& settings,
                      const CheckProgress& progress, const StopToken& stop,
                      const CheckSteps& steps);
