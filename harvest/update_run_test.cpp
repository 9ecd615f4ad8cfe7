// SPDX-License-Identifier: GPL-2.0-or-later
// The update run over in-memory pages: order of the observer's operations, stops, unreadable
// pages, line ends, lines carried across pages, and when channels.dat is written.
#include "harvest/update_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "fetch/fetch.h"
#include "fetch/fetch_ahead.h"
#include "harvest/line_split.h"
#include "harvest/row_parser.h"
#include "tests/fake_window_side.h"
#include "tests/page_lines.h"
#include "tests/temp_folder.h"

namespace {

const char kBase[] = "http://site.test/";
const char kIndexAddress[] = "http://site.test/television/tvbar.htm";

// The pages the fake transport serves; an address not in the map cannot be opened. Fetch
// workers open pages on their own threads: what they record is guarded by g_fetchLock.
std::map<std::string, std::string> g_pages;
std::mutex g_fetchLock;
std::vector<std::string> g_fetched;
int g_openNow = 0;   // connections open at this moment
int g_openMost = 0;  // the most that were open at once
void (*g_onOpen)(const std::string& address) = nullptr;
StopSource* g_stop = nullptr;  // the stop of the test's run
FakeWindowSide* g_fake = nullptr;  // the observer of the test's run
const int kWorkerWaitMilliseconds = 10000;

struct FakeConnection {
  const std::string* bytes;  // in g_pages, which a run leaves alone
  size_t offset = 0;
};

FetchConnection* OpenFake(const std::string& address) {
  {
    std::lock_guard<std::mutex> guard(g_fetchLock);
    g_fetched.push_back(address);
  }
  if (g_onOpen) g_onOpen(address);
  auto page = g_pages.find(address);
  if (page == g_pages.end()) return nullptr;
  std::lock_guard<std::mutex> guard(g_fetchLock);
  g_openMost = std::max(g_openMost, ++g_openNow);
  return reinterpret_cast<FetchConnection*>(new FakeConnection{&page->second, 0});
}

int ReadFake(FetchConnection* connection, char* buffer, int capacity) {
  FakeConnection* fake = reinterpret_cast<FakeConnection*>(connection);
  size_t count = std::min(static_cast<size_t>(capacity), fake->bytes->size() - fake->offset);
  std::memcpy(buffer, fake->bytes->data() + fake->offset, count);
  fake->offset += count;
  return static_cast<int>(count);
}

void CloseFake(FetchConnection* connection) {
  if (connection == nullptr) return;
  delete reinterpret_cast<FakeConnection*>(connection);
  std::lock_guard<std::mutex> guard(g_fetchLock);
  --g_openNow;
}

const FetchTransport kFakeTransport = {OpenFake, ReadFake, CloseFake};

class UpdateRunTest : public TempFolderTest {
 protected:
  void SetUp() override {
    TempFolderTest::SetUp();
    fake_.Reset();
    g_pages.clear();
    g_fetched.clear();
    g_openMost = 0;
    g_onOpen = nullptr;
    g_stop = &stop_;
    g_fake = &fake_;
    g_fetchTransport = &kFakeTransport;
    dir_ = folder_;
    output_ = (dir_ / "channels.dat").string();
  }
  void TearDown() override {
    EXPECT_TRUE(WaitForFetchWorkers(kWorkerWaitMilliseconds));
    g_fetchTransport = nullptr;
    TempFolderTest::TearDown();
  }

  // An index page linking each country in order, one line each, plus lines that are no links.
  void SetIndex(const std::vector<std::pair<std::string, std::string>>& countries) {
    std::string index = "<html><body>\r\n";
    for (const auto& c : countries) index += IndexLine(c.first, c.second) + "\r\n";
    g_pages[kIndexAddress] = index + "</body></html>\r\n";
  }
  void SetCountry(const std::string& target, const std::string& page) {
    g_pages[std::string(kBase) + "television/" + target] = page;
  }
  void Run() { RunOn(state_); }
  // One run into state; returns once the run's fetch workers have ended too.
  void RunOn(HarvestState& state, int jobs = 1) {
    RunUpdate(state, {kBase, output_, jobs, {}}, fake_, stop_.Token());
    EXPECT_TRUE(WaitForFetchWorkers(kWorkerWaitMilliseconds));
  }
  bool OutputExists() const { return std::filesystem::exists(output_); }
  std::vector<std::string> ShownNames() const {
    std::vector<std::string> names;
    for (const ChannelRecord& r : fake_.shown) names.push_back(r.country + "/" + r.channel);
    return names;
  }

  FakeWindowSide fake_;
  StopSource stop_;
  HarvestState state_;
  std::filesystem::path dir_;
  std::string output_;
};

// A site that lists more channels than a run keeps is read no further; the run keeps, saves
// and reports those it has.
TEST_F(UpdateRunTest, ARunStopsReadingAtItsChannelBound) {
  SetIndex({{"no.htm", "NORWAY"}, {"se.htm", "sweden"}});
  SetCountry("no.htm", RowLines("A") + RowLines("B") + RowLines("C"));
  SetCountry("se.htm", RowLines("D"));
  state_.channelLimit = 2;
  Run();
  EXPECT_EQ(ShownNames(), (std::vector<std::string>{"Norway/A", "Norway/B"}));
  EXPECT_TRUE(state_.channelLimitReached && !state_.aborted);
  EXPECT_EQ(fake_.calls.back(), "ShowFinalStatus 2 DONE");
}

TEST_F(UpdateRunTest, CompletesChannelsInOrderAndFinishesWithTheSave) {
  SetIndex({{"no.htm", "NORWAY"}, {"se.htm", "sweden"}});
  SetCountry("no.htm", "<table>\n" + RowLines("A") + RowLines("B") + "</table>\n");
  SetCountry("se.htm", RowLines("C"));
  Run();
  const std::string event = "ServiceRunEvent";
  std::vector<std::string> expected = {
      "ShowPageRead index 0 0 ",
      event,                                                              // <table>
      event, event, event, "ShowChannel A", "ShowChannelCount 1",         // row A
      event, event, event, "ShowChannel B", "ShowChannelCount 2",         // row B
      event,                                                              // </table>
      "ShowPageRead Norway 0 2 ",
      event, event, event, "ShowChannel C", "ShowChannelCount 3",         // Sweden's row
      "ShowPageRead Sweden 0 1 ",
      "ShowRunFinished", "ShowFinalStatus 3 DONE"};
  EXPECT_EQ(fake_.calls, expected);
  EXPECT_TRUE(OutputExists());
  EXPECT_EQ(ShownNames(), (std::vector<std::string>{"Norway/A", "Norway/B", "Sweden/C"}));
  EXPECT_EQ(state_.channelCount, 3);
  EXPECT_EQ(state_.channels.count, 3u);
  EXPECT_FALSE(state_.aborted);
  EXPECT_EQ(g_fetched, (std::vector<std::string>{kIndexAddress, "http://site.test/television/no.htm",
                                                 "http://site.test/television/se.htm"}));
}

TEST_F(UpdateRunTest, ChosenCountriesAloneAreFetchedAndReadAsOneRun) {
  SetIndex({{"no.htm", "NORWAY"}, {"se.htm", "sweden"}, {"dk.htm", "denmark"}, {"x.htm", "SWEDEN"}});
  SetCountry("no.htm", RowLines("A"));
  SetCountry("se.htm", RowLines("B") + PlainName("C").substr(0, 10));  // carried over
  SetCountry("x.htm", PlainName("C").substr(10) + "\n");
  RunUpdate(state_, {kBase, output_, 2, {"SWEDEN"}}, fake_);
  EXPECT_TRUE(WaitForFetchWorkers(kWorkerWaitMilliseconds));
  std::sort(g_fetched.begin() + 1, g_fetched.end());  // two jobs fetch in either order
  EXPECT_EQ(g_fetched, (std::vector<std::string>{kIndexAddress, "http://site.test/television/se.htm",
                                                 "http://site.test/television/x.htm"}));
  EXPECT_EQ(ShownNames(), (std::vector<std::string>{"Sweden/B"}));
  EXPECT_EQ(fake_.taken, (std::vector<std::string>{"Sweden", "Sweden"}));  // each page taken
  EXPECT_EQ(state_.channel, "C");
  EXPECT_EQ(state_.countryTotal, 2);
  EXPECT_EQ(state_.countriesDone, 2);

  fake_.Reset();
  HarvestState refused;
  EXPECT_TRUE(RunUpdate(refused, {kBase, output_, 1, {"norway", "Swedn"}}, fake_).countryRefused);
  EXPECT_EQ(fake_.calls, (std::vector<std::string>{"ShowPageRead index 0 0 ",
                                                   "ShowUnknownCountry Swedn sweden"}));
}

TEST_F(UpdateRunTest, StopAtALineEndLeavesThatLineUnexaminedAndWritesNothing) {
  SetIndex({{"no.htm", "Norway"}, {"se.htm", "Sweden"}});
  SetCountry("no.htm", RowLines("A") + RowLines("B"));
  SetCountry("se.htm", RowLines("C"));
  struct Case { int stopAt; int channels; };
  // Line 6 is B's about line: stopping there loses B; stopping at 7 (Sweden's first) keeps it.
  for (Case c : std::vector<Case>{{1, 0}, {3, 0}, {4, 1}, {6, 1}, {7, 2}, {9, 2}}) {
    fake_.Reset();
    HarvestState state;
    fake_.stopAtServiceCall = c.stopAt;
    RunOn(state);
    EXPECT_TRUE(state.aborted) << c.stopAt;
    EXPECT_EQ(state.channelCount, c.channels) << c.stopAt;
    EXPECT_EQ(fake_.serviceCalls, c.stopAt) << "no event after the stop";
    ASSERT_GE(fake_.calls.size(), 2u);
    EXPECT_EQ(fake_.calls[fake_.calls.size() - 2], "ShowRunFinished");
    EXPECT_EQ(fake_.calls.back(), "ShowFinalStatus " + std::to_string(c.channels) + " ABORTED");
    EXPECT_FALSE(OutputExists()) << c.stopAt;
  }
  // The page after the stop is never fetched.
  EXPECT_EQ(g_fetched.back(), "http://site.test/television/se.htm");
}

TEST_F(UpdateRunTest, NothingToSaveEndsWithAFullBarOnly) {
  struct Case { std::string what; bool withIndex; std::string countryPage; };
  const std::vector<Case> cases = {
      {"unreadable index page", false, ""},
      {"index page without a link", true, ""},
      {"rows without a stream line", true, PlainName("A") + "\n" + AboutLine("x</td") + "\n"},
  };
  for (const Case& c : cases) {
    fake_.Reset();
    g_pages.clear();
    HarvestState state;
    if (c.withIndex) SetIndex({{"no.htm", "Norway"}});
    if (!c.countryPage.empty()) SetCountry("no.htm", c.countryPage);
    if (c.what == "index page without a link") g_pages[kIndexAddress] = "<html>\n</html>\n";
    RunOn(state);
    EXPECT_EQ(fake_.calls.back(), "ShowRunFinished") << c.what;
    EXPECT_EQ(std::count(fake_.calls.begin(), fake_.calls.end(), "ShowRunFinished"), 1) << c.what;
    EXPECT_EQ(state.channelCount, 0) << c.what;
    EXPECT_FALSE(state.aborted) << c.what;
    EXPECT_FALSE(OutputExists()) << c.what;
  }
}

TEST_F(UpdateRunTest, UnreadableCountryPageIsSkippedAndCountingGoesOn) {
  SetIndex({{"no.htm", "Norway"}, {"gone.htm", "Atlantis"}, {"se.htm", "Sweden"}});
  SetCountry("no.htm", RowLines("A"));
  SetCountry("se.htm", RowLines("C"));
  Run();
  EXPECT_EQ(ShownNames(), (std::vector<std::string>{"Norway/A", "Sweden/C"}));
  EXPECT_EQ(fake_.serviceCalls, 6);
  EXPECT_NE(std::find(fake_.calls.begin(), fake_.calls.end(), "ShowChannelCount 2"),
            fake_.calls.end());
}

TEST_F(UpdateRunTest, UnendedLastLineJoinsTheNextPagesFirstLine) {
  SetIndex({{"no.htm", "Norway"}, {"se.htm", "Sweden"}, {"dk.htm", "Denmark"}});
  // Norway's page ends inside a stream line; Sweden's first bytes finish it, then the about
  // line completes a channel with the name from Norway, the stream seen, and Sweden's country.
  std::string stream = StreamLine("mms://s.test/x", "500K</a");
  SetCountry("no.htm", PlainName("A") + "\n" + stream.substr(0, 10));
  SetCountry("se.htm", stream.substr(10) + "\n" + AboutLine("Joined.</td") + "\n" +
                           PlainName("Z"));
  SetCountry("dk.htm", StreamLine("u", "1K</a") + "\n");  // Z's name line joins this one
  Run();
  ASSERT_EQ(fake_.shown.size(), 1u);
  const ChannelRecord& r = fake_.shown[0];
  EXPECT_EQ(r.country, "Sweden");
  EXPECT_EQ(r.channel, "A");
  EXPECT_EQ(r.streamUrl, "mms://s.test/x");
  EXPECT_EQ(r.bitrate, "500");
  EXPECT_EQ(r.about, "Joined");
  EXPECT_EQ(state_.channel, "Z") << "the joined line is a name line";
  EXPECT_EQ(fake_.serviceCalls, 1 + 2 + 1);
}

// A page that brings more than the page limit ends at it, with the outcome that says so; its
// unended last line still begins the next page's first line.
TEST_F(UpdateRunTest, APageOverTheLimitEndsThereAndItsLastLineCarriesOver) {
  SetIndex({{"no.htm", "Norway"}, {"se.htm", "Sweden"}});
  const std::string name = PlainName("B");
  SetCountry("no.htm", RowLines("A") + name + "\n" + RowLines("lost"));
  SetCountry("se.htm", name.substr(name.size() - 6) + "\n" + StreamLine("u", "1K</a") + "\n" +
                           AboutLine("x</td") + "\n");
  SetPageByteLimit(RowLines("A").size() + name.size() - 6);
  Run();
  SetPageByteLimit(0);
  EXPECT_EQ(ShownNames(), (std::vector<std::string>{"Norway/A", "Sweden/B"}));
  EXPECT_NE(std::find(fake_.calls.begin(), fake_.calls.end(),
                      std::string("ShowPageRead Norway 0 1 ") + kPageLimitReached),
            fake_.calls.end());
}

// A line carried across pages keeps its first kCarriedLineLimit bytes: here a page of exactly
// the page limit without a line feed ends in the ">" before the name field, so the name that
// the next page would add to it is dropped.
TEST_F(UpdateRunTest, ACarriedLineEndsAtItsLimit) {
  SetIndex({{"no.htm", "Norway"}, {"se.htm", "Sweden"}});
  std::string head = "<tr><td class=\"name\">>>>>";
  head.resize(kCarriedLineLimit - 1, 'x');
  SetCountry("no.htm", head + ">");
  SetCountry("se.htm", "Dropped\n" + StreamLine("u", "1K</a") + "\n" + AboutLine("x</td") + "\n");
  Run();
  EXPECT_EQ(ShownNames(), (std::vector<std::string>{"Sweden/"}));
}

TEST_F(UpdateRunTest, StreamSeenCarriesOverToTheNextCountryPage) {
  SetIndex({{"no.htm", "Norway"}, {"se.htm", "Sweden"}});
  SetCountry("no.htm", PlainName("A") + "\n" + StreamLine("u", "1K</a") + "\n");
  SetCountry("se.htm", AboutLine("x</td") + "\n");
  Run();
  EXPECT_EQ(ShownNames(), (std::vector<std::string>{"Sweden/A"}));
}

TEST_F(UpdateRunTest, LineEndsAndCarriageReturns) {
  struct Case { std::string what; std::string page; int channels; int serviceCalls; };
  std::string crInside = RowLines("A");
  crInside.insert(5, "\r");  // inside the name line's prefix: dropped, the line still counts
  const std::vector<Case> cases = {
      {"LF", RowLines("A") + RowLines("B"), 2, 6},
      {"CR LF", RowLines("A", "\r\n") + RowLines("B", "\r\n"), 2, 6},
      {"CR only: no complete line", RowLines("A", "\r") + RowLines("B", "\r"), 0, 0},
      {"CR inside a line", crInside, 1, 3},
      {"LF CR", RowLines("A", "\n\r"), 1, 3},
      {"empty lines", "\n\n\r\n" + RowLines("A"), 1, 6},
  };
  for (const Case& c : cases) {
    fake_.Reset();
    HarvestState state;
    SetIndex({{"no.htm", "Norway"}});
    SetCountry("no.htm", c.page);
    RunOn(state);
    EXPECT_EQ(state.channelCount, c.channels) << c.what;
    EXPECT_EQ(fake_.serviceCalls, c.serviceCalls) << c.what;
    if (c.channels > 0) {
      EXPECT_EQ(fake_.shown[0].channel, "A") << c.what;
    }
  }
}

TEST_F(UpdateRunTest, IndexLinesEndedByCarriageReturnsAloneGiveNoCountry) {
  g_pages[kIndexAddress] = IndexLine("no.htm", "Norway") + "\r" + IndexLine("se.htm", "Sweden") + "\r";
  SetCountry("no.htm", RowLines("A"));
  Run();
  EXPECT_EQ(g_fetched.size(), 1u);
  EXPECT_EQ(state_.channelCount, 0);
}

TEST_F(UpdateRunTest, CountGoesOnPastTheTopOfTheBar) {
  SetIndex({{"a.htm", "Big"}, {"b.htm", "Bigger"}});
  std::string page;
  for (int i = 0; i < 650; ++i) page += RowLines("C" + std::to_string(i), "\r\n");
  SetCountry("a.htm", page);
  SetCountry("b.htm", page);
  Run();
  EXPECT_EQ(state_.channelCount, 1300);
  EXPECT_EQ(state_.channels.count, 1300u);
  EXPECT_NE(std::find(fake_.calls.begin(), fake_.calls.end(), "ShowChannelCount 1300"),
            fake_.calls.end());
  EXPECT_EQ(fake_.shown.back().country, "Bigger");
}

TEST_F(UpdateRunTest, SaveFailureShowsTheMessageAndNoFinalWord) {
  std::filesystem::create_directories(output_);  // a directory where the file should go
  SetIndex({{"no.htm", "Norway"}});
  SetCountry("no.htm", RowLines("A"));
  Run();
  EXPECT_EQ(fake_.calls.back(), "ShowMessage Update failed!/Couldn't save channel list!/warning");
  EXPECT_EQ(state_.saveProblem, output_ + ": is a folder, not a regular file; left untouched");
  EXPECT_EQ(fake_.calls[fake_.calls.size() - 2], "ShowRunFinished");
  EXPECT_TRUE(std::filesystem::is_directory(output_));
}

// A cancel from outside (a console signal) while a page is fetched must never end in a save
// of what was found so far, even when no further line end gives a chance to stop.
TEST_F(UpdateRunTest, CancelDuringAFetchAbortsAndWritesNothing) {
  SetIndex({{"no.htm", "Norway"}, {"se.htm", "Sweden"}});
  SetCountry("no.htm", RowLines("A"));
  SetCountry("se.htm", RowLines("B"));
  g_onOpen = [](const std::string& address) {
    if (address == "http://site.test/television/se.htm") g_stop->RequestStop();
  };
  Run();
  EXPECT_TRUE(state_.aborted);
  // The run sees the stop at its next line, which the fetch ahead may reach before or after
  // Norway's channel; Sweden's is never taken.
  const std::string last = fake_.calls.back();
  EXPECT_TRUE(last == "ShowFinalStatus 0 ABORTED" || last == "ShowFinalStatus 1 ABORTED") << last;
  EXPECT_FALSE(OutputExists());
}

TEST_F(UpdateRunTest, CancelHoldsUntilARunHasSeenIt) {
  stop_.RequestStop();
  SetIndex({{"no.htm", "Norway"}});
  SetCountry("no.htm", RowLines("A"));
  Run();  // the fake window never answers stop: the cancel is found before the save
  EXPECT_TRUE(state_.aborted);
  EXPECT_FALSE(OutputExists());
}

// Workers finish pages in any order; nothing the run shows or writes may depend on it, nor on
// how many of them there are. The pages carry a line, and a stream line, over to the next.
TEST_F(UpdateRunTest, EveryJobCountGivesTheSameRun) {
  const int countries = 24;
  std::vector<std::pair<std::string, std::string>> links;
  for (int c = 0; c < countries; ++c) links.push_back({"c" + std::to_string(c) + ".htm", "Land" + std::to_string(c)});
  SetIndex(links);
  std::string cut = StreamLine("mms://s.test/cut", "700K</a");
  for (int c = 0; c < countries; ++c) {
    std::string page;
    for (int r = 0; r < 30; ++r) page += RowLines("C" + std::to_string(c) + "_" + std::to_string(r), c % 2 ? "\r\n" : "\n");
    if (c == 3) page += PlainName("Cut") + "\n" + cut.substr(0, 12);  // ends inside a line
    if (c == 4) page = cut.substr(12) + "\n" + AboutLine("Cut.</td") + "\n" + page;
    if (c == 6) page += PlainName("Split") + "\n" + StreamLine("mms://s.test/split", "9K</a") + "\n";
    if (c == 7) page = AboutLine("Split.</td") + "\n" + page;
    if (c == 10) page.clear();
    if (c == 2) {  // more rows than a worker cuts ahead: the run cuts the rest
      for (size_t r = 0; r < kPreparedRowLimit / 3 + 2; ++r) page += RowLines("Many");
    }
    if (c != 9) SetCountry(links[static_cast<size_t>(c)].first, page);  // Land9 cannot be read
  }
  g_onOpen = [](const std::string& address) {  // early pages come last
    if (address.find("/c1.htm") != std::string::npos || address.find("/c5.htm") != std::string::npos) {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
  };
  struct Outcome {
    std::vector<std::string> calls;
    std::vector<std::string> shown;
    std::string file;
    int32_t count;
  };
  std::vector<Outcome> outcomes;
  for (int jobs : {1, 4, 16}) {
    fake_.Reset();
    HarvestState state;
    RunOn(state, jobs);
    std::ifstream in(output_, std::ios::binary);
    std::stringstream file;
    file << in.rdbuf();
    outcomes.push_back({fake_.calls, ShownNames(), file.str(), state.channelCount});
  }
  EXPECT_EQ(outcomes[0].count, (countries - 2) * 30 + 2 + static_cast<int32_t>(kPreparedRowLimit / 3 + 2));
  std::vector<std::string> shown = outcomes[0].shown;
  EXPECT_NE(std::find(shown.begin(), shown.end(), "Land4/Cut"), shown.end());
  EXPECT_NE(std::find(shown.begin(), shown.end(), "Land7/Split"), shown.end());
  for (size_t i = 1; i < outcomes.size(); ++i) {
    EXPECT_TRUE(outcomes[i].calls == outcomes[0].calls) << i;
    EXPECT_EQ(outcomes[i].shown, outcomes[0].shown) << i;
    EXPECT_TRUE(outcomes[i].file == outcomes[0].file) << i;
  }
}

// The observer is serviced while a page is on its way; a stop then ends the run at once,
// and nothing is written. A stop while workers run ahead leaves at most jobs pages fetched
// beyond the one being read.
TEST_F(UpdateRunTest, StopWhileFetchingAheadWritesNothing) {
  std::vector<std::pair<std::string, std::string>> links;
  for (int c = 0; c < 30; ++c) {
    links.push_back({"c" + std::to_string(c) + ".htm", "Land" + std::to_string(c)});
    SetCountry(links.back().first, RowLines("C" + std::to_string(c)));
  }
  SetIndex(links);
  g_onOpen = [](const std::string& address) {
    if (address.find("/c1.htm") == std::string::npos) return;
    g_fake->stopWhileFetching.store(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  };
  Run();
  EXPECT_TRUE(state_.aborted);
  EXPECT_GE(fake_.fetchWaits, 1);
  EXPECT_EQ(fake_.calls.back(), "ShowFinalStatus 1 ABORTED");
  EXPECT_FALSE(OutputExists());

  g_onOpen = nullptr;
  for (int jobs : {4, 16}) {
    fake_.Reset();
    g_fetched.clear();
    g_openMost = 0;
    fake_.stopAtServiceCall = 1;
    HarvestState state;
    RunOn(state, jobs);
    EXPECT_TRUE(state.aborted) << jobs;
    EXPECT_LE(g_fetched.size(), static_cast<size_t>(2 + jobs)) << jobs;
    EXPECT_LE(g_openMost, jobs) << jobs;
    EXPECT_FALSE(OutputExists()) << jobs;
  }
}

}  // namespace

// Fetch workers cut the lines of a page ahead of the run, all but the bytes before its first
// line feed; wherever the pages split the text, the run must read the same lines.
TEST_F(UpdateRunTest, PagesSplitAnywhereReadAsOneText) {
  std::string crInside = RowLines("B", "\r\n");
  crInside.insert(7, "\r");
  const std::string text = RowLines("A", "\r\n") + crInside + "\n\r\n" + RowLines("C") + "\r";
  SetIndex({{"a.htm", "A"}, {"b.htm", "B"}, {"c.htm", "C"}});
  auto channelsOf = [](const std::vector<ChannelRecord>& shown) {
    std::vector<std::string> rows;
    for (const ChannelRecord& r : shown) rows.push_back(r.channel + "|" + r.streamUrl + "|" + r.about);
    return rows;
  };
  SetCountry("a.htm", text);
  SetCountry("b.htm", "");
  SetCountry("c.htm", "");
  HarvestState whole;
  RunOn(whole);
  const std::vector<std::string> expected = channelsOf(fake_.shown);
  const int expectedCalls = fake_.serviceCalls;
  ASSERT_EQ(expected.size(), 3u);
  for (size_t cut = 0; cut <= text.size(); ++cut) {
    const size_t second = std::min(text.size(), cut + 9);  // the middle page may hold no line feed
    SetCountry("a.htm", text.substr(0, cut));
    SetCountry("b.htm", text.substr(cut, second - cut));
    SetCountry("c.htm", text.substr(second));
    fake_.Reset();
    HarvestState state;
    RunOn(state);
    EXPECT_EQ(channelsOf(fake_.shown), expected) << "cut at " << cut;
    EXPECT_EQ(fake_.serviceCalls, expectedCalls) << "cut at " << cut;
  }
}
