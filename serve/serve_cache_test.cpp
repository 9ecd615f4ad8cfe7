// SPDX-License-Identifier: GPL-2.0-or-later
#include "serve/serve_cache.h"

#include <gtest/gtest.h>

#include "serve/serve_view.h"

TEST(ServeCache, FilterKeyIsOneForEachFilter) {
  using Args = std::vector<std::pair<std::string, std::string>>;
  // Each group gives one key, and no two groups the same.
  const std::vector<std::vector<Args>> groups = {
      {{}, {{"min_uptime", "0"}}, {{"min_uptime", "0.00"}}, {{"status", "all"}}},
      {{{"status", "live"}, {"q", "News"}}, {{"q", "news"}, {"status", "live"}}},
      {{{"min_uptime", "0.5"}, {"country", "DE"}}, {{"country", "de"}, {"min_uptime", "0.500000"}}},
      {{{"min_uptime", "0.500001"}}},
      {{{"country", "a"}}},
      {{{"category", "a"}}},
      {{{"country", "a 1:b"}}},
      {{{"country", "a"}, {"category", "b"}}},
      {{{"id", "7"}}, {{"id", "007"}}},
      {{{"since", "0"}}},
  };
  std::vector<std::string> keys;
  for (const auto& group : groups) {
    const std::string key = FilterKey(ParseFilter(group[0], StatusFilter::kAll, true).filter);
    for (const Args& args : group) {
      EXPECT_EQ(FilterKey(ParseFilter(args, StatusFilter::kAll, true).filter), key)
          << (args.empty() ? "" : args[0].first + "=" + args[0].second);
    }
    for (const std::string& other : keys) EXPECT_NE(other, key);
    keys.push_back(key);
  }
}

TEST(ServeCache, KeepsAnswersWithinItsBytesAndDropsOlderVersions) {
  // Answers of 1000 bytes each, three of which fit: the cache counts a few hundred bytes more for
  // each (its key and slot).
  const size_t unit = 1000;
  AnswerCache<std::string> cache(3700, 2 * unit);
  struct Step {
    const char* key;
    int64_t version;
    size_t units;  // of the answer made; 0 makes none
    bool made;     // make() was called
    size_t kept;   // answers kept after it
    size_t slots;
  };
  std::shared_ptr<const std::string> held;  // a client still sending the last large answer
  const Step steps[] = {
      {"a", 1, 1, true, 1, 1},  {"a", 1, 1, false, 1, 1}, {"b", 1, 1, true, 2, 2},
      {"c", 1, 1, true, 3, 3},  {"a", 1, 1, false, 3, 3},
      {"d", 1, 1, true, 3, 3},  // past the bound: b, the least recently asked for, goes
      {"b", 1, 1, true, 3, 3},  // and then c
      {"e", 2, 1, true, 1, 1},  // the answers of version 1 are dropped
      {"a", 1, 1, true, 1, 1},  // an older version is made but not kept
      {"big", 2, 3, true, 1, 2}, {"big", 2, 3, false, 1, 2},  // shared while held
      {"none", 2, 0, true, 1, 2}, {"none", 2, 0, true, 1, 2},  // a refusal is not kept
  };
  for (const Step& step : steps) {
    bool made = false;
    const auto answer = cache.Get(
        step.key, step.version,
        [&] {
          made = true;
          return step.units == 0 ? nullptr
                                 : std::make_shared<const std::string>(step.units * unit, 'x');
        },
        [](const std::string& text) { return text.size(); });
    if (std::string(step.key) == "big") held = answer;
    EXPECT_EQ(made, step.made) << step.key << " " << step.version;
    EXPECT_EQ(cache.bytes() / unit, step.kept) << step.key;
    EXPECT_EQ(cache.size(), step.slots) << step.key;
  }
  held.reset();
  bool made = false;
  cache.Get("big", 2, [&] { made = true; return std::make_shared<const std::string>(3 * unit, 'x'); },
            [](const std::string& text) { return text.size(); });
  EXPECT_TRUE(made) << "a large answer no client holds is made again";
  cache.DropOlderThan(3);
  EXPECT_EQ(cache.bytes(), 0u);
  EXPECT_EQ(cache.size(), 0u);
}
