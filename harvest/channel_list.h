// SPDX-License-Identifier: GPL-2.0-or-later
// The channels found so far, in discovery order, and their output file channels.dat.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

struct ChannelRecord {
  std::string country;
  std::string channel;
  std::string bitrate;
  std::string category;
  std::string about;
  std::string streamUrl;
  std::string homepage;
};

// Kept to 232 bytes, which the heap hands out as 240: a run holds one per channel.
struct ChannelNode {
  ChannelRecord record;
  std::unique_ptr<ChannelNode> next;  // a node owns its successor
};

// A linked list with a cursor. New records are linked after the cursor, which
// AddRecord leaves on the newest record, so adding is constant time and keeps discovery order.
struct ChannelList {
  std::unique_ptr<ChannelNode> first;
  ChannelNode* last = nullptr;
  ChannelNode* cursor = nullptr;  // null: on no record
  size_t count = 0;
  ChannelList() = default;
  ChannelList(const ChannelList&) = delete;
  ChannelList& operator=(const ChannelList&) = delete;
  ~ChannelList();  // unlinks iteratively, so a long list cannot overflow the stack
};

const char kChannelFileName[] = "channels.dat";

// Adds the record with a "|" inside a field made to fit the file (KeepSeparatorsOut).
void AddRecord(ChannelList& list, ChannelRecord record);
void Rewind(ChannelList& list);
// The next record after the cursor (the first after Rewind), or null at the end.
const ChannelRecord* NextRecord(ChannelList& list);
// Hands each record in order to visit without moving the cursor, so that another thread may
// read the list while its owner walks it with the cursor.
template <typename Visit>
void ForEachRecord(const ChannelList& list, Visit visit) {
  for (const ChannelNode* node = list.first.get(); node != nullptr; node = node->next.get()) {
    visit(node->record);
  }
}
