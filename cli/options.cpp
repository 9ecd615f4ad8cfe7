// SPDX-License-Identifier: GPL-2.0-or-later
// The GNU-style reading of a command line by a table of options.
#include "cli/options.h"

#include <cstring>
#include <utility>

#include "text/text.h"

namespace {

const char kLongDashes[] = "--";
const char kStandardStreamOperand[] = "-";
const size_t kMostNumberDigits = 6;  // above every limit the commands have
const size_t kHelpIndent = 2;
const size_t kHelpGap = 2;  // between a label that reaches the column and its text
const int kSecondsPerHour = 3600;
const int kSecondsPerMinute = 60;

const OptionSpec* FindShort(const std::vector<OptionSpec>& table, char letter) {
  for (const OptionSpec& option : table) {
    if (option.letter != 0 && option.letter == letter) return &option;
  }
  return nullptr;
}

std::string NeedsValue(const OptionSpec& option) {
  return Concat(kLongDashes, option.name, " needs a value");
}

// Reads the long option at args[*i], and its value from the next argument when it takes one.
void ReadLong(const std::vector<std::string>& args, size_t* i, const std::vector<OptionSpec>& table,
              GivenArguments& given) {
  const std::string& arg = args[*i];
  const size_t equals = arg.find('=');
  const std::string name =
      arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
  const OptionSpec* option = FindOption(table, name);
  if (option == nullptr) {
    std::vector<std::string> names;
    for (const OptionSpec& known : table) names.push_back(known.name);
    given.refusal =
        Concat("unknown option ", arg.substr(0, equals), DidYouMean(name, names, kLongDashes));
    return;
  }
  std::string value;
  if (equals != std::string::npos) {
    if (!option->TakesValue()) {
      given.refusal = Concat(kLongDashes, name, " takes no value");
      return;
    }
    value = arg.substr(equals + 1);
  } else if (option->TakesValue() && *i + 1 < args.size()) {
    value = args[++*i];
  }
  if (option->TakesValue() && value.empty()) {
    given.refusal = NeedsValue(*option);
    return;
  }
  given.options.push_back({option->name, value});
}

// Reads the group of short letters at args[*i]; a letter that takes a value ends the group
// with the rest of it, or else with the next argument.
void ReadShortGroup(const std::vector<std::string>& args, size_t* i,
                    const std::vector<OptionSpec>& table, GivenArguments& given) {
  const std::string& group = args[*i];
  for (size_t at = 1; at < group.size(); ++at) {
    const OptionSpec* option = FindShort(table, group[at]);
    if (option == nullptr) {
      given.refusal = Concat("unknown option -", group.substr(at, 1));
      return;
    }
    if (!option->TakesValue()) {
      given.options.push_back({option->name, std::string()});
      continue;
    }
    std::string value = group.substr(at + 1);
    if (value.empty() && *i + 1 < args.size()) value = args[++*i];
    if (value.empty()) {
      given.refusal = NeedsValue(*option);
    } else {
      given.options.push_back({option->name, value});
    }
    return;
  }
}

// A duration as the help shows it: "24h", "15m", "90s".
std::string DurationText(int seconds) {
  if (seconds % kSecondsPerHour == 0) return Concat(NumberToText(seconds / kSecondsPerHour), "h");
  if (seconds % kSecondsPerMinute == 0) {
    return Concat(NumberToText(seconds / kSecondsPerMinute), "m");
  }
  return Concat(NumberToText(seconds), "s");
}

// The help text of option with its numbers in place of {low}, {high} and {default}.
std::string HelpText(const OptionSpec& option) {
  const std::string initial = option.kind == OptionKind::kDuration ? DurationText(option.initial)
                                                                   : NumberToText(option.initial);
  const std::pair<const char*, std::string> fields[] = {{"{low}", NumberToText(option.low)},
                                                        {"{high}", NumberToText(option.high)},
                                                        {"{default}", initial}};
  std::string text = option.help;
  for (const auto& [field, number] : fields) {
    for (size_t at = text.find(field); at != std::string::npos; at = text.find(field, at)) {
      text.replace(at, std::strlen(field), number);
      at += number.size();
    }
  }
  return text;
}

std::string HelpLabel(const OptionSpec& option) {
  std::string label(kHelpIndent, ' ');
  if (option.letter != 0) label += Concat("-", std::string(1, option.letter), ", ");
  label += Concat(kLongDashes, option.name);
  if (!option.value.empty()) label += Concat(" ", option.value);
  return label;
}

}  // namespace

const OptionSpec* FindOption(const std::vector<OptionSpec>& table, const std::string& name) {
  for (const OptionSpec& option : table) {
    if (TextEquals(option.name, name)) return &option;
  }
  return nullptr;
}

std::vector<OptionSpec> OptionRows(const std::vector<OptionSpec>& table,
                                   const std::vector<std::string>& names) {
  std::vector<OptionSpec> rows;
  for (const std::string& name : names) rows.push_back(*FindOption(table, name));
  return rows;
}

std::string OptionHelp(const std::vector<OptionSpec>& table, size_t column) {
  std::string help;
  for (const OptionSpec& option : table) {
    const std::string label = HelpLabel(option);
    // A label too long for the column gets a line of its own, and its text starts below it.
    const std::string gap = label.size() + kHelpGap > column
                                ? Concat("\n", std::string(column, ' '))
                                : std::string(column - label.size(), ' ');
    std::string text = HelpText(option);
    for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1)) {
      text.insert(at + 1, std::string(column, ' '));
    }
    help += Concat(label, gap, text, "\n");
  }
  return help;
}

GivenArguments ReadArguments(const std::vector<std::string>& args,
                             const std::vector<OptionSpec>& table) {
  GivenArguments given;
  bool operandsOnly = false;
  for (size_t i = 0; i < args.size() && given.refusal.empty(); ++i) {
    const std::string& arg = args[i];
    if (operandsOnly || !StartsWith(arg, "-") || TextEquals(arg, kStandardStreamOperand)) {
      given.operands.push_back(arg);
    } else if (TextEquals(arg, kLongDashes)) {
      operandsOnly = true;
    } else if (StartsWith(arg, kLongDashes)) {
      ReadLong(args, &i, table, given);
    } else {
      ReadShortGroup(args, &i, table, given);
    }
  }
  return given;
}

std::string NearestWord(const std::string& typed, const std::vector<std::string>& words) {
  std::string nearest;
  size_t least = kMostSlips + 1;
  for (const std::string& word : words) {
    const size_t distance = EditDistance(typed, word);
    if (distance < least && distance < typed.size()) {
      least = distance;
      nearest = word;
    }
  }
  return nearest;
}

std::string DidYouMean(const std::string& typed, const std::vector<std::string>& words,
                       const std::string& prefix) {
  const std::string nearest = NearestWord(typed, words);
  if (nearest.empty()) return std::string();
  return Concat("; did you mean ", prefix, nearest, "?");
}

std::vector<OptionSpec> PrefixedOptions(const std::vector<OptionSpec>& table,
                                        const std::string& prefix) {
  std::vector<OptionSpec> prefixed;
  for (const OptionSpec& option : table) {
    OptionSpec named = option;
    named.name = Concat(prefix, option.name);
    named.letter = 0;
    prefixed.push_back(named);
  }
  return prefixed;
}

OptionNumber ReadNumber(const GivenOption& given, const OptionSpec& option) {
  const int low = option.low;
  const int high = option.high;
  const std::string& unit = option.unit;
  const std::string& value = given.value;
  const bool digits = !value.empty() && value.size() <= kMostNumberDigits &&
                      value.find_first_not_of("0123456789") == std::string::npos;
  const int number = digits ? TextToNumber(value) : 0;
  if (digits && number >= low && number <= high) return {number, std::string()};
  const std::string what = unit.empty() ? std::string("a number") : Concat("a number of ", unit);
  return {0, Concat(kLongDashes, given.name, " needs ", what, " from ", NumberToText(low), " to ",
                    NumberToText(high))};
}
