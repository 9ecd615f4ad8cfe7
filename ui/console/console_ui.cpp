// SPDX-License-Identifier: GPL-2.0-or-later
// The harvest's observer on the console: a live progress line (or one line per country
// when stderr is no terminal), channel blocks on stdout, messages on stderr.
// Page text is shown in UTF-8 with its control characters replaced.
#include "ui/console/console.h"

#include <cstdio>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "base/file_replace.h"
#include "cli/program.h"
#include "fetch/fetch.h"
#include "harvest/channel_export.h"
#include "harvest/channel_file.h"
#include "harvest/update_run.h"
#include "text/text.h"
#include "text/utf8.h"

namespace {

const int kBarWidth = 24;
const int kEchoMargin = 2;
const char kBarDone = '#';
const char kBarToDo = '-';
const char kReadingPrefix[] = "Reading ";
const char kWarningPrefix[] = "warning: ";
const char kIndexPageName[] = "index";
const char kHttpPrefix[] = "HTTP ";
const int kFirstFailedStatus = 400;
const char kIndexUnread[] = "the index page could not be read";
const char kIndexEmpty[] = "the index page is empty";
const char kNoCountryLinks[] = "the index page holds no country links";
const char kNoChannelRows[] = "the country pages hold no channel rows";
const char kNoCountryPage[] = "no country page could be read: ";
const char kChannelBlocks[] = "the channel blocks";
const char kChannelLimitReached[] = "the run keeps at most ";
const char kChannelLimitKept[] = " channels; the rest of the site was not read";
const char kNewWord[] = " new, ";
const char kGoneWord[] = " gone)";
const char kListCountriesHint[] = "; --list-countries shows its countries";

}  // namespace

// What the console keeps of the run it shows.
struct ConsoleSide {
  ConsoleOptions options;
  const HarvestState* state = nullptr;
  ProgressLine progress;  // the live line, on a terminal
  int64_t lastDraw = 0;
  int32_t count = 0;
  bool barFull = false;
  bool finalShown = false;
  std::string doneText;  // the final word of a saved list, shown once the exports are written
  bool indexRead = false;
  PageReport index;     // what became of the index page
  int32_t failedPages = 0;  // country pages that could not be fetched or answered an error
  // The rows of the channel file that the run replaces, read on a thread of their own while
  // the run begins; none when there is no readable file.
  std::future<std::optional<OldListRows>> oldListReading;
  std::optional<OldListRows> oldList;
  // The new list's rows, taken on a thread of their own while the list is saved.
  std::future<std::vector<uint64_t>> newListReading;
  std::string country;  // the country last announced
};

namespace {

void WriteErr(const std::string& text) { WriteStream(stderr, text); }

std::string StatusText(int32_t count) { return Concat(kStatusPrefix, NumberToText(count)); }

// The share of countries read, or of the progress top while the countries are not known.
std::string Bar(ConsoleSide& c) {
  int done = kBarWidth;
  const int32_t total = c.state->countryTotal;
  if (c.barFull) {
    done = kBarWidth;
  } else if (total > 0) {
    done = static_cast<int>(int64_t{c.state->countriesDone} * kBarWidth / total);
  } else {
    int32_t shown = c.count < kProgressTop ? c.count : kProgressTop;
    done = shown * kBarWidth / kProgressTop;
  }
  std::string bar = Concat("[", std::string(static_cast<size_t>(done), kBarDone),
                           std::string(static_cast<size_t>(kBarWidth - done), kBarToDo), "]");
  if (total <= 0) return bar;
  return Concat(bar, " ", NumberToText(c.state->countriesDone), "/", NumberToText(total));
}

void DrawLive(ConsoleSide& c) {
  if (!c.progress.live) return;
  const std::string country = Cp1252ToTerminalText(c.country);
  const std::string line = Concat(StatusText(c.count), " ", Bar(c), " ", country);
  const int width = ProgressWidth();
  PutProgressLine(c.progress, width > 0 ? Utf8Left(line, width) : line);
  c.lastDraw = MonotonicMilliseconds();
}

void ClearLive(ConsoleSide& c) { ClearProgressLine(c.progress); }

// Ends the live line on its own line and leaves the terminal at the start of the next.
void PutFinalLine(ConsoleSide& c, const std::string& text, bool evenWhenQuiet = false) {
  if ((c.options.quiet && !evenWhenQuiet) || StopExitCode() == kExitBrokenPipe) return;
  if (c.progress.live) {
    c.progress.shownLength += kEchoMargin;  // covers a "^C" that the terminal echoed
    PutProgressLine(c.progress, text);
    WriteErr("\n");
    c.progress.live = false;
  } else {
    WriteErr(Concat(text, "\n"));
  }
  c.finalShown = true;
}

void AnnounceCountry(ConsoleSide& c, const std::string& country) {
  c.country = country;
  if (c.options.quiet) return;
  if (c.progress.live) {
    DrawLive(c);
  } else {
    WriteErr(Concat(kReadingPrefix, Cp1252ToTerminalText(c.country), "\n"));
  }
}

// A line of its own on stderr, past the live line, which is drawn again below it.
void PutLine(ConsoleSide& c, const std::string& text) {
  ClearLive(c);
  WriteErr(Concat(text, "\n"));
  DrawLive(c);
}

// "morvek-cli: <text>" as a line of its own, past the live line, which is drawn again below.
void PutProgramLine(ConsoleSide& c, const std::string& text) {
  ClearLive(c);
  ShowConsoleLine(text);
  DrawLive(c);
}

// A typed text in UTF-8 for the terminal, whether it came as UTF-8 or as page bytes.
std::string TypedText(const std::string& typed) {
  std::optional<std::string> bytes = Utf8ToCp1252(typed);
  return Cp1252ToTerminalText(bytes ? *bytes : typed);
}

// "HTTP 404" or the transport error; empty for a page that came well.
std::string FetchProblem(const PageReport& report) {
  if (!report.outcome.error.empty()) return report.outcome.error;
  if (report.outcome.status >= kFirstFailedStatus)
    return Concat(kHttpPrefix, NumberToText(report.outcome.status));
  return std::string();
}

// Why a run that was not stopped found no channel.
std::string NothingFoundReason(ConsoleSide& c) {
  if (!c.indexRead) return kIndexUnread;
  const std::string problem = FetchProblem(c.index);
  if (!problem.empty()) return Concat(kIndexUnread, ": ", problem);
  if (c.index.size == 0) return kIndexEmpty;
  const int32_t total = c.state->countryTotal;
  if (total == 0) return kNoCountryLinks;
  if (c.failedPages == total) {
    return Concat(kNoCountryPage, NumberToText(total), " of ", NumberToText(total), " failed");
  }
  return kNoChannelRows;
}

// Reads the old channel file when it is a regular file of a bounded size: a pipe or a device
// is never opened in a way that waits or reads without end. An old file over the limit (about
// 800,000 rows) is not compared with the new list: the summary then says nothing of changes.
std::optional<OldListRows> ReadOldList(const std::string& path) {
  OldListRows rows;
  const std::string problem =
      ReadInputFile(path, kListReadLimit, false, [&rows](const char* bytes, size_t count) {
        AddOldListBytes(rows, bytes, count);
        return true;
      });
  if (!problem.empty()) return std::nullopt;
  EndOldList(rows);
  return rows;
}

// Waits for the old list to be read; the save must not begin before, as it replaces the file.
void WaitForOldList(ConsoleSide& c) {
  if (c.oldListReading.valid()) c.oldList = c.oldListReading.get();
}

// " (5 new, 1 gone)" after DONE when a list was replaced.
std::string ChangesText(ConsoleSide& c) {
  WaitForOldList(c);
  if (!c.oldList || !c.newListReading.valid()) return std::string();
  ListChanges changes = CompareFingerprints(*c.oldList, c.newListReading.get());
  return Concat(" (", NumberToText(changes.added), kNewWord, NumberToText(changes.removed),
                kGoneWord);
}

}  // namespace

ConsoleObserver::ConsoleObserver(const ConsoleOptions& options, const HarvestState& state)
    : side_(new ConsoleSide()) {
  ConsoleSide& c = *side_;
  c.options = options;
  c.state = &state;
  c.progress.live = !options.quiet && StderrIsTerminal();
  // A thread when one can be had, else read at once.
  c.oldListReading =
      std::async(std::launch::async | std::launch::deferred, ReadOldList, options.outputPath);
  DrawLive(c);
}

ConsoleObserver::~ConsoleObserver() = default;

void ConsoleObserver::Finish(const HarvestResult& result) {
  ConsoleSide& c = *side_;
  if (c.newListReading.valid()) c.newListReading.wait();
  if (result.countryRefused) {
    ClearLive(c);
    c.finalShown = true;
  }
  if (!c.finalShown && c.count == 0 && !result.aborted) {
    PutFinalLine(c, Concat(StatusText(0), " (", NothingFoundReason(c), ")"), true);
  }
  if (!c.finalShown && !c.doneText.empty() && !StdoutFailed()) {
    PutFinalLine(c, Concat(c.doneText, ChangesText(c)));
  }
  if (!c.finalShown) PutFinalLine(c, StatusText(c.count));
  if (StdoutFailed()) {
    ClearLive(c);
  } else {
    WriteStdout(std::string(), kChannelBlocks, true);
  }
}

ProgressLine& ConsoleObserver::LiveLine() { return side_->progress; }

void ConsoleObserver::ShowLine(const std::string& text) { PutProgramLine(*side_, text); }

void ConsoleObserver::ShowExportFailure(const std::string& what, const std::string& problem) {
  ConsoleSide& c = *side_;
  if (!c.finalShown) PutFinalLine(c, StatusText(c.count));
  c.finalShown = true;
  ShowLine(Concat("cannot write ", what, ": ", problem));
}

// Called once per country page line: a stop reaches the run through its token.
bool ConsoleObserver::ServiceRunEvent() { return ConsoleStopToken().StopRequested(); }

void ConsoleObserver::ShowCountryPageTaken(const std::string& country) {
  AnnounceCountry(*side_, country);
}

// While a page downloads, a live line names the country being read and keeps its count fresh.
// Nothing is printed otherwise: the lines written do not depend on how the fetches go.
bool ConsoleObserver::ServiceWhileFetching() {
  ConsoleSide& c = *side_;
  if (ConsoleStopToken().StopRequested()) return true;
  if (!c.progress.live) return false;
  if (c.state->country != c.country) {
    AnnounceCountry(c, c.state->country);
  } else if (MonotonicMilliseconds() - c.lastDraw >= kProgressRedrawMilliseconds) {
    DrawLive(c);
  }
  return false;
}

void ConsoleObserver::ShowChannel(const ChannelRecord& record) {
  ConsoleSide& c = *side_;
  if (!c.options.details || StdoutFailed()) return;
  std::string block;
  for (const std::string& line : ChannelBlockLines(record)) {
    block += Concat(Utf8ToTerminalText(PageTextToUtf8(line)), "\n");
  }
  ClearLive(c);  // stdout and stderr may share the terminal
  if (!WriteStdout(block, kChannelBlocks)) return;
  if (c.progress.live) {
    std::fflush(stdout);
    DrawLive(c);
  }
}

void ConsoleObserver::ShowChannelCount(int32_t count) {
  ConsoleSide& c = *side_;
  c.count = count;
  if (c.progress.live && MonotonicMilliseconds() - c.lastDraw >= kProgressRedrawMilliseconds) {
    DrawLive(c);
  }
}

void ConsoleObserver::ShowPageRead(const PageReport& report) {
  ConsoleSide& c = *side_;
  // A page that a stop cut short did not fail.
  if (StopExitCode() != 0 || ConsoleStopToken().StopRequested()) return;
  if (report.country.empty()) {
    c.index = report;
    c.indexRead = true;
  }
  const std::string page = report.country.empty() ? kIndexPageName : report.country;
  const std::string where =
      Concat(Cp1252ToTerminalText(page), ": ", Cp1252ToTerminalText(report.address));
  const std::string problem = FetchProblem(report);
  if (!problem.empty() && !report.country.empty()) ++c.failedPages;
  if (!problem.empty()) ShowLine(Concat(kWarningPrefix, where, ": ", problem));
  if (!c.options.verbose) return;
  std::string line = where;
  if (report.outcome.status != 0)
    line += Concat(": ", kHttpPrefix, NumberToText(report.outcome.status));
  line += Concat(", ", NumberToText(static_cast<int32_t>(report.size)), " bytes");
  if (!report.country.empty()) line += Concat(", ", NumberToText(report.channels), " channels");
  PutLine(c, line);
}

void ConsoleObserver::ShowUnknownCountry(const std::string& name,
                                         const std::vector<std::string>& nearest) {
  std::string text = Concat("the index has no country \"", TypedText(name), "\"");
  for (size_t i = 0; i < nearest.size(); ++i) {
    text += Concat(i == 0 ? "; nearest: " : ", ", Cp1252ToTerminalText(nearest[i]));
  }
  if (nearest.empty()) text += kListCountriesHint;
  ShowLine(text);
}

void ConsoleObserver::ShowSharedCountryName(const std::string& name, int entries) {
  if (side_->options.quiet) return;
  ShowLine(Concat("\"", TypedText(name), "\" names ", NumberToText(entries),
                  " entries of the index; all are read"));
}

void ConsoleObserver::ShowRunFinished() {
  ConsoleSide& c = *side_;
  // The blocks reach their reader before the save: a reader gone stops the run unsaved.
  if (c.options.details) WriteStdout(std::string(), kChannelBlocks, true);
  if (c.state->channelLimitReached) {
    ShowLine(Concat(kWarningPrefix, kChannelLimitReached, NumberToText(c.state->channelLimit),
                    kChannelLimitKept));
  }
  WaitForOldList(c);
  if (c.oldList) {
    c.newListReading = std::async(std::launch::async | std::launch::deferred, ListFingerprints,
                                  std::cref(c.state->channels));
  }
  c.barFull = true;
  DrawLive(c);
}

void ConsoleObserver::ShowFinalStatus(int32_t count, bool done) {
  ConsoleSide& c = *side_;
  c.count = count;
  if (done) {
    c.doneText = Concat(StatusText(count), kWordDone);  // shown after the exports
  } else {
    PutFinalLine(c, Concat(StatusText(count), kWordAborted));
  }
}

// The status line keeps its count, as the window's does; the message follows it.
void ConsoleObserver::ShowMessage(const std::string& title, const std::string& text, MessageKind) {
  ConsoleSide& c = *side_;
  if (!c.finalShown) PutFinalLine(c, StatusText(c.count));
  c.finalShown = true;
  ClearLive(c);
  WriteErr(Concat(title, "\n", text, "\n"));
  // A failed save of the run names the path and the system's reason under the fixed words.
  if (!c.state->saveProblem.empty()) WriteErr(Concat(c.state->saveProblem, "\n"));
}
