// SPDX-License-Identifier: GPL-2.0-or-later
// The check engine's own overhead, apart from the media library, the servers and the program's
// start: rows over 8 hosts whose fake probes wait a fixed time and use no processor, at several
// --jobs. Prints the wall time against an overhead-free schedule that starts the rows in list
// order (each as soon as a job and its host have room), and the engine's time per row.
//
//   check_engine_perftest [rows] [probe milliseconds]
#include <chrono>
#include <cstdio>
#include <queue>
#include <string>
#include <thread>
#include <vector>

#include "check/check_playlist.h"
#include "check/check_run.h"
#include "text/text.h"

namespace {

const int kHosts = 8;
const int kPerHost = 4;
const int kMaxProbeMs = 10000;  // under the runs' time-out, so that every probe ends live

// The end of the in-order schedule of rows of equal length spread round-robin over the hosts.
double InOrderSeconds(int rows, int jobs, double seconds) {
  std::priority_queue<std::pair<double, int>, std::vector<std::pair<double, int>>, std::greater<>>
      running;  // (end, host)
  std::vector<int> open(kHosts, 0);
  std::vector<int> waiting;
  for (int i = 0; i < rows; ++i) waiting.push_back(i % kHosts);
  double now = 0, end = 0;
  size_t next = 0;
  std::vector<bool> started(waiting.size(), false);
  while (next < waiting.size() || !running.empty()) {
    for (size_t i = next; i < waiting.size() && static_cast<int>(running.size()) < jobs; ++i) {
      if (started[i] || open[waiting[i]] >= kPerHost) continue;
      started[i] = true;
      ++open[waiting[i]];
      running.push({now + seconds, waiting[i]});
    }
    while (next < waiting.size() && started[next]) ++next;
    now = running.top().first;
    --open[running.top().second];
    running.pop();
    end = std::max(end, now);
  }
  return end;
}

}  // namespace

int main(int argc, char** argv) {
  const int rows = argc > 1 ? TextToNumber(argv[1]) : 200;
  const int probeMs = argc > 2 ? TextToNumber(argv[2]) : 100;
  if (rows <= 0 || static_cast<size_t>(rows) > kMaxListEntries || probeMs < 0 ||
      probeMs > kMaxProbeMs) {
    std::fprintf(stderr,
                 "usage: check_engine_perftest [rows, at most %zu] [probe ms, at most %d]\n",
                 kMaxListEntries, kMaxProbeMs);
    return 2;
  }
  CheckSteps steps;
  steps.lookUp = [](const std::string& name) { return name; };
  steps.probe = [probeMs](const std::string&, StreamScheme, const ProbeLimits&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(probeMs));
    ProbeOutcome outcome;
    outcome.result = Judged(Verdict::kLive, "fake");
    return outcome;
  };
  std::printf(
      "%d rows over %d hosts (%d connections each), probes of %d ms that use no processor\n", rows,
      kHosts, kPerHost, probeMs);
  for (int jobs : {1, 16, 64}) {
    if (jobs == 1 && static_cast<double>(rows) * probeMs > 30000) continue;  // too long to wait
    CheckSettings settings;
    settings.jobs = jobs;
    settings.perHost = kPerHost;
    settings.timeoutSeconds = 60;
    size_t done = 0;
    StopSource stop;
    const auto began = std::chrono::steady_clock::now();
    CheckStreamsWith(
        static_cast<size_t>(rows),
        [](size_t index) {
          CheckTarget target;
          target.address = Concat("http://10.0.0.", NumberToText(index % kHosts + 1),
                                  "/tv.ts?n=", NumberToText(index));
          return target;
        },
        settings, [&done](size_t, const CheckResult&) { ++done; }, stop.Token(), steps);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    const double ideal = InOrderSeconds(rows, jobs, probeMs / 1000.0);
    std::printf(
        "--jobs %-2d %8.3f s  in-order schedule %8.3f s  ratio %5.3f  %6.1f us a row over it"
        "  (%zu verdicts)\n",
        jobs, seconds, ideal, ideal > 0 ? seconds / ideal : 0.0, (seconds - ideal) * 1e6 / rows,
        done);
  }
  return 0;
}
