// Country page lines: a name line gives the channel's name and homepage, a stream link line
// its stream address and bitrate, and an about line its description, category and, after a
// stream link line, the completed channel. Nothing is cleared between rows.
#include "harvest/row_parser.h"

#include "harvest/classifier.h"
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

// The fields are cut as views of the line and written into the state's own strings, which
// keep their capacity from row to row: a line costs no allocation.
void ReadNameLine(std::string_view line, HarvestState& state) {
  int nameField = FieldView(line, kNewMarkField, kGreaterThan) == kNewMark ? kMarkedNameField
                                                                            : kNameField;
  thread_local std::string name;
  name.clear();
  AppendWithoutAll(name, FieldView(line, nameField, kGreaterThan), kNameJunk);
  state.channel.assign(TrimSpacesView(name));
  state.homepage.assign(FieldView(line, kHomepageField, kDoubleQuote));
}

void ReadStreamLine(std::string_view line, HarvestState& state) {
  state.streamUrl.assign(FieldView(line, kStreamUrlField, kSingleQuote));
  state.bitrate.clear();
  AppendWithoutAll(state.bitrate, FieldView(line, kBitrateField, kGreaterThan), kBitrateJunk);
  state.streamSeen = true;
}

std::optional<ChannelRecord> ReadAboutLine(std::string_view line, HarvestState& state) {
  std::string& about = state.about;
  about.clear();
  AppendWithoutAll(about, FieldView(line, kAboutField, kGreaterThan), kAboutJunk);
  if (!about.empty() && about.back() == kFullStop) about.pop_back();
  state.category = ClassifyChannel(about);
  if (!state.streamSeen) return std::nullopt;
  state.streamSeen = false;
  return ChannelRecord{state.country, state.channel,   state.bitrate, state.category,
                       state.about,   state.streamUrl, state.homepage};
}

bool IsStreamLine(std::string_view line) {
  for (const char* prefix : kStreamPrefixes) {
    if (StartsWith(line, prefix)) return true;
  }
  return false;
}

}  // namespace

std::optional<ChannelRecord> ParseRowLine(std::string_view line, HarvestState& state) {
  if (StartsWith(line, kNamePrefix)) {
    ReadNameLine(line, state);
  } else if (IsStreamLine(line)) {
    ReadStreamLine(line, state);
  } else if (StartsWith(line, kAboutPrefix)) {
    return ReadAboutLine(line, state);
  }
  return std::nullopt;
}
