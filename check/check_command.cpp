// The check command: its options, the list it reads, progress and a summary on stderr, one
// verdict line per row on stdout, and the --output / --m3u / --json files of the result.
#include "check/check_command.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <system_error>

#include "check/check_list.h"
#include "check/check_playlist.h"
#include "check/check_probe.h"
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
    "                        [--output FILE] [--m3u FILE] [--dead FILE] [--json FILE]\n"
    "                        [--user-agent TEXT] [--quiet] [--help]\n"
    "\n"
    "Checks the stream address of every entry of LIST, a channels.dat or an M3U playlist\n"
    "(channels.dat in the working directory; - reads standard input; an http or https\n"
    "address is downloaded) and prints one verdict per entry: live, no-media, error,\n"
    "unreachable, unsupported or no-stream. LIST itself is never changed.\n"
    "\n"
    "  --jobs N           checks at once (default 8, at most 64)\n"
    "  --timeout SECONDS  time for one check, from its start to its verdict (default 10)\n"
    "  --per-host N       connections to one host at once (default 4)\n"
    "  --output FILE      write the live entries, unchanged, to FILE (in LIST's format)\n"
    "  --m3u FILE         write an M3U playlist of the live entries (- for stdout); a\n"
    "                     playlist's entries keep their own lines\n"
    "  --dead FILE        write the entries that are not live, in LIST's format\n"
    "  --json FILE        write every row with its verdict and media details as JSON\n"
    "                     (- for stdout)\n"
    "  --user-agent TEXT  the User-Agent of requests whose entry names none\n"
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
const int64_t kMaxListBytes = 256 * 1024 * 1024;  // a list read from a file, stdin or an address
const char kStandardInputName[] = "-";
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
  std::string deadPath;
  std::string userAgent;
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
  if (TextEquals(name, "--dead")) return &options.deadPath;
  if (TextEquals(name, "--user-agent")) return &options.userAgent;
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

// The list's bytes, or why they could not be read.
ListBytes ReadList(const std::string& path, const CheckSettings& settings) {
  if (IsListAddress(path)) return DownloadList(path, settings.timeoutSeconds, kMaxListBytes);
  const bool standardInput = TextEquals(path, kStandardInputName);
  std::FILE* file = standardInput ? stdin : std::fopen(path.c_str(), "rb");
  ListBytes list;
  if (file == nullptr) {
    list.problem = std::strerror(errno);
    return list;
  }
  char block[65536];
  size_t got = 0;
  while (list.problem.empty() && (got = std::fread(block, 1, sizeof block, file)) > 0) {
    list.bytes.append(block, got);
    if (static_cast<int64_t>(list.bytes.size()) > kMaxListBytes) {
      list.problem = Concat("longer than ", std::to_string(kMaxListBytes), " bytes");
    }
  }
  if (list.problem.empty() && std::ferror(file) != 0) list.problem = "read error";
  if (!standardInput) std::fclose(file);
  return list;
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
  for (const std::string* path :
       {&options.outputPath, &options.m3uPath, &options.jsonPath, &options.deadPath}) {
    if (!path->empty() && SameFile(listPath, *path)) return *path;
  }
  return std::string();
}

// Why the outputs cannot be written as asked, or "".
std::string OutputProblem(const CheckOptions& options, const std::string& listPath) {
  const std::string overList = OutputOverList(options, listPath);
  if (!overList.empty())
    return Concat(overList, " is the list being checked, which is never changed");
  int toStandardOutput = 0;
  for (const std::string* path : {&options.m3uPath, &options.jsonPath, &options.deadPath}) {
    if (TextEquals(*path, kStandardOutputName)) ++toStandardOutput;
  }
  if (toStandardOutput > 1) {
    return "only one of the M3U, dead and JSON outputs can go to standard output";
  }
  return std::string();
}

bool WritesToStandardOutput(const CheckOptions& options) {
  return TextEquals(options.m3uPath, kStandardOutputName) ||
         TextEquals(options.jsonPath, kStandardOutputName) ||
         TextEquals(options.deadPath, kStandardOutputName);
}

// Progress on stderr, verdict lines on stdout in list order as the rows are done.
struct CheckConsole {
  const CheckList* list = nullptr;
  const std::vector<CheckResult>* results = nullptr;
  const std::vector<std::string>* requested = nullptr;
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
  size_t duplicates = 0;
};

std::string ProgressText(const CheckConsole& console) {
  return Concat("Checked ", NumberToText(static_cast<int32_t>(console.checked)), "/",
                NumberToText(static_cast<int32_t>(console.list->entries.size())), ", live ",
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

// Entry text as UTF-8: a UTF-8 playlist's as it is, page text decoded with its references.
std::string EntryUtf8(const CheckList& list, const std::string& bytes) {
  if (list.kind == ListKind::kPlaylist) return list.utf8 ? bytes : Cp1252ToUtf8(bytes);
  return DecodeCharacterReferences(Cp1252ToUtf8(bytes));
}

// The address a check requests for an entry: a page's address with its references decoded.
std::string RequestAddress(const CheckList& list, const CheckEntry& entry) {
  const std::string address = TrimSpaces(entry.row.record.streamUrl);
  return list.kind == ListKind::kPlaylist ? address : DecodeCharacterReferences(address);
}

// The address that played as UTF-8; the entry's own when no wrapper led elsewhere.
std::string PlayedUtf8(const CheckList& list, const CheckEntry& entry, const CheckResult& result,
                       const std::string& requested) {
  if (TextEquals(result.played, requested)) return EntryUtf8(list, TrimSpaces(entry.row.record.streamUrl));
  return list.utf8 ? result.played : Cp1252ToUtf8(result.played);
}

// A live picture whose measured label differs from the one in its name.
bool Mislabeled(const std::string& named, const CheckResult& result) {
  const std::string measured = QualityOfHeight(result.height);
  return result.verdict == Verdict::kLive && !named.empty() && !measured.empty() &&
         !TextEquals(named, measured);
}

std::string VerdictLine(const CheckList& list, size_t index, const CheckResult& result,
                        const std::string& requested) {
  const CheckEntry& entry = list.entries[index];
  std::string word = VerdictWord(result.verdict);
  std::string line = Concat(word, SpaceText(kVerdictColumn - TextLength(word)),
                            EntryUtf8(list, entry.row.record.country), " | ",
                            EntryUtf8(list, entry.row.record.channel), ": ",
                            Cp1252ToUtf8(result.detail));
  const std::string named = QualityInName(entry.row.record.channel);
  if (Mislabeled(named, result)) {
    line += Concat(" (mislabeled: ", named, " in the name, ", QualityOfHeight(result.height), ")");
  }
  if (!result.played.empty() && !TextEquals(result.played, requested)) {
    line += Concat(" (played ", PlayedUtf8(list, entry, result, requested), ")");
  }
  return Concat(Utf8ToTerminalText(line), "\n");
}

void PrintDoneRows(CheckConsole& console) {
  std::string text;
  while (console.nextToPrint < console.done.size() && console.done[console.nextToPrint]) {
    const size_t i = console.nextToPrint++;
    text += VerdictLine(*console.list, i, (*console.results)[i], (*console.requested)[i]);
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
  if (console.duplicates > 0) {
    summary += Concat("; ", NumberToText(static_cast<int32_t>(console.duplicates)),
                      " duplicates checked once");
  }
  WriteErr(Concat(summary, "\n"));
}

nlohmann::ordered_json TextOrNull(const std::string& utf8) {
  return utf8.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(utf8);
}

// One entry as JSON; duplicateOf is the position (from 1) of the entry checked in its place.
nlohmann::ordered_json ResultJson(const CheckList& list, size_t index, const CheckResult& result,
                                  const std::string& requested, size_t duplicateOf) {
  const CheckEntry& entry = list.entries[index];
  const ChannelRecord& record = entry.row.record;
  nlohmann::ordered_json object;
  object["country"] = EntryUtf8(list, record.country);
  object["name"] = EntryUtf8(list, record.channel);
  object["group"] = TextOrNull(EntryUtf8(list, record.category));
  object["tvg_id"] = TextOrNull(EntryUtf8(list, entry.tvgId));
  object["stream"] = EntryUtf8(list, TrimSpaces(record.streamUrl));
  object["status"] = VerdictWord(result.verdict);
  object["detail"] = Cp1252ToUtf8(result.detail);
  object["played"] = TextOrNull(result.played.empty() ? std::string()
                                                      : PlayedUtf8(list, entry, result, requested));
  object["format"] = TextOrNull(result.format);
  object["video"] = TextOrNull(result.video);
  object["audio"] = TextOrNull(result.audio);
  object["bitrate"] =
      result.bitrate > 0 ? nlohmann::ordered_json(result.bitrate) : nlohmann::ordered_json();
  object["fps"] = result.fps > 0 ? nlohmann::ordered_json(result.fps) : nlohmann::ordered_json();
  object["quality"] = TextOrNull(QualityOfHeight(result.height));
  const std::string named = QualityInName(record.channel);
  object["mislabeled"] = Mislabeled(named, result)
                             ? nlohmann::ordered_json{{"named", named},
                                                      {"measured", QualityOfHeight(result.height)}}
                             : nlohmann::ordered_json();
  object["elapsed_ms"] = result.elapsedMs;
  object["duplicate_of"] =
      duplicateOf > 0 ? nlohmann::ordered_json(duplicateOf) : nlohmann::ordered_json();
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

// What a check of the list found, entry by entry.
struct CheckOutcome {
  std::vector<std::string> requested;  // the address requested for each entry
  std::vector<size_t> firstOf;         // the entry whose check each entry shares (itself if none)
  std::vector<CheckResult> results;
};

// The M3U of a channels.dat's live rows: decoded names, and the address that played.
std::string ChannelsM3u(const CheckList& list, const CheckOutcome& outcome,
                        const std::vector<const CheckEntry*>& live) {
  std::string text = kM3uHeader;
  for (const CheckEntry* entry : live) {
    const size_t i = static_cast<size_t>(entry - list.entries.data());
    const ChannelRecord& record = entry->row.record;
    text += M3uEntryText(EntryUtf8(list, record.channel), EntryUtf8(list, record.country),
                         EntryUtf8(list, record.category),
                         PlayedUtf8(list, *entry, outcome.results[i], outcome.requested[i]));
  }
  return text;
}

// Writes the requested files; false when one of them could not be written.
bool WriteOutputs(const CheckOptions& options, const CheckList& list, const CheckOutcome& outcome) {
  std::vector<const CheckEntry*> live;
  std::vector<const CheckEntry*> dead;
  std::vector<nlohmann::ordered_json> objects;
  for (size_t i = 0; i < list.entries.size(); ++i) {
    const size_t first = outcome.firstOf[i];
    objects.push_back(ResultJson(list, i, outcome.results[i], outcome.requested[i],
                                 first == i ? 0 : first + 1));
    (outcome.results[i].verdict == Verdict::kLive ? live : dead).push_back(&list.entries[i]);
  }
  const bool playlist = list.kind == ListKind::kPlaylist;
  bool written = true;
  if (!options.outputPath.empty())
    written = WriteOutput(options.outputPath, ListText(list, live)) && written;
  if (!options.m3uPath.empty()) {
    const std::string m3u = playlist ? ListText(list, live) : ChannelsM3u(list, outcome, live);
    written = WriteOutput(options.m3uPath, m3u) && written;
  }
  if (!options.deadPath.empty())
    written = WriteOutput(options.deadPath, ListText(list, dead)) && written;
  if (!options.jsonPath.empty())
    written = WriteOutput(options.jsonPath, JsonArrayText(objects)) && written;
  return written;
}

// The same address with the same request is checked once: the targets of the first entries,
// and for every entry the first one it repeats.
std::vector<CheckTarget> DistinctTargets(const CheckOptions& options, const CheckList& list,
                                         CheckOutcome& outcome, std::vector<size_t>& targetOf) {
  std::vector<CheckTarget> targets;
  std::map<std::string, size_t> firstByKey;
  for (size_t i = 0; i < list.entries.size(); ++i) {
    CheckTarget target{RequestAddress(list, list.entries[i]), list.entries[i].request};
    if (target.request.userAgent.empty()) target.request.userAgent = options.userAgent;
    outcome.requested.push_back(target.address);
    std::string key = Concat(target.address, "\n", target.request.userAgent, "\n",
                             target.request.referrer);
    for (const std::string& header : target.request.headers) key += Concat("\n", header);
    const bool checked = !target.address.empty();
    auto [it, added] = firstByKey.emplace(key, i);
    if (!added && checked) {
      outcome.firstOf.push_back(it->second);
      continue;
    }
    outcome.firstOf.push_back(i);
    targetOf.push_back(i);
    targets.push_back(std::move(target));
  }
  return targets;
}

int CheckEntries(const CheckOptions& options, const CheckList& list) {
  CheckOutcome outcome;
  std::vector<size_t> targetOf;  // the entry of each target
  const std::vector<CheckTarget> targets = DistinctTargets(options, list, outcome, targetOf);
  std::vector<std::vector<size_t>> repeats(list.entries.size());
  for (size_t i = 0; i < list.entries.size(); ++i) {
    if (outcome.firstOf[i] != i) repeats[outcome.firstOf[i]].push_back(i);
  }
  outcome.results.assign(list.entries.size(), CheckResult());
  CheckConsole console;
  console.list = &list;
  console.results = &outcome.results;
  console.requested = &outcome.requested;
  console.quiet = options.quiet;
  console.printRows = !WritesToStandardOutput(options);
  console.live = !options.quiet && StderrIsTerminal();
  console.done.assign(list.entries.size(), false);
  console.duplicates = list.entries.size() - targets.size();
  if (console.live) DrawProgress(console, true);
  CheckStreams(targets, options.settings, [&](size_t index, const CheckResult& result) {
    const size_t entry = targetOf[index];
    outcome.results[entry] = result;
    for (size_t repeat : repeats[entry]) outcome.results[repeat] = result;
    NoteResult(console, entry, result);
    for (size_t repeat : repeats[entry]) NoteResult(console, repeat, result);
  });
  if (RunCancelled()) {
    ClearProgress(console);
    if (!options.quiet) WriteErr(Concat(ProgressText(console), ": stopped, nothing written\n"));
    return StopExitCode() != 0 ? StopExitCode() : kExitInterrupted;
  }
  ShowSummary(console);
  return WriteOutputs(options, list, outcome) ? kExitOk : kExitWriteFailed;
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
  const ListBytes bytes = ReadList(options.listPath, options.settings);
  if (!bytes.problem.empty()) {
    return Refuse(Concat("cannot read the list ", options.listPath, ": ", bytes.problem));
  }
  const CheckList list = ParseCheckList(bytes.bytes);
  if (!list.problem.empty()) {
    return Refuse(Concat("cannot check the list ", options.listPath, ": ", list.problem));
  }
  InstallStopHandlers();
  return CheckEntries(options, list);
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
  CheckList rows;
  Rewind(list);
  for (const ChannelRecord* record = NextRecord(list); record != nullptr;
       record = NextRecord(list)) {
    rows.entries.push_back(CheckEntry{ListRow{ChannelLine(*record), *record}, "", {}});
  }
  return CheckEntries(options, rows);
}
