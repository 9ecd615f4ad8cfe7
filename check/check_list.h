// SPDX-License-Identifier: GPL-2.0-or-later
// The entries of a list as the stream check holds them: pieces of the list's bytes, read once
// and kept once, and for a channels.dat the cutting of rows into fields.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "check/check_verdict.h"
#include "harvest/channel_file.h"

// A piece of the list's bytes. A list is read to at most kListReadLimit bytes, so 32 bits
// hold every offset.
struct TextSpan {
  uint32_t start = 0;
  uint32_t size = 0;
};
static_assert(kListReadLimit <= UINT32_MAX, "list offsets are 32 bits");
const uint32_t kNoRequest = UINT32_MAX;
const uint32_t kChannelFields = 7;

struct CheckEntry {
  // For a channels.dat the row without its line end; for a playlist the entry's lines, from
  // its first to its address line (blank lines between them are not the entry's).
  TextSpan line;
  TextSpan country;   // a playlist's tvg-country
  TextSpan channel;   // a playlist's title or tvg-name
  TextSpan category;  // a playlist's group-title
  TextSpan streamUrl;
  TextSpan tvgId;
  uint32_t request = kNoRequest;  // the entry's request options, in the list's requests
  uint32_t fields = kChannelFields;  // fields of a channels.dat row
};

std::string SpanText(const std::string& bytes, TextSpan span);
// Cuts a channels.dat into rows: a line feed ends a row, a carriage return before it is
// dropped, a last row without a line end counts, empty lines are no rows. A field holds no
// "|" (the harvest writes it as %7C or the broken bar), so a row is split at every "|"; missing
// fields are empty. A row of more than seven fields cannot be read: it keeps only its first
// two fields, to name it.
std::vector<CheckEntry> ParseChannelRows(const std::string& fileBytes);
// The result of the row: the probe's, unless the row has more than seven fields, which is then
// the verdict.
CheckResult RowResult(const CheckEntry& row, const CheckResult& probed);
