// The console side of morvek-cli: progress on stderr, channel blocks on stdout, and the
// platform hooks for the terminal, the clock, system error texts and stop signals.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "harvest/harvest_state.h"
#include "harvest/stop_token.h"
#include "harvest/update_run.h"

struct ConsoleOptions {
  bool details = false;  // print each channel's block on stdout
  bool quiet = false;    // show errors and warnings only
  bool verbose = false;  // add a line per page read
  std::string outputPath;  // the channel file: compared with the new list, named on failure
};

// The exit codes of morvek-cli, both commands. Stops that come from outside are 128 + the
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

// The live progress line of either command on a terminal's stderr: rewritten in place,
// erased for a line of its own and drawn again below it by its owner.
const int64_t kProgressRedrawMilliseconds = 100;  // at most this often on a terminal
struct ProgressLine {
  bool live = false;    // stderr is a terminal and progress is shown
  int shownLength = 0;  // characters of the line now on screen
};

struct ConsoleSide;

// The harvest's observer on the console: progress on stderr, channel blocks on stdout.
class ConsoleObserver : public HarvestObserver {
 public:
  // Starts showing the progress of the run that fills state; reads the old channel file.
  ConsoleObserver(const ConsoleOptions& options, const HarvestState& state);
  ~ConsoleObserver() override;
  // Ends the progress display; prints the status text when the run gave no final word.
  void Finish(const HarvestResult& result);
  // Shows that an extra output could not be written: what it is ("the playlist (--m3u)") and
  // the problem as "PATH: reason". The run's final word then gives no DONE.
  void ShowExportFailure(const std::string& what, const std::string& problem);
  // Prints "morvek-cli: <text>" on stderr as a line of its own, past the live line.
  void ShowLine(const std::string& text);
  // The live line, for a write to stdout to clear before it says why it failed.
  ProgressLine& LiveLine();

  bool ServiceRunEvent() override;
  bool ServiceWhileFetching() override;
  void ShowChannel(const ChannelRecord& record) override;
  void ShowChannelCount(int32_t count) override;
  void ShowRunFinished() override;
  void ShowFinalStatus(int32_t count, bool done) override;
  void ShowMessage(const std::string& title, const std::string& text, MessageKind kind) override;
  void ShowCountryPageTaken(const std::string& country) override;
  void ShowPageRead(const PageReport& report) override;
  void ShowUnknownCountry(const std::string& name,
                          const std::vector<std::string>& nearest) override;
  void ShowSharedCountryName(const std::string& name, int entries) override;

 private:
  std::unique_ptr<ConsoleSide> side_;
};

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

// The columns a live line may take: all but the last, which would wrap on some terminals;
// 0 when the width is unknown.
int ProgressWidth();
// Replaces the line with text, padding with spaces over a longer previous one; the padding
// never reaches past the terminal's width.
void PutProgressLine(ProgressLine& line, const std::string& text);
// Erases the line and leaves the cursor at its start.
void ClearProgressLine(ProgressLine& line);

// An output that a command line asks for: the option that names it and its path ("-": stdout).
struct NamedOutput {
  std::string option;
  std::string path;
};
// Why these outputs cannot all be written: two of them name one file (the same device and
// inode when it exists, the same resolved path when it does not), both go to stdout, or one
// goes to stdout while stdout is the file another names. One line naming both options; empty
// when they can.
std::string OutputClash(const std::vector<NamedOutput>& outputs);
// True when both paths name one file, also when it does not exist yet.
bool SameFile(const std::string& a, const std::string& b);
// Why one of outputs (stdout aside) cannot be written, looked at before any work begins: it is
// not a regular file that may be replaced (a folder, a device, a pipe, read-only) or its
// folder is missing. One line "OPTION PATH: reason"; empty when all may be written. A failure
// when the file is written later stays possible.
std::string OutputTargetRefusal(const std::vector<NamedOutput>& outputs);

// Platform parts (console_posix.cpp, console_win.cpp).
// True for the system's null device (/dev/null, NUL): an output there writes nothing.
bool IsNullDevice(const std::string& path);
// The help lines of the options that choose how pages are fetched, where the build takes any.
std::string FetchOptionsHelp();
bool StderrIsTerminal();
// True when standard output is the file at path (the same device and inode, or volume and
// file index), as after "> path" in a shell.
bool StdoutIsFile(const std::string& path);
// The width of the terminal on stderr in columns; 0 when unknown.
int TerminalColumns();
int64_t MonotonicMilliseconds();
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
