// What both console commands share: the stop state and its exit code, the commit point of
// the outputs, stdout writes that say why they failed, and the rule that no two outputs
// share a file or stdout.
#include <atomic>
#include <filesystem>
#include <system_error>

#include "fetch/fetch.h"
#include "harvest/channel_export.h"
#include "harvest/channel_file.h"
#include "harvest/system_error.h"
#include "harvest/update_run.h"
#include "text/text.h"
#include "text/utf8.h"
#include "ui/console/console.h"

namespace {

const int kOutputsOpen = 0;
const int kOutputsStopped = 1;
const int kOutputsCommitted = 2;
const char kStdoutPlace[] = "standard output";
const int kLastColumnKept = 1;  // writing the last column would wrap on some terminals
const char kNoFolder[] = "the folder does not exist";

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

// The file a save at path would replace, resolved as far as it exists.
std::filesystem::path ResolvedPath(const std::string& path) {
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(FindSaveTarget(path).path, error);
  if (error) return std::filesystem::path(path);
  const std::filesystem::path resolved = std::filesystem::weakly_canonical(absolute, error);
  return error ? absolute.lexically_normal() : resolved;
}

}  // namespace

int ProgressWidth() {
  const int columns = TerminalColumns();
  return columns > kLastColumnKept ? columns - kLastColumnKept : 0;
}

void PutProgressLine(ProgressLine& line, const std::string& text) {
  const int length = Utf8Length(text);
  const int width = ProgressWidth();
  const int covered = width > 0 && line.shownLength > width ? width : line.shownLength;
  WriteStream(stderr, Concat("\r", text, SpaceText(covered - length)));
  line.shownLength = length;
}

void ClearProgressLine(ProgressLine& line) {
  if (!line.live || line.shownLength == 0) return;
  WriteStream(stderr, Concat("\r", SpaceText(line.shownLength), "\r"));
  line.shownLength = 0;
}

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

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code error;
  if (std::filesystem::equivalent(a, b, error)) return true;
  return ResolvedPath(a) == ResolvedPath(b);
}

std::string OutputClash(const std::vector<NamedOutput>& outputs) {
  for (size_t i = 0; i < outputs.size(); ++i) {
    for (size_t j = i + 1; j < outputs.size(); ++j) {
      const NamedOutput& a = outputs[i];
      const NamedOutput& b = outputs[j];
      const bool aStdout = TextEquals(a.path, kStandardOutputName);
      const bool bStdout = TextEquals(b.path, kStandardOutputName);
      if (aStdout && bStdout) {
        return Concat(a.option, " and ", b.option, " would both write to ", kStdoutPlace);
      }
      if (!aStdout && !bStdout && SameFile(a.path, b.path)) {
        return Concat(a.option, " and ", b.option, " name the same file ", b.path);
      }
      if (aStdout != bStdout && StdoutIsFile(aStdout ? b.path : a.path)) {
        return Concat(a.option, " and ", b.option, " would both write to ",
                      aStdout ? b.path : a.path, ", which is ", kStdoutPlace);
      }
    }
  }
  return std::string();
}

std::string OutputTargetRefusal(const std::vector<NamedOutput>& outputs) {
  for (const NamedOutput& output : outputs) {
    if (TextEquals(output.path, kStandardOutputName)) continue;
    const SaveTarget target = FindSaveTarget(output.path);
    std::string refusal = target.refusal;
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::path(target.path).parent_path();
    if (refusal.empty() && !folder.empty() && !std::filesystem::is_directory(folder, error)) {
      refusal = kNoFolder;
    }
    if (!refusal.empty()) return Concat(output.option, " ", output.path, ": ", refusal);
  }
  return std::string();
}
