// Gives a channel one of twelve category texts by keywords found in its about text.
#pragma once

#include <string>

// The number of non-overlapping occurrences of keyword in the lower-cased about text.
int KeywordTest(const std::string& about, const std::string& keyword);
// The category of the first keyword group with a hit, in table order, else "Unknown".
std::string ClassifyChannel(const std::string& about);
