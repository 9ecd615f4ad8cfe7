// The rows of a channels.dat as the stream check reads them: each row's bytes, kept for
// writing it back unchanged, and its seven fields.
#pragma once

#include <string>
#include <vector>

#include "check/check_verdict.h"
#include "harvest/channel_list.h"

struct ListRow {
  std::string line;  // the row's bytes without its line end
  ChannelRecord record;
  std::string problem;  // why the row cannot be checked; empty for a row of seven fields
};

// Cuts a channels.dat into rows: a line feed ends a row, a carriage return before it is
// dropped, a last row without a line end counts, empty lines are no rows. A field holds no
// "|" (the harvest writes it as %7C or the broken bar), so a row is split at every "|"; missing
// fields are empty. A row of more than seven fields cannot be read: it keeps only its first
// two fields, to name it, and its problem says how many fields it has.
std::vector<ListRow> ParseChannelRows(const std::string& fileBytes);
// The result of the row: the probe's, unless the row has a problem, which is then the verdict.
CheckResult RowResult(const ListRow& row, const CheckResult& probed);
