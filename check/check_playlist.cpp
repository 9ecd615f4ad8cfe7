// SPDX-License-Identifier: GPL-2.0-or-later
// Reads M3U playlists entry by entry (#EXTINF attributes, player options, the address line)
// and tells them from a channels.dat.
#include "check/check_playlist.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "check/check_verdict.h"
#include "check/check_wrapper.h"
#include "text/text.h"
#include "text/utf8.h"

namespace {

const char kPlaylistHeader[] = "#extm3u";
const char kByteOrderMark[] = "\xEF\xBB\xBF";
const char kInfoTag[] = "#extinf:";
const char kGroupTag[] = "#extgrp:";
const char kOptionTag[] = "#extvlcopt:";
const char kHttpTag[] = "#exthttp:";
const char kUserAgentOption[] = "http-user-agent=";
const char* const kReferrerOptions[] = {"http-referrer=", "http-referer="};
const char kUserAgentHeader[] = "user-agent";
const char kReferrerHeader[] = "referer";
// Headers the request itself decides, which players do not take from a list.
const char* const kDroppedHeaders[] = {"host", "content-length", "transfer-encoding"};
// The bytes of an HTTP token besides letters and digits.
const char kTokenMarks[] = "!#$%&'*+-.^_`|~";
const size_t kHeaderLineExtraBytes = 4;  // ": " and the line end
const char kNameAttribute[] = "tvg-name";
const char kGroupAttribute[] = "group-title";
const char kIdAttribute[] = "tvg-id";
const char kCountryAttribute[] = "tvg-country";
const char kComment = '#';
const char kRowEnd[] = "\r\n";
const char kChannelSeparator = '|';
// The tags an HLS media playlist (target duration) or master playlist (variants) must have.
const char* const kHlsTags[] = {"#ext-x-targetduration", "#ext-x-stream-inf"};
const char kNoteStart[] = "# ";

struct Line {
  size_t start = 0;       // where the line starts in the list
  size_t end = 0;         // past its line feed
  size_t textLength = 0;  // without its line end
  std::string_view text;  // without its line end and a byte-order mark, spaces trimmed
};

// The next line at *at, moving past its line feed.
Line NextLine(const std::string& bytes, size_t* at) {
  size_t end = bytes.find('\n', *at);
  end = end == std::string::npos ? bytes.size() : end + 1;
  Line line;
  line.start = *at;
  line.end = end;
  const std::string_view raw(bytes.data() + *at, end - *at);
  const size_t textEnd = raw.find_last_not_of("\r\n");
  line.textLength = textEnd == std::string_view::npos ? 0 : textEnd + 1;
  line.text = TrimSpacesView(raw.substr(0, line.textLength));
  if (StartsWith(line.text, kByteOrderMark)) line.text.remove_prefix(sizeof kByteOrderMark - 1);
  *at = end;
  return line;
}

// Where piece, a view into the list's bytes, lies in them.
TextSpan SpanOf(const std::string& bytes, std::string_view piece) {
  if (piece.empty()) return TextSpan();
  return TextSpan{static_cast<uint32_t>(piece.data() - bytes.data()),
                  static_cast<uint32_t>(piece.size())};
}

bool LowerStartsWith(std::string_view text, const char* prefix) {
  return StartsWith(ToLowerCase(std::string(text.substr(0, std::strlen(prefix)))), prefix);
}

std::string_view AfterTag(std::string_view text, const char* tag) {
  return TrimSpacesView(text.substr(std::strlen(tag)));
}

// True when value holds a line end or a NUL byte, which would cut a header line.
bool HasLineEnd(const std::string& value) {
  return value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

bool IsHttpToken(const std::string& name) {
  if (name.empty()) return false;
  for (char c : name) {
    const bool alphanumeric =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alphanumeric && (c == '\0' || std::strchr(kTokenMarks, c) == nullptr)) return false;
  }
  return true;
}

bool IsDroppedHeader(const std::string& lowerName) {
  for (const char* dropped : kDroppedHeaders) {
    if (TextEquals(lowerName, dropped)) return true;
  }
  return false;
}

// The bytes the request's agent, referrer and header lines add to each request.
size_t RequestBytes(const StreamRequest& request) {
  size_t bytes = request.userAgent.size() + request.referrer.size() + 2 * kHeaderLineExtraBytes;
  for (const std::string& header : request.headers) bytes += header.size() + kHeaderLineExtraBytes;
  return bytes;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The entry being read: its pieces and what its requests send.
struct EntryReading {
  const std::string& bytes;
  CheckEntry entry;
  bool started = false;
  StreamRequest request;
};

// The quote that closes a value opened by the quote at open: one not escaped by a backslash
// (tvg-name="a \"b\""); the end of info when none does.
size_t ClosingQuote(std::string_view info, size_t open) {
  for (size_t at = open + 1; at < info.size(); ++at) {
    if (info[at] == '\\') {
      ++at;
    } else if (info[at] == '"') {
      return at;
    }
  }
  return info.size();
}

// #EXTINF:-1 key="value" key=value ...,Name: the duration, attributes up to the first comma
// outside quotes, then the name. A quote that never closes hides that comma: the name is then
// the text after the last comma, as players read it.
void ReadInfo(std::string_view info, EntryReading& reading) {
  CheckEntry& entry = reading.entry;
  size_t at = std::min(info.find_first_of(" \t,"), info.size());
  bool unclosed = false;  // a quoted value ran to the end of the line
  while (at < info.size() && info[at] != ',') {
    if (IsBlank(info[at])) {
      ++at;
      continue;
    }
    const size_t keyEnd = std::min(info.find_first_of("= \t,", at), info.size());
    const std::string key = ToLowerCase(std::string(info.substr(at, keyEnd - at)));
    at = keyEnd;
    if (at >= info.size() || info[at] != '=') continue;
    ++at;
    std::string_view value;
    if (at < info.size() && info[at] == '"') {
      const size_t close = ClosingQuote(info, at);
      unclosed = close == info.size();
      value = info.substr(at + 1, close - at - 1);
      at = std::min(close + 1, info.size());
    } else {
      const size_t end = std::min(info.find_first_of(" \t,", at), info.size());
      value = info.substr(at, end - at);
      at = end;
    }
    const TextSpan span = SpanOf(reading.bytes, value);
    if (TextEquals(key, kGroupAttribute)) entry.category = span;
    if (TextEquals(key, kIdAttribute)) entry.tvgId = span;
    if (TextEquals(key, kCountryAttribute)) entry.country = span;
    if (TextEquals(key, kNameAttribute)) entry.channel = span;
  }
  if (unclosed) at = info.rfind(',');
  if (at != std::string_view::npos) {
    const std::string_view title = TrimSpacesView(info.substr(at + 1));
    if (!title.empty()) entry.channel = SpanOf(reading.bytes, title);
  }
}

// Takes a header whose name is an HTTP token and whose value holds no line end; the ones the
// request decides itself are dropped.
void AddHeader(StreamRequest& request, const std::string& name, const std::string& value) {
  if (!IsHttpToken(name) || HasLineEnd(value)) return;
  const std::string lower = ToLowerCase(name);
  if (IsDroppedHeader(lower)) return;
  if (TextEquals(lower, kUserAgentHeader)) {
    request.userAgent = value;
  } else if (TextEquals(lower, kReferrerHeader)) {
    request.referrer = value;
  } else if (request.headers.size() < kMaxEntryHeaders) {
    request.headers.push_back(Concat(name, ": ", value));
  }
}

// #EXTHTTP:{"User-Agent":"...","Cookie":"..."}; a line that is no JSON object is ignored.
void ReadHttpHeaders(std::string_view json, StreamRequest& request) {
  const nlohmann::json object = nlohmann::json::parse(json, nullptr, false);
  if (!object.is_object()) return;
  for (auto it = object.begin(); it != object.end(); ++it) {
    if (it.value().is_string()) AddHeader(request, it.key(), it.value().get<std::string>());
  }
}

void ReadOption(std::string_view option, StreamRequest& request) {
  if (LowerStartsWith(option, kUserAgentOption)) {
    AddHeader(request, "User-Agent", std::string(AfterTag(option, kUserAgentOption)));
  }
  for (const char* referrer : kReferrerOptions) {
    if (LowerStartsWith(option, referrer)) {
      AddHeader(request, "Referer", std::string(AfterTag(option, referrer)));
    }
  }
}

void ReadTag(std::string_view text, EntryReading& reading) {
  if (LowerStartsWith(text, kInfoTag)) ReadInfo(AfterTag(text, kInfoTag), reading);
  if (LowerStartsWith(text, kGroupTag) && reading.entry.category.size == 0) {
    reading.entry.category = SpanOf(reading.bytes, AfterTag(text, kGroupTag));
  }
  if (LowerStartsWith(text, kOptionTag)) ReadOption(AfterTag(text, kOptionTag), reading.request);
  if (LowerStartsWith(text, kHttpTag)) ReadHttpHeaders(AfterTag(text, kHttpTag), reading.request);
}

bool TooMany(CheckList& list, size_t count) {
  if (count <= kMaxListEntries) return false;
  list.problem = Concat("it has more than ", std::to_string(kMaxListEntries), " entries");
  return true;
}

// Why the list cannot be read line by line: its first line longer than kMaxListLineBytes, or "".
std::string LongLineProblem(const std::string& bytes) {
  size_t number = 1;
  for (size_t start = 0; start < bytes.size(); ++number) {
    size_t end = bytes.find('\n', start);
    if (end == std::string::npos) end = bytes.size();
    const bool carriageReturn = end > start && bytes[end - 1] == '\r';
    if (end - start - (carriageReturn ? 1 : 0) > kMaxListLineBytes) {
      return Concat("line ", std::to_string(number), " is longer than ",
                    std::to_string(kMaxListLineBytes), " bytes");
    }
    start = end + 1;
  }
  return std::string();
}

void ReadPlaylist(CheckList& list) {
  const std::string& bytes = list.bytes;
  EntryReading reading{bytes, CheckEntry(), false, StreamRequest()};
  size_t at = 0;
  size_t lineNumber = 0;
  while (at < bytes.size()) {
    const Line line = NextLine(bytes, &at);
    ++lineNumber;
    if (line.text.empty()) continue;
    const bool first = list.entries.empty() && !reading.started;
    if (first && list.header.empty() && LowerStartsWith(line.text, kPlaylistHeader)) {
      list.header = bytes.substr(line.start, line.end - line.start);
      continue;
    }
    if (!reading.started) reading.entry.line.start = static_cast<uint32_t>(line.start);
    reading.started = true;
    reading.entry.line.size = static_cast<uint32_t>(line.end - reading.entry.line.start);
    if (line.text[0] == kComment) {
      ReadTag(line.text, reading);
      for (const char* tag : kHlsTags) {
        if (list.hlsTag.empty() && LowerStartsWith(line.text, tag)) {
          list.hlsTag = ToUpperCase(tag);
        }
      }
      continue;
    }
    if (TooMany(list, list.entries.size() + 1)) return;
    reading.entry.streamUrl = SpanOf(bytes, line.text);
    const StreamRequest& request = reading.request;
    if (RequestBytes(request) > kMaxEntryHeaderBytes) {
      list.problem =
          Concat("the entry on line ", std::to_string(lineNumber), " sends headers of more than ",
                 std::to_string(kMaxEntryHeaderBytes), " bytes");
      return;
    }
    if (!request.userAgent.empty() || !request.referrer.empty() || !request.headers.empty()) {
      reading.entry.request = static_cast<uint32_t>(list.requests.size());
      list.requests.push_back(std::move(reading.request));
    }
    list.entries.push_back(reading.entry);
    reading.entry = CheckEntry();
    reading.started = false;
    reading.request = StreamRequest();
  }
}

// Where the first line that is not blank starts, after a byte-order mark.
size_t FirstLineStart(const std::string& bytes) {
  size_t at = StartsWith(bytes, kByteOrderMark) ? sizeof kByteOrderMark - 1 : 0;
  const size_t first = bytes.find_first_not_of(" \t\r\n", at);
  return first == std::string::npos ? bytes.size() : first;
}

bool IsPlaylist(const std::string& bytes, size_t start) {
  const size_t end = bytes.find_first_of("\r\n", start);
  const size_t length = end == std::string::npos ? bytes.size() - start : end - start;
  const std::string first = bytes.substr(start, std::min(length, kMaxListLineBytes));
  if (first.empty() || first.find(kChannelSeparator) != std::string::npos) return false;
  if (first[0] == kComment) return true;
  const StreamScheme scheme = SchemeOf(TrimSpaces(first));
  return scheme != StreamScheme::kNone && scheme != StreamScheme::kUnsupported;
}

// The line end of the entry's first line, for a note put before it.
std::string EntryLineEnd(const std::string& bytes, const CheckEntry& entry) {
  const size_t feed = bytes.find('\n', entry.line.start);
  return feed > entry.line.start && feed != std::string::npos && bytes[feed - 1] == '\r'
             ? std::string("\r\n")
             : std::string("\n");
}

// "# words" and a line end, the words on one line.
std::string NoteLine(const std::string& words, const std::string& lineEnd) {
  std::string line = Concat(kNoteStart, words);
  std::replace_if(
      line.begin(), line.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  return Concat(line, lineEnd);
}

// The entry's lines without the blank ones and an earlier verdict comment, ending in a line
// feed; address, when it is not empty, in place of the entry's own.
void AppendEntryLines(const std::string& bytes, const CheckEntry& entry, const std::string& address,
                      std::string& text) {
  size_t at = entry.line.start;
  const size_t end = static_cast<size_t>(entry.line.start) + entry.line.size;
  const size_t addressStart = entry.streamUrl.start;
  while (at < end) {
    const Line line = NextLine(bytes, &at);
    if (line.text.empty() || IsVerdictComment(line.text)) continue;
    if (address.empty() || addressStart < line.start || addressStart >= line.end) {
      text.append(bytes, line.start, line.end - line.start);
      continue;
    }
    const size_t addressEnd = addressStart + entry.streamUrl.size;
    text.append(bytes, line.start, addressStart - line.start);
    text += address;
    text.append(bytes, addressEnd, line.end - addressEnd);
  }
  if (!text.empty() && text.back() != '\n') text += '\n';
}

// An address with a scheme and a host, such as a check can try to open.
bool HasAddress(const CheckList& list, const CheckEntry& entry) {
  return !HostOf(EntryAddress(list, entry)).empty();
}

}  // namespace

CheckList ChannelFileList(std::string bytes) {
  CheckList list;
  list.bytes = std::move(bytes);
  if (list.bytes.size() > kListReadLimit) {
    list.problem = Concat("it holds more than ", std::to_string(kListReadLimit), " bytes");
    return list;
  }
  list.problem = LongLineProblem(list.bytes);
  if (!list.problem.empty()) return list;
  list.entries = ParseChannelRows(list.bytes);
  if (TooMany(list, list.entries.size())) list.entries.clear();
  return list;
}

CheckList ParseCheckList(std::string bytes, const std::string& base) {
  const size_t start = FirstLineStart(bytes);
  if (!IsPlaylist(bytes, start)) return ChannelFileList(std::move(bytes));
  CheckList list;
  list.kind = ListKind::kPlaylist;
  list.base = base;
  list.utf8 = IsUtf8(bytes);
  list.bytes = std::move(bytes);
  if (list.bytes.size() > kListReadLimit) {
    list.problem = Concat("it holds more than ", std::to_string(kListReadLimit), " bytes");
    return list;
  }
  list.problem = LongLineProblem(list.bytes);
  if (!list.problem.empty()) return list;
  ReadPlaylist(list);
  if (list.header.empty()) list.header = "#EXTM3U\n";
  return list;
}

std::string EntryText(const CheckList& list, TextSpan span) { return SpanText(list.bytes, span); }

std::string EntryUtf8(const CheckList& list, const std::string& bytes) {
  if (list.kind == ListKind::kPlaylist) return list.utf8 ? bytes : Cp1252ToUtf8(bytes);
  return PageTextToUtf8(bytes);
}

const StreamRequest& EntryRequest(const CheckList& list, const CheckEntry& entry) {
  static const StreamRequest kNone;
  return entry.request == kNoRequest ? kNone : list.requests[entry.request];
}

std::string EntryAddress(const CheckList& list, const CheckEntry& entry) {
  const std::string address = TrimSpaces(EntryText(list, entry.streamUrl));
  if (list.kind != ListKind::kPlaylist || list.base.empty() || address.empty() ||
      !HostOf(address).empty()) {
    return address;
  }
  return AbsoluteAddress(address, list.base);
}

std::string NothingToCheck(const CheckList& list) {
  if (FirstLineStart(list.bytes) == list.bytes.size()) return "it is empty";
  if (list.entries.empty()) {
    return list.kind == ListKind::kPlaylist ? "it is a playlist without entries" : "it is empty";
  }
  if (list.kind == ListKind::kChannelFile) {
    const bool anyRow = std::any_of(list.entries.begin(), list.entries.end(),
                                    [](const CheckEntry& e) { return e.fields == kChannelFields; });
    return anyRow
               ? std::string()
               : "it is neither an M3U playlist nor a channels.dat (no line is a row of 7 fields)";
  }
  const bool anyAddress = std::any_of(list.entries.begin(), list.entries.end(),
                                      [&list](const CheckEntry& e) { return HasAddress(list, e); });
  if (anyAddress) return std::string();
  return list.base.empty() ? "no entry of the playlist has a stream address (a relative one is "
                             "read only in a playlist given by its http address)"
                           : "no entry of the playlist has a stream address";
}

std::string ListText(const CheckList& list, const std::vector<const CheckEntry*>& entries,
                     const EntryNote& note) {
  std::string text = list.kind == ListKind::kPlaylist ? list.header : std::string();
  for (const CheckEntry* entry : entries) {
    if (list.kind == ListKind::kChannelFile) {
      text.append(list.bytes, entry->line.start, entry->line.size);
      text += kRowEnd;
      continue;
    }
    const std::string words = note ? note(*entry) : std::string();
    if (!words.empty()) text += NoteLine(words, EntryLineEnd(list.bytes, *entry));
    const std::string address = EntryAddress(list, *entry);
    const bool resolved = !TextEquals(address, TrimSpaces(EntryText(list, entry->streamUrl)));
    AppendEntryLines(list.bytes, *entry, resolved ? address : std::string(), text);
  }
  return text;
}

bool IsVerdictComment(std::string_view line) {
  if (!StartsWith(line, kNoteStart)) return false;
  line.remove_prefix(sizeof kNoteStart - 1);
  for (int v = 0; v < kVerdictCount; ++v) {
    const std::string_view word = VerdictWord(static_cast<Verdict>(v));
    const size_t column = static_cast<size_t>(kVerdictColumn);
    if (StartsWith(line, word) && line.size() > column && line[column] != ' ' &&
        line.substr(word.size(), column - word.size()).find_first_not_of(' ') ==
            std::string_view::npos) {
      return true;
    }
  }
  return false;
}
