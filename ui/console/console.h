// The console side of morvek-cli: progress on stderr, channel blocks on stdout, and the
// platform hooks for the terminal, the clock, system error texts and stop signals.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "harvest/harvest_state.h"

struct ConsoleOptions {
  bool details = false;  // print each channel's block on stdout
  bool quiet = false;    // show errors and warnings only
  bool verbose = false;  // add a line per page read
  std::string outputPath;  // the channel file: compared with the new list, named on failure
};

// Exit codes of stops that do not come from the run: 128 + the signal's number.
const int kExitBrokenPipe = 141;
const int kExitInterrupted = 130;
const int kExitTerminated = 143;

// Starts showing the progress of the run that fills state; reads the old channel file.
void StartConsole(const ConsoleOptions& options, HarvestState& state);
// Ends the progress display; prints the status text when the run gave no final word.
void FinishConsole();
// True once a message (a failed save) was shown.
bool ConsoleMessageShown();
// True when the run wrote the channel file.
bool ConsoleListWritten();
// True when the run was refused a country that the index lacks.
bool ConsoleCountryRefused();
// Shows that an extra output file could not be written; problem is "PATH: reason".
void ShowSaveFailure(const std::string& problem);
// Writes UTF-8 text to stdout. A failed write means the reader went away (a closed pipe):
// the run stops quietly with 141, and stdout is not written again.
bool WriteStdout(const std::string& text);
// Prints "morvek-cli: <text>" on stderr as a line of its own, past the live line.
void ShowConsoleLine(const std::string& text);

// Stops the run (CancelRun, CancelFetches) and keeps the first exit code asked for; true
// for the first stop. Async-signal-safe.
bool StopRun(int exitCode);
// The exit code of the first stop (130 interrupt, 141 closed output, 143 termination), else 0.
int StopExitCode();

// Platform parts (console_posix.cpp, console_win.cpp).
bool StderrIsTerminal();
// The width of the terminal on stderr in columns; 0 when unknown.
int TerminalColumns();
int64_t MonotonicMilliseconds();
// Ctrl-C and termination stop the run; a closed stdout shows as a failed write instead.
void InstallStopHandlers();
// Readies the heap for a long list before the run starts threads: all threads share the main
// heap, and where the system hands out huge memory pages on request, it asks for them.
void PrepareHeapForLargeLists();
// Writes UTF-8 text to stdout or stderr: as UTF-16 to a Windows console, else as bytes.
// False when not every byte was written.
bool WriteStream(FILE* stream, const std::string& utf8);
