// SPDX-License-Identifier: GPL-2.0-or-later
// Fuzzes ParseRowLine over a sequence of lines: a channel completes only at an about line
// after a stream link line, and it carries exactly the values the state then holds.
#include <string>

#include "fuzz/fuzz_target.h"
#include "harvest/row_parser.h"
#include "text/text.h"

namespace {
// Prefixes put in front of lines so that every line kind is reached often.
const char* const kPrefixes[] = {"", "<tr><td class=\"name\"", "<a class=\"m\"", "<a class=\"r\"",
                                 "<a class=\"w\"", " </td><td class=\"q\""};
const char kAboutPrefix[] = " </td><td class=\"q\"";
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  HarvestState state;
  state.country = "Fuzzland";
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t start = 0;
  while (start < input.size()) {
    size_t end = input.find('\n', start);
    if (end == std::string::npos) end = input.size();
    std::string line = input.substr(start, end - start);
    start = end + 1;
    if (!line.empty()) {
      line = Concat(kPrefixes[static_cast<unsigned char>(line[0]) % 6], line.substr(1));
    }
    const bool streamBefore = state.streamSeen;
    const std::optional<ChannelRecord> record = ParseRowLine(line, state);
    if (!record) continue;
    FUZZ_CHECK(streamBefore && StartsWith(line, kAboutPrefix) && !state.streamSeen);
    FUZZ_CHECK(record->country == "Fuzzland" && record->channel == state.channel &&
               record->about == state.about && record->streamUrl == state.streamUrl);
  }
  return 0;
}
