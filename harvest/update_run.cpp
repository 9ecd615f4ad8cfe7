// The update run: reads the index page, every country page it links, and turns the country
// page lines into channels; then shows the final state and writes the channel file.
#include "harvest/update_run.h"

#include <any>
#include <atomic>
#include <cstring>
#include <string_view>
#include <vector>

#include "fetch/fetch.h"
#include "fetch/fetch_ahead.h"
#include "harvest/channel_file.h"
#include "harvest/country_choice.h"
#include "harvest/index_parser.h"
#include "harvest/row_parser.h"
#include "harvest/window_side.h"
#include "text/text.h"

namespace {

const char kLineFeed = '\n';
const int kNearestNames = 3;  // named for a country that the index lacks
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

// The complete line that ends at lineFeed, carriage returns left out. A line that is not
// carried over from the last page and has no carriage return but one before its line feed is
// taken straight from the page; any other line is collected in line.
std::string_view CompleteLine(std::string& line, const char* from, const char* lineFeed) {
  if (line.empty()) {
    const char* end = lineFeed > from && lineFeed[-1] == kCarriageReturn ? lineFeed - 1 : lineFeed;
    // Said first so that the optimizer of the cross build sees a positive length below.
    if (end <= from) return std::string_view(from, 0);
    if (std::memchr(from, kCarriageReturn, static_cast<size_t>(end - from)) == nullptr) {
      return std::string_view(from, static_cast<size_t>(end - from));
    }
  }
  AppendWithoutCarriageReturns(line, from, lineFeed);
  return line;
}

// Cuts page into lines: a line feed ends a line, which is handed to handleLine; carriage
// returns are dropped. Bytes after the last line feed stay in line, to begin the first line
// of the next page. Returns false as soon as handleLine does, leaving the rest unread.
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
    std::string_view complete = CompleteLine(line, next, lineFeed);
    next = lineFeed + 1;
    if (!handleLine(complete)) return false;
    line.clear();  // keeps its capacity: no allocation per line
  }
  return true;
}

void CompleteChannel(HarvestState& state, ChannelRecord&& record) {
  AddRecord(state.channels, std::move(record));
  ShowChannel(state.channels.cursor->record);  // the record just added
  ++state.channelCount;
  ShowChannelCount(state.channelCount);
}

// The lines of a country page that begin after its first line feed and end at its last,
// cut into row values by the thread that fetched the page, or by the run when it was
// waiting for the page anyway. The bytes before the first line
// feed may continue a line carried over from the page before: the run reads those itself.
struct CutPage {
  size_t headEnd = 0;     // where the first line feed is
  size_t tailStart = 0;   // where the bytes after the last line feed begin
  bool hasLineFeed = false;
  std::vector<RowLineValues> lines;  // the first lineCount hold this page's lines
  size_t lineCount = 0;
  std::string joined;  // a line with carriage returns inside, without them
};

// Cuts every line of page that surely starts a line into row values (a PagePreparer).
void CutCountryPage(PageBuffer& page) {
  CutPage* cut = std::any_cast<CutPage>(&page.preparation);
  if (cut == nullptr) cut = &page.preparation.emplace<CutPage>();
  const char* begin = page.bytes.data();
  const char* end = begin + page.bytes.size();
  cut->lineCount = 0;
  const void* first = std::memchr(begin, kLineFeed, page.bytes.size());
  cut->hasLineFeed = first != nullptr;
  if (!cut->hasLineFeed) return;
  const char* next = static_cast<const char*>(first) + 1;
  cut->headEnd = static_cast<size_t>(next - 1 - begin);
  std::string& line = cut->joined;
  while (next < end) {
    const void* found = std::memchr(next, kLineFeed, static_cast<size_t>(end - next));
    if (found == nullptr) break;
    const char* lineFeed = static_cast<const char*>(found);
    line.clear();
    std::string_view complete = CompleteLine(line, next, lineFeed);
    if (cut->lineCount == cut->lines.size()) cut->lines.emplace_back();
    CutRowLine(complete, cut->lines[cut->lineCount++]);
    next = lineFeed + 1;
  }
  cut->tailStart = static_cast<size_t>(next - begin);
}

// Takes one line's channel, if it completes one; false when the user stopped the run.
template <typename TakeLine>
bool TakeChannelLine(HarvestState& state, TakeLine takeLine) {
  if (ServiceRunEvent()) {
    state.aborted = true;
    return false;
  }
  std::optional<ChannelRecord> record = takeLine();
  if (record) CompleteChannel(state, std::move(*record));
  return true;
}

// Scans one country page into channels; false when the user stopped the run. The page is
// read from its cut, line for line as the bytes would be.
bool ScanCountryPage(HarvestState& state, PageBuffer& page, std::string& countryLine) {
  if (!page.prepared) CutCountryPage(page);
  CutPage* cut = std::any_cast<CutPage>(&page.preparation);
  const char* begin = page.bytes.data();
  if (!cut->hasLineFeed) {  // the whole page continues the carried line
    AppendWithoutCarriageReturns(countryLine, begin, begin + page.bytes.size());
    return true;
  }
  std::string_view head = CompleteLine(countryLine, begin, begin + cut->headEnd);
  if (!TakeChannelLine(state, [&] { return ParseRowLine(head, state); })) return false;
  countryLine.clear();
  for (size_t i = 0; i < cut->lineCount; ++i) {
    if (!TakeChannelLine(state, [&] { return TakeRowLine(cut->lines[i], state); })) return false;
  }
  AppendWithoutCarriageReturns(countryLine, begin + cut->tailStart, begin + page.bytes.size());
  return true;
}

// The next page of ahead, servicing the window side while it is on its way; false when the
// run must stop first.
bool TakePage(FetchAhead& ahead, PageBuffer& page) {
  while (!TakeNextPage(ahead, kPageWaitMilliseconds, page)) {
    if (ServiceWhileFetching()) return false;
  }
  return true;
}

// The country links of the index page, in page order.
std::vector<CountryLink> CountryLinks(const PageBuffer& indexPage, const std::string& siteBase) {
  std::vector<CountryLink> links;
  std::string line;
  ScanLines(indexPage, line, [&](std::string_view complete) {
    std::optional<CountryLink> link = ParseIndexLine(std::string(complete), siteBase);
    if (link) links.push_back(std::move(*link));
    return true;
  });
  return links;
}

void ReportPage(const std::string& country, const std::string& address, const PageBuffer& page,
                int32_t channels) {
  PageReport report;
  report.country = country;
  report.address = address;
  report.size = page.size();
  report.outcome = page.outcome;
  report.channels = channels;
  ShowPageRead(report);
}

// Fetches the index page; false when the run stopped while waiting for it.
bool ReadCountryLinks(const std::string& siteBase, std::vector<CountryLink>& links) {
  const std::string address = Concat(siteBase, kIndexPath);
  FetchAhead index = StartFetchAhead({address}, 1);
  PageBuffer indexPage;
  bool taken = TakePage(index, indexPage);
  StopFetchAhead(index);
  if (!taken) return false;
  links = CountryLinks(indexPage, siteBase);
  ReportPage(std::string(), address, indexPage, 0);
  return true;
}

// Keeps only the links of the countries asked for; false, after naming each unknown one
// with the nearest names, when the index lacks one. An index without links keeps none, and
// the run finds nothing.
bool ChooseLinks(std::vector<CountryLink>& links, const std::vector<std::string>& countries) {
  if (countries.empty() || links.empty()) return true;
  CountryChoice choice = ChooseCountries(links, countries);
  for (const std::string& name : choice.unknown) {
    ShowUnknownCountry(name, NearestCountryNames(links, name, kNearestNames));
  }
  links = std::move(choice.links);
  return choice.unknown.empty();
}

// Scans the country pages in index order while up to jobs of them are fetched ahead. One line
// buffer serves all pages: an unended last line carries over to the next page.
void ReadCountryPages(HarvestState& state, const std::vector<CountryLink>& links, int jobs) {
  std::vector<std::string> addresses;
  for (const CountryLink& link : links) addresses.push_back(link.address);
  FetchAhead ahead = StartFetchAhead(addresses, jobs, CutCountryPage);
  std::string countryLine;
  state.countryTotal = static_cast<int32_t>(links.size());
  PageBuffer page;  // each page read hands its memory back to the fetcher for a later page
  for (const CountryLink& link : links) {
    state.country = link.name;
    if (!TakePage(ahead, page)) {
      state.aborted = true;
      break;
    }
    ShowCountryPageTaken(link.name);
    const int32_t countBefore = state.channelCount;
    if (!ScanCountryPage(state, page, countryLine)) break;
    ++state.countriesDone;
    ReportPage(link.name, link.address, page, state.channelCount - countBefore);
  }
  StopFetchAhead(ahead);
}

void SaveChannels(HarvestState& state, const std::string& outputPath) {
  const ReplaceOutcome outcome = WriteChannelFile(state.channels, outputPath);
  if (outcome.saved) {
    ShowFinalStatus(state.channelCount, kWordDone);
  } else {
    // The message keeps its fixed words; a side that can say more reads the reason here.
    state.saveProblem = outcome.problem;
    ShowMessage(kSaveFailedTitle, kSaveFailedText, kMessageStyleExclamation);
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

void RunUpdate(HarvestState& state, const std::string& siteBase, const std::string& outputPath,
               int jobs, const std::vector<std::string>& countries) {
  std::vector<CountryLink> links;
  if (ReadCountryLinks(siteBase, links)) {
    if (!ChooseLinks(links, countries)) return;
    ReadCountryPages(state, links, jobs);
  } else {
    state.aborted = true;
  }
  FinishRun(state, outputPath);
}
