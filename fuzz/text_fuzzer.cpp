// SPDX-License-Identifier: GPL-2.0-or-later
// Fuzzes the text operations and the classifier with their rules as checks: lengths kept,
// fields that join back to the text, removals that match the counted occurrences.
#include <string>

#include "fuzz/fuzz_target.h"
#include "harvest/classifier.h"
#include "text/text.h"

namespace {

const size_t kLargestFieldScan = 512;  // FieldAt over every field is quadratic

bool HasByteIn(const std::string& s, int low, int high) {
  for (char c : s) {
    const int b = static_cast<unsigned char>(c);
    if (b >= low && b <= high) return true;
  }
  return false;
}

void CheckCaseChanges(const std::string& s) {
  const std::string lower = ToLowerCase(s);
  const std::string upper = ToUpperCase(s);
  FUZZ_CHECK(lower.size() == s.size() && upper.size() == s.size());
  FUZZ_CHECK(!HasByteIn(lower, 65, 90) && !HasByteIn(lower, 192, 222));
  FUZZ_CHECK(!HasByteIn(upper, 97, 122) && !HasByteIn(upper, 224, 255));
}

void CheckFields(const std::string& s, const std::string& sep) {
  FUZZ_CHECK(FieldAt(s, 1, "") == s);
  if (sep.empty() || s.size() > kLargestFieldScan) return;
  const int fields = CountOccurrences(s, sep.substr(0, 1)) + 1;
  std::string joined = FieldAt(s, 1, sep);
  for (int n = 2; n <= fields; ++n) joined = Concat(joined, sep.substr(0, 1), FieldAt(s, n, sep));
  FUZZ_CHECK(joined == s);
  FUZZ_CHECK(FieldAt(s, fields + 1, sep).empty());
}

void CheckRemoval(const std::string& s, const std::string& pattern) {
  const std::string removed = RemoveAll(s, pattern);
  if (pattern.empty()) {
    FUZZ_CHECK(removed.empty() && CountOccurrences(s, pattern) == 0);
    return;
  }
  const size_t count = static_cast<size_t>(CountOccurrences(s, pattern));
  FUZZ_CHECK(removed.size() == s.size() - count * pattern.size());
}

void CheckNumbers(const std::string& s) {
  const int32_t value = TextToNumber(s);
  const std::string text = NumberToText(value);
  FUZZ_CHECK(TextToNumber(text) == value && text.size() <= 11);
  const std::string trimmed = TrimSpaces(s);
  FUZZ_CHECK(trimmed.empty() || (trimmed.front() != ' ' && trimmed.back() != ' '));
  FUZZ_CHECK(s.find(trimmed) != std::string::npos);
}

// The category is the first group with a keyword that KeywordTest finds, else Unknown.
void CheckCategory(const std::string& s) {
  std::string expected = kUnknownCategory;
  for (const CategoryGroup& group : CategoryTable()) {
    for (const std::string& keyword : group.keywords) {
      if (expected == kUnknownCategory && KeywordTest(s, keyword) > 0) expected = group.category;
    }
  }
  FUZZ_CHECK(ClassifyChannel(s) == expected);
}

}  // namespace

// The input is a text, a zero byte, then a second text used as pattern and separator.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\0');
  const std::string s = input.substr(0, split);
  const std::string other = split == std::string::npos ? std::string() : input.substr(split + 1);
  CheckCaseChanges(s);
  CheckFields(s, other);
  CheckRemoval(s, other);
  CheckNumbers(s);
  CheckCategory(s);
  const std::string fromBytes = TextFromBytes(input.data(), static_cast<int>(size));
  FUZZ_CHECK(fromBytes == s);
  return 0;
}
