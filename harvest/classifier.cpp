// SPDX-License-Identifier: GPL-2.0-or-later
// Category by keywords: the first group, in table order, with a keyword that occurs
// anywhere in the lower-cased about text names the category.
#include "harvest/classifier.h"

#include <array>
#include <bitset>

#include "text/text.h"

const char kUnknownCategory[] = "Unknown";

const std::vector<CategoryGroup>& CategoryTable() {
  // Keywords are spelled as the directory's descriptions spell them, misspellings included.
  static const std::vector<CategoryGroup> table = {
      {{"religious", "christian", "catholic", "pray", "belief", "church", "catol", "bisdom",
        "spiritual", "christan", "cathedral", "faith"},
       "Religious"},
      {{"general", "nasjonal", "state"}, "General"},
      {{"sports", "racing", "soccer", "golf", "football", "cycling"}, "Sports"},
      {{"weather", "forecast", "radar"}, "Weather"},
      {{"music"}, "Music"},
      {{"news"}, "News"},
      {{"education", "university", "research", "nasa"}, "Education"},
      {{"local"}, "Local"},
      {{"shopping", "commercial"}, "Shopping"},
      {{"government"}, "Government"},
      {{"community"}, "Community"},
  };
  return table;
}

int KeywordTest(const std::string& about, const std::string& keyword) {
  return CountOccurrences(ToLowerCase(about), keyword);
}

namespace {

// The keywords by their first byte, each with the position of its group in the table, so
// that one pass over the text finds every keyword that starts at each byte; and the byte
// pairs that begin a keyword, so that most positions are passed over with one lookup.
struct KeywordStart {
  size_t group;
  const std::string* keyword;
};
struct KeywordIndex {
  std::array<std::vector<KeywordStart>, 256> byFirstByte;
  std::array<std::bitset<256>, 256> pairStarts;  // [first][second]: some keyword begins so
  std::bitset<256> singleBytes;                  // one-byte keywords
};

const KeywordIndex& Keywords() {
  static const KeywordIndex index = [] {
    KeywordIndex built;
    const std::vector<CategoryGroup>& table = CategoryTable();
    for (size_t group = 0; group < table.size(); ++group) {
      for (const std::string& keyword : table[group].keywords) {
        if (keyword.empty()) continue;  // an empty keyword occurs nowhere
        const unsigned char first = static_cast<unsigned char>(keyword[0]);
        built.byFirstByte[first].push_back({group, &keyword});
        if (keyword.size() == 1) {
          built.singleBytes.set(first);
          built.pairStarts[first].set();
        } else {
          built.pairStarts[first].set(static_cast<unsigned char>(keyword[1]));
        }
      }
    }
    return built;
  }();
  return index;
}

}  // namespace

std::string ClassifyChannel(const std::string& about) {
  // One pass over the text, lower-cased byte by byte as it is compared, rather than once per
  // keyword as KeywordTest does. No buffer is kept: fetch workers classify too, and a
  // thread's own buffers are not freed reliably at its end by every C++ runtime we build
  // with. The earliest group with a keyword anywhere in the text wins.
  const KeywordIndex& index = Keywords();
  const std::vector<CategoryGroup>& table = CategoryTable();
  size_t best = table.size();
  const size_t size = about.size();
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(about.data());
  for (size_t i = 0; i < size && best > 0; ++i) {
    const unsigned char first = LowerCaseByte(bytes[i]);
    const unsigned char second = i + 1 < size ? LowerCaseByte(bytes[i + 1]) : 0;
    if (i + 1 == size ? !index.singleBytes[first] : !index.pairStarts[first][second]) continue;
    for (const KeywordStart& start : index.byFirstByte[first]) {
      const std::string& keyword = *start.keyword;
      if (start.group >= best || keyword.size() > size - i) continue;
      size_t matched = 1;
      while (matched < keyword.size() &&
             LowerCaseByte(bytes[i + matched]) == static_cast<unsigned char>(keyword[matched])) {
        ++matched;
      }
      if (matched == keyword.size()) best = start.group;
    }
  }
  return best < table.size() ? table[best].category : kUnknownCategory;
}
