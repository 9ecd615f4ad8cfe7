// Country page lines. (Placeholder until the row parser lands.)
#include "harvest/row_parser.h"

std::optional<ChannelRecord> ParseRowLine(const std::string& /*line*/, HarvestState& /*state*/) {
  return std::nullopt;
}
