// Decisions of the window program that need no window: reading the command line, which
// clicked links may be opened, and how a target is turned into a command line and a folder.
#pragma once

#include <cstdint>
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

// A character range [first, last) of a link, shortened so that its text fits the link buffer.
struct LinkRange {
  int32_t first;
  int32_t last;
};
LinkRange BoundLinkRange(int32_t first, int32_t last);

// True for a web or stream address that may be handed to the shell: one of the known
// schemes (any case) followed by ":", or a text starting with "www."; never for a text
// holding a double quote or a control byte.
bool IsLaunchableLink(const std::string& link);

// The target in double quotes (unless it already starts with one), then a space and the
// parameters when there are any.
std::string LaunchCommandLine(const std::string& target, const std::string& parameters);
// The given directory; without one, the target up to and including its last backslash,
// unless that backslash is the target's first byte; otherwise "" (no directory).
std::string LaunchDirectory(const std::string& target, const std::string& directory);
