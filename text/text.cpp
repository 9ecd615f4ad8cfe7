// SPDX-License-Identifier: GPL-2.0-or-later
// Byte-string operations with fixed edge rules: clamped counts, empty missing fields,
// fixed byte ranges for case changes and 32-bit wrapping number conversion.
#include "text/text.h"

#include <algorithm>
#include <array>
#include <vector>
#include <cstring>

namespace {

const unsigned char kSpace = 32;
const unsigned char kTab = 9;

std::string::size_type ClampCount(const std::string& s, int n) {
  if (n <= 0) return 0;
  std::string::size_type k = static_cast<std::string::size_type>(n);
  return k < s.size() ? k : s.size();
}

}  // namespace

int TextLength(const std::string& s) { return static_cast<int>(s.size()); }

std::string LeftPart(const std::string& s, int n) { return s.substr(0, ClampCount(s, n)); }

std::string RightPart(const std::string& s, int n) {
  return s.substr(s.size() - ClampCount(s, n));
}

std::string ToLowerCase(const std::string& s) {
  std::string out(s);
  MakeLowerCase(out);
  return out;
}

// The lower case of each byte, as a table: the classifier lower-cases every description.
constexpr std::array<unsigned char, 256> kLowerCaseBytes = [] {
  std::array<unsigned char, 256> table{};
  for (int b = 0; b < 256; ++b) {
    const bool upper = (b >= 65 && b <= 90) || (b >= 192 && b <= 222);
    table[static_cast<size_t>(b)] = static_cast<unsigned char>(upper ? b + 32 : b);
  }
  return table;
}();

unsigned char LowerCaseByte(unsigned char b) { return kLowerCaseBytes[b]; }

void MakeLowerCase(std::string& s) {
  for (char& c : s) c = static_cast<char>(kLowerCaseBytes[static_cast<unsigned char>(c)]);
}

std::string ToUpperCase(const std::string& s) {
  std::string out(s);
  for (char& c : out) {
    unsigned char b = static_cast<unsigned char>(c);
    if ((b >= 97 && b <= 122) || b >= 224) c = static_cast<char>(b - 32);
  }
  return out;
}

std::string TrimSpaces(const std::string& s) { return std::string(TrimSpacesView(s)); }

std::string_view TrimSpacesView(std::string_view s) {
  std::string_view::size_type first = s.find_first_not_of(static_cast<char>(kSpace));
  if (first == std::string_view::npos) return std::string_view();
  std::string_view::size_type last = s.find_last_not_of(static_cast<char>(kSpace));
  return s.substr(first, last - first + 1);
}

std::string FieldAt(const std::string& s, int n, const std::string& sep) {
  if (sep.empty()) return n <= 1 ? s : std::string();
  return std::string(FieldView(s, n, sep[0]));
}

std::string_view FieldView(std::string_view s, int n, char separator) {
  std::string_view::size_type start = 0;
  for (int field = 1; field < n; ++field) {
    std::string_view::size_type next = s.find(separator, start);
    if (next == std::string_view::npos) return std::string_view();
    start = next + 1;
  }
  std::string_view::size_type end = s.find(separator, start);
  if (end == std::string_view::npos) end = s.size();
  return s.substr(start, end - start);
}

std::string RemoveAll(const std::string& s, const std::string& pattern) {
  std::string out;
  out.reserve(s.size());
  AppendWithoutAll(out, s, pattern);
  return out;
}

void AppendWithoutAll(std::string& out, std::string_view s, std::string_view pattern) {
  if (pattern.empty()) return;
  std::string_view::size_type i = 0;
  while (i < s.size()) {
    std::string_view::size_type hit = s.find(pattern, i);
    if (hit == std::string_view::npos) hit = s.size();
    out.append(s, i, hit - i);
    i = hit == s.size() ? hit : hit + pattern.size();
  }
}

int CountOccurrences(const std::string& s, const std::string& pattern) {
  if (pattern.empty() || s.empty()) return 0;
  int count = 0;
  std::string::size_type i = s.find(pattern);
  while (i != std::string::npos) {
    ++count;
    i = s.find(pattern, i + pattern.size());
  }
  return count;
}

bool TextEquals(const std::string& a, const std::string& b) { return a == b; }

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

std::string NumberToText(int32_t v) {
  // Work on the magnitude as unsigned so that -2147483648 needs no special case.
  uint32_t magnitude = v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
  char digits[12];
  int pos = 12;
  do {
    digits[--pos] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (v < 0) digits[--pos] = '-';
  return std::string(digits + pos, static_cast<std::string::size_type>(12 - pos));
}

int32_t TextToNumber(const std::string& s) {
  std::string::size_type i = 0;
  while (i < s.size() && (s[i] == static_cast<char>(kSpace) || s[i] == static_cast<char>(kTab))) ++i;
  bool negative = false;
  if (i < s.size() && s[i] == '-') {
    negative = true;
    ++i;
  } else if (i < s.size() && s[i] == '+') {
    ++i;
  }
  uint32_t v = 0;  // unsigned arithmetic wraps modulo 2^32 without undefined behaviour
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
    v = v * 10u + static_cast<uint32_t>(s[i] - '0');
    ++i;
  }
  if (negative) v = 0u - v;
  return static_cast<int32_t>(v);
}

std::string CharToText(int c) {
  unsigned char b = static_cast<unsigned char>(static_cast<unsigned int>(c) & 0xFFu);
  if (b == 0) return std::string();
  return std::string(1, static_cast<char>(b));
}

std::string SpaceText(int n) {
  if (n <= 0) return std::string();
  return std::string(static_cast<std::string::size_type>(n), static_cast<char>(kSpace));
}

std::string TextFromBytes(const char* block, int n) {
  if (block == nullptr || n <= 0) return std::string();
  const void* zero = std::memchr(block, 0, static_cast<size_t>(n));
  size_t count = zero ? static_cast<size_t>(static_cast<const char*>(zero) - block)
                      : static_cast<size_t>(n);
  return std::string(block, count);
}

int StoreText(char* block, const std::string& s) {
  std::memcpy(block, s.data(), s.size());
  block[s.size()] = 0;
  return TextLength(s);
}

int ByteAt(const std::string& s, int i) {
  return static_cast<signed char>(s[static_cast<std::string::size_type>(i)]);
}

size_t EditDistance(std::string_view a, std::string_view b) {
  a = a.substr(0, kEditDistanceBytes);
  b = b.substr(0, kEditDistanceBytes);
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
