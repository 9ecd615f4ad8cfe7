// Reads channels.dat rows back into records for the stream check.
#include "check/check_list.h"

#include "text/text.h"

namespace {

const char kFieldSeparator = '|';
const char kLineFeed = '\n';
const char kCarriageReturn = '\r';
const size_t kFieldCount = 7;
const size_t kNamingFields = 2;  // country and channel, kept from a row that cannot be read
const char kMalformedRow[] = "malformed row: ";
const char kFieldsNotSeven[] = " fields, not 7";

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

ListRow RowOf(const std::string& line) {
  std::vector<std::string> fields = SplitFields(line);
  std::string problem;
  if (fields.size() > kFieldCount) {
    problem = Concat(kMalformedRow, NumberToText(static_cast<int32_t>(fields.size())),
                     kFieldsNotSeven);
    fields.resize(kNamingFields);
  }
  fields.resize(kFieldCount);
  return ListRow{line,
                 ChannelRecord{fields[0], fields[1], fields[2], fields[3], fields[4], fields[5],
                               fields[6]},
                 problem};
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
    if (!line.empty()) rows.push_back(RowOf(line));
    start = end + 1;
  }
  return rows;
}

CheckResult RowResult(const ListRow& row, const CheckResult& probed) {
  return row.problem.empty() ? probed : Judged(Verdict::kNoStream, row.problem);
}
