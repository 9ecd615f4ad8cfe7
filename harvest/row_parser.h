// SPDX-License-Identifier: GPL-2.0-or-later
// Cuts channels out of the lines of a country page.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

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
// The kind of line, told by its prefix alone.
RowLineKind KindOfLine(std::string_view line);
// Cuts line into values, overwriting what they held but keeping their memory.
void CutRowLine(std::string_view line, RowLineValues& values);
// Takes the values of one line into the pending row values of state (swapped in, so values
// is left with state's old memory) and returns the completed channel at an about line that
// follows a stream link line.
std::optional<ChannelRecord> TakeRowLine(RowLineValues& values, HarvestState& state);

// The most rows a fetch worker cuts ahead from one page; the run cuts any further lines itself,
// so that a page of nothing but short row lines costs a worker no more than this many rows.
const size_t kPreparedRowLimit = 65536;

// The lines of a country page cut ahead by a fetch worker, from the line after the page's
// first line feed (which may continue a line carried over from the page before) on. Only a
// line that begins with a row prefix leaves values behind: the memory follows the rows
// recognised, not the lines scanned.
struct CutRow {
  size_t line = 0;  // the number of the row's line among the lines cut
  RowLineValues values;
};
struct CutPage {
  bool prepared = false;  // set by CutCountryPage; the run clears it when it has taken the page
  size_t start = 0;       // where the lines cut begin: after the first line feed, or 0 without
  size_t resume = 0;      // where the lines not cut begin (after the last line cut)
  size_t lineCount = 0;   // the lines cut, rows or not
  std::vector<CutRow> rows;  // the first rowCount hold this page's rows; the rest keep memory
  size_t rowCount = 0;
  std::string joined;     // a line with carriage returns inside, without them
};
// Cuts the lines of a page that surely begin a line, up to kPreparedRowLimit rows.
void CutCountryPage(std::string_view bytes, CutPage& cut);
