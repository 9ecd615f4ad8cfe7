// SPDX-License-Identifier: GPL-2.0-or-later
// The live progress line: rewritten in place on stderr, never past the terminal's width.
#include "cli/terminal.h"

#include "cli/program.h"
#include "text/text.h"
#include "text/utf8.h"

namespace {

const int kLastColumnKept = 1;  // writing the last column would wrap on some terminals

}  // namespace

int ProgressWidth() {
  const int columns = TerminalColumns();
  return columns > kLastColumnKept ? columns - kLastColumnKept : 0;
}

void PutProgressLine(ProgressLine& line, const std::string& text) {
  const int length = Utf8Length(text);
  const int width = ProgressWidth();
  const int covered = width > 0 && line.shownLength > width ? width : line.shownLength;
  WriteStream(stderr, Concat("\r", text, SpaceText(covered - length)));
  line.shownLength = length;
}

void ClearProgressLine(ProgressLine& line) {
  if (!line.live || line.shownLength == 0) return;
  WriteStream(stderr, Concat("\r", SpaceText(line.shownLength), "\r"));
  line.shownLength = 0;
}
