// SPDX-License-Identifier: GPL-2.0-or-later
// Reads channels.dat rows back into pieces of the list for the stream check.
#include "check/check_list.h"

#include <algorithm>

#include "text/text.h"

namespace {

const char kFieldSeparator = '|';
const char kLineFeed = '\n';
const char kCarriageReturn = '\r';
const char kMalformedRow[] = "malformed row: ";
const char kFieldsNotSeven[] = " fields, not 7";

CheckEntry RowOf(const std::string& bytes, size_t start, size_t end) {
  CheckEntry row;
  row.line = TextSpan{static_cast<uint32_t>(start), static_cast<uint32_t>(end - start)};
  TextSpan* const kept[] = {&row.country, &row.channel, nullptr, &row.category, nullptr,
                            &row.streamUrl, nullptr};
  uint32_t field = 0;
  size_t fieldStart = start;
  for (size_t at = start; at <= end; ++at) {
    if (at < end && bytes[at] != kFieldSeparator) continue;
    if (field < kChannelFields && kept[field] != nullptr) {
      *kept[field] = TextSpan{static_cast<uint32_t>(fieldStart),
                              static_cast<uint32_t>(at - fieldStart)};
    }
    ++field;
    fieldStart = at + 1;
  }
  row.fields = field;
  if (field > kChannelFields) {  // only its country and channel, to name it
    row.category = TextSpan();
    row.streamUrl = TextSpan();
  }
  return row;
}

}  // namespace

std::string SpanText(const std::string& bytes, TextSpan span) {
  return bytes.substr(span.start, span.size);
}

std::vector<CheckEntry> ParseChannelRows(const std::string& fileBytes) {
  std::vector<CheckEntry> rows;
  rows.reserve(static_cast<size_t>(std::count(fileBytes.begin(), fileBytes.end(), kLineFeed)) + 1);
  size_t start = 0;
  while (start < fileBytes.size()) {
    size_t end = fileBytes.find(kLineFeed, start);
    if (end == std::string::npos) end = fileBytes.size();
    size_t lineEnd = end;
    if (lineEnd > start && fileBytes[lineEnd - 1] == kCarriageReturn) --lineEnd;
    if (lineEnd > start) rows.push_back(RowOf(fileBytes, start, lineEnd));
    start = end + 1;
  }
  return rows;
}

CheckResult RowResult(const CheckEntry& row, const CheckResult& probed) {
  if (row.fields <= kChannelFields) return probed;
  return Judged(Verdict::kNoStream, Concat(kMalformedRow,
                                           NumberToText(static_cast<int32_t>(row.fields)),
                                           kFieldsNotSeven));
}
