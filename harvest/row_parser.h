// Cuts channels out of the lines of a country page.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "harvest/harvest_state.h"

// One complete country page line (no CR or LF): updates the pending row values in state
// and returns the completed channel at an about line that follows a stream link line.
// The same as CutRowLine followed by TakeRowLine.
std::optional<ChannelRecord> ParseRowLine(std::string_view line, HarvestState& state);

// What a country page line says, cut out of the line alone. Cutting needs no state, so fetch
// workers cut the lines of a page while the run is still taking an earlier page's values.
enum RowLineKind { kOtherLine, kNameLine, kStreamLine, kAboutLine };
struct RowLineValues {
  RowLineKind kind = kOtherLine;
  std::string first;   // the channel's name, its stream address, or its description
  std::string second;  // its homepage, its bitrate, or its category
};
// Cuts line into values, overwriting what they held but keeping their memory.
void CutRowLine(std::string_view line, RowLineValues& values);
// Takes the values of one line into the pending row values of state (swapped in, so values
// is left with state's old memory) and returns the completed channel at an about line that
// follows a stream link line.
std::optional<ChannelRecord> TakeRowLine(RowLineValues& values, HarvestState& state);
