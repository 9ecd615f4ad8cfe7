// SPDX-License-Identifier: GPL-2.0-or-later
// The playlist and JSON texts of the channel list: entry layout, quoting and control
// characters, JSON that reads back to the records, and the file replacement.
#include "harvest/channel_export.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/temp_folder.h"

namespace {

ChannelRecord Record(const std::string& channel, const std::string& stream) {
  return {"\xD6sterreich", channel, "300K", "News", "about \"it\"", stream, "http://h/"};
}

// What a writer hands its sink, collected.
template <typename Writer>
std::string Written(Writer write) {
  std::string text;
  write([&text](const char* bytes, size_t count) {
    text.append(bytes, count);
    return true;
  });
  return text;
}

TEST(ChannelExportTest, M3uEntriesQuoteAttributesAndBlankControlCharacters) {
  struct Case { ChannelRecord record; std::string entry; };
  const std::vector<Case> cases = {
      {Record("M\xFCnster Eins", "mms://a/b"),
       "#EXTINF:-1 tvg-name=\"M\u00FCnster Eins\" tvg-country=\"\u00D6sterreich\" "
       "group-title=\"News\",M\u00FCnster Eins\nmms://a/b\n"},
      {Record("Say \"Hi\"\r\n#EXTINF\x1B", "http://x/\ty\x9D"),
       "#EXTINF:-1 tvg-name=\"Say 'Hi'  #EXTINF \" tvg-country=\"\u00D6sterreich\" "
       "group-title=\"News\",Say \"Hi\"  #EXTINF \nhttp://x/ y \n"},
      {Record("Aurora &amp; Screen &quot;HD&quot;", "http://x/live.ts?a=1&amp;b=2"),
       "#EXTINF:-1 tvg-name=\"Aurora & Screen 'HD'\" tvg-country=\"\u00D6sterreich\" "
       "group-title=\"News\",Aurora & Screen \"HD\"\nhttp://x/live.ts?a=1&b=2\n"},
      {Record("No stream", ""), ""},
      {Record("Blank stream", "\r\n "), ""},
  };
  for (const Case& c : cases) EXPECT_EQ(M3uEntry(c.record), c.entry) << c.record.channel;

  ChannelList list;
  AddRecord(list, Record("One", "rtsp://1"));
  AddRecord(list, Record("None", ""));
  AddRecord(list, Record("Two", "rtsp://2"));
  const std::string text = Written([&list](const ByteSink& sink) { return WriteM3u(list, sink); });
  EXPECT_EQ(text.rfind(kM3uHeader, 0), 0u);
  EXPECT_LT(text.find("rtsp://1"), text.find("rtsp://2"));
  EXPECT_EQ(text.find("None"), std::string::npos);
}

TEST(ChannelExportTest, JsonReadsBackAsTheRecordsInUtf8) {
  ChannelList list;
  AddRecord(list, Record("Esc\x1B\"\\", "mms://a"));
  AddRecord(list, Record("\x81\x80", ""));
  AddRecord(list, {"", "A &amp; B", " 700 ", "", "", "http://s/?a=1&amp;b=2", ""});
  const std::string text =
      Written([&list](const ByteSink& sink) { return WriteChannelJson(list, sink); });
  EXPECT_EQ(text.find('\x1B'), std::string::npos) << "control characters are escaped";
  const nlohmann::ordered_json parsed = nlohmann::ordered_json::parse(text);
  ASSERT_EQ(parsed.size(), 3u);
  EXPECT_EQ(
      parsed[0].dump(),
      "{\"country\":\"\u00D6sterreich\",\"name\":\"Esc\\u001b\\\"\\\\\",\"bitrate\":\"300K\","
      "\"kbps\":null,\"category\":\"News\",\"about\":\"about \\\"it\\\"\",\"stream\":\"mms://a\","
      "\"homepage\":\"http://h/\"}");
  EXPECT_EQ(parsed[1]["name"], "\xC2\x81\u20AC");
  EXPECT_EQ(parsed[1]["stream"], "");
  EXPECT_EQ((std::vector<nlohmann::ordered_json>{parsed[2]["name"], parsed[2]["kbps"],
                                                 parsed[2]["bitrate"], parsed[2]["stream"]}),
            (std::vector<nlohmann::ordered_json>{"A & B", 700, " 700 ", "http://s/?a=1&b=2"}));
  EXPECT_EQ(Written([](const ByteSink& sink) { return WriteJsonArray(0, nullptr, sink); }), "[]\n");
}

TEST(ChannelExportTest, ChangesCountWholeRowsAsOftenAsTheyOccur) {
  struct Case { std::string oldFile; std::vector<std::string> channels; int added; int removed; };
  const std::vector<Case> cases = {
      {"", {"a"}, 1, 0},
      {"|a|||||\r\n", {"a"}, 0, 0},
      {"|a|||||\r\n|a|||||\r\n|b|||||\r\n", {"a", "c", "c"}, 2, 2},
      {"|a|||||\r\n|a|||||", {"a", "a", "a"}, 1, 0},  // a last row without CR LF
      {"|a|||||\n\r\n", {"a"}, 0, 1},                // an empty row is a row
      {"|b|||||\r\n", {}, 0, 1},
  };
  for (const Case& c : cases) {
    ChannelList list;
    for (const std::string& channel : c.channels) {
      ChannelRecord record;
      record.channel = channel;
      AddRecord(list, record);
    }
    for (size_t cut = 0; cut <= c.oldFile.size(); ++cut) {  // a row may span two reads
      OldListRows old;
      AddOldListBytes(old, c.oldFile.data(), cut);
      AddOldListBytes(old, c.oldFile.data() + cut, c.oldFile.size() - cut);
      EndOldList(old);
      ListChanges changes = CompareFingerprints(old, ListFingerprints(list));
      EXPECT_EQ(changes.added, c.added) << c.oldFile << " cut at " << cut;
      EXPECT_EQ(changes.removed, c.removed) << c.oldFile << " cut at " << cut;
    }
  }
}

class ChannelExportFileTest : public TempFolderTest {};

TEST_F(ChannelExportFileTest, TextFileReplacesTheOldFileOrLeavesItAsItWas) {
  const std::string path = PathOf("list.m3u");
  WriteBytes(path, "old");
  EXPECT_TRUE(WriteTextFile(path, "#EXTM3U\n").saved);
  EXPECT_EQ(ReadBytes(path), "#EXTM3U\n");
  EXPECT_FALSE(WriteTextFile(PathOf("missing/list.m3u"), "x").saved);
  EXPECT_EQ(Entries(), std::vector<std::string>{"list.m3u"});
}

}  // namespace
