// SPDX-License-Identifier: GPL-2.0-or-later
// Times page fetches of one address through the platform transport and prints the rate and
// the process's peak memory. Start the test web server first, e.g.
//   tests/server/serve.sh --dir /tmp/s start bench tests/fetch_pages
//   build/native/bench/fetch_perftest http://127.0.0.1:$(tests/server/serve.sh --dir /tmp/s port bench)/_big/50000000
#include <chrono>
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#else
#include <sys/resource.h>
#endif

#include "fetch/fetch.h"

namespace {

const int kRounds = 3;

double PeakMegabytes() {
#ifdef _WIN32
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof(counters);
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) return 0;
  return static_cast<double>(counters.PeakWorkingSetSize) / 1e6;
#else
  rusage usage = {};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) * 1024 / 1e6;  // ru_maxrss is in KiB on Linux
#endif
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: fetch_perftest ADDRESS\n");
    return 2;
  }
  const std::string address = argv[1];
  double best = 0;
  size_t size = 0;
  for (int round = 0; round < kRounds; ++round) {
    const auto start = std::chrono::steady_clock::now();
    PageBuffer page = FetchPage(address);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    size = page.size();
    if (round == 0 || seconds < best) best = seconds;
  }
  const double megabytes = static_cast<double>(size) / 1e6;
  std::printf("page %zu bytes, best of %d: %.3f s, %.1f MB/s, peak memory %.1f MB\n", size, kRounds, best,
              best > 0 ? megabytes / best : 0, PeakMegabytes());
  return size > 0 ? 0 : 1;
}
