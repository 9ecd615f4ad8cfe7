// SPDX-License-Identifier: GPL-2.0-or-later
// Country names typed by a user matched against the index's links, and the nearest labels for
// one that matches none.
#include "harvest/country_choice.h"

#include <algorithm>
#include <optional>

#include "harvest/line_split.h"
#include "text/text.h"
#include "text/utf8.h"

namespace {

const size_t kNearnessShare = 3;  // a label is near with up to one edit per 3 typed bytes

// The typed name as lower-case page bytes: read as UTF-8 when it is valid UTF-8 that
// Windows-1252 can hold, else taken as page bytes already.
std::string TypedKey(const std::string& typed) {
  std::optional<std::string> bytes = Utf8ToCp1252(typed);
  return ToLowerCase(bytes ? *bytes : typed);
}

// The indexes of the links whose label (or, when no label is key, whose name) is key.
std::vector<size_t> MatchingLinks(const std::vector<CountryLink>& links, const std::string& key) {
  for (const bool byLabel : {true, false}) {
    std::vector<size_t> found;
    for (size_t i = 0; i < links.size(); ++i) {
      const std::string& text = byLabel ? CountryLabel(links[i]) : links[i].name;
      // Lengths first: a label of a hostile index may be as long as the page.
      if (text.size() == key.size() && TextEquals(ToLowerCase(text), key)) found.push_back(i);
    }
    if (!found.empty()) return found;
  }
  return {};
}

// The first letter of each word of text.
std::string Initials(const std::string& text) {
  std::string initials;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != ' ' && (i == 0 || text[i - 1] == ' ')) initials += text[i];
  }
  return initials;
}

// How far label (lower case) is from key: the fewer edits of the whole or of its start, 0 for
// its initials.
size_t Distance(const std::string& key, const std::string& label) {
  if (key.size() > 1 && TextEquals(Initials(label), key)) return 0;
  return std::min(EditDistance(key, label), EditDistance(key, LeftPart(label, TextLength(key))));
}

}  // namespace

std::vector<CountryLink> IndexCountryLinks(const std::string& indexBytes,
                                           const std::string& siteBase) {
  std::vector<CountryLink> links;
  std::string line;
  SplitLines(indexBytes, line, [&](std::string_view complete) {
    std::optional<CountryLink> link = ParseIndexLine(std::string(complete), siteBase);
    if (link) links.push_back(std::move(*link));
    return true;
  });
  return links;
}

const std::string& CountryLabel(const CountryLink& link) {
  return link.label.empty() ? link.name : link.label;
}

std::vector<std::string> CountryLabels(const std::vector<CountryLink>& links) {
  std::vector<std::string> labels;
  std::vector<std::string> seen;  // in lower case
  for (const CountryLink& link : links) {
    const std::string lower = ToLowerCase(CountryLabel(link));
    if (std::find(seen.begin(), seen.end(), lower) != seen.end()) continue;
    seen.push_back(lower);
    labels.push_back(CountryLabel(link));
  }
  return labels;
}

CountryChoice ChooseCountries(const std::vector<CountryLink>& links,
                              const std::vector<std::string>& names) {
  CountryChoice choice;
  std::vector<bool> chosen(links.size());
  for (const std::string& name : names) {
    const std::vector<size_t> found = MatchingLinks(links, TypedKey(name));
    if (found.empty()) choice.unknown.push_back(name);
    if (found.size() > 1) choice.shared.push_back({name, static_cast<int>(found.size())});
    for (size_t i : found) chosen[i] = true;
  }
  for (size_t i = 0; i < links.size(); ++i) {
    if (chosen[i]) choice.links.push_back(links[i]);
  }
  return choice;
}

std::vector<std::string> NearestCountryNames(const std::vector<CountryLink>& links,
                                             const std::string& name, int count) {
  const std::string key = TypedKey(name);
  const size_t most =
      std::max<size_t>(1, std::min(key.size(), kEditDistanceBytes) / kNearnessShare);
  struct Ranked {
    size_t distance;
    size_t whole;
    std::string label;
  };
  std::vector<Ranked> ranked;
  for (const std::string& label : CountryLabels(links)) {
    const std::string lower = ToLowerCase(label);
    const size_t distance = Distance(key, lower);
    if (distance <= most && distance < key.size()) {
      ranked.push_back({distance, EditDistance(key, lower), label});
    }
  }
  std::stable_sort(ranked.begin(), ranked.end(), [](const Ranked& a, const Ranked& b) {
    return a.distance != b.distance ? a.distance < b.distance : a.whole < b.whole;
  });
  std::vector<std::string> nearest;
  for (size_t i = 0; i < ranked.size() && static_cast<int>(i) < count; ++i) {
    nearest.push_back(ranked[i].label);
  }
  return nearest;
}
