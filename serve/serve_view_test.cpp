// SPDX-License-Identifier: GPL-2.0-or-later
#include "serve/serve_view.h"

#include <gtest/gtest.h>

#include "serve/serve_command.h"
#include "serve/serve_runs.h"

TEST(ServeView, ParseFilterTakesEachArgumentAndRefusesBadOnes) {
  using Args = std::vector<std::pair<std::string, std::string>>;
  struct Case {
    Args args;
    bool since;
    bool refused;
  };
  const Case cases[] = {
      {{}, false, false},
      {{{"status", "dead"}, {"country", "DE"}, {"min_uptime", "0.5"}, {"id", "7"}}, false, false},
      {{{"status", "Live"}}, false, true},
      {{{"min_uptime", "1.5"}}, false, true},
      {{{"min_uptime", "-0"}}, false, true},
      {{{"min_uptime", "nan"}}, false, true},
      {{{"id", "1e3"}}, false, true},
      {{{"id", "1234567890123456789"}}, false, true},
      {{{"since", "3"}}, false, true},
      {{{"since", "3"}}, true, false},
      {{{"q", "a"}, {"q", "b"}}, false, true},
      {{{"q", std::string(kMaxQueryValueBytes + 1, 'x')}}, false, true},
      {{{"page", "1"}}, false, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(!ParseFilter(c.args, StatusFilter::kAll, c.since).refusal.empty(), c.refused)
        << (c.args.empty() ? "" : c.args[0].first + "=" + c.args[0].second);
  }
  const EntryFilter f = ParseFilter({{"status", "dead"}, {"country", "DE"}, {"min_uptime", "0.5"}},
                                    StatusFilter::kLive, false)
                            .filter;
  EXPECT_EQ(f.status, StatusFilter::kDead);
  EXPECT_EQ(f.country, "de");
  EXPECT_DOUBLE_EQ(f.minUptime, 0.5);
}

TEST(ServeView, MatchesTellsLiveDeadAndUncheckedApart) {
  EntryRow unchecked;
  unchecked.entry.name = "Eins HD";
  unchecked.entry.country = "Germany";
  EntryRow live = unchecked;
  live.last = LastResult{};
  live.last->status = "live";
  live.checks = 4;
  live.live = 3;
  EntryRow dead = live;
  dead.last->status = "error";
  EntryFilter filter;
  filter.status = StatusFilter::kDead;
  EXPECT_FALSE(Matches(unchecked, filter));
  EXPECT_TRUE(Matches(dead, filter));
  EXPECT_FALSE(Matches(live, filter));
  filter = EntryFilter();
  filter.minUptime = 0.75;
  EXPECT_TRUE(Matches(live, filter));
  EXPECT_FALSE(Matches(unchecked, filter));
  filter.minUptime = 0.8;
  EXPECT_FALSE(Matches(live, filter));
  filter = EntryFilter();
  filter.words = "s h";
  EXPECT_TRUE(Matches(live, filter));
  filter.country = "germany";
  EXPECT_TRUE(Matches(live, filter));
}

TEST(ServeView, HealthIsNotOkWhileAFailureLeftNoList) {
  ViewState lost;
  lost.listLost = "moved aside";
  ViewState kept;
  kept.lastHarvest = 5;
  kept.lastHarvestComplete = false;
  ViewState full = lost;
  full.entries.Change().emplace_back();
  const std::pair<const ViewState*, bool> cases[] = {
      {&lost, false}, {&kept, false}, {&full, true}, {nullptr, true}};
  for (const auto& [state, ok] : cases) {
    EXPECT_EQ(HealthProblem(state != nullptr ? *state : ViewState()).empty(), ok);
  }
}

TEST(ServeRuns, HarvestRefusalKeepsTheLastListWhenFarFewerAreFound) {
  EXPECT_NE(HarvestRefusal(0, 0), "");
  EXPECT_EQ(HarvestRefusal(0, 1), "");
  EXPECT_EQ(HarvestRefusal(100, 50), "");
  EXPECT_NE(HarvestRefusal(100, 49), "");
  EXPECT_EQ(HarvestRefusal(100, 500), "");
}

TEST(ServeCommand, ParseDurationReadsUnitsWithinBounds) {
  const std::pair<const char*, int64_t> cases[] = {
      {"90", 90},    {"90s", 90},    {"15m", 900},
      {"6h", 21600}, {"2d", 172800}, {"366d", 366 * 86400},
      {"367d", -1},  {"0", -1},      {"", -1},
      {"h", -1},     {"5x", -1},     {"5hh", -1},
      {"-5", -1},    {"1.5h", -1},   {"99999999999999", -1}};
  for (const auto& [text, seconds] : cases) {
    EXPECT_EQ(ParseDuration(text).value_or(-1), seconds) << text;
  }
}
