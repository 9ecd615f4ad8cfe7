// SPDX-License-Identifier: GPL-2.0-or-later
// Country links of the index page: a line that begins with the link prefix gives the
// country name (field 2 at ">") and the page target (field 4 at the double quote).
#include "harvest/index_parser.h"

#include "text/text.h"

namespace {

const char kCountryLinkPrefix[] = "<a class=\"rb\"";
const int kNameField = 2;
const char kNameSeparator[] = ">";
const int kTargetField = 4;
const char kTargetSeparator[] = "\"";
const char kUsaLower[] = "usa";
const char kUsaName[] = "USA";

// "fRANCE" gives "France", any name beginning with "usa" gives "USA".
std::string CountryName(const std::string& rawName) {
  std::string lowerName = ToLowerCase(rawName);
  if (TextEquals(LeftPart(lowerName, 3), kUsaLower)) return kUsaName;
  return Concat(ToUpperCase(LeftPart(lowerName, 1)),
                RightPart(lowerName, TextLength(lowerName) - 1));
}

}  // namespace

std::optional<CountryLink> ParseIndexLine(const std::string& line, const std::string& siteBase) {
  if (!StartsWith(line, kCountryLinkPrefix)) return std::nullopt;
  CountryLink link;
  const std::string rawName = FieldAt(line, kNameField, kNameSeparator);
  link.name = CountryName(rawName);
  link.label = TrimSpaces(rawName);
  link.address = Concat(siteBase, kCountryPathPrefix, FieldAt(line, kTargetField, kTargetSeparator));
  return link;
}
