// SPDX-License-Identifier: GPL-2.0-or-later
// Line buffers of the line splitter: carriage returns dropped, growth bounded.
#include "harvest/line_split.h"

#include <cstring>

void AppendLineBytes(std::string& line, std::string_view bytes) {
  size_t from = 0;
  while (from < bytes.size() && line.size() < kCarriedLineLimit) {
    const size_t found = bytes.find(kCarriageReturn, from);
    const size_t runEnd = found == std::string_view::npos ? bytes.size() : found;
    const size_t room = kCarriedLineLimit - line.size();
    line.append(bytes.data() + from, runEnd - from < room ? runEnd - from : room);
    from = runEnd + 1;
  }
}

std::string_view CompleteLine(std::string& line, std::string_view bytes) {
  if (line.empty()) {
    const size_t end = !bytes.empty() && bytes.back() == kCarriageReturn ? bytes.size() - 1
                                                                         : bytes.size();
    // Said first so that the optimizer of the cross build sees a positive length below.
    if (end == 0) return bytes.substr(0, 0);
    if (std::memchr(bytes.data(), kCarriageReturn, end) == nullptr) return bytes.substr(0, end);
  }
  AppendLineBytes(line, bytes);
  return line;
}
