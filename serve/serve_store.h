// SPDX-License-Identifier: GPL-2.0-or-later
// The database of `serve` (SQLite, WAL): the current entries of every source, when each was
// first and last seen, every check result per entry within the kept history, the pictures, and
// the times of the last runs. Entries carry their last result and the counts of their kept
// results, so that a start reads one row per entry. The runs write through one connection; the
// HTTP side reads history and pictures through a read-only one, so it does not wait for them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "check/check_probe.h"
#include "check/check_verdict.h"

const char kDatabaseName[] = "morvek.db";
// The kept history: results older than this many days, and those past the newest
// kMaxResultsPerEntry of an entry, are deleted as new ones come.
const int64_t kHistoryDays = 90;
const int64_t kMaxResultsPerEntry = 120;
const size_t kMaxPictureBytes = 64 * 1024;
const char kSiteSource[] = "site";
// PRAGMA quick_check at the start stops after this long on a large file; the reads after it
// still find a damage it did not reach.
const int kQuickCheckSeconds = 10;
const char kDamagedSuffix[] = ".corrupt-";

// An entry as a source lists it, its texts in UTF-8.
struct SourceEntry {
  std::string name;
  std::string country;
  std::string category;
  std::string group;
  std::string tvgId;
  std::string stream;
  std::string homepage;
  std::string bitrate;
  // What the entry's requests send (a playlist's #EXTVLCOPT and #EXTHTTP lines): the user
  // agent, the referrer and each header, one a line.
  std::string request;
};

// A check result as stored: the last of an entry, or one of its kept history.
struct LastResult {
  int64_t time = 0;
  std::string status;  // the verdict word
  std::string detail;
  std::string format;
  std::string video;
  std::string audio;
  int64_t bitrateBps = 0;
  double fps = 0;
  int height = 0;
  int64_t elapsedMs = 0;
};

struct EntryRow {
  int64_t id = 0;
  std::string source;
  SourceEntry entry;
  int64_t firstSeen = 0;
  int64_t lastSeen = 0;
  int64_t seq = 0;     // the change sequence of the entry's last change
  int32_t checks = 0;  // results in the kept history
  int32_t live = 0;    // of those, live ones
  std::optional<LastResult> last;
  bool picture = false;
  bool black = false;
  bool frozen = false;
};

// One result to store for an entry.
struct NewResult {
  int64_t entryId = 0;
  int64_t time = 0;
  CheckResult result;
};

// What a write to the database came to: ok, or the message of the statement that failed,
// taken before a rollback resets it.
struct StoreOutcome {
  bool ok = true;
  std::string error;
};

struct Database;
struct DatabaseCloser {
  void operator()(Database* db) const;
};
using DatabaseHandle = std::unique_ptr<Database, DatabaseCloser>;

// Opens (creating when new) the database at path and takes an exclusive lock on the file
// itself, which a second serve cannot take even when the folder's lock file was removed; null
// with why in problem. A database that exists but cannot be written (a read-only file or
// folder) is opened for reading, readOnly is set and problem says why: its last state can
// still be served. A file that is no database, or fails PRAGMA quick_check within
// kQuickCheckSeconds, is opened damaged (DatabaseDamage says why) for StartFresh.
DatabaseHandle OpenDatabase(const std::string& path, std::string& problem, bool& readOnly);

// What made the database damaged (it is no database, failed its check, or a statement met
// corruption), or none while it is sound.
std::optional<std::string> DatabaseDamage(Database& db);
// Moves a damaged database with its -wal and -shm files aside to morvek.db.corrupt-TIME (never
// deleting one) and opens a new empty one in its place, with the lock on the new file.
struct FreshStart {
  StoreOutcome outcome;
  std::string movedTo;  // the damaged database's new path
};
FreshStart StartFresh(Database& db, int64_t now);

// Every entry, by id.
std::vector<EntryRow> LoadEntries(Database& db);
// A number kept under a name (the last run times, the change sequence), or none.
std::optional<int64_t> MetaValue(Database& db, const std::string& name);
StoreOutcome SetMetaValue(Database& db, const std::string& name, int64_t value);

// Makes entries the current entries of source: new ones are added, known ones (the same stream,
// name and country) updated and seen at now, the source's other entries deleted with their
// results. seq is the change sequence given to the entries it changes. A database error leaves
// the entries as they were.
StoreOutcome ReplaceSourceEntries(Database& db, const std::string& source,
                                  const std::vector<SourceEntry>& entries, int64_t now,
                                  int64_t seq);
// Deletes the entries of every source not named in sources.
StoreOutcome KeepSources(Database& db, const std::vector<std::string>& sources);

// The kept counts of an entry after new results: all of them, and the live ones.
struct KeptCounts {
  int32_t checks = 0;
  int32_t live = 0;
};
struct AddedResults {
  StoreOutcome outcome;
  std::vector<KeptCounts> counts;  // in the order of the results
};
// Stores results in one transaction, with the change sequence seq, each becoming its entry's
// last result. An entry's results past kMaxResultsPerEntry are deleted, oldest first.
AddedResults AddResults(Database& db, const std::vector<NewResult>& results, int64_t seq);
// Deletes results older than cutoff and recounts the entries they belonged to.
StoreOutcome PruneResults(Database& db, int64_t cutoff);

// The kept results of an entry, newest first; none when the entry is unknown. Read through the
// read-only connection.
std::optional<std::vector<LastResult>> EntryHistory(Database& db, int64_t entryId);
// The stored picture of an entry, or none. Read through the read-only connection.
std::optional<std::string> PictureJpeg(Database& db, int64_t entryId);
// Stores the picture of an entry, frozen when its hash equals the one stored before; a jpeg
// over kMaxPictureBytes is refused.
StoreOutcome StorePicture(Database& db, int64_t entryId, int64_t taken, const std::string& jpeg,
                          const std::string& hash, bool black);

// A request as SourceEntry::request holds it: the user agent, the referrer, then each header,
// one a line (none of them holds a line end); "" for an empty request.
std::string RequestText(const StreamRequest& request);
// The request of such a text, with userAgent when it names none.
StreamRequest RequestOf(const std::string& text, const std::string& userAgent);
// Whether the stored picture of an entry is frozen (the same as the one before), or none.
std::optional<bool> PictureFrozen(Database& db, int64_t entryId);
