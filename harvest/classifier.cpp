// Category by keywords: the first group, in table order, with a keyword that occurs
// anywhere in the lower-cased about text names the category.
#include "harvest/classifier.h"

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

std::string ClassifyChannel(const std::string& about) {
  // Lower-cased once, into a buffer kept from channel to channel, rather than once per keyword
  // as KeywordTest does; a keyword that occurs at all is a hit, so the first find decides.
  thread_local std::string lowered;
  lowered.assign(about);
  MakeLowerCase(lowered);
  for (const CategoryGroup& group : CategoryTable()) {
    for (const std::string& keyword : group.keywords) {
      if (lowered.find(keyword) != std::string::npos) return group.category;
    }
  }
  return kUnknownCategory;
}
