// SPDX-License-Identifier: GPL-2.0-or-later
// Windows-1252 page text to UTF-8, for the edges that show or export it (console, playlists,
// JSON). The core keeps page text as bytes; only these functions decode it.
#pragma once

#include <optional>
#include <string>

const char kReplacementCharacter[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// Decodes every byte as the WHATWG Encoding Standard's windows-1252 does: 0x80 to 0x9F
// by its table (the unassigned 0x81, 0x8D, 0x8F, 0x90 and 0x9D become the C1 controls of
// the same number), every other byte as the code point of its value.
std::string Cp1252ToUtf8(const std::string& bytes);
// The same, with every control character (C0, DEL and C1, decoded from the bytes 0x00 to
// 0x1F, 0x7F and the five unassigned ones) written as replacement instead.
std::string Cp1252ToUtf8Replacing(const std::string& bytes, const std::string& replacement);
// Text for a terminal: no control byte from a page gets through to drive it; each shows as
// U+FFFD.
std::string Cp1252ToTerminalText(const std::string& bytes);
// The Windows-1252 bytes of UTF-8 text, for matching typed text against page text; nothing
// when the text is not valid UTF-8 or holds a character that Windows-1252 lacks.
std::optional<std::string> Utf8ToCp1252(const std::string& text);
// The number of characters (code points) in valid UTF-8 text: the columns it takes on a
// terminal, as every character that Windows-1252 decodes to is one column wide.
int Utf8Length(const std::string& text);
// At most count leading characters of valid UTF-8 text, never cutting a character in two.
std::string Utf8Left(const std::string& text, int count);
// Valid UTF-8 (no overlong forms, no surrogates); true for "".
bool IsUtf8(const std::string& text);
// UTF-8 text for a terminal as Cp1252ToTerminalText makes it: controls and bytes of no valid
// sequence each show as U+FFFD.
std::string Utf8ToTerminalText(const std::string& text);
// The same with any replacement, for the playlist lines that a control character would break.
std::string Utf8Replacing(const std::string& text, const std::string& replacement);
// Page text is HTML: its character references (&amp; &lt; &gt; &quot; &#39; &#N; &#xN; and
// the common named ones) become the UTF-8 of their character; every other byte stays as it
// is, so this works on UTF-8 text and on raw page bytes alike. A reference needs its ";";
// an unknown name or a number of no character stays as written.
std::string DecodeCharacterReferences(const std::string& text);
// Page text (Windows-1252 bytes of HTML) as the exports and the console show it: decoded to
// UTF-8 with its character references. channels.dat keeps the page's bytes.
std::string PageTextToUtf8(const std::string& bytes);
// A text of no known encoding (an address a server or a wrapper named, a library's words) as
// UTF-8: valid UTF-8 stays as it is, anything else is read as Windows-1252.
std::string AnyTextToUtf8(const std::string& bytes);
