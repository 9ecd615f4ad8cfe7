// SPDX-License-Identifier: GPL-2.0-or-later
// The check command: its options, the list it reads, progress and a summary on stderr, one
// verdict line per row on stdout, and the --output / --m3u / --json files of the result.
#include "check/check_command.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <string_view>
#include <utility>

#include "check/check_list.h"
#include "check/check_plan.h"
#include "check/check_playlist.h"
#include "check/check_probe.h"
#include "check/check_results.h"
#include "check/check_picture_files.h"
#include "check/check_run.h"
#include "cli/outputs.h"
#include "cli/program.h"
#include "cli/terminal.h"
#include "harvest/channel_export.h"
#include "harvest/channel_file.h"
#include "base/system_error.h"
#include "harvest/update_run.h"
#include "text/text.h"
#include "text/utf8.h"

namespace {

const char kCommandPrefix[] = "check: ";
const char kVersionText[] = "morvek-cli " MORVEK_VERSION "\n";
const char kUsage[] =
    "Usage: morvek-cli check [LIST] [--jobs N] [--timeout SECONDS] [--per-host N]\n"
    "                        [--retry N] [--output FILE] [--m3u FILE] [--dead FILE]\n"
    "                        [--json FILE] [--pictures DIR] [--user-agent TEXT] [--quiet]\n"
    "                        [--help]\n"
    "\n"
    "Checks the stream address of every entry of LIST, a channels.dat or an M3U playlist\n"
    "(channels.dat in the working directory; - reads standard input; an http or https\n"
    "address is downloaded) and prints one verdict per entry: live, no-media, error,\n"
    "unreachable, unsupported or no-stream. LIST itself is never changed. A playlist\n"
    "downloaded from an address has its relative entries read against that address; an HLS\n"
    "stream's own playlist given by its address is checked as one stream.\n"
    "\n";
// After the option lines.
const char kUsageTail[] =
    "\n"
    "After a harvest, `morvek-cli --check` takes these options as --check-jobs,\n"
    "--check-timeout, --check-per-host, --check-retry, --check-output, --check-m3u,\n"
    "--check-dead, --check-json, --check-pictures and --check-user-agent.\n"
    "Ctrl-C stops the check; nothing is written then.\n"
    "\n"
    "Exit codes:\n"
    "  0    checked, whatever the verdicts\n"
    "  1    an output, or stdout, could not be written\n"
    "  2    bad options, two outputs on one file or on stdout, or an unreadable list\n"
    "  3    nothing to check: the list is empty, or neither a playlist nor a channels.dat\n"
    "  4    morvek-check, which holds the check, is missing\n"
    "  129  hung up; nothing was written\n"
    "  130  stopped by Ctrl-C; nothing was written\n"
    "  141  stdout was closed before the end (for example by head); nothing was written\n"
    "  143  terminated; nothing was written\n";

const size_t kHelpColumn = 21;
const char kTryCheckHelp[] = " (try morvek-cli check --help)";
const char kStandardInputName[] = "-";
const char kLineEnds[] = "\r\n";
const size_t kStdinChunk = 65536;
const char kVerdictLines[] = "the verdict lines";
const int64_t kLogLineMilliseconds = 2000;  // progress lines into a file or pipe
const char kRetryOption[] = "retry";
const char kEntryPrefix[] = "entry ";

struct CheckOptions {
  std::string listPath = kChannelFileName;
  CheckSettings settings;
  std::string outputPath;
  std::string m3uPath;
  std::string jsonPath;
  std::string deadPath;
  std::string picturesPath;
  std::string userAgent;
  int retries = 0;
  bool quiet = false;
  bool help = false;
  bool version = false;
  std::string refusal;  // what is wrong with the first option that is
};

// The number options of the check, and where each goes.
int* NumberField(CheckOptions& options, const std::string& name) {
  if (TextEquals(name, "jobs")) return &options.settings.jobs;
  if (TextEquals(name, "timeout")) return &options.settings.timeoutSeconds;
  if (TextEquals(name, "per-host")) return &options.settings.perHost;
  if (TextEquals(name, kRetryOption)) return &options.retries;
  return nullptr;
}

std::string* TextField(CheckOptions& options, const std::string& name) {
  if (TextEquals(name, "output")) return &options.outputPath;
  if (TextEquals(name, "m3u")) return &options.m3uPath;
  if (TextEquals(name, "json")) return &options.jsonPath;
  if (TextEquals(name, "dead")) return &options.deadPath;
  if (TextEquals(name, "pictures")) return &options.picturesPath;
  if (TextEquals(name, "user-agent")) return &options.userAgent;
  return nullptr;
}

// Puts one option, named as given (with the prefix after a harvest), into options.
void TakeOption(const GivenOption& given, const std::string& prefix, CheckOptions& options) {
  const std::string name = given.name.substr(prefix.size());
  if (int* number = NumberField(options, name)) {
    const OptionNumber read = ReadNumber(given, *FindOption(kCheckOptions, name));
    *number = read.number;
    options.refusal = read.refusal;
    return;
  }
  if (std::string* text = TextField(options, name)) {
    *text = given.value;
  } else if (TextEquals(name, "quiet")) {
    options.quiet = true;
  } else if (TextEquals(name, "help")) {
    options.help = true;
  } else if (TextEquals(name, "version")) {
    options.version = true;
  }
}

CheckOptions CheckOptionsFrom(const std::vector<GivenOption>& given, const std::string& prefix) {
  CheckOptions options;
  for (size_t i = 0; i < given.size() && options.refusal.empty(); ++i) {
    TakeOption(given[i], prefix, options);
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

int RefuseOption(const std::string& why) { return Refuse(Concat(why, kTryCheckHelp)); }

// The list's bytes, or why it cannot be read; for an address, where they came from. A named
// pipe is read as standard input is; a device or a folder is refused.
ListBytes ReadList(const std::string& path, int timeoutSeconds) {
  if (IsListAddress(path)) {
    if (path.find_first_of(kLineEnds) != std::string::npos) {
      return ListBytes{std::string(), "an address holds no line end", std::string()};
    }
    return DownloadList(path, timeoutSeconds, static_cast<int64_t>(kListReadLimit));
  }
  ListBytes list;
  std::string& bytes = list.bytes;
  if (!TextEquals(path, kStandardInputName)) {
    // Held once: a file's bytes go into memory taken for them at the start, not grown by doubling.
    std::error_code unknown;
    const uintmax_t size = std::filesystem::file_size(path, unknown);
    if (!unknown && size <= kListReadLimit) bytes.reserve(static_cast<size_t>(size));
    list.problem =
        ReadInputFile(path, kListReadLimit, true, [&bytes](const char* piece, size_t count) {
          bytes.append(piece, count);
          return true;
        });
    return list;
  }
  std::vector<char> chunk(kStdinChunk);
  size_t got = 0;
  while ((got = std::fread(chunk.data(), 1, chunk.size(), stdin)) > 0) {
    bytes.append(chunk.data(), got);
    if (bytes.size() > kListReadLimit) {
      list.problem =
          Concat("holds more than the ", NumberToText(static_cast<int32_t>(kListReadLimit)),
                 " bytes that are read");
      return list;
    }
  }
  if (std::ferror(stdin)) list.problem = SystemErrorText(LastSystemError());
  return list;
}

// Verdict lines go to stdout unless an output takes it.
bool WritesToStandardOutput(const CheckOptions& options) {
  return TextEquals(options.m3uPath, kStandardOutputName) ||
         TextEquals(options.jsonPath, kStandardOutputName) ||
         TextEquals(options.deadPath, kStandardOutputName);
}

// The check's outputs under the names the command line gave them (prefix "--" or "--check-"),
// and the verdict lines when they go to stdout.
std::vector<NamedOutput> CheckOutputs(const CheckOptions& options, const std::string& prefix) {
  std::vector<NamedOutput> outputs;
  const std::pair<const char*, const std::string*> named[] = {
      {"output", &options.outputPath}, {"m3u", &options.m3uPath}, {"json", &options.jsonPath},
      {"dead", &options.deadPath}};
  for (const auto& [name, path] : named) {
    if (!path->empty()) outputs.push_back({Concat(prefix, name), *path});
  }
  if (!WritesToStandardOutput(options)) outputs.push_back({kVerdictLines, kStandardOutputName});
  return outputs;
}

// The output that would overwrite the list being checked, or "".
std::string OutputOverList(const CheckOptions& options, const std::string& listPath) {
  if (TextEquals(listPath, kStandardInputName)) return std::string();
  for (const std::string* path :
       {&options.outputPath, &options.m3uPath, &options.jsonPath, &options.deadPath}) {
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
  const CheckList* list = nullptr;
  const ResultStore* results = nullptr;
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
  size_t duplicates = 0;
  size_t again = 0;  // entries being checked again, in a --retry round
};

std::string ProgressText(const CheckConsole& console) {
  const std::string again =
      console.again == 0
          ? std::string()
          : Concat(", checking ", NumberToText(static_cast<int32_t>(console.again)), " again");
  return Concat("Checked ", NumberToText(static_cast<int32_t>(console.checked)), "/",
                NumberToText(static_cast<int32_t>(console.list->entries.size())), ", live ",
                NumberToText(static_cast<int32_t>(console.liveCount)), again);
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

// The address a check requests for an entry: a page's address with its references decoded, a
// playlist's relative one resolved.
std::string RequestAddress(const CheckList& list, const CheckEntry& entry) {
  const std::string address = EntryAddress(list, entry);
  return list.kind == ListKind::kPlaylist ? address : DecodeCharacterReferences(address);
}

// The entry's address as UTF-8, as it is requested.
std::string AddressUtf8(const CheckList& list, const CheckEntry& entry) {
  return EntryUtf8(list, EntryAddress(list, entry));
}

// The address that played as UTF-8; the entry's own when no wrapper led elsewhere.
std::string PlayedUtf8(const CheckList& list, const CheckEntry& entry, const CheckResult& result) {
  if (TextEquals(result.played, RequestAddress(list, entry))) return AddressUtf8(list, entry);
  // A wrapper or a server named it: its bytes need not be the list's encoding, nor UTF-8.
  return list.utf8 ? AnyTextToUtf8(result.played) : Cp1252ToUtf8(result.played);
}

// What names an entry, as UTF-8: its country if any, and its name, else its address, else its
// place in the list.
std::string EntryLabel(const CheckList& list, size_t index) {
  const CheckEntry& entry = list.entries[index];
  std::string name = EntryUtf8(list, EntryText(list, entry.channel));
  if (name.empty()) name = AddressUtf8(list, entry);
  if (name.empty()) name = Concat(kEntryPrefix, std::to_string(index + 1));
  const std::string country = EntryUtf8(list, EntryText(list, entry.country));
  return country.empty() ? name : Concat(country, " | ", name);
}

// A live picture whose measured label differs from the one in its name.
bool Mislabeled(const std::string& named, const CheckResult& result) {
  const std::string measured = QualityOfPicture(result.width, result.height);
  return result.verdict == Verdict::kLive && !named.empty() && !measured.empty() &&
         !TextEquals(named, measured);
}

// The verdict of an entry in words, as UTF-8: the verdict, the entry, and what was found.
std::string VerdictWords(const CheckList& list, size_t index, const CheckResult& result) {
  const CheckEntry& entry = list.entries[index];
  std::string word = VerdictWord(result.verdict);
  std::string line = Concat(word, SpaceText(kVerdictColumn - TextLength(word)),
                            EntryLabel(list, index), ": ", Cp1252ToUtf8(result.detail));
  const std::string named = QualityInName(EntryText(list, entry.channel));
  if (Mislabeled(named, result)) {
    line += Concat(" (mislabeled: ", named, " in the name, ",
                   QualityOfPicture(result.width, result.height), ")");
  }
  if (!result.played.empty() && !TextEquals(result.played, RequestAddress(list, entry))) {
    line += Concat(" (played ", PlayedUtf8(list, entry, result), ")");
  }
  return line;
}

std::string VerdictLine(const CheckList& list, size_t index, const CheckResult& result) {
  return Concat(Utf8ToTerminalText(VerdictWords(list, index, result)), "\n");
}

// Prints the verdicts of the rows done so far in list order; true when it printed any.
bool PrintDoneRows(CheckConsole& console) {
  std::string text;
  while (console.nextToPrint < console.done.size() && console.done[console.nextToPrint]) {
    const size_t i = console.nextToPrint++;
    text += VerdictLine(*console.list, i, KeptResultAt(*console.results, i));
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
  if (console.duplicates > 0) {
    summary += Concat("; ", NumberToText(static_cast<int32_t>(console.duplicates)),
                      " duplicates checked once");
  }
  WriteErr(Concat(summary, "\n"));
}

nlohmann::ordered_json TextOrNull(const std::string& utf8) {
  return utf8.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(utf8);
}

// One entry as JSON; duplicateOf is the position (from 1) of the entry checked in its place,
// tries the checks its verdict took.
nlohmann::ordered_json ResultJson(const CheckList& list, size_t index, const CheckResult& result,
                                  size_t duplicateOf, int tries) {
  const CheckEntry& entry = list.entries[index];
  const std::string channel = EntryText(list, entry.channel);
  nlohmann::ordered_json object;
  object["country"] = EntryUtf8(list, EntryText(list, entry.country));
  object["name"] = EntryUtf8(list, channel);
  object["group"] = TextOrNull(EntryUtf8(list, EntryText(list, entry.category)));
  object["tvg_id"] = TextOrNull(EntryUtf8(list, EntryText(list, entry.tvgId)));
  object["stream"] = AddressUtf8(list, entry);
  object["status"] = VerdictWord(result.verdict);
  object["detail"] = Cp1252ToUtf8(result.detail);
  object["played"] = TextOrNull(result.played.empty() ? std::string()
                                                      : PlayedUtf8(list, entry, result));
  object["format"] = TextOrNull(AnyTextToUtf8(result.format));
  object["video"] = TextOrNull(AnyTextToUtf8(result.video));
  object["audio"] = TextOrNull(AnyTextToUtf8(result.audio));
  object["bitrate"] =
      result.bitrate > 0 ? nlohmann::ordered_json(result.bitrate) : nlohmann::ordered_json();
  object["fps"] = result.fps > 0 ? nlohmann::ordered_json(result.fps) : nlohmann::ordered_json();
  object["quality"] = TextOrNull(QualityOfPicture(result.width, result.height));
  const std::string named = QualityInName(channel);
  object["mislabeled"] =
      Mislabeled(named, result)
          ? nlohmann::ordered_json{{"named", named},
                                   {"measured", QualityOfPicture(result.width, result.height)}}
          : nlohmann::ordered_json();
  object["elapsed_ms"] = result.elapsedMs;
  object["tries"] = tries;
  object["duplicate_of"] =
      duplicateOf > 0 ? nlohmann::ordered_json(duplicateOf) : nlohmann::ordered_json();
  return object;
}

// How the outputs went: all written, one failed, or a stop came before the first was.
enum class OutputsEnd { kWritten, kFailed, kStopped };

// Writes one output, unless a stop came before the first output replaced its file. Its text
// is made only now and goes out in pieces, so that one output's text at most is held.
OutputsEnd WriteOutput(const std::string& option, const std::string& path,
                       const ContentWriter& write) {
  if (TextEquals(path, kStandardOutputName)) {
    if (!CommitOutput()) return OutputsEnd::kStopped;
    const bool written = write([&option](const char* bytes, size_t count) {
      return WriteStdout(std::string(bytes, count), option);
    }) && WriteStdout(std::string(), option, true);
    return written ? OutputsEnd::kWritten : OutputsEnd::kFailed;
  }
  const ReplaceOutcome outcome = ReplaceFile(path, write, CommitOutput);
  if (outcome.saved) return OutputsEnd::kWritten;
  if (outcome.held) return OutputsEnd::kStopped;
  WriteErr(Concat(kProgramPrefix, kCommandPrefix, "cannot write ", option, ": ", outcome.problem,
                  "\n"));
  return OutputsEnd::kFailed;
}

// What a check of the list found, entry by entry.
struct CheckOutcome {
  CheckPlan plan;
  ResultStore results;
};

// The M3U of a channels.dat's live rows: decoded names, and the address that played.
std::string ChannelsM3u(const CheckList& list, const CheckOutcome& outcome,
                        const std::vector<const CheckEntry*>& live) {
  std::string text = kM3uHeader;
  for (const CheckEntry* entry : live) {
    const size_t i = static_cast<size_t>(entry - list.entries.data());
    text += M3uEntryText(EntryUtf8(list, EntryText(list, entry->channel)),
                         EntryUtf8(list, EntryText(list, entry->country)),
                         EntryUtf8(list, EntryText(list, entry->category)),
                         PlayedUtf8(list, *entry, KeptResultAt(outcome.results, i)));
  }
  return text;
}

// Writes the requested files in turn.
OutputsEnd WriteOutputs(const CheckOptions& options, const CheckList& list,
                        const CheckOutcome& outcome) {
  std::vector<const CheckEntry*> live;
  std::vector<const CheckEntry*> dead;
  for (size_t i = 0; i < list.entries.size(); ++i) {
    (outcome.results.kept[i].verdict == Verdict::kLive ? live : dead).push_back(&list.entries[i]);
  }
  const bool playlist = list.kind == ListKind::kPlaylist;
  // Before each entry of a playlist's --dead, its verdict as a comment, which players skip.
  const EntryNote verdictNote = [&list, &outcome](const CheckEntry& entry) {
    const size_t i = static_cast<size_t>(&entry - list.entries.data());
    const std::string words = VerdictWords(list, i, KeptResultAt(outcome.results, i));
    return list.utf8 ? words : Utf8ToCp1252(words).value_or(words);
  };
  // Each entry's object is made and written out in turn: a list of them all would hold
  // every entry several times over.
  const auto objectAt = [&list, &outcome](size_t i) {
    const size_t first = outcome.plan.firstOf[i];
    return ResultJson(list, i, KeptResultAt(outcome.results, i), first == i ? 0 : first + 1,
                      outcome.plan.tries[first]);
  };
  const auto textOf = [](std::function<std::string()> make) {
    return [make](const ByteSink& sink) {
      const std::string text = make();
      return text.empty() || sink(text.data(), text.size());
    };
  };
  const std::pair<const std::string*, ContentWriter> outputs[] = {
      {&options.outputPath, textOf([&] { return ListText(list, live); })},
      {&options.m3uPath, textOf([&] {
         return playlist ? ListText(list, live) : ChannelsM3u(list, outcome, live);
       })},
      {&options.deadPath, textOf([&] { return ListText(list, dead, verdictNote); })},
      {&options.jsonPath, [&](const ByteSink& sink) {
         return WriteJsonArray(list.entries.size(), objectAt, sink);
       }}};
  const char* const names[] = {"--output", "--m3u", "--dead", "--json"};
  OutputsEnd end = OutputsEnd::kWritten;
  for (size_t i = 0; i < std::size(outputs); ++i) {
    if (outputs[i].first->empty()) continue;
    const OutputsEnd one = WriteOutput(names[i], *outputs[i].first, outputs[i].second);
    if (one == OutputsEnd::kStopped) return one;
    if (one == OutputsEnd::kFailed) end = one;
  }
  return end;
}

// What an entry's requests send: its own, with the default agent when it names none.
StreamRequest TargetRequest(const CheckOptions& options, const CheckList& list,
                            const CheckEntry& entry) {
  StreamRequest request = EntryRequest(list, entry);
  if (request.userAgent.empty()) request.userAgent = options.userAgent;
  return request;
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

int CheckEntries(const CheckOptions& options, const CheckList& list) {
  std::unique_ptr<PictureFiles> pictures;
  CheckSettings settings = options.settings;
  if (!options.picturesPath.empty()) {
    if (!PicturesAvailable()) return Refuse("--pictures: this build makes no pictures");
    const std::string problem = PictureFiles::Problem(options.picturesPath);
    if (!problem.empty()) return Refuse(Concat("--pictures: ", problem));
    pictures = std::make_unique<PictureFiles>(options.picturesPath, list.entries.size());
    settings.pictures = true;
  }
  const CheckTargetAt targetAt = [&options, &list](size_t index) {
    const CheckEntry& entry = list.entries[index];
    return CheckTarget{RequestAddress(list, entry), TargetRequest(options, list, entry)};
  };
  CheckOutcome outcome;
  outcome.plan = PlanChecks(list.entries.size(), targetAt);
  const CheckPlan& plan = outcome.plan;
  outcome.results.kept.assign(list.entries.size(), KeptResult());
  CheckConsole console;
  console.list = &list;
  console.results = &outcome.results;
  console.quiet = options.quiet;
  console.printRows = !WritesToStandardOutput(options);
  console.progress.live = !options.quiet && StderrIsTerminal();
  console.done.assign(list.entries.size(), false);
  console.duplicates = list.entries.size() - plan.targets.size();
  if (console.progress.live) DrawProgress(console, true);
  const auto rowResult = [&list](uint32_t entry, const CheckResult& checked) {
    return RowResult(list.entries[entry], checked);
  };
  const auto done = [&](uint32_t entry, CheckResult result) {
    if (pictures && !result.picture.jpeg.empty()) {
      for (uint32_t r = entry; r != kNoEntry; r = plan.nextRepeat[r]) {
        pictures->Write(r, result.picture.jpeg);
      }
    }
    result.picture = Picture();  // the results kept until the outputs hold no pictures
    KeepResult(outcome.results, entry, result);
    for (uint32_t r = plan.nextRepeat[entry]; r != kNoEntry; r = plan.nextRepeat[r]) {
      outcome.results.kept[r] = outcome.results.kept[entry];
    }
    for (uint32_t r = entry; r != kNoEntry; r = plan.nextRepeat[r]) NoteResult(console, r, result);
  };
  const auto round = [&console](size_t again) {
    console.again = again;
    if (again > 0) DrawProgress(console, true);
  };
  if (!RunCheckPlan(outcome.plan, targetAt, settings, options.retries, rowResult, done, round,
                    ConsoleStopToken()) ||
      StopExitCode() != 0) {
    return Stopped(options, console);
  }
  ShowSummary(console);
  OutputsEnd end = WriteOutputs(options, list, outcome);
  if (end == OutputsEnd::kStopped) return Stopped(options, console);
  const std::string picturesProblem = pictures ? pictures->Commit() : "";
  if (!picturesProblem.empty()) {
    WriteErr(Concat(kProgramPrefix, kCommandPrefix, "--pictures: ", picturesProblem, "\n"));
    end = OutputsEnd::kFailed;
  }
  // A stop that came once the outputs had begun let them complete; it still gives the exit.
  if (StopExitCode() != 0) return StopExitCode();
  return end == OutputsEnd::kFailed ? kExitWriteFailed : kExitOk;
}

}  // namespace

void HandOverToCheckProgram(char** /*argv*/, bool /*check*/) {}  // this program has the check

int RunCheckCommand(const std::vector<std::string>& args) {
  std::vector<OptionSpec> table = kCheckOptions;
  table.insert(table.end(), kCommandFlags.begin(), kCommandFlags.end());
  const GivenArguments given = ReadArguments(args, table);
  CheckOptions options = CheckOptionsFrom(given.options, "");
  if (options.refusal.empty()) options.refusal = given.refusal;
  if (options.refusal.empty() && given.operands.size() > 1) {
    options.refusal = Concat("unexpected argument ", given.operands[1]);
  }
  if (!options.refusal.empty()) return RefuseOption(options.refusal);
  if (!given.operands.empty()) options.listPath = given.operands.front();
  if (options.help) {
    std::fputs(Concat(kUsage, OptionHelp(table, kHelpColumn), kUsageTail).c_str(), stdout);
    return kExitOk;
  }
  if (options.version) {
    std::fputs(kVersionText, stdout);
    return kExitOk;
  }
  const std::string problem = OutputProblem(options, options.listPath);
  if (!problem.empty()) return RefuseOption(problem);
  const std::string target = OutputTargetRefusal(CheckOutputs(options, "--"));
  if (!target.empty()) return Refuse(target);
  ListBytes read = ReadList(options.listPath, options.settings.timeoutSeconds);
  if (!read.problem.empty()) {
    return Refuse(Concat("cannot read the list ", options.listPath, ": ", read.problem));
  }
  CheckList list = ParseCheckList(std::move(read.bytes), read.address);
  if (!list.problem.empty()) {
    return Refuse(Concat("cannot check the list ", options.listPath, ": ", list.problem));
  }
  if (!list.hlsTag.empty()) {
    // An HLS stream's own playlist: the stream is the address it was given by.
    if (read.address.empty()) {
      return Refuse(Concat("cannot check the list ", options.listPath, ": it is one HLS stream's ",
                           "playlist (", list.hlsTag, "); give its http address to check it"));
    }
    list = ParseCheckList(Concat(kM3uHeader, options.listPath, "\n"));
  }
  const std::string nothing = NothingToCheck(list);
  if (!nothing.empty()) {
    WriteErr(Concat(kProgramPrefix, kCommandPrefix, "nothing to check in ", options.listPath, ": ",
                    nothing, "\n"));
    return kExitNothingFound;
  }
  InstallStopHandlers();
  return CheckEntries(options, list);
}

int RefuseCheckOptions(const std::vector<GivenOption>& given,
                       const std::vector<NamedOutput>& harvestOutputs) {
  const CheckOptions options = CheckOptionsFrom(given, kCheckOptionPrefix);
  if (!options.refusal.empty()) return RefuseOption(options.refusal);
  std::vector<NamedOutput> outputs = harvestOutputs;
  for (const NamedOutput& output : CheckOutputs(options, Concat("--", kCheckOptionPrefix))) {
    outputs.push_back(output);
  }
  const std::string clash = OutputClash(outputs);
  const std::string target = clash.empty() ? OutputTargetRefusal(outputs) : std::string();
  if (clash.empty() && target.empty()) return 0;
  WriteErr(Concat(kProgramPrefix, clash.empty() ? target : Concat(clash, " (try --help)"), "\n"));
  return kExitUsage;
}

int CheckHarvestedList(ChannelList& list, const std::vector<GivenOption>& given, bool quiet) {
  CheckOptions options = CheckOptionsFrom(given, kCheckOptionPrefix);
  options.quiet = options.quiet || quiet;
  // The records as the rows of a channels.dat, which is what the harvest wrote, held once.
  std::string bytes;
  size_t size = 0;
  ForEachRecord(list, [&size](const ChannelRecord& r) {
    size += r.country.size() + r.channel.size() + r.bitrate.size() + r.category.size() +
            r.about.size() + r.streamUrl.size() + r.homepage.size() + kChannelFields;
  });
  bytes.reserve(size);
  Rewind(list);
  for (const ChannelRecord* record = NextRecord(list); record != nullptr;
       record = NextRecord(list)) {
    bytes += Concat(ChannelLine(*record), "\n");
  }
  const CheckList rows = ChannelFileList(std::move(bytes));
  if (!rows.problem.empty()) return Refuse(Concat("cannot check the list: ", rows.problem));
  return CheckEntries(options, rows);
}
