// SPDX-License-Identifier: GPL-2.0-or-later
// The buffered line writer behind channels.dat, saved through the safe replacement of a
// file (base/file_replace.h).
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "base/file_replace.h"
#include "harvest/channel_list.h"

// Size of the output buffer; the sink sees writes in steps of this size, not one per line.
const size_t kOutputBufferSize = 4096;
// The most of a channel list (an old channels.dat, a list to check) that is read, about
// 800,000 rows: a list is held in memory whole.
const size_t kListReadLimit = 256u << 20;

// Makes the record's fields fit the line: a "|" in streamUrl or homepage becomes "%7C", one in
// a text field the broken bar 0xA6; nothing else changes. Every record passes here on its
// way into a list, so the file, the exports and the checks all see the same fields.
void KeepSeparatorsOut(ChannelRecord& record);
// One line of channels.dat without its CR LF: the seven fields joined by "|".
std::string ChannelLine(const ChannelRecord& record);
// The same line, formatted into line (its memory is kept from record to record).
void FormatChannelLine(std::string& line, const ChannelRecord& record);
// Writes every line of the list with its CR LF through the output buffer into sink.
// Stops at the first failed sink write and returns false.
bool WriteChannelLines(ChannelList& list, const ByteSink& sink);

// Writes every record as one CR LF line of seven "|"-joined fields to path through
// ReplaceFile.
ReplaceOutcome WriteChannelFile(ChannelList& list, const std::string& path = kChannelFileName);
