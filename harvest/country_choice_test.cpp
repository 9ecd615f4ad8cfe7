// SPDX-License-Identifier: GPL-2.0-or-later
// Choosing countries by typed names: by label before name, any case, UTF-8 or page bytes,
// every link of a name, unknown and shared names kept, and the labels near an unknown name.
#include "harvest/country_choice.h"

#include <gtest/gtest.h>

namespace {

const std::vector<CountryLink> kLinks = {
    {"Norway", "n", "NORWAY"},   {"\xD6sterreich", "o", "\xD6STERREICH"},
    {"USA", "u1", "USA"},        {"United kingdom", "k", "UNITED KINGDOM"},
    {"USA", "u2", "usa (east)"}, {"Canada", "c1", "Canada"},
    {"Canada", "c2", "Canada"}};

TEST(CountryChoiceTest, NamesChooseByLabelThenByNameInAnyCase) {
  struct Case {
    std::vector<std::string> names;
    std::string chosen;
    std::vector<std::string> unknown;
    std::string shared;
  };
  const std::vector<Case> cases = {
      {{"norway"}, "n", {}, ""},
      {{"\xC3\xB6sterreich"}, "o", {}, ""},  // typed in UTF-8, other case
      {{"\xF6STERREICH"}, "o", {}, ""},      // typed in Windows-1252
      {{"usa"}, "u1", {}, ""},               // the label "USA" before the name of both
      {{"USA (EAST)", "NORWAY"}, "n u2", {}, ""},
      {{"canada"}, "c1 c2", {}, "canada 2"},
      {{"Atlantis", "norway", "Norway", "Nor"}, "n", {"Atlantis", "Nor"}, ""},
      {{""}, "", {""}, ""},
  };
  for (const Case& c : cases) {
    CountryChoice choice = ChooseCountries(kLinks, c.names);
    std::string chosen;
    for (const CountryLink& link : choice.links)
      chosen += (chosen.empty() ? "" : " ") + link.address;
    std::string shared;
    for (const SharedCountryName& s : choice.shared)
      shared += s.typed + " " + std::to_string(s.entries);
    EXPECT_EQ(chosen, c.chosen) << c.names[0];
    EXPECT_EQ(choice.unknown, c.unknown) << c.names[0];
    EXPECT_EQ(shared, c.shared) << c.names[0];
  }
}

TEST(CountryChoiceTest, NearestLabelsAreLikeTheWholeNameItsStartOrItsInitials) {
  using Names = std::vector<std::string>;
  struct Case {
    std::string typed;
    Names nearest;
  };
  const std::vector<Case> cases = {
      {"uk", {"UNITED KINGDOM", "USA", "usa (east)"}},
      {"norwya", {"NORWAY"}},
      {"Unitd", {"UNITED KINGDOM"}},
      {"Austria", {}},
      {"x", {}},
      {"canad", {"Canada"}},           // once, though two entries bear it
      {std::string(100000, 'a'), {}},  // a hostile length costs no more than 64 bytes
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NearestCountryNames(kLinks, c.typed, 3), c.nearest) << c.typed.substr(0, 9);
  }
  EXPECT_TRUE(NearestCountryNames({}, "x", 3).empty());
}

}  // namespace
