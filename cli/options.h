// The command lines of morvek-cli, both commands: one table of options per command and one
// GNU-style reader that turns the arguments into the options given and the operands.
#pragma once

#include <string>
#include <vector>

// One option of a command: its long name without the dashes, its short letter (0 for none),
// and whether it takes a value.
struct OptionSpec {
  std::string name;
  char letter = 0;
  bool takesValue = false;
};

// The options every command answers at once.
inline const std::vector<OptionSpec> kCommandFlags = {{"help", 'h', false},
                                                      {"version", 'V', false}};

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
// to HIGH".
struct OptionNumber {
  int number = 0;
  std::string refusal;
};
// given's value as a whole number from low to high, written in decimal digits only.
OptionNumber ReadNumber(const GivenOption& given, int low, int high, const std::string& unit);
