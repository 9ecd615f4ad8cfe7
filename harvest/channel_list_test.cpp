// SPDX-License-Identifier: GPL-2.0-or-later
// The channel list: discovery order, the cursor rules of Rewind and NextRecord, and teardown.
#include "harvest/channel_list.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

ChannelRecord Named(const std::string& channel) {
  ChannelRecord record;
  record.channel = channel;
  return record;
}

std::vector<std::string> Names(ChannelList& list) {
  std::vector<std::string> names;
  Rewind(list);
  for (const ChannelRecord* r = NextRecord(list); r != nullptr; r = NextRecord(list)) {
    names.push_back(r->channel);
  }
  return names;
}

TEST(ChannelListTest, RecordsComeBackInDiscoveryOrderAsCopies) {
  ChannelList list;
  EXPECT_TRUE(Names(list).empty());
  ChannelRecord record = Named("a");
  record.country = "France";
  record.homepage = "http://a/";
  AddRecord(list, record);
  record.channel = "changed after adding";
  AddRecord(list, Named("b"));
  AddRecord(list, Named("c"));
  EXPECT_EQ(Names(list), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(list.count, 3u);
  ASSERT_NE(list.first, nullptr);
  EXPECT_EQ(list.first->record.country, "France");
  EXPECT_EQ(list.first->record.homepage, "http://a/");
  EXPECT_EQ(list.last->record.channel, "c");
}

TEST(ChannelListTest, NextRecordStopsOnTheLastRecordAndKeepsTheCursorThere) {
  ChannelList empty;
  Rewind(empty);
  EXPECT_EQ(NextRecord(empty), nullptr);
  EXPECT_EQ(empty.cursor, nullptr);

  ChannelList list;
  AddRecord(list, Named("a"));
  AddRecord(list, Named("b"));
  Rewind(list);
  EXPECT_EQ(list.cursor, nullptr);
  ASSERT_NE(NextRecord(list), nullptr);
  const ChannelRecord* second = NextRecord(list);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->channel, "b");
  EXPECT_EQ(NextRecord(list), nullptr);
  EXPECT_EQ(list.cursor, list.last);
  EXPECT_EQ(NextRecord(list), nullptr);
  // The cursor stayed on the last record, so adding still appends.
  AddRecord(list, Named("c"));
  EXPECT_EQ(Names(list), (std::vector<std::string>{"a", "b", "c"}));
}

TEST(ChannelListTest, AddRecordLinksAfterTheCursorOrInFrontAfterRewind) {
  ChannelList list;
  AddRecord(list, Named("b"));
  AddRecord(list, Named("d"));
  Rewind(list);
  AddRecord(list, Named("a"));  // cursor on none: in front of the first record
  EXPECT_EQ(list.first->record.channel, "a");
  AddRecord(list, Named("a2"));  // after "a", before "b"
  Rewind(list);
  NextRecord(list);
  NextRecord(list);
  NextRecord(list);  // on "b"
  AddRecord(list, Named("c"));
  EXPECT_EQ(Names(list), (std::vector<std::string>{"a", "a2", "b", "c", "d"}));
  EXPECT_EQ(list.last->record.channel, "d");
  EXPECT_EQ(list.count, 5u);
}

TEST(ChannelListTest, LongListIsDestroyedWithoutDeepRecursion) {
  const size_t records = 200000;
  {
    ChannelList list;
    for (size_t i = 0; i < records; ++i) AddRecord(list, Named("x"));
    EXPECT_EQ(list.count, records);
  }  // a recursive teardown of 200,000 nodes would overflow the stack here
  SUCCEED();
}

}  // namespace
