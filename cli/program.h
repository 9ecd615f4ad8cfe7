// SPDX-License-Identifier: GPL-2.0-or-later
// What every command of morvek-cli shares: the exit codes, the program's one stop (signals,
// console events, a failed stdout) and the commit point of the outputs, stdout and stderr
// writes that say why they failed. Platform parts are in cli_posix.cpp and cli_win.cpp.
#pragma once

#include <cstdio>
#include <string>

#include "base/stop_token.h"
#include "cli/terminal.h"

// The exit codes of morvek-cli, every command. Stops that come from outside are 128 + the
// signal's number.
const int kExitOk = 0;
const int kExitWriteFailed = 1;    // a file (or stdout) could not be written
const int kExitUsage = 2;          // bad options, an unreadable list, an unknown country
const int kExitNothingFound = 3;   // the harvest found no channel
const int kExitCheckMissing = 4;   // the stream check program is not installed
const int kExitHangUp = 129;
const int kExitInterrupted = 130;
const int kExitBrokenPipe = 141;
const int kExitTerminated = 143;
// Every line the console program says about itself starts with this.
const char kProgramPrefix[] = "morvek-cli: ";
// The commands other than the harvest, as the first argument names them.
const char kCheckCommand[] = "check";
const char kServeCommand[] = "serve";
const char kOutOfMemory[] =
    "cannot allocate memory; stopped, and every file not yet replaced was left as it was";

// Prints "morvek-cli: <text>" on stderr as a line of its own.
void ShowConsoleLine(const std::string& text);

// Writes UTF-8 text to stdout, flushed when flush. After a failed write stdout is not written
// again and the run stops: quietly with 141 when its reader went away (a closed pipe), else
// with 1 after saying what could not be written (what, e.g. "the channel blocks"), past the
// live line when one is given.
bool WriteStdout(const std::string& text, const std::string& what, bool flush = false,
                 ProgressLine* live = nullptr);
// True once a write to stdout failed.
bool StdoutFailed();

// Stops the run (the stop token, CancelFetches) and keeps the first exit code
// asked for; true for the first stop. Called from the stop-signal thread or a console control
// handler, never from a signal handler.
bool StopRun(int exitCode);
// The stop that StopRun asks for: the program's runs take it.
StopToken ConsoleStopToken();
// The exit code of the first stop (129 hang-up, 130 interrupt, 141 closed output,
// 143 termination, 1 stdout failed), else 0.
int StopExitCode();
// Called right before an output replaces its file (or goes to stdout): false when a stop came
// first, and then nothing may be written. Once it has answered true, later stops let every
// output complete.
bool CommitOutput();

// Ctrl-C, hang-up and termination stop the run; a closed stdout shows as a failed write
// instead. Call before any thread starts: on POSIX every thread then holds the stop signals
// back and one thread of their own takes them, so that no thread is ended half-way through a
// file. A second stop ends the program, once no file is being replaced. Repeated calls do
// nothing.
void InstallStopHandlers();
// True when systemError (LastSystemError after a failed write) says that the reader of a
// pipe went away.
bool IsClosedPipeError(int systemError);
// Standard input and output carry bytes as they are (lists in, channel files, playlists and
// JSON out): Windows' C library would otherwise add a CR before every LF written and drop the
// CR of every CR LF read. Called first thing in main.
void UseBinaryStandardStreams();
// Readies the heap for a long list before the run starts threads: all threads share the main
// heap, and where the system hands out huge memory pages on request, it asks for them.
void PrepareHeapForLargeLists();
// Writes UTF-8 text to stdout or stderr: as UTF-16 to a Windows console, else as bytes.
// False when not every byte was written.
bool WriteStream(FILE* stream, const std::string& utf8);
// True where the build lets the command line choose how pages are fetched (--proxy).
bool FetchTakesProxy();
