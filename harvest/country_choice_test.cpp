// Choosing countries by typed names: any case, UTF-8 or page bytes, every link of a name,
// unknown names kept, and the nearest names for an unknown one.
#include "harvest/country_choice.h"

#include <gtest/gtest.h>

namespace {

const std::vector<CountryLink> kLinks = {
    {"Norway", "n"}, {"\xD6sterreich", "o"}, {"USA", "u1"}, {"Austria", "a"}, {"USA", "u2"}};

TEST(CountryChoiceTest, NamesMatchAnyCaseInUtf8OrPageBytes) {
  struct Case { std::vector<std::string> names; std::string chosen; std::vector<std::string> unknown; };
  const std::vector<Case> cases = {
      {{"norway"}, "n", {}},
      {{"\xC3\xB6STERREICH"}, "o", {}},     // typed in UTF-8, other case
      {{"\xF6sterreich"}, "o", {}},         // typed in Windows-1252
      {{"usa", "NORWAY"}, "n u1 u2", {}},   // index order, both USA pages
      {{"Atlantis", "austria", "Nor"}, "a", {"Atlantis", "Nor"}},
      {{""}, "", {""}},
  };
  for (const Case& c : cases) {
    CountryChoice choice = ChooseCountries(kLinks, c.names);
    std::string chosen;
    for (const CountryLink& link : choice.links) chosen += (chosen.empty() ? "" : " ") + link.address;
    EXPECT_EQ(chosen, c.chosen) << c.names[0];
    EXPECT_EQ(choice.unknown, c.unknown) << c.names[0];
  }
}

TEST(CountryChoiceTest, NearestNamesComeByEditDistanceOnceEach) {
  EXPECT_EQ(NearestCountryNames(kLinks, "Austira", 2),
            (std::vector<std::string>{"Austria", "USA"}));
  EXPECT_EQ(NearestCountryNames(kLinks, "norwya", 1), std::vector<std::string>{"Norway"});
  EXPECT_EQ(NearestCountryNames(kLinks, "x", 9).size(), 4u);
  EXPECT_TRUE(NearestCountryNames({}, "x", 3).empty());
}

}  // namespace
