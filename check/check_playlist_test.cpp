// SPDX-License-Identifier: GPL-2.0-or-later
// Reading playlists: kind by content, #EXTINF attributes, player options and headers, and
// the bounds on lines, headers and entries.
#include "check/check_playlist.h"

#include <gtest/gtest.h>

#include "text/text.h"

namespace {

TEST(CheckPlaylistTest, EntriesTakeTheirAttributesOptionsAndOwnLines) {
  struct Case {
    std::string file;
    ListKind kind;
    std::vector<std::string> names;
    std::vector<std::string> streams;
  };
  const Case cases[] = {
      {"", ListKind::kChannelFile, {}, {}},
      {"A|B|1|N|a|http://s/1|\r\n", ListKind::kChannelFile, {"B"}, {"http://s/1"}},
      // No header: a comment or an address on the first line still makes a playlist.
      {"http://s/1\nhttp://s/2", ListKind::kPlaylist, {"", ""}, {"http://s/1", "http://s/2"}},
      {"\xEF\xBB\xBF\r\n#EXTM3U\r\n#EXTINF:-1 tvg-name=\"T\" group-title=\"G, H\",Title\r\n"
       "rtsp://s/1\r\n#EXTINF:5,\nhttp://s/2\n#EXTINF:-1,dangling\n",
       ListKind::kPlaylist,
       {"Title", ""},
       {"rtsp://s/1", "http://s/2"}},
      // An escaped quote closes no value, so a comma after it is no name's start; a quote
      // that never closes leaves the name after the last comma.
      {"#EXTM3U\n#EXTINF:-1 tvg-id=\"a\\\" b\" tvg-name=\"\\\"A, B\\\"\",Name\nhttp://s/1\n"
       "#EXTINF:-1 tvg-id=\"open, x,Open\nhttp://s/2\n",
       ListKind::kPlaylist,
       {"Name", "Open"},
       {"http://s/1", "http://s/2"}},
  };
  for (const Case& c : cases) {
    const CheckList list = ParseCheckList(c.file);
    EXPECT_EQ(list.kind, c.kind) << c.file;
    std::vector<std::string> names, streams;
    for (const CheckEntry& entry : list.entries) {
      names.push_back(EntryText(list, entry.channel));
      streams.push_back(EntryText(list, entry.streamUrl));
    }
    EXPECT_EQ(names, c.names) << c.file;
    EXPECT_EQ(streams, c.streams) << c.file;
  }
  const CheckList list = ParseCheckList(
      "#EXTM3U\r\n#EXTINF:-1 tvg-id=one tvg-country=\"DE\" group-title=\"News\",Eins\r\n"
      "#EXTVLCOPT:http-user-agent=Player 1\r\n#EXTVLCOPT:http-referrer=http://r/\r\n"
      "#EXTHTTP:{\"Cookie\":\"a=b\",\"Bad\":\"x\\r\\nHost: evil\",\"Referer\":\"http://r2/\","
      "\"X\\u0000Y\":\"z\",\"Host\":\"h\",\"content-length\":\"5\",\"Transfer-Encoding\":"
      "\"chunked\","
      "\"X Y\":\"1\",\"X-Nul\":\"v\\u0000\",\"X-Token\":\"t\"}\r\n"
      "http://s/1\r\n");
  ASSERT_EQ(list.entries.size(), 1u);
  const CheckEntry& entry = list.entries[0];
  EXPECT_EQ(list.header, "#EXTM3U\r\n");
  EXPECT_EQ(ListText(list, {&entry}),
            "#EXTM3U\r\n#EXTINF:-1 tvg-id=one tvg-country=\"DE\" group-title=\"News\",Eins\r\n"
            "#EXTVLCOPT:http-user-agent=Player 1\r\n#EXTVLCOPT:http-referrer=http://r/\r\n"
            "#EXTHTTP:{\"Cookie\":\"a=b\",\"Bad\":\"x\\r\\nHost: evil\",\"Referer\":\"http://r2/\","
            "\"X\\u0000Y\":\"z\",\"Host\":\"h\",\"content-length\":\"5\",\"Transfer-Encoding\":"
            "\"chunked\","
            "\"X Y\":\"1\",\"X-Nul\":\"v\\u0000\",\"X-Token\":\"t\"}\r\n"
            "http://s/1\r\n");
  EXPECT_EQ(EntryText(list, entry.tvgId), "one");
  EXPECT_EQ(EntryText(list, entry.country), "DE");
  EXPECT_EQ(EntryText(list, entry.category), "News");
  const StreamRequest& request = EntryRequest(list, entry);
  EXPECT_EQ(request.userAgent, "Player 1");
  EXPECT_EQ(request.referrer, "http://r2/");
  // No injected line, no key or value that would cut one, none the request decides itself.
  EXPECT_EQ(request.headers, (std::vector<std::string>{"Cookie: a=b", "X-Token: t"}));
}

TEST(CheckPlaylistTest, RelativeEntriesResolveAgainstThePlaylistsAddress) {
  const std::pair<const char*, const char*> cases[] = {
      {"chan1.m3u8", "http://h.tv/live/chan1.m3u8"},
      {"/x/a.ts?t=1", "http://h.tv/x/a.ts?t=1"},
      {"../a.ts", "http://h.tv/a.ts"},
      {"//cdn.tv/a.ts", "http://cdn.tv/a.ts"},
      {"rtsp://s/1", "rtsp://s/1"},
      {"file:///etc/passwd", "file:///etc/passwd"},
  };
  for (const auto& [entry, address] : cases) {
    const CheckList list =
        ParseCheckList(Concat("#EXTM3U\n", entry, "\n"), "http://h.tv/live/l.m3u");
    EXPECT_EQ(EntryAddress(list, list.entries[0]), address);
    const CheckList file = ParseCheckList(Concat("#EXTM3U\n", entry, "\n"));
    EXPECT_EQ(EntryAddress(file, file.entries[0]),
              entry);  // a file gives no address to read against
  }
}

TEST(CheckPlaylistTest, ListsWithNothingToCheckSayWhatTheyAre) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "it is empty"},
      {"\xEF\xBB\xBF\r\n\r\n", "it is empty"},
      {"#EXTM3U\r\n#EXTINF:-1,dangling\r\n", "it is a playlist without entries"},
      {"Dear reader,\nhello | world\n",
       "it is neither an M3U playlist nor a channels.dat (no line is a row of 7 fields)"},
      {"#EXTM3U\nchan1.m3u8\n",
       "no entry of the playlist has a stream address (a relative one is read only in "
       "a playlist given by its http address)"},
      {"#EXTM3U\nchan1.m3u8\nhttp://s/1\n", ""},
      {"A|B|1|N|a||\r\nnotes\r\n", ""},
  };
  for (const auto& [file, nothing] : cases)
    EXPECT_EQ(NothingToCheck(ParseCheckList(file)), nothing) << file;
  EXPECT_EQ(ParseCheckList("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nv.m3u8\n").hlsTag,
            "#EXT-X-STREAM-INF");
  EXPECT_EQ(ParseCheckList("#EXTM3U\n#EXT-X-VERSION:3\nhttp://s/1\n").hlsTag, "");
}

TEST(CheckPlaylistTest, NotesGoBeforeEntriesAndReplaceAnEarlierVerdict) {
  const CheckList list = ParseCheckList(
      "#EXTM3U\r\n# error       old\r\n#EXTINF:-1,A\r\n a.ts \r\n# live from the "
      "studio\nhttp://s/b\n",
      "http://h/l.m3u");
  const EntryNote note = [](const CheckEntry&) {
    return std::string("error       A: no\r\nline end");
  };
  EXPECT_EQ(ListText(list, {&list.entries[0], &list.entries[1]}, note),
            "#EXTM3U\r\n# error       A: no  line end\r\n#EXTINF:-1,A\r\n http://h/a.ts \r\n"
            "# error       A: no  line end\n# live from the studio\nhttp://s/b\n");
  const CheckList rows = ParseCheckList("A|B|1|N|a|http://s/1|\n");
  EXPECT_EQ(ListText(rows, {&rows.entries[0]}, note), "A|B|1|N|a|http://s/1|\r\n");
}

TEST(CheckPlaylistTest, LinesHeadersAndEntriesAreBounded) {
  const std::string info = "#EXTINF:-1,";
  const std::string longest(kMaxListLineBytes - info.size(), 'x');
  EXPECT_TRUE(ParseCheckList("#EXTM3U\n" + info + longest + "\r\nhttp://s/\n").problem.empty());
  EXPECT_EQ(ParseCheckList("#EXTM3U\n" + info + "x" + longest + "\nhttp://s/\n").problem,
            "line 2 is longer than 65536 bytes");
  // A channels.dat's rows have the same bound.
  const std::string row = "C|N|300|News|About|http://s/|" + std::string(kMaxListLineBytes, 'h');
  EXPECT_TRUE(ParseCheckList(row.substr(0, kMaxListLineBytes) + "\r\n").problem.empty());
  EXPECT_EQ(ParseCheckList("C|a|||||\r\n" + row + "\n").problem, "line 2 is longer than 65536 bytes");

  std::string headers;
  for (size_t i = 0; i <= kMaxEntryHeaders; ++i)
    headers += "\"X-" + std::to_string(i) + "\":\"v\",";
  headers.pop_back();
  const CheckList many = ParseCheckList("#EXTM3U\n#EXTHTTP:{" + headers + "}\nhttp://s/\n");
  EXPECT_EQ(EntryRequest(many, many.entries[0]).headers.size(), kMaxEntryHeaders);

  const std::string agent(kMaxEntryHeaderBytes - 8, 'a');  // its line adds ": " and CR LF
  EXPECT_TRUE(ParseCheckList("#EXTM3U\n#EXTVLCOPT:http-user-agent=" + agent + "\nhttp://s/\n")
                  .problem.empty());
  EXPECT_EQ(
      ParseCheckList("#EXTM3U\n\n#EXTVLCOPT:http-user-agent=x" + agent + "\nhttp://s/\n").problem,
      "the entry on line 4 sends headers of more than 4096 bytes");

  std::string entries = "#EXTM3U\n";
  for (size_t i = 0; i < kMaxListEntries; ++i) entries += "http://s/\n";
  EXPECT_EQ(ParseCheckList(entries).entries.size(), kMaxListEntries);
  EXPECT_FALSE(ParseCheckList(entries + "http://s/\n").problem.empty());
}

}  // namespace
