// Console hooks on POSIX: isatty, the monotonic clock, and SIGINT / SIGTERM as a stop.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "fetch/fetch.h"
#include "harvest/channel_file.h"
#include "harvest/update_run.h"
#include "ui/console/console.h"

namespace {

const int kExitInterrupted = 130;  // 128 + SIGINT
const int kExitTerminated = 143;   // 128 + SIGTERM

std::atomic<int> g_stopExitCode{0};
static_assert(std::atomic<int>::is_always_lock_free, "written from a signal handler");

// Only async-signal-safe work: atomics, the fetch cancel, which is made for this, and on a
// repeated stop the default action. A repeated stop during a save is dropped: the save
// holds the signals back on its own thread, and one that lands on another thread must not
// end the process half-way through the file.
void OnStopSignal(int signalNumber) {
  int expected = 0;
  const bool first = g_stopExitCode.compare_exchange_strong(
      expected, signalNumber == SIGINT ? kExitInterrupted : kExitTerminated);
  if (!first && !SaveUnderWay()) {
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);  // delivered, and the process ended, when this handler returns
    return;
  }
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
  // A second Ctrl-C ends the program at once, unless a save is under way: that completes
  // first, so no half-written temporary file is left behind.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

int StopExitCode() { return g_stopExitCode.load(); }
