// SPDX-License-Identifier: GPL-2.0-or-later
// The channel list: records linked after the cursor, iterated with Rewind and NextRecord.
#include "harvest/channel_list.h"

#include "harvest/channel_file.h"

ChannelList::~ChannelList() {
  while (first) first = std::move(first->next);
}

void AddRecord(ChannelList& list, ChannelRecord record) {
  auto node = std::make_unique<ChannelNode>();
  node->record = std::move(record);
  KeepSeparatorsOut(node->record);
  ChannelNode* added = node.get();
  if (list.cursor == nullptr) {
    node->next = std::move(list.first);
    list.first = std::move(node);
  } else {
    node->next = std::move(list.cursor->next);
    list.cursor->next = std::move(node);
  }
  if (!added->next) list.last = added;
  list.cursor = added;
  ++list.count;
}

void Rewind(ChannelList& list) { list.cursor = nullptr; }

const ChannelRecord* NextRecord(ChannelList& list) {
  ChannelNode* next = list.cursor ? list.cursor->next.get() : list.first.get();
  if (next == nullptr) return nullptr;
  list.cursor = next;
  return &next->record;
}
