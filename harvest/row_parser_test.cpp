// SPDX-License-Identifier: GPL-2.0-or-later
// Country page lines: which lines count, what each kind takes, and when a channel completes.
#include "harvest/row_parser.h"

#include <gtest/gtest.h>

#include <vector>

#include "harvest/classifier.h"
#include "tests/page_lines.h"

namespace {

TEST(RowParserTest, NameLineTakesNameAndHomepage) {
  struct Case { std::string line; std::string channel; std::string homepage; };
  const std::string marked = "<tr><td class=\"name\" valign=\"top\"><span class=\"c\" id=\"r1\">";
  const std::vector<Case> cases = {
      {PlainName("Alpha TV"), "Alpha TV", "http://a.test/"},
      {PlainName("  Alpha TV </a"), "Alpha TV", "http://a.test/"},
      {PlainName(" </a  </a "), "", "http://a.test/"},
      {PlainName("\tAlpha "), "\tAlpha", "http://a.test/"},
      {PlainName("Caf\xE9 TV"), "Caf\xE9 TV", "http://a.test/"},
      // "NEW!:<br" as field 4 moves the name one field on; near misses do not.
      {marked + "NEW!:<br><b><a href=\"http://n.test/\" x=\"y\">Beta</a></b>", "Beta", "http://n.test/"},
      {marked + "NEW!:<br/><b><a href=\"h\">Beta</a>", "<a href=\"h\"", "h"},
      {marked + "new!:<br><b><a href=\"h\">Beta</a>", "<a href=\"h\"", "h"},
      {marked + " NEW!:<br><b><a href=\"h\">Beta</a>", "<a href=\"h\"", "h"},
      // Missing fields give empty values.
      {"<tr><td class=\"name\"", "", ""},
      {"<tr><td class=\"name\">a>b>c>d>e", "d", ""},
  };
  for (const Case& c : cases) {
    HarvestState state;
    EXPECT_FALSE(ParseRowLine(c.line, state).has_value()) << c.line;
    EXPECT_EQ(state.channel, c.channel) << c.line;
    EXPECT_EQ(state.homepage, c.homepage) << c.line;
    EXPECT_FALSE(state.streamSeen);
  }
}

TEST(RowParserTest, StreamLineTakesAddressAndBitrateAndMarksAStream) {
  struct Case { std::string line; std::string streamUrl; std::string bitrate; };
  const std::vector<Case> cases = {
      {StreamLine("mms://s.test/a", "300K</a"), "mms://s.test/a", "300"},
      {StreamLine("u", "300 K</a"), "u", "300 "},
      {StreamLine("u", "300k</a"), "u", "300k</a"},
      {StreamLine("u", "56K</a", "<a class=\"r\""), "u", "56"},
      {StreamLine("u", "28K</a", "<a class=\"w\""), "u", "28"},
      {"<a class=\"m\" href='one'>", "", ""},
      {"<a class=\"m\"", "", ""},
      {"<a class=\"m\">a'b'c'd'e", "d", "a'b'c'd'e"},
      // A stream line holding the about prefix further on is a stream line only.
      {StreamLine("u", "9K</a") + " </td><td class=\"q\">", "u", "9"},
  };
  for (const Case& c : cases) {
    HarvestState state;
    EXPECT_FALSE(ParseRowLine(c.line, state).has_value()) << c.line;
    EXPECT_EQ(state.streamUrl, c.streamUrl) << c.line;
    EXPECT_EQ(state.bitrate, c.bitrate) << c.line;
    EXPECT_TRUE(state.streamSeen) << c.line;
  }
}

TEST(RowParserTest, AboutLineTakesDescriptionWithoutOneFinalFullStop) {
  struct Case { std::string cell; std::string about; };
  const std::vector<Case> cases = {
      {"News and sports.</td", "News and sports"},
      {"Music..</td", "Music."},
      {"Music. </td", "Music. "},
      {".</td", ""},
      {"</td</td", ""},
      {"A.b</td", "A.b"},
      {"Caf\xE9.", "Caf\xE9"},
      {"&amp; <i>x</i", "&amp; <i"},
  };
  for (const Case& c : cases) {
    HarvestState state;
    state.streamSeen = true;
    auto record = ParseRowLine(AboutLine(c.cell), state);
    ASSERT_TRUE(record.has_value()) << c.cell;
    EXPECT_EQ(state.about, c.about) << c.cell;
    EXPECT_EQ(record->about, c.about) << c.cell;
    EXPECT_EQ(state.category, ClassifyChannel(c.about)) << c.cell;
    EXPECT_EQ(record->category, state.category) << c.cell;
  }
}

TEST(RowParserTest, OnlyExactPrefixesAtTheFirstByteCount) {
  const std::vector<std::string> ignored = {
      "", " <tr><td class=\"name\">a>b>c>d>e>f",   "\t<a class=\"m\" href='a'b'c'>1K</a>",
      "<a class=\"M\" x", "<a class=\"x\" x", "</td><td class=\"q\">a>b>c>d>e>f>g",
      "  </td><td class=\"q\">a>b>c>d>e>f>g", "<tr><td class=\"nam", "<a class=\"m",
      "<TR><td class=\"name\">a>b>c>d>e>f",
  };
  for (const std::string& line : ignored) {
    HarvestState state;
    state.channel = "keep";
    state.streamUrl = "keep";
    state.about = "keep";
    EXPECT_FALSE(ParseRowLine(line, state).has_value()) << line;
    EXPECT_EQ(state.channel, "keep") << line;
    EXPECT_EQ(state.streamUrl, "keep") << line;
    EXPECT_EQ(state.about, "keep") << line;
    EXPECT_FALSE(state.streamSeen) << line;
  }
}

// Each case feeds lines in order; every completed channel is written "channel|streamUrl|bitrate".
TEST(RowParserTest, SequencesCompleteChannelsFromWhatTheLastLineOfEachKindLeft) {
  struct Case { std::string what; std::vector<std::string> lines; std::vector<std::string> channels; };
  const std::string aboutA = AboutLine("Alpha.</td");
  const std::vector<Case> cases = {
      {"one full row", {PlainName("A"), StreamLine("u1", "1K</a"), aboutA}, {"A|u1|1"}},
      {"the last of several stream lines wins",
       {PlainName("A"), StreamLine("u1", "1K</a"), StreamLine("u2", "2K</a", "<a class=\"r\""),
        StreamLine("u3", "3K</a", "<a class=\"w\""), aboutA},
       {"A|u3|3"}},
      {"a row without a stream line gives nothing",
       {PlainName("A"), aboutA, PlainName("B"), StreamLine("u2", "2K</a"), aboutA}, {"B|u2|2"}},
      {"two about lines after one stream line give one channel",
       {PlainName("A"), StreamLine("u1", "1K</a"), aboutA, aboutA}, {"A|u1|1"}},
      {"a row without a name line keeps the last name",
       {PlainName("A"), StreamLine("u1", "1K</a"), aboutA, StreamLine("u2", "2K</a"), aboutA},
       {"A|u1|1", "A|u2|2"}},
      {"a stream line after the about line feeds the next row",
       {PlainName("A"), StreamLine("u1", "1K</a"), aboutA, StreamLine("u2", "2K</a"),
        PlainName("B"), aboutA},
       {"A|u1|1", "B|u2|2"}},
      {"an about line before any stream line gives nothing", {aboutA, PlainName("A")}, {}},
  };
  for (const Case& c : cases) {
    HarvestState state;
    state.country = "Norway";
    std::vector<std::string> got;
    for (const std::string& line : c.lines) {
      auto record = ParseRowLine(line, state);
      if (!record) continue;
      EXPECT_EQ(record->country, "Norway") << c.what;
      EXPECT_EQ(record->homepage, "http://a.test/") << c.what;
      EXPECT_EQ(record->about, "Alpha") << c.what;
      got.push_back(record->channel + "|" + record->streamUrl + "|" + record->bitrate);
    }
    EXPECT_EQ(got, c.channels) << c.what;
  }
}

TEST(RowParserTest, StreamSeenSurvivesAChangeOfCountry) {
  HarvestState state;
  state.country = "Norway";
  ParseRowLine(PlainName("A"), state);
  ParseRowLine(StreamLine("u1", "1K</a"), state);
  state.country = "Sweden";
  auto record = ParseRowLine(AboutLine("x</td"), state);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->country, "Sweden");
  EXPECT_EQ(record->channel, "A");
  EXPECT_FALSE(state.streamSeen);
}

// A worker's cut keeps a row per line that begins with a row prefix, nothing for other lines,
// and leaves the first line, the tail and the rows past the limit to the run.
TEST(RowParserTest, CuttingAPageAheadKeepsOnlyItsRows) {
  struct Case {
    const char* what;
    std::string page;
    size_t start, resume, lines;
    std::vector<size_t> rowLines;  // the first rows' line numbers
    size_t rows;
  };
  const std::string name = PlainName("A"), stream = StreamLine("u", "1K</a");
  const std::string shortRow = "<a class=\"m\"\n";
  const std::string limitPage = "\n" + [&] {
    std::string rows;
    for (size_t i = 0; i <= kPreparedRowLimit; ++i) rows += shortRow;
    return rows;
  }();
  const std::vector<Case> cases = {
      {"no line feed: the page continues the carried line", name, 0, 0, 0, {}, 0},
      {"rows among other lines, the tail left",
       name + "\nx\n" + stream + "\r\n\n" + AboutLine("y</td") + "\nta", name.size() + 1,
       name.size() + 7 + stream.size() + AboutLine("y</td").size(), 4, {1, 3}, 2},
      {"10 MB of line feeds keep no row", std::string(10000000, '\n'), 1, 10000000, 9999999, {}, 0},
      {"rows past the limit are left to the run", limitPage, 1, 1 + kPreparedRowLimit * shortRow.size(),
       kPreparedRowLimit, {0, 1}, kPreparedRowLimit},
  };
  for (const Case& c : cases) {
    CutPage cut;
    CutCountryPage(c.page, cut);
    EXPECT_TRUE(cut.prepared) << c.what;
    EXPECT_EQ(cut.start, c.start) << c.what;
    EXPECT_EQ(cut.resume, c.resume) << c.what;
    EXPECT_EQ(cut.lineCount, c.lines) << c.what;
    EXPECT_EQ(cut.rowCount, c.rows) << c.what;
    EXPECT_EQ(cut.rows.size(), c.rows) << c.what << ": a slot for a line that is no row";
    for (size_t i = 0; i < c.rowLines.size() && i < cut.rowCount; ++i) {
      EXPECT_EQ(cut.rows[i].line, c.rowLines[i]) << c.what;
    }
  }
}

}  // namespace
