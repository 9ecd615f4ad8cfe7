// Console hooks on Windows: GetConsoleMode, the tick count, and console control events
// (Ctrl-C, Ctrl-Break, closing the console) as a stop.
#include <windows.h>

#include <atomic>

#include "fetch/fetch.h"
#include "harvest/channel_file.h"
#include "harvest/update_run.h"
#include "ui/console/console.h"

namespace {

const int kExitInterrupted = 130;
const int kExitTerminated = 143;
// The system ends the process about five seconds after a close event.
const int kCloseWaitMilliseconds = 4500;
const int kCloseWaitStep = 50;

std::atomic<int> g_stopExitCode{0};

// Runs on a thread of its own that the system starts for the event. Ctrl-C and Ctrl-Break
// only stop the run. Closing the console ends the process once this returns, so a save
// under way is first given the few seconds the system allows to complete.
BOOL WINAPI OnConsoleControl(DWORD event) {
  int expected = 0;
  g_stopExitCode.compare_exchange_strong(
      expected, event == CTRL_C_EVENT ? kExitInterrupted : kExitTerminated);
  CancelRun();
  CancelFetches();
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
    for (int waited = 0; SaveUnderWay() && waited < kCloseWaitMilliseconds; waited += kCloseWaitStep) {
      Sleep(kCloseWaitStep);
    }
  }
  return TRUE;
}

}  // namespace

bool StderrIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

int64_t MonotonicMilliseconds() { return static_cast<int64_t>(GetTickCount64()); }

void InstallStopHandlers() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }

int StopExitCode() { return g_stopExitCode.load(); }
