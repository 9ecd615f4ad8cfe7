// SPDX-License-Identifier: GPL-2.0-or-later
// Which category an about text gets, and the shape of the keyword table.
#include "harvest/classifier.h"

#include <gtest/gtest.h>

#include <vector>

#include "text/text.h"

namespace {

TEST(ClassifierTest, FirstGroupInTableOrderWithASubstringHitWins) {
  struct Case { std::string about; const char* category; };
  const std::vector<Case> cases = {
      {"", "Unknown"},
      {"NEWS 24", "News"},
      {"News and music", "Music"},            // group order, not text order
      {"Christian music", "Religious"},
      {"Local news", "News"},
      {"State news", "General"},
      {"Weather and sports", "Sports"},
      {"Sport", "Unknown"},                   // the keyword is "sports"
      {"Real estate", "General"},             // "state" inside "estate"
      {"Evening prayer", "Religious"},
      {"\xC9" "DUCATION", "Unknown"},         // Latin-1 capital E acute is not an e
      {"\xE9" "ducation", "Unknown"},
      {"Shopping", "Shopping"},
      {"Commercial TV", "Shopping"},
      {"Live from the NASA centre", "Education"},
      {"Radio Catolica", "Religious"},
      {"Bisdom Haarlem", "Religious"},
      {"Nasjonal kanal", "General"},
      {"locally produced", "Local"},
      {"the newsroom", "News"},
      {"GoVeRnMeNt channel", "Government"},
      {"our community and local news", "News"},
      {"a video stream", "Unknown"},
      {"mus ic", "Unknown"},
      {"musi", "Unknown"},
      {std::string(5000, 'x') + "faith", "Religious"},  // no position limit
      {std::string("music\0news", 10), "Music"},
  };
  for (const Case& c : cases) EXPECT_EQ(ClassifyChannel(c.about), c.category) << c.about;
}

TEST(ClassifierTest, KeywordTestCountsNonOverlappingHitsInTheLowerCasedText) {
  struct Case { const char* about; const char* keyword; int count; };
  const std::vector<Case> cases = {
      {"Church", "church", 1}, {"PRAY, pray, Prayer", "pray", 3}, {"", "news", 0},
      {"news", "", 0},         {"newsnews", "news", 2},           {"nasanasa", "asan", 1},
      {"Sport", "sports", 0},  {"\xC9tat", "etat", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(KeywordTest(c.about, c.keyword), c.count) << c.about;
}

TEST(ClassifierTest, TableHoldsThirtyFiveLowerCaseKeywordsThatEachFindTheirOwnGroup) {
  const std::vector<CategoryGroup>& table = CategoryTable();
  ASSERT_EQ(table.size(), 11u);
  size_t keywords = 0;
  for (const CategoryGroup& group : table) {
    ASSERT_FALSE(group.category.empty());
    EXPECT_TRUE(group.category[0] >= 'A' && group.category[0] <= 'Z') << group.category;
    for (const std::string& keyword : group.keywords) {
      ++keywords;
      ASSERT_FALSE(keyword.empty());
      for (char c : keyword) EXPECT_TRUE(c >= 'a' && c <= 'z') << keyword;
      EXPECT_NE(keyword, group.category);
      // No keyword of an earlier group hides a later one, whatever its case.
      EXPECT_EQ(ClassifyChannel(keyword), group.category) << keyword;
      EXPECT_EQ(ClassifyChannel(ToUpperCase(keyword)), group.category) << keyword;
    }
  }
  EXPECT_EQ(keywords, 35u);
  EXPECT_EQ(ClassifyChannel("nothing here"), kUnknownCategory);
}

}  // namespace
