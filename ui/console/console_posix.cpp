// Console hooks on POSIX: isatty, the monotonic clock, and SIGINT / SIGTERM as a stop.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "fetch/fetch.h"
#include "harvest/update_run.h"
#include "ui/console/console.h"

namespace {

const int kExitInterrupted = 130;  // 128 + SIGINT
const int kExitTerminated = 143;   // 128 + SIGTERM

std::atomic<int> g_stopExitCode{0};
static_assert(std::atomic<int>::is_always_lock_free, "written from a signal handler");

// Only async-signal-safe work: two atomic stores and the fetch cancel, which is made for this.
void OnStopSignal(int signalNumber) {
  int expected = 0;
  g_stopExitCode.compare_exchange_strong(
      expected, signalNumber == SIGINT ? kExitInterrupted : kExitTerminated);
  CancelRun();
  CancelFetches();
}

}  // namespace

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

int64_t MonotonicMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void InstallStopHandlers() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  // A second Ctrl-C takes the default action and ends the program at once; the channel
  // file is replaced only by a completed rename, so that never leaves it half written.
  action.sa_flags = SA_RESETHAND | SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

int StopExitCode() { return g_stopExitCode.load(); }
