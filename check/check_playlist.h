// The list a check reads: a channels.dat or an M3U playlist, told apart by its content. Each
// entry keeps its own bytes, so the live and the dead ones can be written back as they came.
#pragma once

#include <string>
#include <vector>

#include "check/check_list.h"
#include "check/check_probe.h"

const size_t kMaxListEntries = 1000000;
const size_t kMaxPlaylistLineBytes = 64 * 1024;
const size_t kMaxEntryHeaders = 16;

enum class ListKind { kChannelFile, kPlaylist };

struct CheckEntry {
  // For a channels.dat the row; for a playlist line is every line of the entry with its own
  // line ends, and record holds the name (channel), tvg-country (country), group-title
  // (category) and the address (streamUrl).
  ListRow row;
  std::string tvgId;
  StreamRequest request;  // from the entry's #EXTVLCOPT and #EXTHTTP lines
};

struct CheckList {
  ListKind kind = ListKind::kChannelFile;
  bool utf8 = false;   // the playlist's text is UTF-8; else it is Windows-1252 page text
  std::string header;  // the playlist's #EXTM3U line with its line end
  std::vector<CheckEntry> entries;
  std::string problem;  // why the list cannot be checked, or ""
};

// A list that starts with #EXTM3U (after a byte-order mark and blank lines), with a comment
// line or with an address is a playlist; any other is a channels.dat.
CheckList ParseCheckList(const std::string& bytes);
// The entries' text in the list's own format: a channels.dat's rows with CR LF ends, or the
// playlist's header followed by each entry's lines as they came.
std::string ListText(const CheckList& list, const std::vector<const CheckEntry*>& entries);
