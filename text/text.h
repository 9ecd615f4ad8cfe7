// SPDX-License-Identifier: GPL-2.0-or-later
// Byte-string operations that the parsers and the classifier rely on. Texts are
// std::string bytes; no operation consults a locale, and none can fail.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

int TextLength(const std::string& s);
std::string LeftPart(const std::string& s, int n);
std::string RightPart(const std::string& s, int n);
std::string ToLowerCase(const std::string& s);
// ToLowerCase's byte rule, applied to s itself.
void MakeLowerCase(std::string& s);
// One byte as MakeLowerCase changes it.
unsigned char LowerCaseByte(unsigned char b);
std::string ToUpperCase(const std::string& s);
std::string TrimSpaces(const std::string& s);
std::string_view TrimSpacesView(std::string_view s);
// Field n (from 1) of s split at the first byte of sep; empty past the last field.
std::string FieldAt(const std::string& s, int n, const std::string& sep);
// FieldAt without a copy: the field as a view into s.
std::string_view FieldView(std::string_view s, int n, char separator);
// Every occurrence of pattern removed in one left-to-right pass; an empty pattern gives "".
std::string RemoveAll(const std::string& s, const std::string& pattern);
// RemoveAll's result appended to out, which keeps its capacity from call to call.
void AppendWithoutAll(std::string& out, std::string_view s, std::string_view pattern);
int CountOccurrences(const std::string& s, const std::string& pattern);
bool TextEquals(const std::string& a, const std::string& b);
// True when s begins with prefix: TextEquals(LeftPart(s, length of prefix), prefix) without a copy.
bool StartsWith(std::string_view s, std::string_view prefix);
std::string NumberToText(int32_t v);
int32_t TextToNumber(const std::string& s);
std::string CharToText(int c);
std::string SpaceText(int n);
// At most n bytes from the start of block, ending before the first zero byte.
std::string TextFromBytes(const char* block, int n);
// Writes s and one zero byte at the start of block, which must hold TextLength(s) + 1 bytes.
int StoreText(char* block, const std::string& s);
// The byte at offset i as a signed 8-bit value; i must lie inside s.
int ByteAt(const std::string& s, int i);
// The number of single-byte insertions, deletions and replacements that turn a into b, of
// their first kEditDistanceBytes bytes: names typed or listed are short, and a longer text
// must not cost time or memory by its length.
const size_t kEditDistanceBytes = 64;
size_t EditDistance(std::string_view a, std::string_view b);

inline std::string::size_type PartSize(const std::string& s) { return s.size(); }
inline std::string::size_type PartSize(const char* s) { return std::char_traits<char>::length(s); }

// The bytes of every operand, in order, in one allocation.
template <typename... Texts>
std::string Concat(const Texts&... parts) {
  std::string out;
  out.reserve((std::string::size_type{0} + ... + PartSize(parts)));
  (out.append(parts), ...);
  return out;
}
