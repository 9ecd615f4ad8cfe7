// SPDX-License-Identifier: GPL-2.0-or-later
// Choosing which countries of the index to harvest, by the names a user typed.
#pragma once

#include <string>
#include <vector>

#include "harvest/index_parser.h"

// A typed name that several entries of the index answer, and how many.
struct SharedCountryName {
  std::string typed;
  int entries = 0;
};

struct CountryChoice {
  std::vector<CountryLink> links;         // the chosen links, in index order, each once
  std::vector<std::string> unknown;       // typed names that match no link, as typed
  std::vector<SharedCountryName> shared;  // typed names that chose more than one link
};

// The country links of an index page's bytes, in page order; what follows the last line feed
// is never examined.
std::vector<CountryLink> IndexCountryLinks(const std::string& indexBytes,
                                           const std::string& siteBase);
// The index's own text of a link, as --list-countries shows it: its label, else its name.
const std::string& CountryLabel(const CountryLink& link);
// The labels of links in index order, each once without regard to case.
std::vector<std::string> CountryLabels(const std::vector<CountryLink>& links);

// The links chosen by names, without regard to case: a name chooses the links whose label it
// is, else those whose name it is (the names of "USA" and "usa (east)" are both "USA"). A
// name may be typed in UTF-8 or in the page's own Windows-1252 bytes (a Windows command
// line). Every link a name chooses is read.
CountryChoice ChooseCountries(const std::vector<CountryLink>& links,
                              const std::vector<std::string>& names);
// At most count distinct labels like name, regardless of case: near it as a whole, near it at
// their start, or with it as their words' initials ("uk"). Nearest first, in index order
// among equals; none when no label is near. The labels are page bytes.
std::vector<std::string> NearestCountryNames(const std::vector<CountryLink>& links,
                                             const std::string& name, int count);
