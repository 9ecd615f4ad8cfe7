// SPDX-License-Identifier: GPL-2.0-or-later
// Windows-1252 decoding by the WHATWG table, the stand-in for control characters, and
// cutting UTF-8 text by characters.
#include "text/utf8.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(Utf8Test, Cp1252BytesDecodeByTheWhatwgTable) {
  struct Case { int byte; std::string utf8; };
  const std::vector<Case> cases = {
      {0x41, "A"},           {0x00, std::string(1, '\0')},
      {0x1B, "\x1B"},        {0x7F, "\x7F"},
      {0x80, "\u20AC"},      {0x81, "\xC2\x81"},   {0x8A, "\u0160"},
      {0x8D, "\xC2\x8D"},    {0x8F, "\xC2\x8F"},   {0x90, "\xC2\x90"},
      {0x92, "\u2019"},      {0x99, "\u2122"},     {0x9D, "\xC2\x9D"},
      {0x9F, "\u0178"},      {0xA0, "\xC2\xA0"},   {0xD6, "\u00D6"},
      {0xFC, "\u00FC"},      {0xFF, "\u00FF"},
  };
  for (const Case& c : cases) {
    const std::string byte(1, static_cast<char>(c.byte));
    EXPECT_EQ(Cp1252ToUtf8(byte), c.utf8)
        << std::hex << c.byte;
  }
  EXPECT_EQ(Cp1252ToUtf8("\xD6sterreich M\xFCnster"), "\u00D6sterreich M\u00FCnster");
}

TEST(Utf8Test, TerminalTextShowsEveryControlCharacterAsReplacement) {
  const std::string fffd = kReplacementCharacter;
  struct Case { std::string bytes; std::string shown; };
  const std::vector<Case> cases = {
      {"a\x1B[2Jb", "a" + fffd + "[2Jb"},
      {std::string("\0\t\r\n", 4), fffd + fffd + fffd + fffd},
      {"\x7F\x81\x8D\x8F\x90\x9D", fffd + fffd + fffd + fffd + fffd + fffd},
      {"\x80\x9F \xA0", "\u20AC\u0178 \xC2\xA0"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(Cp1252ToTerminalText(c.bytes), c.shown) << c.bytes;
  EXPECT_EQ(Cp1252ToUtf8Replacing("a\rb\x9D" "c", " "), "a b c");
}

TEST(Utf8Test, Utf8ToCp1252TakesOnlyWhatTheCodePageHolds) {
  struct Case { std::string text; std::optional<std::string> bytes; };
  const std::vector<Case> cases = {
      {"Ab", "Ab"}, {"\u00D6\u00FF", "\xD6\xFF"}, {"\u20AC\u0178\xC2\x81", "\x80\x9F\x81"},
      {"\xC2\x80", std::nullopt},     // U+0080: 0x80 is the euro sign
      {"\u0100", std::nullopt},        // not in Windows-1252
      {"\xD6", std::nullopt},          // not UTF-8
      {"\xC3", std::nullopt},          // cut short
      {"\xC0\x81", std::nullopt},     // overlong
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(Utf8ToCp1252(c.text), c.bytes) << c.text;
}

TEST(Utf8Test, LengthAndLeftCountCharactersNotBytes) {
  struct Case { std::string text; int count; std::string left; };
  const std::string text = "\u00D6\u20ACa";  // 2 + 3 + 1 bytes
  const std::vector<Case> cases = {
      {text, 0, ""}, {text, -1, ""}, {text, 1, "\u00D6"}, {text, 2, "\u00D6\u20AC"},
      {text, 3, text}, {text, 9, text}, {"", 2, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(Utf8Left(c.text, c.count), c.left) << c.count;
  EXPECT_EQ(Utf8Length(text), 3);
  EXPECT_EQ(Utf8Length(Cp1252ToTerminalText("\x1B\xFF")), 2);
}

TEST(Utf8Test, CharacterReferencesDecodeToUtf8AndUnknownOnesStay) {
  struct Case { std::string text; std::string decoded; };
  const std::vector<Case> cases = {
      {"a=1&amp;b=2", "a=1&b=2"},
      {"&lt;&gt;&quot;&#39;&apos;", "<>\"''"},
      {"caf&eacute; &#233; &#xE9; &#XE9;", "caf\u00E9 \u00E9 \u00E9 \u00E9"},
      {"&#x1F600;&euro;", "\U0001F600\u20AC"},
      // Kept as written: no ";", unknown names, no character, too long, a bare "&".
      {"a&b &amp &bogus; &#0; &#xD800; &#x110000; &#99999999999; & ;", "a&b &amp &bogus; &#0; &#xD800; &#x110000; &#99999999999; & ;"},
      {"&&amp;amp;", "&&amp;"},
      {"\xE9&amp;", "\xE9&"},  // page bytes around a reference stay bytes
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(DecodeCharacterReferences(c.text), c.decoded) << c.text;
}

TEST(Utf8Test, Utf8TextIsValidatedAndItsControlsReplaced) {
  struct Case { std::string text; bool valid; std::string shown; };
  const std::string fffd = kReplacementCharacter;
  const std::vector<Case> cases = {
      {"F\u00fcnf \U0001F600", true, "F\u00fcnf \U0001F600"},
      {"a\x1B[2J\u0085", true, "a" + fffd + "[2J" + fffd},
      {"\xE9t\xE9", false, fffd + "t" + fffd},
      {"\xC0\xAF", false, fffd + fffd},  // overlong "/"
      {"\xED\xA0\x80", false, fffd + fffd + fffd},  // a surrogate
      {"", true, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsUtf8(c.text), c.valid) << c.text;
    EXPECT_EQ(Utf8ToTerminalText(c.text), c.shown) << c.text;
  }
}

}  // namespace
