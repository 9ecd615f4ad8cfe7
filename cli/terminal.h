// SPDX-License-Identifier: GPL-2.0-or-later
// The live progress line of a command on a terminal's stderr, and the terminal's hooks.
#pragma once

#include <cstdint>
#include <string>

// The live progress line of either command on a terminal's stderr: rewritten in place,
// erased for a line of its own and drawn again below it by its owner.
const int64_t kProgressRedrawMilliseconds = 100;  // at most this often on a terminal
struct ProgressLine {
  bool live = false;    // stderr is a terminal and progress is shown
  int shownLength = 0;  // characters of the line now on screen
};

// The columns a live line may take: all but the last, which would wrap on some terminals;
// 0 when the width is unknown.
int ProgressWidth();
// Replaces the line with text, padding with spaces over a longer previous one; the padding
// never reaches past the terminal's width.
void PutProgressLine(ProgressLine& line, const std::string& text);
// Erases the line and leaves the cursor at its start.
void ClearProgressLine(ProgressLine& line);

bool StderrIsTerminal();
// The width of the terminal on stderr in columns; 0 when unknown.
int TerminalColumns();
int64_t MonotonicMilliseconds();
