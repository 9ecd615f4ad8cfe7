// SPDX-License-Identifier: GPL-2.0-or-later
// The list a check reads: a channels.dat or an M3U playlist, told apart by its content. The
// list's bytes are held once and each entry is pieces of them, so the live and the dead ones
// can be written back as they came.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "check/check_list.h"
#include "check/check_probe.h"

const size_t kMaxListEntries = 1000000;
// The longest line of a list, a playlist's or a channels.dat's row, without its line end.
const size_t kMaxListLineBytes = 64 * 1024;
const size_t kMaxEntryHeaders = 16;
// The bytes of what one entry's requests send beside the library's own headers (agent,
// referrer, header lines), well under the media library's 8 KiB for all of a request's headers.
const size_t kMaxEntryHeaderBytes = 4096;

enum class ListKind { kChannelFile, kPlaylist };

struct CheckList {
  ListKind kind = ListKind::kChannelFile;
  bool utf8 = false;   // the playlist's text is UTF-8; else it is Windows-1252 page text
  std::string bytes;   // the list as it was read; the entries are pieces of it
  std::string header;  // the playlist's #EXTM3U line with its line end
  // For a playlist, record fields are the title (channel), tvg-country (country),
  // group-title (category) and the address (streamUrl).
  std::vector<CheckEntry> entries;
  std::vector<StreamRequest> requests;  // from #EXTVLCOPT and #EXTHTTP, of the entries with any
  std::string problem;                  // why the list cannot be checked, or ""
  // The address the playlist was downloaded from, after redirects; its relative entries are
  // resolved against it. "" for a file.
  std::string base;
  std::string hlsTag;  // the first tag that makes it an HLS stream's playlist, or ""
};

// A list that starts with #EXTM3U (after a byte-order mark and blank lines), with a comment
// line or with an address is a playlist; any other is a channels.dat.
// A playlist with #EXT-X-TARGETDURATION or #EXT-X-STREAM-INF is an HLS stream's own playlist,
// said in hlsTag. base is the address the list came from, or "".
CheckList ParseCheckList(std::string bytes, const std::string& base = std::string());
// A channels.dat's rows as a list to check.
CheckList ChannelFileList(std::string bytes);
// A piece of the list's bytes, e.g. an entry's channel.
std::string EntryText(const CheckList& list, TextSpan span);
// Entry text as UTF-8, as every export shows it: a UTF-8 playlist's as it is, a Windows-1252
// one's converted, a channels.dat's as page text with its character references decoded.
std::string EntryUtf8(const CheckList& list, const std::string& bytes);
// What the entry's requests send; an empty request when its lines name nothing.
const StreamRequest& EntryRequest(const CheckList& list, const CheckEntry& entry);
// The address of an entry as written, spaces trimmed; a playlist's relative one resolved
// against its base.
std::string EntryAddress(const CheckList& list, const CheckEntry& entry);
// Why the list holds nothing to check ("it is empty"), or "" when it does: a playlist without an
// entry whose address has a scheme, or a text in which no line is a row of seven fields.
std::string NothingToCheck(const CheckList& list);
// The words put before an entry as a comment line, in the list's encoding; "" for none.
using EntryNote = std::function<std::string(const CheckEntry& entry)>;
// The entries' text in the list's own format: a channels.dat's rows with CR LF ends, or the
// playlist's header followed by each entry's lines as they came, with a resolved address in
// place of a relative one. A note goes before a playlist's entry as "# words" (an earlier
// check's verdict comment is dropped); a channels.dat has no comments and takes none.
std::string ListText(const CheckList& list, const std::vector<const CheckEntry*>& entries,
                     const EntryNote& note = EntryNote());
// Where a verdict line's entry starts: the verdict word is padded with spaces to it.
const int kVerdictColumn = 12;
// True for a comment line that a check put before an entry: "# ", a verdict word padded to
// kVerdictColumn, and more words.
bool IsVerdictComment(std::string_view line);
