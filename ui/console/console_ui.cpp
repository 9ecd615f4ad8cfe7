// The window-side operations for the console: a live progress line (or one line per
// country when stderr is no terminal), channel blocks on stdout, messages on stderr.
// Page text is shown in UTF-8 with its control characters replaced.
#include <atomic>
#include <cstdio>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "fetch/fetch.h"
#include "harvest/channel_export.h"
#include "harvest/update_run.h"
#include "harvest/window_side.h"
#include "text/text.h"
#include "text/utf8.h"
#include "ui/console/console.h"

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

struct ConsoleSide {
  ConsoleOptions options;
  HarvestState* state = nullptr;
  ProgressLine progress;  // the live line, on a terminal
  int64_t lastDraw = 0;
  int32_t count = 0;
  bool barFull = false;
  bool finalShown = false;
  bool messageShown = false;
  bool listWritten = false;
  bool exportFailed = false;
  std::string doneText;  // the final word of a saved list, shown once the exports are written
  bool countryRefused = false;  // a country was asked for that the index lacks
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

ConsoleSide g_console;

void WriteErr(const std::string& text) { WriteStream(stderr, text); }

std::string StatusText(int32_t count) { return Concat(kStatusPrefix, NumberToText(count)); }

// The share of countries read, or of the progress top while the countries are not known.
std::string Bar() {
  int done = kBarWidth;
  const int32_t total = g_console.state->countryTotal;
  if (g_console.barFull) {
    done = kBarWidth;
  } else if (total > 0) {
    done = static_cast<int>(int64_t{g_console.state->countriesDone} * kBarWidth / total);
  } else {
    int32_t shown = g_console.count < kProgressTop ? g_console.count : kProgressTop;
    done = shown * kBarWidth / kProgressTop;
  }
  std::string bar = Concat("[", std::string(static_cast<size_t>(done), kBarDone),
                           std::string(static_cast<size_t>(kBarWidth - done), kBarToDo), "]");
  if (total <= 0) return bar;
  return Concat(bar, " ", NumberToText(g_console.state->countriesDone), "/", NumberToText(total));
}


void DrawLive() {
  if (!g_console.progress.live) return;
  const std::string country = Cp1252ToTerminalText(g_console.country);
  const std::string line = Concat(StatusText(g_console.count), " ", Bar(), " ", country);
  const int width = ProgressWidth();
  PutProgressLine(g_console.progress, width > 0 ? Utf8Left(line, width) : line);
  g_console.lastDraw = MonotonicMilliseconds();
}

void ClearLive() { ClearProgressLine(g_console.progress); }

// Ends the live line on its own line and leaves the terminal at the start of the next.
void PutFinalLine(const std::string& text, bool evenWhenQuiet = false) {
  if ((g_console.options.quiet && !evenWhenQuiet) || StopExitCode() == kExitBrokenPipe) return;
  if (g_console.progress.live) {
    g_console.progress.shownLength += kEchoMargin;  // covers a "^C" that the terminal echoed
    PutProgressLine(g_console.progress, text);
    WriteErr("\n");
    g_console.progress.live = false;
  } else {
    WriteErr(Concat(text, "\n"));
  }
  g_console.finalShown = true;
}

void AnnounceCountry(const std::string& country) {
  g_console.country = country;
  if (g_console.options.quiet) return;
  if (g_console.progress.live) {
    DrawLive();
  } else {
    WriteErr(Concat(kReadingPrefix, Cp1252ToTerminalText(g_console.country), "\n"));
  }
}

// A line of its own on stderr, past the live line, which is drawn again below it.
void PutLine(const std::string& text) {
  ClearLive();
  WriteErr(Concat(text, "\n"));
  DrawLive();
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
std::string NothingFoundReason() {
  if (!g_console.indexRead) return kIndexUnread;
  const std::string problem = FetchProblem(g_console.index);
  if (!problem.empty()) return Concat(kIndexUnread, ": ", problem);
  if (g_console.index.size == 0) return kIndexEmpty;
  const int32_t total = g_console.state->countryTotal;
  if (total == 0) return kNoCountryLinks;
  if (g_console.failedPages == total) {
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
void WaitForOldList() {
  if (g_console.oldListReading.valid()) g_console.oldList = g_console.oldListReading.get();
}

// " (5 new, 1 gone)" after DONE when a list was replaced.
std::string ChangesText() {
  WaitForOldList();
  if (!g_console.oldList || !g_console.newListReading.valid()) return std::string();
  ListChanges changes = CompareFingerprints(*g_console.oldList, g_console.newListReading.get());
  return Concat(" (", NumberToText(changes.added), kNewWord, NumberToText(changes.removed),
                kGoneWord);
}

}  // namespace

void StartConsole(const ConsoleOptions& options, HarvestState& state) {
  g_console = ConsoleSide();
  g_console.options = options;
  g_console.state = &state;
  g_console.progress.live = !options.quiet && StderrIsTerminal();
  // A thread when one can be had, else read at once.
  g_console.oldListReading =
      std::async(std::launch::async | std::launch::deferred, ReadOldList, options.outputPath);
  DrawLive();
}

void FinishConsole() {
  if (g_console.newListReading.valid()) g_console.newListReading.wait();
  if (g_console.countryRefused) {
    ClearLive();
    g_console.finalShown = true;
  }
  if (!g_console.finalShown && g_console.count == 0 && !g_console.state->aborted) {
    PutFinalLine(Concat(StatusText(0), " (", NothingFoundReason(), ")"), true);
  }
  if (!g_console.finalShown && !g_console.doneText.empty() && !StdoutFailed()) {
    PutFinalLine(Concat(g_console.doneText, ChangesText()));
  }
  if (!g_console.finalShown) PutFinalLine(StatusText(g_console.count));
  if (StdoutFailed()) {
    ClearLive();
  } else {
    WriteStdout(std::string(), kChannelBlocks, true);
  }
}

bool ConsoleMessageShown() { return g_console.messageShown; }

bool ConsoleListWritten() { return g_console.listWritten; }

bool ConsoleCountryRefused() { return g_console.countryRefused; }

void ShowConsoleLine(const std::string& text) {
  ClearLive();
  WriteErr(Concat(kProgramPrefix, text, "\n"));
  DrawLive();
}

void ShowExportFailure(const std::string& what, const std::string& problem) {
  if (!g_console.finalShown) PutFinalLine(StatusText(g_console.count));
  g_console.finalShown = true;
  g_console.exportFailed = true;
  g_console.messageShown = true;
  ShowConsoleLine(Concat("cannot write ", what, ": ", problem));
}

// Called once per country page line: a stop reaches the run through its token.
bool ServiceRunEvent() { return ConsoleStopToken().StopRequested(); }

void ShowCountryPageTaken(const std::string& country) {
  AnnounceCountry(country);
}

// While a page downloads, a live line names the country being read and keeps its count fresh.
// Nothing is printed otherwise: the lines written do not depend on how the fetches go.
bool ServiceWhileFetching() {
  if (ConsoleStopToken().StopRequested()) return true;
  if (!g_console.progress.live || g_console.state == nullptr) return false;
  if (g_console.state->country != g_console.country) {
    AnnounceCountry(g_console.state->country);
  } else if (MonotonicMilliseconds() - g_console.lastDraw >= kProgressRedrawMilliseconds) {
    DrawLive();
  }
  return false;
}

void ShowChannel(const ChannelRecord& record) {
  if (!g_console.options.details || StdoutFailed()) return;
  std::string block;
  for (const std::string& line : ChannelBlockLines(record)) {
    block += Concat(Utf8ToTerminalText(PageTextToUtf8(line)), "\n");
  }
  ClearLive();  // stdout and stderr may share the terminal
  if (!WriteStdout(block, kChannelBlocks)) return;
  if (g_console.progress.live) {
    std::fflush(stdout);
    DrawLive();
  }
}

void ShowChannelCount(int32_t count) {
  g_console.count = count;
  if (g_console.progress.live && MonotonicMilliseconds() - g_console.lastDraw >= kProgressRedrawMilliseconds) {
    DrawLive();
  }
}

void ShowPageRead(const PageReport& report) {
  // A page that a stop cut short did not fail.
  if (StopExitCode() != 0 || ConsoleStopToken().StopRequested()) return;
  if (report.country.empty()) {
    g_console.index = report;
    g_console.indexRead = true;
  }
  const std::string page = report.country.empty() ? kIndexPageName : report.country;
  const std::string where =
      Concat(Cp1252ToTerminalText(page), ": ", Cp1252ToTerminalText(report.address));
  const std::string problem = FetchProblem(report);
  if (!problem.empty() && !report.country.empty()) ++g_console.failedPages;
  if (!problem.empty()) ShowConsoleLine(Concat(kWarningPrefix, where, ": ", problem));
  if (!g_console.options.verbose) return;
  std::string line = where;
  if (report.outcome.status != 0)
    line += Concat(": ", kHttpPrefix, NumberToText(report.outcome.status));
  line += Concat(", ", NumberToText(static_cast<int32_t>(report.size)), " bytes");
  if (!report.country.empty()) line += Concat(", ", NumberToText(report.channels), " channels");
  PutLine(line);
}

void ShowUnknownCountry(const std::string& name, const std::vector<std::string>& nearest) {
  std::string text = Concat("the index has no country \"", TypedText(name), "\"");
  for (size_t i = 0; i < nearest.size(); ++i) {
    text += Concat(i == 0 ? "; nearest: " : ", ", Cp1252ToTerminalText(nearest[i]));
  }
  if (nearest.empty()) text += kListCountriesHint;
  ShowConsoleLine(text);
  g_console.countryRefused = true;
}

void ShowSharedCountryName(const std::string& name, int entries) {
  if (g_console.options.quiet) return;
  ShowConsoleLine(Concat("\"", TypedText(name), "\" names ", NumberToText(entries),
                         " entries of the index; all are read"));
}

void ShowRunFinished() {
  // The blocks reach their reader before the save: a reader gone stops the run unsaved.
  if (g_console.options.details) WriteStdout(std::string(), kChannelBlocks, true);
  if (g_console.state->channelLimitReached) {
    ShowConsoleLine(Concat(kWarningPrefix, kChannelLimitReached,
                           NumberToText(g_console.state->channelLimit), kChannelLimitKept));
  }
  WaitForOldList();
  if (g_console.oldList) {
    g_console.newListReading = std::async(std::launch::async | std::launch::deferred,
                                          ListFingerprints, std::cref(g_console.state->channels));
  }
  g_console.barFull = true;
  DrawLive();
}

void ShowFinalStatus(int32_t count, const std::string& word) {
  g_console.count = count;
  g_console.listWritten = TextEquals(word, kWordDone);
  if (g_console.listWritten) {
    g_console.doneText = Concat(StatusText(count), word);  // shown after the exports
  } else {
    PutFinalLine(Concat(StatusText(count), word));
  }
}

// The status line keeps its count, as the window's does; the message follows it.
int ShowMessage(const std::string& title, const std::string& text, int /*style*/) {
  if (!g_console.finalShown) PutFinalLine(StatusText(g_console.count));
  g_console.finalShown = true;
  ClearLive();
  WriteErr(Concat(title, "\n", text, "\n"));
  // A failed save of the run names the path and the system's reason under the fixed words.
  if (g_console.state != nullptr && !g_console.state->saveProblem.empty()) {
    WriteErr(Concat(g_console.state->saveProblem, "\n"));
  }
  g_console.messageShown = true;
  return 1;
}
