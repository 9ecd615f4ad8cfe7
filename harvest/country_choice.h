// Choosing which countries of the index to harvest, by the names a user typed.
#pragma once

#include <string>
#include <vector>

#include "harvest/index_parser.h"

struct CountryChoice {
  std::vector<CountryLink> links;    // the chosen links, in index order
  std::vector<std::string> unknown;  // typed names that match no link, as typed
};

// The links whose name equals one of names without regard to case. A name may be typed in
// UTF-8 or in the page's own Windows-1252 bytes (a Windows command line). Every link of a
// name is chosen, so a name that the index lists twice reads both pages.
CountryChoice ChooseCountries(const std::vector<CountryLink>& links,
                              const std::vector<std::string>& names);
// The distinct names of at most count links nearest to name by edit distance, regardless of
// case: nearest first, in index order among equals. The names are page bytes.
std::vector<std::string> NearestCountryNames(const std::vector<CountryLink>& links,
                                             const std::string& name, int count);
