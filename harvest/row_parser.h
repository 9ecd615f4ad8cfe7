// Cuts channels out of the lines of a country page.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "harvest/harvest_state.h"

// One complete country page line (no CR or LF): updates the pending row values in state
// and returns the completed channel at an about line that follows a stream link line.
std::optional<ChannelRecord> ParseRowLine(std::string_view line, HarvestState& state);
