// The check command: its options, the list it reads, progress and a summary on stderr, one
// verdict line per row on stdout, and the --output / --m3u / --json files of the result.
#include "check/check_command.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <iterator>
#include <optional>
#include <utility>

#include "check/check_list.h"
#include "check/check_run.h"
#include "harvest/channel_export.h"
#include "harvest/channel_file.h"
#include "harvest/system_error.h"
#include "harvest/update_run.h"
#include "text/text.h"
#include "text/utf8.h"
#include "ui/console/console.h"

namespace {

const char kCommandPrefix[] = "check: ";
const char kVersionText[] = "morvek-cli " MORVEK_VERSION "\n";
const char kUsage[] =
    "Usage: morvek-cli check [LIST] [--jobs N] [--timeout SECONDS] [--per-host N]\n"
    "                        [--output FILE] [--m3u FILE] [--json FILE] [--quiet] [--help]\n"
    "\n"
    "Checks the stream address of every row of LIST (channels.dat in the working directory;\n"
    "- reads standard input) and prints one verdict per row: live, no-media, error,\n"
    "unreachable, unsupported or no-stream. LIST itself is never changed.\n"
    "\n"
    "  -j, --jobs N       checks at once (default 8, at most 64)\n"
    "  -t, --timeout S    time for one check, from its start to its verdict (default 10)\n"
    "  --per-host N       connections to one host at once (default 4)\n"
    "  -o, --output FILE  write the live rows, unchanged, to FILE (a channels.dat)\n"
    "  --m3u FILE         write an M3U playlist of the live rows (- for stdout)\n"
    "  --json FILE        write every row with its verdict and media details as JSON\n"
    "                     (- for stdout)\n"
    "  -q, --quiet        show no progress and no summary (the verdicts still show)\n"
    "  -h, --help         show this text\n"
    "  -V, --version      show the version\n"
    "\n"
    "After a harvest, `morvek-cli --check` takes these options as --check-jobs,\n"
    "--check-timeout, --check-per-host, --check-output, --check-m3u and --check-json.\n"
    "Ctrl-C stops the check; nothing is written then.\n"
    "\n"
    "Exit codes:\n"
    "  0    checked, whatever the verdicts\n"
    "  1    an output, or stdout, could not be written\n"
    "  2    bad options, two outputs on one file or on stdout, or an unreadable list\n"
    "  4    morvek-check, which holds the check, is missing\n"
    "  129  hung up; nothing was written\n"
    "  130  stopped by Ctrl-C; nothing was written\n"
    "  141  stdout was closed before the end (for example by head); nothing was written\n"
    "  143  terminated; nothing was written\n";

// Checks at once; the harvest's kMaxJobs counts pages fetched ahead, a lighter load.
const int kMostChecksAtOnce = 64;
const int kMaxTimeoutSeconds = 3600;
const int kMaxPerHost = 64;
const int kMaxNumberDigits = 6;
const char kStandardInputName[] = "-";
// A list longer than this is refused (about 800,000 rows): it is held in memory whole.
const size_t kMaxListBytes = 256u << 20;
const size_t kStdinChunk = 65536;
const char kVerdictLines[] = "the verdict lines";
const char kLineEnd[] = "\r\n";
const int kVerdictColumn = 12;
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
  bool version = false;
  std::string badArgument;  // the first argument refused
};

struct NumberOption {
  const char* name;
  int CheckSettings::*field;
  int most;
};
const NumberOption kNumberOptions[] = {
    {"--jobs", &CheckSettings::jobs, kMostChecksAtOnce},
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
    } else if (TextEquals(arg, "--help") || TextEquals(arg, "-h")) {
      options.help = true;
    } else if (TextEquals(arg, "--version") || TextEquals(arg, "-V")) {
      options.version = true;
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
  WriteErr(Concat(kProgramPrefix, kCommandPrefix, why, "\n"));
  return kExitUsage;
}

int RefuseArgument(const std::string& argument) {
  return Refuse(Concat("bad option or missing value: ", argument, " (try morvek-cli check --help)"));
}

// The list's bytes, or why it cannot be read. A named pipe is read as standard input is; a
// device or a folder is refused.
std::string ReadList(const std::string& path, std::string& bytes) {
  if (!TextEquals(path, kStandardInputName)) {
    return ReadInputFile(path, kMaxListBytes, true, [&bytes](const char* piece, size_t count) {
      bytes.append(piece, count);
      return true;
    });
  }
  std::vector<char> chunk(kStdinChunk);
  size_t got = 0;
  while ((got = std::fread(chunk.data(), 1, chunk.size(), stdin)) > 0) {
    bytes.append(chunk.data(), got);
    if (bytes.size() > kMaxListBytes) {
      return Concat("holds more than the ", NumberToText(static_cast<int32_t>(kMaxListBytes)),
                    " bytes that are read");
    }
  }
  return std::ferror(stdin) ? SystemErrorText(LastSystemError()) : std::string();
}

// Verdict lines go to stdout unless an output takes it.
bool WritesToStandardOutput(const CheckOptions& options) {
  return TextEquals(options.m3uPath, kStandardOutputName) ||
         TextEquals(options.jsonPath, kStandardOutputName);
}

// The check's outputs under the names the command line gave them (prefix "--" or "--check-"),
// and the verdict lines when they go to stdout.
std::vector<NamedOutput> CheckOutputs(const CheckOptions& options, const char* prefix) {
  std::vector<NamedOutput> outputs;
  const std::pair<const char*, const std::string*> named[] = {
      {"output", &options.outputPath}, {"m3u", &options.m3uPath}, {"json", &options.jsonPath}};
  for (const auto& [name, path] : named) {
    if (!path->empty()) outputs.push_back({Concat(prefix, name), *path});
  }
  if (!WritesToStandardOutput(options)) outputs.push_back({kVerdictLines, kStandardOutputName});
  return outputs;
}

// The output that would overwrite the list being checked, or "".
std::string OutputOverList(const CheckOptions& options, const std::string& listPath) {
  if (TextEquals(listPath, kStandardInputName)) return std::string();
  for (const std::string* path : {&options.outputPath, &options.m3uPath, &options.jsonPath}) {
    if (!path->empty() && !TextEquals(*path, kStandardOutputName) && SameFile(listPath, *path)) {
      return *path;
    }
  }
  return std::string();
}

// Why the outputs cannot be written as asked, or "".
std::string OutputProblem(const CheckOptions& options, const std::string& listPath) {
  const std::string overList = OutputOverList(options, listPath);
  if (!overList.empty())
    return Concat(overList, " is the list being checked, which is never changed");
  return OutputClash(CheckOutputs(options, "--"));
}

// Progress on stderr, verdict lines on stdout in list order as the rows are done.
struct CheckConsole {
  const std::vector<ListRow>* rows = nullptr;
  const std::vector<CheckResult>* results = nullptr;
  bool quiet = false;
  bool printRows = true;
  ProgressLine progress;  // the live line, on a terminal
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

void ClearProgress(CheckConsole& console) { ClearProgressLine(console.progress); }

void DrawProgress(CheckConsole& console, bool force) {
  if (console.quiet) return;
  const int64_t now = MonotonicMilliseconds();
  const int64_t every = console.progress.live ? kProgressRedrawMilliseconds : kLogLineMilliseconds;
  if (!force && now - console.lastDraw < every) return;
  const std::string text = ProgressText(console);
  const bool shown = !console.progress.live || console.progress.shownLength > 0;
  if (shown && TextEquals(text, console.lastText)) return;
  console.lastDraw = now;
  console.lastText = text;
  if (!console.progress.live) {
    WriteErr(Concat(text, "\n"));
    return;
  }
  PutProgressLine(console.progress, text);
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

// Prints the verdicts of the rows done so far in list order; true when it printed any.
bool PrintDoneRows(CheckConsole& console) {
  std::string text;
  while (console.nextToPrint < console.done.size() && console.done[console.nextToPrint]) {
    const size_t i = console.nextToPrint++;
    text += VerdictLine((*console.rows)[i], (*console.results)[i]);
  }
  if (text.empty()) return false;
  ClearProgress(console);
  WriteStdout(text, kVerdictLines, true);
  return true;
}

void NoteResult(CheckConsole& console, size_t index, const CheckResult& result) {
  ++console.checked;
  ++console.counts[static_cast<int>(result.verdict)];
  if (result.verdict == Verdict::kLive) ++console.liveCount;
  console.done[index] = true;
  // Verdict lines erase the live progress line; it is drawn again below them at once.
  const bool printed = console.printRows && PrintDoneRows(console);
  DrawProgress(console, printed && console.progress.live);
}

void ShowSummary(CheckConsole& console) {
  if (console.quiet) return;
  DrawProgress(console, true);
  if (console.progress.live) WriteErr("\n");
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

// How the outputs went: all written, one failed, or a stop came before the first was.
enum class OutputsEnd { kWritten, kFailed, kStopped };

// Writes one output, unless a stop came before the first output replaced its file.
OutputsEnd WriteOutput(const std::string& option, const std::string& path,
                       const std::string& text) {
  if (TextEquals(path, kStandardOutputName)) {
    if (!CommitOutput()) return OutputsEnd::kStopped;
    return WriteStdout(text, option, true) ? OutputsEnd::kWritten : OutputsEnd::kFailed;
  }
  const ReplaceOutcome outcome = WriteTextFile(path, text, CommitOutput);
  if (outcome.saved) return OutputsEnd::kWritten;
  if (outcome.held) return OutputsEnd::kStopped;
  WriteErr(Concat(kProgramPrefix, kCommandPrefix, "cannot write ", option, ": ", outcome.problem,
                  "\n"));
  return OutputsEnd::kFailed;
}

// Writes the requested files in turn.
OutputsEnd WriteOutputs(const CheckOptions& options, const std::vector<ListRow>& rows,
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
  const std::pair<const std::string*, std::string> outputs[] = {
      {&options.outputPath, liveLines},
      {&options.m3uPath, options.m3uPath.empty() ? std::string() : M3uText(liveList)},
      {&options.jsonPath, options.jsonPath.empty() ? std::string() : JsonArrayText(objects)}};
  const char* const names[] = {"--output", "--m3u", "--json"};
  OutputsEnd end = OutputsEnd::kWritten;
  for (size_t i = 0; i < std::size(outputs); ++i) {
    if (outputs[i].first->empty()) continue;
    const OutputsEnd one = WriteOutput(names[i], *outputs[i].first, outputs[i].second);
    if (one == OutputsEnd::kStopped) return one;
    if (one == OutputsEnd::kFailed) end = one;
  }
  return end;
}

// A check that a stop ended writes nothing. A signal says so; a closed or failed stdout has
// said all there is to say.
int Stopped(const CheckOptions& options, CheckConsole& console) {
  ClearProgress(console);
  const int code = StopExitCode() != 0 ? StopExitCode() : kExitInterrupted;
  if (!options.quiet && code != kExitBrokenPipe && code != kExitWriteFailed) {
    WriteErr(Concat(ProgressText(console), ": stopped, nothing written\n"));
  }
  return code;
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
  console.progress.live = !options.quiet && StderrIsTerminal();
  console.done.assign(rows.size(), false);
  if (console.progress.live) DrawProgress(console, true);
  results = CheckStreams(addresses, options.settings, [&](size_t index, const CheckResult& result) {
    results[index] = RowResult(rows[index], result);
    NoteResult(console, index, results[index]);
  });
  for (size_t i = 0; i < rows.size(); ++i) results[i] = RowResult(rows[i], results[i]);
  if (RunCancelled() || StopExitCode() != 0) return Stopped(options, console);
  ShowSummary(console);
  const OutputsEnd end = WriteOutputs(options, rows, results);
  if (end == OutputsEnd::kStopped) return Stopped(options, console);
  // A stop that came once the outputs had begun let them complete; it still gives the exit.
  if (StopExitCode() != 0) return StopExitCode();
  return end == OutputsEnd::kFailed ? kExitWriteFailed : kExitOk;
}

}  // namespace

void HandOverToCheckProgram(int /*argc*/, char** /*argv*/) {}  // this program has the check

bool CheckOptionTakesValue(const std::string& name) {
  if (!StartsWith(name, kCheckOptionPrefix)) return TakesValue(name);
  return TakesValue(Concat("--", name.substr(sizeof kCheckOptionPrefix - 1)));
}

int RunCheckCommand(const std::vector<std::string>& args) {
  const CheckOptions options = ParseCheckArguments(GnuArguments(args, CheckOptionTakesValue), true);
  if (!options.badArgument.empty()) return RefuseArgument(options.badArgument);
  if (options.help) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (options.version) {
    std::fputs(kVersionText, stdout);
    return kExitOk;
  }
  const std::string problem = OutputProblem(options, options.listPath);
  if (!problem.empty()) return Refuse(problem);
  std::string bytes;
  const std::string unread = ReadList(options.listPath, bytes);
  if (!unread.empty()) return Refuse(Concat("cannot read the list ", options.listPath, ": ", unread));
  InstallStopHandlers();
  return CheckRows(options, ParseChannelRows(bytes));
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

int RefuseCheckOptions(const std::vector<std::string>& args,
                       const std::vector<NamedOutput>& harvestOutputs) {
  const CheckOptions options = ParseCheckArguments(args, false);
  if (options.help) return RefuseArgument("--check-help");
  if (options.version) return RefuseArgument("--check-version");
  if (!options.badArgument.empty()) {
    return RefuseArgument(Concat(
        kCheckOptionPrefix, RightPart(options.badArgument, TextLength(options.badArgument) - 2)));
  }
  std::vector<NamedOutput> outputs = harvestOutputs;
  for (const NamedOutput& output : CheckOutputs(options, kCheckOptionPrefix)) {
    outputs.push_back(output);
  }
  const std::string clash = OutputClash(outputs);
  if (clash.empty()) return 0;
  WriteErr(Concat(kProgramPrefix, clash, " (try --help)\n"));
  return kExitUsage;
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
