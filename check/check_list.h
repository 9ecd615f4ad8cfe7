// The rows of a channels.dat as the stream check reads them: each row's bytes, kept for
// writing it back unchanged, and its seven fields.
#pragma once

#include <string>
#include <vector>

#include "harvest/channel_list.h"

struct ListRow {
  std::string line;  // the row's bytes without its line end
  ChannelRecord record;
};

// Cuts a channels.dat into rows: a line feed ends a row, a carriage return before it is
// dropped, a last row without a line end counts, empty lines are no rows. A row with more
// than six separators has a "|" inside a field: its first four fields and its last two
// (stream address and homepage) are taken from the ends, and the about text keeps the rest.
std::vector<ListRow> ParseChannelRows(const std::string& fileBytes);
