// SPDX-License-Identifier: GPL-2.0-or-later
// Windows-1252 to UTF-8 by the WHATWG table, with an optional stand-in for control characters,
// and the HTML character references that page text carries.
#include "text/utf8.h"

#include <cstdint>
#include <cstring>

namespace {

// Code points of the bytes 0x80 to 0x9F. The five bytes that Windows-1252 leaves
// unassigned decode to the C1 control of their own value.
const uint16_t kHighControlRange[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88-8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98-9F
};
const unsigned kTableStart = 0x80;
const unsigned kTableEnd = 0xA0;
const unsigned kFirstPrintable = 0x20;
const unsigned kDelete = 0x7F;
const unsigned kC1Start = 0x80;
const unsigned kC1End = 0xA0;
const uint32_t kLastCodePoint = 0x10FFFF;
const uint32_t kSurrogateStart = 0xD800;
const uint32_t kSurrogateEnd = 0xE000;
// The longest reference decoded: "&#x10FFFF;" and the longest name below fit.
const size_t kMaxReferenceBytes = 10;

struct NamedReference {
  const char* name;
  uint16_t codePoint;
};
// The five of XML and the named ones that directory pages commonly use.
const NamedReference kNamedReferences[] = {
    {"amp", '&'},       {"lt", '<'},         {"gt", '>'},         {"quot", '"'},
    {"apos", '\''},     {"nbsp", 0xA0},      {"copy", 0xA9},      {"reg", 0xAE},
    {"deg", 0xB0},      {"laquo", 0xAB},     {"raquo", 0xBB},     {"middot", 0xB7},
    {"Auml", 0xC4},     {"Ouml", 0xD6},      {"Uuml", 0xDC},      {"auml", 0xE4},
    {"ouml", 0xF6},     {"uuml", 0xFC},      {"szlig", 0xDF},     {"agrave", 0xE0},
    {"aacute", 0xE1},   {"acirc", 0xE2},     {"atilde", 0xE3},    {"aring", 0xE5},
    {"ccedil", 0xE7},   {"egrave", 0xE8},    {"eacute", 0xE9},    {"ecirc", 0xEA},
    {"iacute", 0xED},   {"ntilde", 0xF1},    {"oacute", 0xF3},    {"ocirc", 0xF4},
    {"uacute", 0xFA},   {"Eacute", 0xC9},    {"oslash", 0xF8},    {"Oslash", 0xD8},
    {"aelig", 0xE6},    {"euro", 0x20AC},    {"trade", 0x2122},   {"hellip", 0x2026},
    {"ndash", 0x2013},  {"mdash", 0x2014},   {"lsquo", 0x2018},   {"rsquo", 0x2019},
    {"ldquo", 0x201C},  {"rdquo", 0x201D},   {"bull", 0x2022},
};

uint16_t CodePointOf(unsigned char byte) {
  if (byte >= kTableStart && byte < kTableEnd) return kHighControlRange[byte - kTableStart];
  return byte;
}

bool IsControl(uint16_t codePoint) {
  return codePoint < kFirstPrintable || codePoint == kDelete ||
         (codePoint >= kC1Start && codePoint < kC1End);
}

void AppendUtf8(std::string& out, uint32_t codePoint) {
  if (codePoint < 0x80) {
    out.push_back(static_cast<char>(codePoint));
  } else if (codePoint < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else if (codePoint < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  }
}

bool IsContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

std::string Decode(const std::string& bytes, const std::string* replacement) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 8);
  for (char c : bytes) {
    uint16_t codePoint = CodePointOf(static_cast<unsigned char>(c));
    if (replacement != nullptr && IsControl(codePoint)) {
      out += *replacement;
    } else {
      AppendUtf8(out, codePoint);
    }
  }
  return out;
}

bool IsCharacter(uint32_t codePoint) {
  return codePoint <= kLastCodePoint && (codePoint < kSurrogateStart || codePoint >= kSurrogateEnd);
}

// The code point of a reference's inside ("amp", "#39", "#x2F"), or -1.
int32_t ReferencedCodePoint(const std::string& inside) {
  if (inside.size() < 2 || inside[0] != '#') {
    for (const NamedReference& named : kNamedReferences) {
      if (inside == named.name) return named.codePoint;
    }
    return -1;
  }
  const bool hex = inside[1] == 'x' || inside[1] == 'X';
  const size_t first = hex ? 2 : 1;
  if (first >= inside.size()) return -1;
  uint32_t value = 0;
  for (size_t i = first; i < inside.size(); ++i) {
    const char c = inside[i];
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (hex && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (hex && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) return -1;
    value = value * (hex ? 16 : 10) + static_cast<uint32_t>(digit);
    if (value > kLastCodePoint) return -1;
  }
  if (value == 0 || !IsCharacter(value)) return -1;
  return static_cast<int32_t>(value);
}

// The byte that decodes to codePoint, or -1 when no byte does.
int Cp1252ByteOf(uint32_t codePoint) {
  if (codePoint < kTableStart || (codePoint >= kTableEnd && codePoint <= 0xFF)) {
    return static_cast<int>(codePoint);
  }
  for (unsigned i = 0; i < kTableEnd - kTableStart; ++i) {
    if (kHighControlRange[i] == codePoint) return static_cast<int>(kTableStart + i);
  }
  return -1;
}

// The code point of the UTF-8 sequence at text[*at], moving *at past it; -1 when the bytes
// there are no valid sequence.
int32_t NextCodePoint(const std::string& text, size_t* at) {
  const unsigned char lead = static_cast<unsigned char>(text[*at]);
  const int length = lead < 0x80              ? 1
                     : (lead & 0xE0) == 0xC0 ? 2
                     : (lead & 0xF0) == 0xE0 ? 3
                     : (lead & 0xF8) == 0xF0 ? 4
                                             : 0;
  if (length == 0 || *at + static_cast<size_t>(length) > text.size()) return -1;
  int32_t codePoint = length == 1 ? lead : lead & (length == 2 ? 0x1F : 0x0F);
  for (int i = 1; i < length; ++i) {
    const char next = text[*at + static_cast<size_t>(i)];
    if (!IsContinuationByte(next)) return -1;
    codePoint = (codePoint << 6) | (static_cast<unsigned char>(next) & 0x3F);
  }
  const int32_t smallest = length == 1 ? 0 : length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
  if (codePoint < smallest) return -1;  // an overlong form
  if (!IsCharacter(static_cast<uint32_t>(codePoint))) return -1;
  *at += static_cast<size_t>(length);
  return codePoint;
}

}  // namespace

std::string Cp1252ToUtf8(const std::string& bytes) { return Decode(bytes, nullptr); }

std::string Cp1252ToUtf8Replacing(const std::string& bytes, const std::string& replacement) {
  return Decode(bytes, &replacement);
}

std::string Cp1252ToTerminalText(const std::string& bytes) {
  return Cp1252ToUtf8Replacing(bytes, kReplacementCharacter);
}

std::optional<std::string> Utf8ToCp1252(const std::string& text) {
  std::string bytes;
  for (size_t at = 0; at < text.size();) {
    const int32_t codePoint = NextCodePoint(text, &at);
    const int byte = codePoint < 0 ? -1 : Cp1252ByteOf(static_cast<uint32_t>(codePoint));
    if (byte < 0) return std::nullopt;
    bytes.push_back(static_cast<char>(byte));
  }
  return bytes;
}

int Utf8Length(const std::string& text) {
  int count = 0;
  for (char c : text) {
    if (!IsContinuationByte(c)) ++count;
  }
  return count;
}

std::string Utf8Left(const std::string& text, int count) {
  if (count <= 0) return std::string();
  size_t end = 0;
  for (int taken = 0; end < text.size(); ++taken) {
    if (taken == count) break;
    ++end;
    while (end < text.size() && IsContinuationByte(text[end])) ++end;
  }
  return text.substr(0, end);
}

std::string DecodeCharacterReferences(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  size_t at = 0;
  while (at < text.size()) {
    const size_t amp = text.find('&', at);
    if (amp == std::string::npos) break;
    out.append(text, at, amp - at);
    const size_t semicolon = text.find(';', amp + 1);
    const int32_t codePoint = semicolon == std::string::npos || semicolon - amp > kMaxReferenceBytes
                                  ? -1
                                  : ReferencedCodePoint(text.substr(amp + 1, semicolon - amp - 1));
    if (codePoint < 0) {
      out.push_back('&');
      at = amp + 1;
    } else {
      AppendUtf8(out, static_cast<uint32_t>(codePoint));
      at = semicolon + 1;
    }
  }
  out.append(text, at, std::string::npos);
  return out;
}

std::string PageTextToUtf8(const std::string& bytes) {
  return DecodeCharacterReferences(Cp1252ToUtf8(bytes));
}

std::string AnyTextToUtf8(const std::string& bytes) {
  return IsUtf8(bytes) ? bytes : Cp1252ToUtf8(bytes);
}

bool IsUtf8(const std::string& text) {
  for (size_t at = 0; at < text.size();) {
    if (NextCodePoint(text, &at) < 0) return false;
  }
  return true;
}

std::string Utf8ToTerminalText(const std::string& text) {
  return Utf8Replacing(text, kReplacementCharacter);
}

std::string Utf8Replacing(const std::string& text, const std::string& replacement) {
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const size_t start = at;
    const int32_t codePoint = NextCodePoint(text, &at);
    if (codePoint < 0) {
      out += replacement;
      ++at;
    } else if (codePoint <= 0xFFFF && IsControl(static_cast<uint16_t>(codePoint))) {
      out += replacement;
    } else {
      out.append(text, start, at - start);
    }
  }
  return out;
}
