// The check command: its options, the list it reads, progress and a summary on stderr, one
// verdict line per row on stdout, and the --output / --m3u / --json files of the result.
#include "check/check_command.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <system_error>

#include "check/check_list.h"
#include "check/check_run.h"
#include "harvest/channel_export.h"
#include "harvest/channel_file.h"
#include "harvest/update_run.h"
#include "text/text.h"
#include "text/utf8.h"
#include "ui/console/console.h"

namespace {

const char kProgramName[] = "morvek-cli check";
const char kUsage[] =
    "Usage: morvek-cli check [LIST] [--jobs N] [--timeout SECONDS] [--per-host N]\n"
    "                        [--output FILE] [--m3u FILE] [--json FILE] [--quiet] [--help]\n"
    "\n"
    "Checks the stream address of every row of LIST (channels.dat in the working directory;\n"
    "- reads standard input) and prints one verdict per row: live, no-media, error,\n"
    "unreachable, unsupported or no-stream. LIST itself is never changed.\n"
    "\n"
    "  --jobs N           checks at once (default 8, at most 64)\n"
    "  --timeout SECONDS  time for one check, from its start to its verdict (default 10)\n"
    "  --per-host N       connections to one host at once (default 4)\n"
    "  --output FILE      write the live rows, unchanged, to FILE (a channels.dat)\n"
    "  --m3u FILE         write an M3U playlist of the live rows (- for stdout)\n"
    "  --json FILE        write every row with its verdict and media details as JSON\n"
    "                     (- for stdout)\n"
    "  --quiet            show errors only\n"
    "  --help             show this text\n"
    "\n"
    "After a harvest, `morvek-cli --check` takes these options as --check-jobs,\n"
    "--check-timeout, --check-per-host, --check-output, --check-m3u and --check-json.\n"
    "Ctrl-C stops the check; nothing is written then.\n";

const int kExitOk = 0;
const int kExitWriteFailed = 1;
const int kExitUsage = 2;
const int kExitInterrupted = 130;
const int kMaxJobs = 64;
const int kMaxTimeoutSeconds = 3600;
const int kMaxPerHost = 64;
const int kMaxNumberDigits = 6;
const char kStandardInputName[] = "-";
const char kLineEnd[] = "\r\n";
const int kVerdictColumn = 12;
const int64_t kRedrawMilliseconds = 100;    // live progress line on a terminal
const int64_t kLogLineMilliseconds = 2000;  // progress lines into a file or pipe

struct CheckOptions {
  std::string listPath = kChannelFileName;
  bool listGiven = false;
  CheckSettings settings;
  std::string outputPath;
  std::string m3uPath;
  std::string jsonPath;
  bool quiet = false;
  bool help = false;
  std::string badArgument;  // the first argument refused
};

struct NumberOption {
  const char* name;
  int CheckSettings::*field;
  int most;
};
const NumberOption kNumberOptions[] = {
    {"--jobs", &CheckSettings::jobs, kMaxJobs},
    {"--timeout", &CheckSettings::timeoutSeconds, kMaxTimeoutSeconds},
    {"--per-host", &CheckSettings::perHost, kMaxPerHost}};

std::string* FileOption(CheckOptions& options, const std::string& name) {
  if (TextEquals(name, "--output")) return &options.outputPath;
  if (TextEquals(name, "--m3u")) return &options.m3uPath;
  if (TextEquals(name, "--json")) return &options.jsonPath;
  return nullptr;
}

// A count from 1 to most written in decimal digits only.
std::optional<int> CountValue(const std::string& text, int most) {
  if (text.empty() || TextLength(text) > kMaxNumberDigits ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  const int value = TextToNumber(text);
  if (value < 1 || value > most) return std::nullopt;
  return value;
}

bool TakesValue(const std::string& name) {
  for (const NumberOption& option : kNumberOptions) {
    if (TextEquals(name, option.name)) return true;
  }
  CheckOptions unused;
  return FileOption(unused, name) != nullptr;
}

// Sets the option name to value; false when the value is refused.
bool SetValue(CheckOptions& options, const std::string& name, const std::string& value) {
  for (const NumberOption& option : kNumberOptions) {
    if (!TextEquals(name, option.name)) continue;
    std::optional<int> count = CountValue(value, option.most);
    if (count) options.settings.*option.field = *count;
    return count.has_value();
  }
  std::string* path = FileOption(options, name);
  if (path == nullptr || value.empty()) return false;
  *path = value;
  return true;
}

CheckOptions ParseCheckArguments(const std::vector<std::string>& args, bool listAllowed) {
  CheckOptions options;
  for (size_t i = 0; i < args.size() && options.badArgument.empty(); ++i) {
    const std::string& arg = args[i];
    const size_t equals = arg.find('=');
    const std::string name = StartsWith(arg, "--") ? arg.substr(0, equals) : arg;
    if (TakesValue(name)) {
      const bool hasInlineValue = equals != std::string::npos;
      if (!hasInlineValue && i + 1 >= args.size()) {
        options.badArgument = arg;
        break;
      }
      const std::string value = hasInlineValue ? arg.substr(equals + 1) : args[++i];
      if (!SetValue(options, name, value)) options.badArgument = Concat(name, " ", value);
    } else if (TextEquals(arg, "--quiet")) {
      options.quiet = true;
    } else if (TextEquals(arg, "--help")) {
      options.help = true;
    } else if (listAllowed && !options.listGiven &&
               (!StartsWith(arg, "-") || TextEquals(arg, kStandardInputName))) {
      options.listPath = arg;
      options.listGiven = true;
    } else {
      options.badArgument = arg;
    }
  }
  return options;
}

void WriteErr(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

int Refuse(const std::string& why) {
  WriteErr(Concat(kProgramName, ": ", why, "\n"));
  return kExitUsage;
}

int RefuseArgument(const std::string& argument) {
  return Refuse(Concat("bad option or missing value: ", argument, "\n", kUsage));
}

std::optional<std::string> ReadList(const std::string& path) {
  const bool standardInput = TextEquals(path, kStandardInputName);
  std::FILE* file = standardInput ? stdin : std::fopen(path.c_str(), "rb");
  if (file == nullptr) return std::nullopt;
  std::string bytes;
  char block[65536];
  size_t got = 0;
  while ((got = std::fread(block, 1, sizeof block, file)) > 0) bytes.append(block, got);
  const bool failed = std::ferror(file) != 0;
  if (!standardInput) std::fclose(file);
  if (failed) return std::nullopt;
  return bytes;
}

// True when both name one file, also when it does not exist yet.
bool SameFile(const std::string& a, const std::string& b) {
  std::error_code errorA;
  std::error_code errorB;
  if (std::filesystem::equivalent(a, b, errorA)) return true;
  const std::filesystem::path pathA = std::filesystem::weakly_canonical(a, errorA);
  const std::filesystem::path pathB = std::filesystem::weakly_canonical(b, errorB);
  return !errorA && !errorB && pathA == pathB;
}

// The output that would overwrite the list being checked, or "".
std::string OutputOverList(const CheckOptions& options, const std::string& listPath) {
  if (TextEquals(listPath, kStandardInputName)) return std::string();
  for (const std::string* path : {&options.outputPath, &options.m3uPath, &options.jsonPath}) {
    if (!path->empty() && SameFile(listPath, *path)) return *path;
  }
  return std::string();
}

// Why the outputs cannot be written as asked, or "".
std::string OutputProblem(const CheckOptions& options, const std::string& listPath) {
  const std::string overList = OutputOverList(options, listPath);
  if (!overList.empty())
    return Concat(overList, " is the list being checked, which is never changed");
  if (TextEquals(options.m3uPath, kStandardOutputName) &&
      TextEquals(options.jsonPath, kStandardOutputName)) {
    return "only one of the M3U and JSON outputs can go to standard output";
  }
  return std::string();
}

bool WritesToStandardOutput(const CheckOptions& options) {
  return TextEquals(options.m3uPath, kStandardOutputName) ||
         TextEquals(options.jsonPath, kStandardOutputName);
}

// Progress on stderr, verdict lines on stdout in list order as the rows are done.
struct CheckConsole {
  const std::vector<ListRow>* rows = nullptr;
  const std::vector<CheckResult>* results = nullptr;
  bool quiet = false;
  bool printRows = true;
  bool live = false;  // a rewritable progress line on a terminal
  int shownLength = 0;
  int64_t lastDraw = 0;
  std::string lastText;  // the progress text last shown
  size_t checked = 0;
  size_t liveCount = 0;
  std::vector<bool> done;
  size_t nextToPrint = 0;
  size_t counts[kVerdictCount] = {};
};

std::string ProgressText(const CheckConsole& console) {
  return Concat("Checked ", NumberToText(static_cast<int32_t>(console.checked)), "/",
                NumberToText(static_cast<int32_t>(console.rows->size())), ", live ",
                NumberToText(static_cast<int32_t>(console.liveCount)));
}

void ClearProgress(CheckConsole& console) {
  if (!console.live || console.shownLength == 0) return;
  WriteErr(Concat("\r", SpaceText(console.shownLength), "\r"));
  console.shownLength = 0;
}

void DrawProgress(CheckConsole& console, bool force) {
  if (console.quiet) return;
  const int64_t now = MonotonicMilliseconds();
  const int64_t every = console.live ? kRedrawMilliseconds : kLogLineMilliseconds;
  if (!force && now - console.lastDraw < every) return;
  const std::string text = ProgressText(console);
  const bool shown = !console.live || console.shownLength > 0;
  if (shown && TextEquals(text, console.lastText)) return;
  console.lastDraw = now;
  console.lastText = text;
  if (!console.live) {
    WriteErr(Concat(text, "\n"));
    return;
  }
  WriteErr(Concat("\r", text, SpaceText(console.shownLength - TextLength(text))));
  console.shownLength = TextLength(text);
}

std::string VerdictLine(const ListRow& row, const CheckResult& result) {
  std::string word = VerdictWord(result.verdict);
  std::string line = Concat(word, SpaceText(kVerdictColumn - TextLength(word)), row.record.country,
                            " | ", row.record.channel, ": ", result.detail);
  if (!result.played.empty() && !TextEquals(result.played, TrimSpaces(row.record.streamUrl))) {
    line += Concat(" (played ", result.played, ")");
  }
  return Concat(Cp1252ToTerminalText(line), "\n");
}

void PrintDoneRows(CheckConsole& console) {
  std::string text;
  while (console.nextToPrint < console.done.size() && console.done[console.nextToPrint]) {
    const size_t i = console.nextToPrint++;
    text += VerdictLine((*console.rows)[i], (*console.results)[i]);
  }
  if (text.empty()) return;
  ClearProgress(console);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void NoteResult(CheckConsole& console, size_t index, const CheckResult& result) {
  ++console.checked;
  ++console.counts[static_cast<int>(result.verdict)];
  if (result.verdict == Verdict::kLive) ++console.liveCount;
  console.done[index] = true;
  if (!console.quiet && console.printRows) PrintDoneRows(console);
  DrawProgress(console, false);
}

void ShowSummary(CheckConsole& console) {
  if (console.quiet) return;
  DrawProgress(console, true);
  if (console.live) WriteErr("\n");
  std::string summary;
  for (int v = 0; v < kVerdictCount; ++v) {
    if (v > 0) summary += ", ";
    summary += Concat(VerdictWord(static_cast<Verdict>(v)), " ",
                      NumberToText(static_cast<int32_t>(console.counts[v])));
  }
  WriteErr(Concat(summary, "\n"));
}

nlohmann::ordered_json TextOrNull(const std::string& bytes) {
  return bytes.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(Cp1252ToUtf8(bytes));
}

nlohmann::ordered_json ResultJson(const ListRow& row, const CheckResult& result) {
  nlohmann::ordered_json object;
  object["country"] = Cp1252ToUtf8(row.record.country);
  object["name"] = Cp1252ToUtf8(row.record.channel);
  object["stream"] = Cp1252ToUtf8(row.record.streamUrl);
  object["status"] = VerdictWord(result.verdict);
  object["detail"] = Cp1252ToUtf8(result.detail);
  object["played"] = TextOrNull(result.played);
  object["format"] = TextOrNull(result.format);
  object["video"] = TextOrNull(result.video);
  object["audio"] = TextOrNull(result.audio);
  object["bitrate"] =
      result.bitrate > 0 ? nlohmann::ordered_json(result.bitrate) : nlohmann::ordered_json();
  object["elapsed_ms"] = result.elapsedMs;
  return object;
}

bool WriteOutput(const std::string& path, const std::string& text) {
  if (TextEquals(path, kStandardOutputName)) {
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
           std::fflush(stdout) == 0;
  }
  const ReplaceOutcome outcome = WriteTextFile(path, text);
  if (outcome.saved) return true;
  WriteErr(Concat(kProgramName, ": could not write ", outcome.problem, "\n"));
  return false;
}

// Writes the requested files; false when one of them could not be written.
bool WriteOutputs(const CheckOptions& options, const std::vector<ListRow>& rows,
                  const std::vector<CheckResult>& results) {
  std::string liveLines;
  ChannelList liveList;
  std::vector<nlohmann::ordered_json> objects;
  for (size_t i = 0; i < rows.size(); ++i) {
    objects.push_back(ResultJson(rows[i], results[i]));
    if (results[i].verdict != Verdict::kLive) continue;
    liveLines += Concat(rows[i].line, kLineEnd);
    AddRecord(liveList, rows[i].record);
  }
  bool written = true;
  if (!options.outputPath.empty()) written = WriteOutput(options.outputPath, liveLines) && written;
  if (!options.m3uPath.empty())
    written = WriteOutput(options.m3uPath, M3uText(liveList)) && written;
  if (!options.jsonPath.empty())
    written = WriteOutput(options.jsonPath, JsonArrayText(objects)) && written;
  return written;
}

int CheckRows(const CheckOptions& options, const std::vector<ListRow>& rows) {
  std::vector<std::string> addresses;
  for (const ListRow& row : rows) addresses.push_back(row.record.streamUrl);
  std::vector<CheckResult> results(rows.size());
  CheckConsole console;
  console.rows = &rows;
  console.results = &results;
  console.quiet = options.quiet;
  console.printRows = !WritesToStandardOutput(options);
  console.live = !options.quiet && StderrIsTerminal();
  console.done.assign(rows.size(), false);
  if (console.live) DrawProgress(console, true);
  results = CheckStreams(addresses, options.settings, [&](size_t index, const CheckResult& result) {
    results[index] = RowResult(rows[index], result);
    NoteResult(console, index, results[index]);
  });
  for (size_t i = 0; i < rows.size(); ++i) results[i] = RowResult(rows[i], results[i]);
  if (RunCancelled()) {
    ClearProgress(console);
    if (!options.quiet) WriteErr(Concat(ProgressText(console), ": stopped, nothing written\n"));
    return StopExitCode() != 0 ? StopExitCode() : kExitInterrupted;
  }
  ShowSummary(console);
  return WriteOutputs(options, rows, results) ? kExitOk : kExitWriteFailed;
}

}  // namespace

void HandOverToCheckProgram(int /*argc*/, char** /*argv*/) {}  // this program has the check

int RunCheckCommand(const std::vector<std::string>& args) {
  const CheckOptions options = ParseCheckArguments(args, true);
  if (!options.badArgument.empty()) return RefuseArgument(options.badArgument);
  if (options.help) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  const std::string problem = OutputProblem(options, options.listPath);
  if (!problem.empty()) return Refuse(problem);
  std::optional<std::string> bytes = ReadList(options.listPath);
  if (!bytes) return Refuse(Concat("cannot read the list ", options.listPath));
  InstallStopHandlers();
  return CheckRows(options, ParseChannelRows(*bytes));
}

bool TakeCheckOption(int argc, char** argv, int* i, std::vector<std::string>& args) {
  const std::string arg = argv[*i];
  if (!StartsWith(arg, kCheckOptionPrefix)) return false;
  const std::string option = Concat("--", arg.substr(sizeof kCheckOptionPrefix - 1));
  args.push_back(option);
  if (TakesValue(option) && option.find('=') == std::string::npos && *i + 1 < argc) {
    ++*i;
    args.push_back(argv[*i]);
  }
  return true;
}

int RefuseCheckOptions(const std::vector<std::string>& args, const std::string& listPath) {
  const CheckOptions options = ParseCheckArguments(args, false);
  if (options.help) return RefuseArgument("--check-help");
  if (!options.badArgument.empty()) {
    return RefuseArgument(Concat(
        kCheckOptionPrefix, RightPart(options.badArgument, TextLength(options.badArgument) - 2)));
  }
  const std::string problem = OutputProblem(options, listPath);
  return problem.empty() ? 0 : Refuse(problem);
}

int CheckHarvestedList(ChannelList& list, const std::vector<std::string>& args, bool quiet) {
  CheckOptions options = ParseCheckArguments(args, false);
  options.quiet = options.quiet || quiet;
  std::vector<ListRow> rows;
  Rewind(list);
  for (const ChannelRecord* record = NextRecord(list); record != nullptr;
       record = NextRecord(list)) {
    rows.push_back(ListRow{ChannelLine(*record), *record, std::string()});
  }
  return CheckRows(options, rows);
}
