// SPDX-License-Identifier: GPL-2.0-or-later
// M3U and JSON of the channel list. Page text is decoded from Windows-1252 and its character
// references here; escaping inside JSON is left to nlohmann-json.
#include "harvest/channel_export.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string_view>

#include "harvest/channel_file.h"
#include "text/text.h"
#include "text/utf8.h"

namespace {

const char kM3uEntryStart[] = "#EXTINF:-1 tvg-name=\"";
const char kM3uCountryAttribute[] = "\" tvg-country=\"";
const char kM3uGroupAttribute[] = "\" group-title=\"";
const char kM3uTitleStart[] = "\",";
const char kM3uLineEnd[] = "\n";
// Control characters would break an entry's lines; a double quote would end an attribute.
const char kControlStandIn[] = " ";
const char kDoubleQuote = '"';
const char kQuoteStandIn = '\'';

const char kJsonArrayStart[] = "[\n";
const char kJsonArrayEnd[] = "]\n";
const char kJsonEmptyArray[] = "[]\n";
const char kJsonObjectSeparator[] = ",\n";
const char kJsonLineEnd[] = "\n";
const size_t kPieceBytes = 64 * 1024;  // handed to the sink at a time

const size_t kMostKbpsDigits = 9;  // a number of kbit/s past this is no bitrate

const char kLineFeed = '\n';
const char kCarriageReturn = '\r';

std::string M3uValue(const std::string& utf8) { return Utf8Replacing(utf8, kControlStandIn); }

// The bitrate as a number of kbit/s when its text is one (digits only), else null.
nlohmann::ordered_json Kbps(const std::string& bitrate) {
  const std::string digits = TrimSpaces(bitrate);
  if (digits.empty() || digits.size() > kMostKbpsDigits ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return nlohmann::ordered_json();
  }
  int64_t kbps = 0;
  for (char digit : digits) kbps = kbps * 10 + (digit - '0');
  return nlohmann::ordered_json(kbps);
}

std::string M3uAttribute(const std::string& utf8) {
  std::string value = M3uValue(utf8);
  for (char& c : value) {
    if (c == kDoubleQuote) c = kQuoteStandIn;
  }
  return value;
}

}  // namespace

std::string M3uEntryText(const std::string& name, const std::string& country,
                         const std::string& group, const std::string& stream) {
  const std::string address = M3uValue(stream);
  if (TrimSpaces(address).empty()) return std::string();
  return Concat(kM3uEntryStart, M3uAttribute(name), kM3uCountryAttribute, M3uAttribute(country),
                kM3uGroupAttribute, M3uAttribute(group), kM3uTitleStart, M3uValue(name),
                kM3uLineEnd, address, kM3uLineEnd);
}

std::string M3uEntry(const ChannelRecord& record) {
  return M3uEntryText(PageTextToUtf8(record.channel), PageTextToUtf8(record.country),
                      PageTextToUtf8(record.category), PageTextToUtf8(record.streamUrl));
}

bool WriteM3u(const ChannelList& list, const ByteSink& sink) {
  std::string text = kM3uHeader;
  bool written = true;
  ForEachRecord(list, [&](const ChannelRecord& record) {
    if (!written) return;
    text += M3uEntry(record);
    if (text.size() < kPieceBytes) return;
    written = sink(text.data(), text.size());
    text.clear();
  });
  return written && (text.empty() || sink(text.data(), text.size()));
}

nlohmann::ordered_json ChannelJson(const ChannelRecord& record) {
  nlohmann::ordered_json object;
  object["country"] = PageTextToUtf8(record.country);
  object["name"] = PageTextToUtf8(record.channel);
  object["bitrate"] = PageTextToUtf8(record.bitrate);
  object["kbps"] = Kbps(record.bitrate);
  object["category"] = PageTextToUtf8(record.category);
  object["about"] = PageTextToUtf8(record.about);
  object["stream"] = PageTextToUtf8(record.streamUrl);
  object["homepage"] = PageTextToUtf8(record.homepage);
  return object;
}

bool WriteJsonArray(size_t count, const std::function<nlohmann::ordered_json(size_t)>& objectAt,
                    const ByteSink& sink) {
  if (count == 0) return sink(kJsonEmptyArray, sizeof kJsonEmptyArray - 1);
  std::string text = kJsonArrayStart;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) text += kJsonObjectSeparator;
    // Texts reach here as UTF-8; should one not, it is written with U+FFFD, never thrown.
    text += objectAt(i).dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    if (text.size() >= kPieceBytes) {
      if (!sink(text.data(), text.size())) return false;
      text.clear();
    }
  }
  text += kJsonLineEnd;
  text += kJsonArrayEnd;
  return sink(text.data(), text.size());
}

bool WriteChannelJson(const ChannelList& list, const ByteSink& sink) {
  const ChannelNode* node = list.first.get();
  return WriteJsonArray(
      list.count,
      [&node](size_t) {
        nlohmann::ordered_json object = ChannelJson(node->record);
        node = node->next.get();
        return object;
      },
      sink);
}

ReplaceOutcome WriteTextFile(const std::string& path, const std::string& text,
                             const ReplaceGate& mayReplace) {
  return ReplaceFile(
      path, [&text](const ByteSink& sink) { return text.empty() || sink(text.data(), text.size()); },
      mayReplace);
}

namespace {

uint64_t RowFingerprint(std::string_view row) {
  if (!row.empty() && row.back() == kCarriageReturn) row.remove_suffix(1);
  return std::hash<std::string_view>()(row);
}

}  // namespace

void AddOldListBytes(OldListRows& old, const char* bytes, size_t size) {
  const char* end = bytes + size;
  while (bytes < end) {
    const void* found = std::memchr(bytes, kLineFeed, static_cast<size_t>(end - bytes));
    if (found == nullptr) {
      old.unended.append(bytes, end);
      return;
    }
    const char* lineFeed = static_cast<const char*>(found);
    if (old.unended.empty()) {
      old.fingerprints.push_back(RowFingerprint(std::string_view(bytes, lineFeed - bytes)));
    } else {
      old.unended.append(bytes, lineFeed);
      old.fingerprints.push_back(RowFingerprint(old.unended));
      old.unended.clear();
    }
    bytes = lineFeed + 1;
  }
}

void EndOldList(OldListRows& old) {
  if (!old.unended.empty()) old.fingerprints.push_back(RowFingerprint(old.unended));
  old.unended.clear();
  std::sort(old.fingerprints.begin(), old.fingerprints.end());
}

std::vector<uint64_t> ListFingerprints(const ChannelList& list) {
  std::vector<uint64_t> fresh;
  fresh.reserve(list.count);
  std::string line;
  ForEachRecord(list, [&](const ChannelRecord& record) {
    FormatChannelLine(line, record);
    fresh.push_back(RowFingerprint(line));
  });
  std::sort(fresh.begin(), fresh.end());
  return fresh;
}

// Both lists' rows as sorted fingerprints, counted off against each other in one merge.
ListChanges CompareFingerprints(const OldListRows& old, const std::vector<uint64_t>& fresh) {
  ListChanges changes;
  size_t o = 0;
  size_t n = 0;
  while (o < old.fingerprints.size() && n < fresh.size()) {
    if (old.fingerprints[o] < fresh[n]) {
      ++changes.removed;
      ++o;
    } else if (fresh[n] < old.fingerprints[o]) {
      ++changes.added;
      ++n;
    } else {
      ++o;
      ++n;
    }
  }
  changes.removed += static_cast<int32_t>(old.fingerprints.size() - o);
  changes.added += static_cast<int32_t>(fresh.size() - n);
  return changes;
}
