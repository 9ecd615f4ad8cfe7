// SPDX-License-Identifier: GPL-2.0-or-later
// The one rule by which page text is cut into lines: a line feed ends a line, carriage returns
// are dropped wherever they stand, and what follows the last line feed is carried on.
#pragma once

#include <string>
#include <string_view>

#include "fetch/fetch.h"

const char kLineFeed = '\n';
const char kCarriageReturn = '\r';
// The longest line collected in a line buffer, one page's worth: bytes beyond it are dropped,
// so that a site that never sends a line feed costs no more than one more page.
const size_t kCarriedLineLimit = kPageByteLimit;

// Appends bytes to line without their carriage returns, line growing to kCarriedLineLimit at
// most.
void AppendLineBytes(std::string& line, std::string_view bytes);

// The complete line of bytes (a line feed ended it) after what line holds, carriage returns
// left out: bytes themselves when line is empty and holds no carriage return but one at its
// end, else line with bytes appended.
std::string_view CompleteLine(std::string& line, std::string_view bytes);

// Where a split ended: rest is the offset just after the last line feed that ended a line
// handed on; stopped tells that the handler asked to stop there.
struct LineSplit {
  size_t rest = 0;
  bool stopped = false;
};

// Hands each line of bytes that a line feed ends to handleLine, which returns false to stop
// after it. The first line begins with what line holds (a line carried from earlier text);
// line is also the buffer of lines that must be joined, and is empty after each line (it keeps
// its memory). The bytes after the last line feed are left to the caller, to carry on with
// AppendLineBytes or to drop.
template <typename LineHandler>
LineSplit SplitLines(std::string_view bytes, std::string& line, LineHandler handleLine) {
  size_t next = 0;
  for (;;) {
    const size_t lineFeed = bytes.find(kLineFeed, next);
    if (lineFeed == std::string_view::npos) return {next, false};
    const std::string_view complete = CompleteLine(line, bytes.substr(next, lineFeed - next));
    next = lineFeed + 1;
    const bool goOn = handleLine(complete);
    line.clear();
    if (!goOn) return {next, true};
  }
}
