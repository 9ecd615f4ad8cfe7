// Reads channels.dat rows back into records for the stream check.
#include "check/check_list.h"

#include "text/text.h"

namespace {

const char kFieldSeparator = '|';
const char kLineFeed = '\n';
const char kCarriageReturn = '\r';
const size_t kFieldCount = 7;
const size_t kLeadingFields = 4;   // country, channel, bitrate, category
const size_t kTrailingFields = 2;  // stream address, homepage

std::vector<std::string> SplitFields(const std::string& line) {
  std::vector<std::string> fields(1);
  for (char c : line) {
    if (c == kFieldSeparator) {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

ChannelRecord RecordOf(const std::string& line) {
  std::vector<std::string> fields = SplitFields(line);
  if (fields.size() > kFieldCount) {
    // Fold the surplus into the about text, which sits between the fixed ends.
    const size_t aboutEnd = fields.size() - kTrailingFields;
    std::string about = fields[kLeadingFields];
    for (size_t i = kLeadingFields + 1; i < aboutEnd; ++i) about += Concat("|", fields[i]);
    fields.erase(fields.begin() + kLeadingFields, fields.begin() + aboutEnd);
    fields.insert(fields.begin() + kLeadingFields, about);
  }
  fields.resize(kFieldCount);
  return ChannelRecord{fields[0], fields[1], fields[2], fields[3], fields[4], fields[5], fields[6]};
}

}  // namespace

std::vector<ListRow> ParseChannelRows(const std::string& fileBytes) {
  std::vector<ListRow> rows;
  size_t start = 0;
  while (start < fileBytes.size()) {
    size_t end = fileBytes.find(kLineFeed, start);
    if (end == std::string::npos) end = fileBytes.size();
    std::string line = fileBytes.substr(start, end - start);
    if (!line.empty() && line.back() == kCarriageReturn) line.pop_back();
    if (!line.empty()) rows.push_back(ListRow{line, RecordOf(line)});
    start = end + 1;
  }
  return rows;
}
