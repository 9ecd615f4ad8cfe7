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

const char kGreaterThan[] = ">";
const char kDoubleQuote[] = "\"";
const char kSingleQuote[] = "'";

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

void ReadNameLine(const std::string& line, HarvestState& state) {
  int nameField = TextEquals(FieldAt(line, kNewMarkField, kGreaterThan), kNewMark)
                      ? kMarkedNameField
                      : kNameField;
  state.channel = TrimSpaces(RemoveAll(FieldAt(line, nameField, kGreaterThan), kNameJunk));
  state.homepage = FieldAt(line, kHomepageField, kDoubleQuote);
}

void ReadStreamLine(const std::string& line, HarvestState& state) {
  state.streamUrl = FieldAt(line, kStreamUrlField, kSingleQuote);
  state.bitrate = RemoveAll(FieldAt(line, kBitrateField, kGreaterThan), kBitrateJunk);
  state.streamSeen = true;
}

std::optional<ChannelRecord> ReadAboutLine(const std::string& line, HarvestState& state) {
  std::string about = RemoveAll(FieldAt(line, kAboutField, kGreaterThan), kAboutJunk);
  if (!about.empty() && about.back() == kFullStop) about.pop_back();
  state.about = about;
  state.category = ClassifyChannel(state.about);
  if (!state.streamSeen) return std::nullopt;
  state.streamSeen = false;
  return ChannelRecord{state.country, state.channel,   state.bitrate, state.category,
                       state.about,   state.streamUrl, state.homepage};
}

bool IsStreamLine(const std::string& line) {
  for (const char* prefix : kStreamPrefixes) {
    if (StartsWith(line, prefix)) return true;
  }
  return false;
}

}  // namespace

std::optional<ChannelRecord> ParseRowLine(const std::string& line, HarvestState& state) {
  if (StartsWith(line, kNamePrefix)) {
    ReadNameLine(line, state);
  } else if (IsStreamLine(line)) {
    ReadStreamLine(line, state);
  } else if (StartsWith(line, kAboutPrefix)) {
    return ReadAboutLine(line, state);
  }
  return std::nullopt;
}
