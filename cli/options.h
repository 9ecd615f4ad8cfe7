// SPDX-License-Identifier: GPL-2.0-or-later
// The command lines of morvek-cli: one table of options per command, from which come its
// reader, its help lines and its range checks, and one GNU-style reader that turns the
// arguments into the options given and the operands.
#pragma once

#include <string>
#include <vector>

enum class OptionKind { kFlag, kText, kNumber, kDuration };

// One row of a command's option table: its long name without the dashes, its short letter (0
// for none), the kind of its value and the value's word in the help ("FILE"), the help text,
// and for a number its range, default and unit (named in its refusal). In the help, {low},
// {high} and {default} stand for those numbers, and each "\n" starts a line under the one
// before.
struct OptionSpec {
  std::string name;
  char letter = 0;
  OptionKind kind = OptionKind::kFlag;
  std::string value;
  std::string help;
  int low = 0;
  int high = 0;
  int initial = 0;
  std::string unit;
  bool TakesValue() const { return kind != OptionKind::kFlag; }
};

// The rows of a table, by kind.
inline OptionSpec FlagOption(const char* name, char letter, const char* help) {
  return OptionSpec{name, letter, OptionKind::kFlag, "", help, 0, 0, 0, ""};
}
inline OptionSpec TextOption(const char* name, char letter, const char* value, const char* help) {
  return OptionSpec{name, letter, OptionKind::kText, value, help, 0, 0, 0, ""};
}
inline OptionSpec NumberOption(const char* name, char letter, const char* value, const char* help,
                               int low, int high, int initial, const char* unit = "") {
  return OptionSpec{name, letter, OptionKind::kNumber, value, help, low, high, initial, unit};
}
// A duration in seconds, given as a number with s, m, h or d.
inline OptionSpec DurationOption(const char* name, const char* value, const char* help,
                                 int initial) {
  return OptionSpec{name, 0, OptionKind::kDuration, value, help, 0, 0, initial, ""};
}

// The options every command answers at once.
inline const std::vector<OptionSpec> kCommandFlags = {
    FlagOption("help", 'h', "show this text"), FlagOption("version", 'V', "show the version")};

// The row of table named name, or null.
const OptionSpec* FindOption(const std::vector<OptionSpec>& table, const std::string& name);
// The rows of table named in names, in that order (each must be there).
std::vector<OptionSpec> OptionRows(const std::vector<OptionSpec>& table,
                                   const std::vector<std::string>& names);
// The help lines of table's rows: "  -j, --jobs N" padded to column (or two spaces
// past it) and the help text, its further lines indented to column.
std::string OptionHelp(const std::vector<OptionSpec>& table, size_t column);

// An option as given: its long name from the table, and its value ("" for a flag).
struct GivenOption {
  std::string name;
  std::string value;
};

struct GivenArguments {
  std::vector<GivenOption> options;  // in the order given
  std::vector<std::string> operands;
  std::string refusal;  // what is wrong with the first bad option; empty when all are good
};

// Reads args by table, GNU style: "--name VALUE" and "--name=VALUE"; short letters grouped
// ("-qv") and a value attached or next ("-oFILE", "-o FILE"); "-" is an operand, and after
// "--" every argument is. An unknown option, a missing or empty value, or a value given to a
// flag stops the reading with its refusal.
GivenArguments ReadArguments(const std::vector<std::string>& args,
                             const std::vector<OptionSpec>& table);

// The word of words nearest to typed, when typed is a slip of it (at most kMostSlips edits,
// fewer than typed has bytes); else empty.
const size_t kMostSlips = 2;
std::string NearestWord(const std::string& typed, const std::vector<std::string>& words);
// "; did you mean PREFIX WORD?" for the word nearest to typed, or empty.
std::string DidYouMean(const std::string& typed, const std::vector<std::string>& words,
                       const std::string& prefix);

// table's options with prefix before each long name and no short letters, for the options
// of one command given to another ("--check-jobs").
std::vector<OptionSpec> PrefixedOptions(const std::vector<OptionSpec>& table,
                                        const std::string& prefix);

// A number option's value, or why it is refused: "--NAME needs a number[ of UNIT] from LOW
// to HIGH" (given's name, the range and unit of its row).
struct OptionNumber {
  int number = 0;
  std::string refusal;
};
// given's value as a whole number in option's range, written in decimal digits only.
OptionNumber ReadNumber(const GivenOption& given, const OptionSpec& option);
