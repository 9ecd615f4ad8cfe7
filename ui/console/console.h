// The console side of morvek-cli: progress on stderr, channel blocks on stdout, and the
// platform hooks for terminal detection, the clock and Ctrl-C / termination signals.
#pragma once

#include <cstdint>

#include "harvest/harvest_state.h"

struct ConsoleOptions {
  bool details = false;  // print each channel's block on stdout
  bool quiet = false;    // show errors only
};

// Starts showing the progress of the run that fills state.
void StartConsole(const ConsoleOptions& options, const HarvestState& state);
// Ends the progress display; prints the status text when the run gave no final word.
void FinishConsole();
// True once a message (a failed save) was shown.
bool ConsoleMessageShown();

// Platform parts (console_posix.cpp, console_win.cpp).
bool StderrIsTerminal();
int64_t MonotonicMilliseconds();
// Ctrl-C and termination cancel the run (CancelRun) and any fetch (CancelFetches).
void InstallStopHandlers();
// The exit code the received stop signal asks for (130 interrupt, 143 termination), else 0.
int StopExitCode();
