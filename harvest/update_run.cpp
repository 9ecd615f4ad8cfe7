// SPDX-License-Identifier: GPL-2.0-or-later
// The update run: reads the index page, every country page it links, and turns the country
// page lines into channels; then shows the final state and writes the channel file.
#include "harvest/update_run.h"

#include <array>
#include <atomic>
#include <memory>
#include <string_view>
#include <vector>

#include "fetch/fetch.h"
#include "fetch/fetch_ahead.h"
#include "harvest/channel_file.h"
#include "harvest/country_choice.h"
#include "harvest/index_parser.h"
#include "harvest/line_split.h"
#include "harvest/row_parser.h"
#include "text/text.h"

namespace {

const int kNearestNames = 3;  // named for a country that the index lacks

void CompleteChannel(HarvestState& state, HarvestObserver& observer, ChannelRecord&& record) {
  AddRecord(state.channels, std::move(record));
  observer.ShowChannel(state.channels.cursor->record);  // the record just added
  ++state.channelCount;
  observer.ShowChannelCount(state.channelCount);
}

// The pages cut ahead, kept by page number modulo their count: the pages being cut and the
// one the run holds are at most kMaxJobs + 1 in a row (StartFetchAhead).
using CutPages = std::array<CutPage, kMaxJobs + 1>;

// What the run carries from one country page to the next.
struct CountryScan {
  std::string line;       // the line being collected: an unended last line carries over
  RowLineValues values;   // the values of a line the run cuts itself, memory kept
};

// Takes one line's channel, if it completes one; false when the user stopped the run or the
// run holds as many channels as it may.
template <typename TakeLine>
bool TakeChannelLine(HarvestState& state, HarvestObserver& observer, TakeLine takeLine) {
  if (observer.ServiceRunEvent() || state.stop.StopRequested()) {
    state.aborted = true;
    return false;
  }
  std::optional<ChannelRecord> record = takeLine();
  if (!record) return true;
  CompleteChannel(state, observer, std::move(*record));
  state.channelLimitReached = state.channelCount >= state.channelLimit;
  return !state.channelLimitReached;
}

// Takes the lines of bytes that line feeds end, the first one joined to the carried line, and
// carries on the bytes after the last line feed; false when the user stopped the run.
bool TakeLines(HarvestState& state, HarvestObserver& observer, std::string_view bytes,
               CountryScan& scan) {
  const LineSplit split = SplitLines(bytes, scan.line, [&](std::string_view line) {
    return TakeChannelLine(state, observer, [&] {
      CutRowLine(line, scan.values);
      return TakeRowLine(scan.values, state);
    });
  });
  if (split.stopped) return false;
  AppendLineBytes(scan.line, bytes.substr(split.rest));
  return true;
}

// Scans one country page into channels; false when the user stopped the run. The page is
// read line for line as its bytes would be: its first line, the lines cut ahead (unless the
// run was waiting for the page), and the lines after those.
bool ScanCountryPage(HarvestState& state, HarvestObserver& observer, const PageBuffer& page,
                     CutPage& cut, CountryScan& scan) {
  const std::string_view bytes(page.bytes);
  if (!cut.prepared) {  // nothing was cut ahead: the run cuts every line itself
    cut.start = 0;
    cut.resume = 0;
    cut.lineCount = 0;
  }
  cut.prepared = false;
  if (!TakeLines(state, observer, bytes.substr(0, cut.start), scan)) return false;
  size_t row = 0;
  for (size_t line = 0; line < cut.lineCount; ++line) {
    const bool isRow = row < cut.rowCount && cut.rows[row].line == line;
    if (!TakeChannelLine(state, observer, [&] {
          return isRow ? TakeRowLine(cut.rows[row++].values, state) : std::nullopt;
        })) {
      return false;
    }
  }
  return TakeLines(state, observer, bytes.substr(cut.resume), scan);
}

// The next page of ahead, servicing the observer while it is on its way; false when the
// run must stop first.
bool TakePage(FetchAhead& ahead, PageBuffer& page, HarvestObserver& observer,
              const StopToken& stop) {
  while (!TakeNextPage(ahead, kPageWaitMilliseconds, page)) {
    if (observer.ServiceWhileFetching() || stop.StopRequested()) return false;
  }
  return true;
}

void ReportPage(HarvestObserver& observer, const std::string& country, const std::string& address,
                const PageBuffer& page, int32_t channels) {
  PageReport report;
  report.country = country;
  report.address = address;
  report.size = page.size();
  report.outcome = page.outcome;
  report.channels = channels;
  observer.ShowPageRead(report);
}

// Fetches the index page; false when the run stopped while waiting for it.
bool ReadCountryLinks(const std::string& siteBase, std::vector<CountryLink>& links,
                      HarvestObserver& observer, const StopToken& stop) {
  const std::string address = Concat(siteBase, kIndexPath);
  FetchAhead index = StartFetchAhead({address}, 1);
  PageBuffer indexPage;
  bool taken = TakePage(index, indexPage, observer, stop);
  StopFetchAhead(index);
  if (!taken) return false;
  links = IndexCountryLinks(indexPage.bytes, siteBase);
  ReportPage(observer, std::string(), address, indexPage, 0);
  return true;
}

// Keeps only the links of the countries asked for; false, after naming each unknown one
// with the nearest names, when the index lacks one. An index without links keeps none, and
// the run finds nothing.
bool ChooseLinks(std::vector<CountryLink>& links, const std::vector<std::string>& countries,
                 HarvestObserver& observer) {
  if (countries.empty() || links.empty()) return true;
  CountryChoice choice = ChooseCountries(links, countries);
  for (const std::string& name : choice.unknown) {
    observer.ShowUnknownCountry(name, NearestCountryNames(links, name, kNearestNames));
  }
  for (const SharedCountryName& shared : choice.shared) {
    observer.ShowSharedCountryName(shared.typed, shared.entries);
  }
  links = std::move(choice.links);
  return choice.unknown.empty();
}

// Scans the country pages in index order while up to jobs of them are fetched and cut ahead.
// One line buffer serves all pages: an unended last line carries over to the next page.
void ReadCountryPages(HarvestState& state, const std::vector<CountryLink>& links, int jobs,
                      HarvestObserver& observer) {
  std::vector<std::string> addresses;
  for (const CountryLink& link : links) addresses.push_back(link.address);
  // Shared with the workers, who may still finish a cut after the run has stopped.
  auto cuts = std::make_shared<CutPages>();
  FetchAhead ahead = StartFetchAhead(addresses, jobs, [cuts](size_t index, const PageBuffer& page) {
    CutCountryPage(page.bytes, (*cuts)[index % cuts->size()]);
  });
  // The workers stop however the run ends, a failed allocation included.
  struct StopAtEnd {
    FetchAhead& ahead;
    ~StopAtEnd() { StopFetchAhead(ahead); }
  } stopAtEnd{ahead};
  CountryScan scan;
  state.countryTotal = static_cast<int32_t>(links.size());
  PageBuffer page;  // each page read hands its memory back to the fetcher for a later page
  for (size_t index = 0; index < links.size(); ++index) {
    const CountryLink& link = links[index];
    state.country = link.name;
    // A stop makes every fetch end at once, so the pages left would come in without end.
    if (state.stop.StopRequested() || !TakePage(ahead, page, observer, state.stop)) {
      state.aborted = true;
      break;
    }
    observer.ShowCountryPageTaken(link.name);
    const int32_t countBefore = state.channelCount;
    if (!ScanCountryPage(state, observer, page, (*cuts)[index % cuts->size()], scan)) break;
    ++state.countriesDone;
    ReportPage(observer, link.name, link.address, page, state.channelCount - countBefore);
  }
}

// Saves a list found unless the run was stopped; what became of the run.
HarvestResult FinishRun(HarvestState& state, const std::string& outputPath,
                        HarvestObserver& observer) {
  observer.ShowRunFinished();
  // A stop that came before this point stops the run like the Close button; one that comes
  // later finds the save under way and no longer applies.
  if (state.stop.StopRequested()) state.aborted = true;
  HarvestResult result;
  result.channels = state.channelCount;
  result.aborted = state.aborted;
  if (state.aborted) {
    observer.ShowFinalStatus(state.channelCount, false);
    return result;
  }
  if (state.channelCount == 0) return result;
  if (!outputPath.empty()) {
    const ReplaceOutcome outcome = WriteChannelFile(state.channels, outputPath);
    if (!outcome.saved) {
      // The message keeps its fixed words; a side that can say more reads the reason here.
      state.saveProblem = outcome.problem;
      result.saveFailed = true;
      result.saveProblem = outcome.problem;
      observer.ShowMessage(kSaveFailedTitle, kSaveFailedText, MessageKind::kWarning);
      return result;
    }
  }
  result.done = true;
  observer.ShowFinalStatus(state.channelCount, true);
  return result;
}

}  // namespace

HarvestResult RunUpdate(HarvestState& state, const HarvestSettings& settings,
                        HarvestObserver& observer, const StopToken& stop) {
  state.stop = stop;
  std::vector<CountryLink> links;
  if (!ReadCountryLinks(settings.siteBase, links, observer, stop)) {
    state.aborted = true;
  } else if (!ChooseLinks(links, settings.countries, observer)) {
    HarvestResult refused;
    refused.countryRefused = true;
    return refused;
  } else {
    ReadCountryPages(state, links, settings.jobs, observer);
  }
  return FinishRun(state, settings.outputPath, observer);
}
