// The update run: reads the index page, every country page it links, and turns the country
// page lines into channels; then shows the final state and writes the channel file.
#include "harvest/update_run.h"

#include <atomic>
#include <cstring>

#include "fetch/fetch.h"
#include "harvest/channel_file.h"
#include "harvest/index_parser.h"
#include "harvest/row_parser.h"
#include "harvest/window_side.h"
#include "text/text.h"

namespace {

const char kLineFeed = '\n';
const char kCarriageReturn = '\r';

// Cancellation and the save exclude each other: whichever claims the gate first wins.
enum RunGate { kGateOpen, kGateCancelled, kGateSaving };
std::atomic<int> g_runGate{kGateOpen};
static_assert(std::atomic<int>::is_always_lock_free, "CancelRun runs in signal handlers");

// Appends the bytes [from, to) to line, leaving out every carriage return.
void AppendWithoutCarriageReturns(std::string& line, const char* from, const char* to) {
  while (from < to) {
    const void* found = std::memchr(from, kCarriageReturn, static_cast<size_t>(to - from));
    const char* runEnd = found ? static_cast<const char*>(found) : to;
    line.append(from, runEnd);
    from = found ? runEnd + 1 : to;
  }
}

// Cuts page into lines: a line feed ends the line collected in line, which is then handed to
// handleLine and emptied; carriage returns are dropped. Bytes after the last line feed stay
// in line. Returns false as soon as handleLine does, leaving the rest of the page unread.
template <typename LineHandler>
bool ScanLines(const PageBuffer& page, std::string& line, LineHandler handleLine) {
  const char* next = page.bytes.data();
  const char* end = next + page.bytes.size();
  while (next < end) {
    const void* found = std::memchr(next, kLineFeed, static_cast<size_t>(end - next));
    if (found == nullptr) {
      AppendWithoutCarriageReturns(line, next, end);
      break;
    }
    const char* lineFeed = static_cast<const char*>(found);
    AppendWithoutCarriageReturns(line, next, lineFeed);
    next = lineFeed + 1;
    if (!handleLine(line)) return false;
    line.clear();  // keeps its capacity: no allocation per line
  }
  return true;
}

void CompleteChannel(HarvestState& state, const ChannelRecord& record) {
  AddRecord(state.channels, record);
  ShowChannel(record);
  ++state.channelCount;
  ShowChannelCount(state.channelCount);
}

// Scans one country page into channels; false when the user stopped the run.
bool ScanCountryPage(HarvestState& state, const PageBuffer& page, std::string& countryLine) {
  return ScanLines(page, countryLine, [&state](const std::string& line) {
    if (ServiceRunEvent()) {
      state.aborted = true;
      return false;
    }
    std::optional<ChannelRecord> record = ParseRowLine(line, state);
    if (record) CompleteChannel(state, *record);
    return true;
  });
}

void SaveChannels(HarvestState& state, const std::string& outputPath) {
  const ReplaceOutcome outcome = WriteChannelFile(state.channels, outputPath);
  if (outcome.saved) {
    ShowFinalStatus(state.channelCount, kWordDone);
  } else {
    ShowMessage(kSaveFailedTitle, Concat(kSaveFailedText, "\n", outcome.problem),
                kMessageStyleExclamation);
  }
}

void FinishRun(HarvestState& state, const std::string& outputPath) {
  ShowRunFinished();
  // A cancel that came before this point stops the run like the Close button; one that
  // comes later finds the save under way and no longer applies.
  if (!state.aborted) {
    int expected = kGateOpen;
    if (!g_runGate.compare_exchange_strong(expected, kGateSaving)) state.aborted = true;
  }
  if (state.aborted) {
    ShowFinalStatus(state.channelCount, kWordAborted);
    return;
  }
  if (state.channelCount >= 1) SaveChannels(state, outputPath);
  g_runGate.store(kGateOpen);
}

}  // namespace

bool CancelRun() {
  int expected = kGateOpen;
  return g_runGate.compare_exchange_strong(expected, kGateCancelled) || expected == kGateCancelled;
}

bool RunCancelled() { return g_runGate.load() == kGateCancelled; }

void ResetRunCancel() { g_runGate.store(kGateOpen); }

void RunUpdate(HarvestState& state, const std::string& siteBase, const std::string& outputPath) {
  std::string indexLine;
  std::string countryLine;  // one buffer for all country pages: an unended last line carries over
  PageBuffer indexPage = FetchPage(Concat(siteBase, kIndexPath));
  PageBuffer countryPage;
  ScanLines(indexPage, indexLine, [&](const std::string& line) {
    std::optional<CountryLink> link = ParseIndexLine(line, siteBase);
    if (!link) return true;
    state.country = link->name;
    countryPage = FetchPage(link->address);
    return ScanCountryPage(state, countryPage, countryLine);
  });
  indexPage = PageBuffer();
  countryPage = PageBuffer();
  FinishRun(state, outputPath);
}
