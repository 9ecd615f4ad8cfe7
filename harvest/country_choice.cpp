// Country names typed by a user matched against the index's links, and the nearest names for
// one that matches none.
#include "harvest/country_choice.h"

#include <algorithm>
#include <optional>

#include "text/text.h"
#include "text/utf8.h"

namespace {

// The typed name as lower-case page bytes: read as UTF-8 when it is valid UTF-8 that
// Windows-1252 can hold, else taken as page bytes already.
std::string TypedKey(const std::string& typed) {
  std::optional<std::string> bytes = Utf8ToCp1252(typed);
  return ToLowerCase(bytes ? *bytes : typed);
}

bool Matches(const CountryLink& link, const std::vector<std::string>& keys) {
  const std::string name = ToLowerCase(link.name);
  return std::any_of(keys.begin(), keys.end(),
                     [&name](const std::string& key) { return TextEquals(key, name); });
}

// The number of single-byte insertions, deletions and replacements that turn a into b.
size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

}  // namespace

CountryChoice ChooseCountries(const std::vector<CountryLink>& links,
                              const std::vector<std::string>& names) {
  std::vector<std::string> keys;
  for (const std::string& name : names) keys.push_back(TypedKey(name));
  CountryChoice choice;
  for (const CountryLink& link : links) {
    if (Matches(link, keys)) choice.links.push_back(link);
  }
  for (size_t i = 0; i < names.size(); ++i) {
    const bool found = std::any_of(links.begin(), links.end(), [&](const CountryLink& link) {
      return Matches(link, {keys[i]});
    });
    if (!found) choice.unknown.push_back(names[i]);
  }
  return choice;
}

std::vector<std::string> NearestCountryNames(const std::vector<CountryLink>& links,
                                             const std::string& name, int count) {
  const std::string key = TypedKey(name);
  std::vector<std::pair<size_t, std::string>> ranked;  // distance, name
  for (const CountryLink& link : links) {
    const bool seen = std::any_of(ranked.begin(), ranked.end(), [&link](const auto& r) {
      return TextEquals(r.second, link.name);
    });
    if (!seen) ranked.emplace_back(EditDistance(key, ToLowerCase(link.name)), link.name);
  }
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> nearest;
  for (const auto& r : ranked) {
    if (static_cast<int>(nearest.size()) == count) break;
    nearest.push_back(r.second);
  }
  return nearest;
}
