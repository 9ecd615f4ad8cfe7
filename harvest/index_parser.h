// SPDX-License-Identifier: GPL-2.0-or-later
// Recognises the country links of the directory's index page.
#pragma once

#include <optional>
#include <string>

struct CountryLink {
  std::string name;     // as shown and stored with every channel of the country
  std::string address;  // siteBase + "television/" + link target
  std::string label;    // the link's own text, spaces trimmed: "usa (east)" of name "USA"
};

const char kIndexPath[] = "television/tvbar.htm";
const char kCountryPathPrefix[] = "television/";

// One complete index line (no CR or LF) to a country link, or nothing.
std::optional<CountryLink> ParseIndexLine(const std::string& line, const std::string& siteBase);
