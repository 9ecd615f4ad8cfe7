// SPDX-License-Identifier: GPL-2.0-or-later
// The channel list for media players and scripts: an extended M3U playlist and a JSON array,
// both in UTF-8, written through the same safe file replacement as channels.dat.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "harvest/channel_file.h"
#include "harvest/channel_list.h"

// The output name that means standard output instead of a file.
const char kStandardOutputName[] = "-";

const char kM3uHeader[] = "#EXTM3U\n";
// The two playlist lines of one channel (#EXTINF with name, country and category, then the
// stream address), or nothing when the channel has no stream address. Page text is decoded
// with its character references, as the check requests and exports it.
std::string M3uEntry(const ChannelRecord& record);
// The same two lines from UTF-8 texts that a caller decoded itself.
std::string M3uEntryText(const std::string& name, const std::string& country,
                         const std::string& group, const std::string& stream);
// The whole playlist handed to sink in pieces: the header, then the entry of every channel with
// a stream, in list order. False when the sink refused a piece.
bool WriteM3u(const ChannelList& list, const ByteSink& sink);

// One channel as a JSON object with the keys country, name, bitrate (the text of the file),
// kbps (its number, or null), category, about, stream and homepage, in that order, the texts
// decoded as in M3uEntry. Callers may add keys.
nlohmann::ordered_json ChannelJson(const ChannelRecord& record);
// A JSON array of count objects made one at a time by objectAt, one object per line, handed to
// sink in pieces, so that only one object and one piece are held; false when the sink refused
// a piece.
bool WriteJsonArray(size_t count, const std::function<nlohmann::ordered_json(size_t)>& objectAt,
                    const ByteSink& sink);
// The whole list as WriteJsonArray of ChannelJson, in list order.
bool WriteChannelJson(const ChannelList& list, const ByteSink& sink);

// Replaces the file at path with text through ReplaceFile; on failure the old file is left
// as it was and the outcome names the path and the reason.
ReplaceOutcome WriteTextFile(const std::string& path, const std::string& text,
                             const ReplaceGate& mayReplace = nullptr);

// How a new list differs from the one it replaces, row by row: a row of the new list that the
// old one lacks is added, one of the old that the new lacks is removed; a row that occurs
// more often in one list counts as often as it is more.
struct ListChanges {
  int32_t added = 0;
  int32_t removed = 0;
};
// The rows of an old channels.dat (CR LF lines; a last line may lack its end) as 64-bit
// fingerprints, so that a run keeps 8 bytes a row instead of the file. Two different rows
// share a fingerprint with a chance of about one in 2^64 a pair: at worst a miscounted
// summary, never a changed list.
struct OldListRows {
  std::vector<uint64_t> fingerprints;
  std::string unended;  // the row that the bytes added so far leave open
};
// Takes the file's next bytes; a row may run across two calls.
void AddOldListBytes(OldListRows& old, const char* bytes, size_t size);
// Ends the file's last row and sorts the fingerprints for comparing.
void EndOldList(OldListRows& old);
// The rows of list as sorted fingerprints; reads the list without moving its cursor.
std::vector<uint64_t> ListFingerprints(const ChannelList& list);
// Compares the ended old rows with the sorted fingerprints of a new list.
ListChanges CompareFingerprints(const OldListRows& old, const std::vector<uint64_t>& fresh);
