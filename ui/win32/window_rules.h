// SPDX-License-Identifier: GPL-2.0-or-later
// Decisions of the window program that need no window: reading the command line, and which
// clicked links may be opened as what address.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The longest link text the link buffer holds; one more byte is its terminating zero.
const int kLinkTextLimit = 511;

// The tokens of a command line: spaces separate them (a tab does not); a token that starts
// with a double quote runs to the next double quote, which is consumed, or to the end.
std::vector<std::string> CommandLineTokens(const std::string& line);

struct CommandLineArguments {
  int count = -1;           // tokens after the program's name; -1 for a line without tokens
  int32_t ownerHandle = 0;  // the first argument as a number, 0 when there is none
};
CommandLineArguments ReadArguments(const std::string& line);

// The character range [first, last) of a clicked link when its whole text fits the link
// buffer; nothing otherwise, since a cut link may hide the part that matters.
struct LinkRange {
  int32_t first;
  int32_t last;
};
std::optional<LinkRange> WholeLinkRange(int32_t first, int32_t last);

// What a clicked link opens: an absolute address and its scheme in lower case.
struct OpenableLink {
  std::string address;
  std::string scheme;
};
// A link from a page opens only as "scheme://authority..." with a known web or stream scheme
// (any case); a link starting "www." (any case) gains "http://" first. The authority is a
// host of letters, digits, '-', '.' and '_' or a bracketed IPv6 address, then perhaps ":"
// and a port number; so no user name, no '@'. No byte of the link may be a backslash, a
// double quote, a space or a control byte. Anything else opens nothing.
std::optional<OpenableLink> OpenableLinkOf(const std::string& link);
