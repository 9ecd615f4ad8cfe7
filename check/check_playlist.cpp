// Reads M3U playlists entry by entry (#EXTINF attributes, player options, the address line)
// and tells them from a channels.dat.
#include "check/check_playlist.h"

#include <nlohmann/json.hpp>

#include <algorithm>

#include "check/check_verdict.h"
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
const char kNameAttribute[] = "tvg-name";
const char kGroupAttribute[] = "group-title";
const char kIdAttribute[] = "tvg-id";
const char kCountryAttribute[] = "tvg-country";
const char kComment = '#';
const char kRowEnd[] = "\r\n";
const char kChannelSeparator = '|';

struct Line {
  std::string text;  // without its line end, spaces trimmed
  std::string raw;   // as it came, line end included
};

// The next line at *at, moving past its line feed.
Line NextLine(const std::string& bytes, size_t* at) {
  size_t end = bytes.find('\n', *at);
  end = end == std::string::npos ? bytes.size() : end + 1;
  Line line;
  line.raw = bytes.substr(*at, end - *at);
  const size_t textEnd = line.raw.find_last_not_of("\r\n");
  line.text = TrimSpaces(textEnd == std::string::npos ? std::string() : line.raw.substr(0, textEnd + 1));
  *at = end;
  return line;
}

bool LowerStartsWith(const std::string& text, const char* prefix) {
  return StartsWith(ToLowerCase(LeftPart(text, TextLength(prefix))), prefix);
}

std::string AfterTag(const std::string& text, const char* tag) {
  return TrimSpaces(text.substr(std::string(tag).size()));
}

bool HasLineEnd(const std::string& value) {
  return value.find_first_of("\r\n") != std::string::npos;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// #EXTINF:-1 key="value" key=value ...,Name: the duration, attributes up to the first comma
// outside quotes, then the name.
void ReadInfo(const std::string& info, CheckEntry& entry) {
  ChannelRecord& record = entry.row.record;
  size_t at = std::min(info.find_first_of(" \t,"), info.size());
  while (at < info.size() && info[at] != ',') {
    if (IsBlank(info[at])) {
      ++at;
      continue;
    }
    const size_t keyEnd = std::min(info.find_first_of("= \t,", at), info.size());
    const std::string key = ToLowerCase(info.substr(at, keyEnd - at));
    at = keyEnd;
    if (at >= info.size() || info[at] != '=') continue;
    ++at;
    std::string value;
    if (at < info.size() && info[at] == '"') {
      const size_t close = std::min(info.find('"', at + 1), info.size());
      value = info.substr(at + 1, close - at - 1);
      at = std::min(close + 1, info.size());
    } else {
      const size_t end = std::min(info.find_first_of(" \t,", at), info.size());
      value = info.substr(at, end - at);
      at = end;
    }
    if (TextEquals(key, kGroupAttribute)) record.category = value;
    if (TextEquals(key, kIdAttribute)) entry.tvgId = value;
    if (TextEquals(key, kCountryAttribute)) record.country = value;
    if (TextEquals(key, kNameAttribute)) record.channel = value;
  }
  if (at < info.size()) {
    const std::string title = TrimSpaces(info.substr(at + 1));
    if (!title.empty()) record.channel = title;
  }
}

void AddHeader(StreamRequest& request, const std::string& name, const std::string& value) {
  if (name.empty() || HasLineEnd(name) || HasLineEnd(value) ||
      name.find_first_of(" :\t") != std::string::npos) {
    return;
  }
  const std::string lower = ToLowerCase(name);
  if (TextEquals(lower, kUserAgentHeader)) {
    request.userAgent = value;
  } else if (TextEquals(lower, kReferrerHeader)) {
    request.referrer = value;
  } else if (request.headers.size() < kMaxEntryHeaders) {
    request.headers.push_back(Concat(name, ": ", value));
  }
}

// #EXTHTTP:{"User-Agent":"...","Cookie":"..."}; a line that is no JSON object is ignored.
void ReadHttpHeaders(const std::string& json, StreamRequest& request) {
  const nlohmann::json object = nlohmann::json::parse(json, nullptr, false);
  if (!object.is_object()) return;
  for (auto it = object.begin(); it != object.end(); ++it) {
    if (it.value().is_string()) AddHeader(request, it.key(), it.value().get<std::string>());
  }
}

void ReadOption(const std::string& option, StreamRequest& request) {
  if (LowerStartsWith(option, kUserAgentOption)) {
    AddHeader(request, "User-Agent", AfterTag(option, kUserAgentOption));
  }
  for (const char* referrer : kReferrerOptions) {
    if (LowerStartsWith(option, referrer)) AddHeader(request, "Referer", AfterTag(option, referrer));
  }
}

void ReadTag(const std::string& text, CheckEntry& entry) {
  if (LowerStartsWith(text, kInfoTag)) ReadInfo(AfterTag(text, kInfoTag), entry);
  if (LowerStartsWith(text, kGroupTag) && entry.row.record.category.empty()) {
    entry.row.record.category = AfterTag(text, kGroupTag);
  }
  if (LowerStartsWith(text, kOptionTag)) ReadOption(AfterTag(text, kOptionTag), entry.request);
  if (LowerStartsWith(text, kHttpTag)) ReadHttpHeaders(AfterTag(text, kHttpTag), entry.request);
}

bool TooMany(CheckList& list) {
  if (list.entries.size() < kMaxListEntries) return false;
  list.problem = Concat("it has more than ", std::to_string(kMaxListEntries), " entries");
  return true;
}

void ReadPlaylist(const std::string& bytes, CheckList& list) {
  CheckEntry entry;
  size_t at = 0;
  while (at < bytes.size()) {
    Line line = NextLine(bytes, &at);
    if (StartsWith(line.text, kByteOrderMark)) line.text = line.text.substr(sizeof kByteOrderMark - 1);
    if (line.raw.find_last_not_of("\r\n") + 1 > kMaxPlaylistLineBytes) {
      list.problem = Concat("a line is longer than ", std::to_string(kMaxPlaylistLineBytes),
                            " bytes");
      return;
    }
    if (line.text.empty()) continue;
    const bool first = list.entries.empty() && entry.row.line.empty();
    if (first && list.header.empty() && LowerStartsWith(line.text, kPlaylistHeader)) {
      list.header = line.raw;
      continue;
    }
    entry.row.line += line.raw;
    if (line.text[0] == kComment) {
      ReadTag(line.text, entry);
      continue;
    }
    if (TooMany(list)) return;
    if (!entry.row.line.empty() && entry.row.line.back() != '\n') entry.row.line += '\n';
    entry.row.record.streamUrl = line.text;
    list.entries.push_back(std::move(entry));
    entry = CheckEntry();
  }
}

void ReadChannelFile(const std::string& bytes, CheckList& list) {
  std::vector<ListRow> rows = ParseChannelRows(bytes);
  if (rows.size() > kMaxListEntries) {
    TooMany(list);
    return;
  }
  list.entries.reserve(rows.size());
  for (ListRow& row : rows) list.entries.push_back(CheckEntry{std::move(row), "", {}});
}

// Where the first line that is not blank starts, after a byte-order mark.
size_t FirstLineStart(const std::string& bytes) {
  size_t at = StartsWith(bytes, kByteOrderMark) ? sizeof kByteOrderMark - 1 : 0;
  const size_t first = bytes.find_first_not_of(" \t\r\n", at);
  return first == std::string::npos ? bytes.size() : first;
}

bool IsPlaylist(const std::string& bytes, size_t start) {
  const size_t end = bytes.find_first_of("\r\n", start);
  const std::string first = bytes.substr(start, end == std::string::npos ? end : end - start);
  if (first.empty() || first.find(kChannelSeparator) != std::string::npos) return false;
  if (first[0] == kComment) return true;
  const StreamScheme scheme = SchemeOf(TrimSpaces(first));
  return scheme != StreamScheme::kNone && scheme != StreamScheme::kUnsupported;
}

}  // namespace

CheckList ParseCheckList(const std::string& bytes) {
  CheckList list;
  const size_t start = FirstLineStart(bytes);
  if (!IsPlaylist(bytes, start)) {
    ReadChannelFile(bytes, list);
    return list;
  }
  list.kind = ListKind::kPlaylist;
  list.utf8 = IsUtf8(bytes);
  ReadPlaylist(bytes, list);
  if (list.header.empty()) list.header = "#EXTM3U\n";
  return list;
}

std::string ListText(const CheckList& list, const std::vector<const CheckEntry*>& entries) {
  std::string text = list.kind == ListKind::kPlaylist ? list.header : std::string();
  for (const CheckEntry* entry : entries) {
    text += entry->row.line;
    if (list.kind == ListKind::kChannelFile) text += kRowEnd;
  }
  return text;
}
