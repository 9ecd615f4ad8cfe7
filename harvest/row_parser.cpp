// SPDX-License-Identifier: GPL-2.0-or-later
// Country page lines: a name line gives the channel's name and homepage, a stream link line
// its stream address and bitrate, and an about line its description, category and, after a
// stream link line, the completed channel. Nothing is cleared between rows.
#include "harvest/row_parser.h"

#include "harvest/classifier.h"
#include "harvest/line_split.h"
#include "text/text.h"

namespace {

// Line kinds, tested in this order; the first prefix that matches decides.
const char kNamePrefix[] = "<tr><td class=\"name\"";
const char* const kStreamPrefixes[] = {"<a class=\"m\"", "<a class=\"r\"", "<a class=\"w\""};
const char kAboutPrefix[] = " </td><td class=\"q\"";

const char kGreaterThan = '>';
const char kDoubleQuote = '"';
const char kSingleQuote = '\'';

const int kNewMarkField = 4;
const char kNewMark[] = "NEW!:<br";
const int kNameField = 6;
const int kMarkedNameField = 7;
const char kNameJunk[] = "</a";
const int kHomepageField = 10;

const int kStreamUrlField = 4;
const int kBitrateField = 2;
const char kBitrateJunk[] = "K</a";

const int kAboutField = 8;
const char kAboutJunk[] = "</td";
const char kFullStop = '.';

// The fields are cut as views of the line and written into the values' own strings, which
// keep their capacity from row to row: a line costs no allocation.
void CutNameLine(std::string_view line, RowLineValues& values) {
  int nameField = FieldView(line, kNewMarkField, kGreaterThan) == kNewMark ? kMarkedNameField
                                                                            : kNameField;
  std::string& name = values.first;
  name.clear();
  AppendWithoutAll(name, FieldView(line, nameField, kGreaterThan), kNameJunk);
  const std::string_view trimmed = TrimSpacesView(name);  // trimmed in place
  if (trimmed.empty()) {
    name.clear();
  } else {
    const size_t start = static_cast<size_t>(trimmed.data() - name.data());
    name.erase(start + trimmed.size());
    name.erase(0, start);
  }
  values.second.assign(FieldView(line, kHomepageField, kDoubleQuote));
}

void CutStreamLine(std::string_view line, RowLineValues& values) {
  values.first.assign(FieldView(line, kStreamUrlField, kSingleQuote));
  values.second.clear();
  AppendWithoutAll(values.second, FieldView(line, kBitrateField, kGreaterThan), kBitrateJunk);
}

void CutAboutLine(std::string_view line, RowLineValues& values) {
  std::string& about = values.first;
  about.clear();
  AppendWithoutAll(about, FieldView(line, kAboutField, kGreaterThan), kAboutJunk);
  if (!about.empty() && about.back() == kFullStop) about.pop_back();
  values.second = ClassifyChannel(about);
}

bool IsStreamLine(std::string_view line) {
  for (const char* prefix : kStreamPrefixes) {
    if (StartsWith(line, prefix)) return true;
  }
  return false;
}

}  // namespace

RowLineKind KindOfLine(std::string_view line) {
  if (StartsWith(line, kNamePrefix)) return kNameLine;
  if (IsStreamLine(line)) return kStreamLine;
  if (StartsWith(line, kAboutPrefix)) return kAboutLine;
  return kOtherLine;
}

void CutRowLine(std::string_view line, RowLineValues& values) {
  values.kind = KindOfLine(line);
  switch (values.kind) {
    case kNameLine:
      CutNameLine(line, values);
      break;
    case kStreamLine:
      CutStreamLine(line, values);
      break;
    case kAboutLine:
      CutAboutLine(line, values);
      break;
    case kOtherLine:
      break;
  }
}

std::optional<ChannelRecord> TakeRowLine(RowLineValues& values, HarvestState& state) {
  switch (values.kind) {
    case kNameLine:
      state.channel.swap(values.first);
      state.homepage.swap(values.second);
      return std::nullopt;
    case kStreamLine:
      state.streamUrl.swap(values.first);
      state.bitrate.swap(values.second);
      state.streamSeen = true;
      return std::nullopt;
    case kAboutLine:
      state.about.swap(values.first);
      state.category.swap(values.second);
      if (!state.streamSeen) return std::nullopt;
      state.streamSeen = false;
      return ChannelRecord{state.country, state.channel,   state.bitrate, state.category,
                           state.about,   state.streamUrl, state.homepage};
    case kOtherLine:
      break;
  }
  return std::nullopt;
}

std::optional<ChannelRecord> ParseRowLine(std::string_view line, HarvestState& state) {
  RowLineValues values;
  CutRowLine(line, values);
  return TakeRowLine(values, state);
}

void CutCountryPage(std::string_view bytes, CutPage& cut) {
  cut.prepared = true;
  cut.lineCount = 0;
  cut.rowCount = 0;
  const size_t firstLineFeed = bytes.find(kLineFeed);
  cut.start = firstLineFeed == std::string_view::npos ? 0 : firstLineFeed + 1;
  cut.resume = cut.start;
  if (cut.start == 0) return;  // the whole page continues the carried line
  cut.joined.clear();
  const LineSplit split = SplitLines(bytes.substr(cut.start), cut.joined, [&](std::string_view line) {
    const size_t number = cut.lineCount++;
    if (KindOfLine(line) == kOtherLine) return true;
    if (cut.rowCount == cut.rows.size()) cut.rows.emplace_back();
    CutRow& row = cut.rows[cut.rowCount++];
    row.line = number;
    CutRowLine(line, row.values);
    return cut.rowCount < kPreparedRowLimit;
  });
  cut.resume = cut.start + split.rest;
}
