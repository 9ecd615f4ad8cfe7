// SPDX-License-Identifier: GPL-2.0-or-later
// What every command shares: the stop state and its exit code, the commit point of the
// outputs, and stdout writes that say why they failed.
#include "cli/program.h"

#include <atomic>

#include "base/system_error.h"
#include "fetch/fetch.h"
#include "text/text.h"

namespace {

const int kOutputsOpen = 0;
const int kOutputsStopped = 1;
const int kOutputsCommitted = 2;
const char kStdoutPlace[] = "standard output";

std::atomic<int> g_stopExitCode{0};
std::atomic<int> g_outputGate{kOutputsOpen};
static_assert(std::atomic<int>::is_always_lock_free, "written from a signal handler");
bool g_stdoutFailed = false;
// The program's one stop: Ctrl-C, SIGTERM, SIGHUP, a failed stdout. Never destroyed: the
// stop-signal thread may still be asking for it while the program exits.
StopSource& ProgramStop() {
  static StopSource* const stop = new StopSource();
  return *stop;
}

}  // namespace

bool StopRun(int exitCode) {
  int expected = 0;
  const bool first = g_stopExitCode.compare_exchange_strong(expected, exitCode);
  int open = kOutputsOpen;
  g_outputGate.compare_exchange_strong(open, kOutputsStopped);
  CancelFetches();
  ProgramStop().RequestStop();
  return first;
}

StopToken ConsoleStopToken() { return ProgramStop().Token(); }

int StopExitCode() { return g_stopExitCode.load(); }

bool CommitOutput() {
  int expected = kOutputsOpen;
  return g_outputGate.compare_exchange_strong(expected, kOutputsCommitted) ||
         expected == kOutputsCommitted;
}

bool WriteStdout(const std::string& text, const std::string& what, bool flush, ProgressLine* live) {
  if (g_stdoutFailed) return false;
  bool written = WriteStream(stdout, text);
  if (written && flush) written = std::fflush(stdout) == 0;
  if (written) return true;
  const int error = LastSystemError();
  g_stdoutFailed = true;
  if (IsClosedPipeError(error)) {
    StopRun(kExitBrokenPipe);
    return false;
  }
  StopRun(kExitWriteFailed);
  if (live != nullptr) ClearProgressLine(*live);
  ShowConsoleLine(Concat("cannot write ", what, " to ", kStdoutPlace, ": ", SystemErrorText(error)));
  return false;
}

bool StdoutFailed() { return g_stdoutFailed; }

void ShowConsoleLine(const std::string& text) {
  WriteStream(stderr, Concat(kProgramPrefix, text, "\n"));
}
