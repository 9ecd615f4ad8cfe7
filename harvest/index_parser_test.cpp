// SPDX-License-Identifier: GPL-2.0-or-later
// Country links of the index page: which lines count, and the name and address they give.
#include "harvest/index_parser.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

const char kBase[] = "http://site.test/";

std::string LinkLine(const std::string& target, const std::string& name) {
  return "<a class=\"rb\" href=\"" + target + "\" target=\"b\">" + name;
}

TEST(IndexParserTest, OnlyTheExactPrefixAtTheFirstByteIsALink) {
  struct Case { std::string line; bool isLink; };
  const std::vector<Case> cases = {
      {LinkLine("fr.html", "France"), true},
      {"<a class=\"rb\"", true},
      {" <a class=\"rb\" href=\"x\">A</a>", false},
      {"\t<a class=\"rb\" href=\"x\">A</a>", false},
      {"<A class=\"rb\" href=\"x\">A</a>", false},
      {"<a class=\"RB\" href=\"x\">A</a>", false},
      {"<a class=\"rb", false},
      {"", false},
      {"<a class=\"m\" href=\"x\">A</a>", false},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseIndexLine(c.line, kBase).has_value(), c.isLink) << c.line;
}

TEST(IndexParserTest, NamesGetOneCapitalAndUsaFormsBecomeUSA) {
  struct Case { std::string raw; std::string name; };
  const std::vector<Case> cases = {
      {"FRANCE", "France"}, {"france", "France"}, {"fRANCE", "France"},
      {"united kingdom", "United kingdom"}, {"UNITED KINGDOM", "United kingdom"},
      {"bosnia-herzegovina", "Bosnia-herzegovina"},
      {"USA", "USA"}, {"usa", "USA"}, {"Usa", "USA"}, {"usa (east)", "USA"},
      {"Us", "Us"}, {"Uganda", "Uganda"},
      {"\xE9tats", "\xC9tats"}, {"1abc", "1abc"}, {" bc", " bc"}, {"", ""},
  };
  for (const Case& c : cases) {
    auto link = ParseIndexLine(LinkLine("x.html", c.raw), kBase);
    ASSERT_TRUE(link.has_value()) << c.raw;
    EXPECT_EQ(link->name, c.name) << c.raw;
  }
}

TEST(IndexParserTest, NameAndTargetComeFromTheirFieldsOnly) {
  struct Case { std::string line; std::string name; std::string address; };
  const std::vector<Case> cases = {
      {LinkLine("fr.html", "France"), "France", "http://site.test/television/fr.html"},
      {"<a class=\"rb\" href=\"de.html\">>Germany", "", "http://site.test/television/de.html"},
      {"<a class=\"rb\" no quotes", "", "http://site.test/television/"},
      {"<a class=\"rb\" href=\"rest of>line", "Line", "http://site.test/television/rest of>line"},
      {"<a class=\"rb\" href=\"\">Empty</a>", "Empty</a", "http://site.test/television/"},
      {"<a class=\"rb\" href=\"http://other/x\">X", "X", "http://site.test/television/http://other/x"},
      {"<a class=\"rb\" href=\"a b%20\">Spain>\"junk\">more>", "Spain",
       "http://site.test/television/a b%20"},
  };
  for (const Case& c : cases) {
    auto link = ParseIndexLine(c.line, kBase);
    ASSERT_TRUE(link.has_value()) << c.line;
    EXPECT_EQ(link->name, c.name) << c.line;
    EXPECT_EQ(link->address, c.address) << c.line;
  }
}

}  // namespace
