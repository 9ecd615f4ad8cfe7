// SPDX-License-Identifier: GPL-2.0-or-later
// Gives a channel one of twelve category texts by keywords found in its about text.
#pragma once

#include <string>
#include <vector>

// One keyword group: its keywords in test order and the category text it yields.
struct CategoryGroup {
  std::vector<std::string> keywords;
  std::string category;
};

// The eleven keyword groups in test order. A text that matches none is kUnknownCategory.
const std::vector<CategoryGroup>& CategoryTable();
extern const char kUnknownCategory[];

// The number of non-overlapping occurrences of keyword in the lower-cased about text.
int KeywordTest(const std::string& about, const std::string& keyword);
// The category of the first keyword group with a hit, in table order, else "Unknown".
std::string ClassifyChannel(const std::string& about);
