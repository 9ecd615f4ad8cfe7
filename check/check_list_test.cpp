// SPDX-License-Identifier: GPL-2.0-or-later
// Reading channels.dat rows back: line ends, empty lines, and rows of more than seven fields.
#include "check/check_list.h"

#include <gtest/gtest.h>

namespace {

TEST(CheckListTest, RowsKeepTheirBytesAndNeverGuessAStreamInAMalformedRow) {
  struct Case {
    const char* file;
    std::vector<std::string> lines;
    std::vector<std::string> streams;
    std::string firstCategory;
    std::string firstProblem;
  };
  const Case cases[] = {
      {"", {}, {}, "", ""},
      {"\r\n\n", {}, {}, "", ""},
      {"A|B|300|News|about|http://s/1|http://h/\r\nC|D|||x||\r\n",
       {"A|B|300|News|about|http://s/1|http://h/", "C|D|||x||"},
       {"http://s/1", ""},
       "News",
       ""},
      // No line end on the last row, and a bare line feed.
      {"A|B|1|N|a|mms://s/2|\nA|B|1|N|a|rtsp://s/3|",
       {"A|B|1|N|a|mms://s/2|", "A|B|1|N|a|rtsp://s/3|"},
       {"mms://s/2", "rtsp://s/3"},
       "N",
       ""},
      // Eight or more fields (written by something else): no address is guessed.
      {"A|B|1|N|news | sport|http://s/4|http://h/\r\n",
       {"A|B|1|N|news | sport|http://s/4|http://h/"},
       {""},
       "",
       "malformed row: 8 fields, not 7"},
      {"A|B|1|N|a|b|c|http://s/5|http://h/a|b\n", {"A|B|1|N|a|b|c|http://s/5|http://h/a|b"},
       {""}, "", "malformed row: 10 fields, not 7"},
      // Too few fields: the missing ones are empty.
      {"A|B|1\r\n", {"A|B|1"}, {""}, "", ""},
  };
  for (const Case& c : cases) {
    const std::string file = c.file;
    std::vector<CheckEntry> rows = ParseChannelRows(file);
    ASSERT_EQ(rows.size(), c.lines.size()) << c.file;
    for (size_t i = 0; i < rows.size(); ++i) {
      EXPECT_EQ(SpanText(file, rows[i].line), c.lines[i]) << c.file;
      EXPECT_EQ(SpanText(file, rows[i].streamUrl), c.streams[i]) << c.file;
    }
    if (!rows.empty()) {
      EXPECT_EQ(SpanText(file, rows[0].category), c.firstCategory) << c.file;
      const CheckResult result = RowResult(rows[0], Judged(Verdict::kLive, "mpegts"));
      EXPECT_EQ(result.verdict, c.firstProblem.empty() ? Verdict::kLive : Verdict::kNoStream);
      EXPECT_EQ(result.detail, c.firstProblem.empty() ? "mpegts" : c.firstProblem);
    }
  }
}

}  // namespace
