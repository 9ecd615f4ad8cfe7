// The window-side operations for the console: a live progress line (or one line per
// country when stderr is no terminal), channel blocks on stdout, messages on stderr.
#include <cstdio>
#include <string>

#include "harvest/update_run.h"
#include "harvest/window_side.h"
#include "text/text.h"
#include "ui/console/console.h"

namespace {

const int kBarWidth = 24;
const int kCountryWidth = 28;  // longer names are cut on the live line
const int64_t kRedrawMilliseconds = 100;
const int kEchoMargin = 2;
const char kBarDone = '#';
const char kBarToDo = '-';
const char kReadingPrefix[] = "Reading ";

struct ConsoleSide {
  ConsoleOptions options;
  const HarvestState* state = nullptr;
  bool live = false;    // a rewritable progress line on a terminal
  int shownLength = 0;  // bytes of the live line now on screen
  int64_t lastDraw = 0;
  int32_t count = 0;
  bool barFull = false;
  bool finalShown = false;
  bool messageShown = false;
  std::string country;  // the country last announced
};

ConsoleSide g_console;

void WriteErr(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

std::string StatusText(int32_t count) { return Concat(kStatusPrefix, NumberToText(count)); }

std::string Bar() {
  int done = kBarWidth;
  if (!g_console.barFull) {
    int32_t shown = g_console.count < kProgressTop ? g_console.count : kProgressTop;
    done = shown * kBarWidth / kProgressTop;
  }
  return Concat("[", std::string(static_cast<size_t>(done), kBarDone),
                std::string(static_cast<size_t>(kBarWidth - done), kBarToDo), "]");
}

// Replaces the live line with text, padding with spaces over a longer previous one.
void PutLiveLine(const std::string& text) {
  std::string line = Concat("\r", text, SpaceText(g_console.shownLength - TextLength(text)));
  g_console.shownLength = TextLength(text);
  WriteErr(line);
}

void DrawLive() {
  if (!g_console.live) return;
  std::string country = LeftPart(g_console.country, kCountryWidth);
  PutLiveLine(Concat(StatusText(g_console.count), " ", Bar(), " ", country));
  g_console.lastDraw = MonotonicMilliseconds();
}

void ClearLive() {
  if (!g_console.live || g_console.shownLength == 0) return;
  WriteErr(Concat("\r", SpaceText(g_console.shownLength), "\r"));
  g_console.shownLength = 0;
}

// Ends the live line on its own line and leaves the terminal at the start of the next.
void PutFinalLine(const std::string& text) {
  if (g_console.options.quiet) return;
  if (g_console.live) {
    g_console.shownLength += kEchoMargin;  // covers a "^C" that the terminal echoed
    PutLiveLine(text);
    WriteErr("\n");
    g_console.live = false;
  } else {
    WriteErr(Concat(text, "\n"));
  }
  g_console.finalShown = true;
}

void AnnounceCountry() {
  g_console.country = g_console.state->country;
  if (g_console.options.quiet) return;
  if (g_console.live) {
    DrawLive();
  } else {
    WriteErr(Concat(kReadingPrefix, g_console.country, "\n"));
  }
}

}  // namespace

void StartConsole(const ConsoleOptions& options, const HarvestState& state) {
  g_console = ConsoleSide();
  g_console.options = options;
  g_console.state = &state;
  g_console.live = !options.quiet && StderrIsTerminal();
  DrawLive();
}

void FinishConsole() {
  if (!g_console.finalShown) PutFinalLine(StatusText(g_console.count));
  std::fflush(stdout);
}

bool ConsoleMessageShown() { return g_console.messageShown; }

// Called once per country page line: a flag test, and a string compare to notice a new country.
bool ServiceRunEvent() {
  if (RunCancelled()) return true;
  if (g_console.state != nullptr && g_console.state->country != g_console.country) {
    AnnounceCountry();
  }
  return false;
}

// While a page downloads, a live line names the country being read and keeps its count fresh.
// Nothing is printed otherwise: the lines written do not depend on how the fetches go.
bool ServiceWhileFetching() {
  if (RunCancelled()) return true;
  if (!g_console.live || g_console.state == nullptr) return false;
  if (g_console.state->country != g_console.country) {
    AnnounceCountry();
  } else if (MonotonicMilliseconds() - g_console.lastDraw >= kRedrawMilliseconds) {
    DrawLive();
  }
  return false;
}

void ShowChannel(const ChannelRecord& record) {
  if (!g_console.options.details) return;
  std::string block;
  for (const std::string& line : ChannelBlockLines(record)) block += Concat(line, "\n");
  ClearLive();  // stdout and stderr may share the terminal
  std::fwrite(block.data(), 1, block.size(), stdout);
  if (g_console.live) {
    std::fflush(stdout);
    DrawLive();
  }
}

void ShowChannelCount(int32_t count) {
  g_console.count = count;
  if (g_console.live && MonotonicMilliseconds() - g_console.lastDraw >= kRedrawMilliseconds) {
    DrawLive();
  }
}

void ShowRunFinished() {
  g_console.barFull = true;
  DrawLive();
}

void ShowFinalStatus(int32_t count, const std::string& word) {
  g_console.count = count;
  PutFinalLine(Concat(StatusText(count), word));
}

// The status line keeps its count, as the window's does; the message follows it.
int ShowMessage(const std::string& title, const std::string& text, int /*style*/) {
  if (!g_console.finalShown) PutFinalLine(StatusText(g_console.count));
  g_console.finalShown = true;
  WriteErr(Concat(title, "\n", text, "\n"));
  g_console.messageShown = true;
  return 1;
}
