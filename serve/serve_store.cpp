// SPDX-License-Identifier: GPL-2.0-or-later
// The database of serve through SQLite: schema, entries, results, pictures and run times.
#include "serve/serve_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <mutex>

#include "base/system_error.h"
#include "text/text.h"

namespace {

const int kBusyMilliseconds = 2000;
const int kProgressSteps = 1000;  // virtual machine steps between looks at the deadline
const char* const kCompanionSuffixes[] = {"", "-wal", "-shm"};
const int kMostAsideNames = 100;  // morvek.db.corrupt-TIME, then .1 to .99 within one second
const char* const kSchema[] = {
    "PRAGMA journal_mode=WAL",
    "PRAGMA synchronous=NORMAL",
    "PRAGMA foreign_keys=ON",
    "CREATE TABLE IF NOT EXISTS meta(name TEXT PRIMARY KEY, value INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS entries(id INTEGER PRIMARY KEY, source TEXT NOT NULL, "
    "name TEXT NOT NULL, country TEXT NOT NULL, category TEXT NOT NULL, grp TEXT NOT NULL, "
    "tvg_id TEXT NOT NULL, stream TEXT NOT NULL, homepage TEXT NOT NULL, bitrate TEXT NOT NULL, "
    "request TEXT NOT NULL DEFAULT '', "
    "first_seen INTEGER NOT NULL, last_seen INTEGER NOT NULL, seq INTEGER NOT NULL, "
    "checks INTEGER NOT NULL DEFAULT 0, live INTEGER NOT NULL DEFAULT 0, last_time INTEGER, "
    "last_status TEXT, last_detail TEXT, last_format TEXT, last_video TEXT, last_audio TEXT, "
    "last_bitrate INTEGER, last_fps REAL, last_height INTEGER, last_elapsed INTEGER)",
    "CREATE UNIQUE INDEX IF NOT EXISTS entries_key ON entries(source, stream, name, country)",
    "CREATE TABLE IF NOT EXISTS results(id INTEGER PRIMARY KEY, "
    "entry_id INTEGER NOT NULL REFERENCES entries(id) ON DELETE CASCADE, time INTEGER NOT NULL, "
    "status TEXT NOT NULL, detail TEXT NOT NULL, format TEXT, video TEXT, audio TEXT, "
    "bitrate INTEGER, fps REAL, height INTEGER, elapsed INTEGER NOT NULL)",
    "CREATE INDEX IF NOT EXISTS results_entry ON results(entry_id, time)",
    "CREATE INDEX IF NOT EXISTS results_time ON results(time)",
    "CREATE TABLE IF NOT EXISTS pictures(entry_id INTEGER PRIMARY KEY "
    "REFERENCES entries(id) ON DELETE CASCADE, taken INTEGER NOT NULL, jpeg BLOB NOT NULL, "
    "hash TEXT NOT NULL, black INTEGER NOT NULL, frozen INTEGER NOT NULL)",
};

}  // namespace

// The first corruption a statement of a database met, kept for the runs to act on.
struct Damage {
  std::mutex mutex;
  std::string what;

  void Note(int code, const std::string& message) {
    const int primary = code & 0xff;
    if (primary != SQLITE_CORRUPT && primary != SQLITE_NOTADB) return;
    std::lock_guard<std::mutex> lock(mutex);
    if (what.empty()) what = message;
  }
};

// One SQLite connection; one statement sequence at a time on it.
struct Connection {
  sqlite3* handle = nullptr;
  std::mutex mutex;
  Damage* damage = nullptr;
};

struct Database {
  std::string path;
  int lockFd = -1;  // holds the exclusive lock on the database file
  bool readOnly = false;
  Damage damage;
  Connection writer;  // the runs: every write, and the reads that follow their own writes
  Connection reader;  // the HTTP side, read-only: WAL lets it read while the runs write
};

namespace {

const char kClosed[] = "the database is closed";

void Close(Connection& connection) {
  if (connection.handle != nullptr) sqlite3_close_v2(connection.handle);
  connection.handle = nullptr;
}

StoreOutcome Failed(Connection& connection) {
  if (connection.handle == nullptr) return StoreOutcome{false, kClosed};
  const std::string message = sqlite3_errmsg(connection.handle);
  connection.damage->Note(sqlite3_extended_errcode(connection.handle), message);
  return StoreOutcome{false, message};
}

StoreOutcome Execute(Connection& connection, const char* sql) {
  if (connection.handle != nullptr &&
      sqlite3_exec(connection.handle, sql, nullptr, nullptr, nullptr) == SQLITE_OK) {
    return {};
  }
  return Failed(connection);
}

// A prepared statement, finalized whatever happens. It keeps the message of its failure, as a
// later statement or a rollback resets the connection's.
class Statement {
 public:
  Statement(Connection& connection, const char* sql)
      : handle_(connection.handle), damage_(connection.damage) {
    if (handle_ == nullptr) {
      error_ = kClosed;
    } else if (sqlite3_prepare_v2(handle_, sql, -1, &statement_, nullptr) != SQLITE_OK) {
      NoteError();
      statement_ = nullptr;
    }
  }
  ~Statement() { sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return statement_ != nullptr; }
  // Why it failed to prepare or to step.
  StoreOutcome Failed() const { return StoreOutcome{false, error_}; }
  Statement& Bind(int at, int64_t value) {
    sqlite3_bind_int64(statement_, at, value);
    return *this;
  }
  Statement& Bind(int at, const std::string& value) {
    sqlite3_bind_text(statement_, at, value.data(), static_cast<int>(value.size()),
                      SQLITE_TRANSIENT);
    return *this;
  }
  Statement& BindDouble(int at, double value) {
    sqlite3_bind_double(statement_, at, value);
    return *this;
  }
  Statement& BindBlob(int at, const std::string& value) {
    sqlite3_bind_blob(statement_, at, value.data(), static_cast<int>(value.size()),
                      SQLITE_TRANSIENT);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error.
  int Step() {
    if (statement_ == nullptr) return SQLITE_ERROR;
    const int code = sqlite3_step(statement_);
    if (code != SQLITE_ROW && code != SQLITE_DONE) NoteError();
    return code;
  }
  void Reset() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
  }
  bool Run() {
    const int code = Step();
    Reset();
    return code == SQLITE_DONE || code == SQLITE_ROW;
  }
  int64_t Int(int column) const { return sqlite3_column_int64(statement_, column); }
  double Double(int column) const { return sqlite3_column_double(statement_, column); }
  bool IsNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
  std::string Text(int column) const {
    const void* bytes = sqlite3_column_blob(statement_, column);
    const int size = sqlite3_column_bytes(statement_, column);
    return bytes == nullptr ? std::string() : std::string(static_cast<const char*>(bytes), size);
  }

 private:
  void NoteError() {
    error_ = sqlite3_errmsg(handle_);
    damage_->Note(sqlite3_extended_errcode(handle_), error_);
  }

  sqlite3* handle_ = nullptr;
  Damage* damage_ = nullptr;
  sqlite3_stmt* statement_ = nullptr;
  std::string error_;
};

// A transaction that rolls back unless committed.
class Transaction {
 public:
  explicit Transaction(Connection& connection)
      : connection_(connection), begun_(Execute(connection, "BEGIN IMMEDIATE")) {
    open_ = begun_.ok;
  }
  ~Transaction() {
    if (open_) Execute(connection_, "ROLLBACK");
  }
  const StoreOutcome& begun() const { return begun_; }
  StoreOutcome Commit() {
    StoreOutcome committed = Execute(connection_, "COMMIT");
    if (committed.ok) open_ = false;
    return committed;
  }

 private:
  Connection& connection_;
  StoreOutcome begun_;
  bool open_ = false;
};

// The ten columns of a stored result from column first on: time, status, detail, format,
// video, audio, bitrate, fps, height, elapsed.
LastResult ResultAt(const Statement& select, int first) {
  return LastResult{
      select.Int(first),      select.Text(first + 1),   select.Text(first + 2),
      select.Text(first + 3), select.Text(first + 4),   select.Text(first + 5),
      select.Int(first + 6),  select.Double(first + 7), static_cast<int>(select.Int(first + 8)),
      select.Int(first + 9)};
}

// Opens a connection; why not, or "".
std::string Open(Connection& connection, const std::string& path, int flags) {
  if (sqlite3_open_v2(path.c_str(), &connection.handle,
                      flags | SQLITE_OPEN_FULLMUTEX | SQLITE_OPEN_NOFOLLOW, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(connection.handle, kBusyMilliseconds);
    return std::string();
  }
  std::string problem =
      connection.handle != nullptr ? sqlite3_errmsg(connection.handle) : "out of memory";
  Close(connection);
  return problem;
}

// Opens the connection that writes and makes the schema; why not, or "".
std::string OpenWriter(Connection& writer, const std::string& path) {
  std::string problem = Open(writer, path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  for (size_t i = 0; problem.empty() && i < std::size(kSchema); ++i) {
    problem = Execute(writer, kSchema[i]).error;
  }
  if (!problem.empty()) Close(writer);
  return problem;
}

// A file: address of path that opens it as immutable: no -wal or -shm is made and no lock is
// taken, so a database in a read-only folder can still be read.
std::string ImmutableUri(const std::string& path) {
  std::string uri = "file:";
  for (const char c : path) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       std::strchr("/._-~", c) != nullptr;
    if (plain) {
      uri += c;
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
      uri += escaped;
    }
  }
  return uri + "?immutable=1";
}

// Opens a connection that only reads and reads every table once; true when it can. A WAL
// database whose folder is read-only cannot make its -shm file: it is read as immutable then.
bool OpenReader(Connection& reader, const std::string& path) {
  for (const bool immutable : {false, true}) {
    Close(reader);
    const std::string where = immutable ? ImmutableUri(path) : path;
    const int flags = SQLITE_OPEN_READONLY | (immutable ? SQLITE_OPEN_URI : 0);
    if (Open(reader, where, flags).empty() &&
        Execute(reader,
                "SELECT (SELECT 1 FROM entries LIMIT 1), (SELECT 1 FROM meta LIMIT 1), "
                "(SELECT 1 FROM results LIMIT 1), (SELECT 1 FROM pictures LIMIT 1)")
            .ok) {
      return true;
    }
  }
  Close(reader);
  return false;
}

// Takes the exclusive lock on the database file, making the file when missing; why not, or "".
// A file or folder that cannot be written is locked through a descriptor that only reads.
std::string LockFile(Database& db) {
  const char* path = db.path.c_str();
  int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0 && (errno == EROFS || errno == EACCES || errno == EPERM || errno == EISDIR)) {
    fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  }
  if (fd < 0) return Concat(db.path, ": ", SystemErrorText(errno));
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return Concat(db.path, " is ", S_ISDIR(info.st_mode) ? "a folder" : "not a file",
                  ", not a database");
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    close(fd);
    return error == EWOULDBLOCK
               ? Concat("another serve uses ", db.path, "; stop it first or give another --data")
               : Concat(db.path, ": ", SystemErrorText(error));
  }
  if (db.lockFd >= 0) close(db.lockFd);
  db.lockFd = fd;
  return std::string();
}

// Opens both connections, the writer only reading when the database cannot be written; why
// not, or "" (and readOnly says why when it is). A database found damaged is left closed.
std::string OpenConnections(Database& db, std::string& readOnly) {
  readOnly = OpenWriter(db.writer, db.path);
  if (!readOnly.empty()) {
    if (DatabaseDamage(db) || !OpenReader(db.writer, db.path)) return readOnly;
  }
  if (!OpenReader(db.reader, db.path)) {
    return DatabaseDamage(db).value_or("the database cannot be read");
  }
  return std::string();
}

using CheckClock = std::chrono::steady_clock;

int PastDeadline(void* deadline) {
  return CheckClock::now() >= *static_cast<const CheckClock::time_point*>(deadline) ? 1 : 0;
}

// Runs PRAGMA quick_check for at most kQuickCheckSeconds; what it finds wrong is the
// database's damage. A check cut short finds nothing.
void QuickCheck(Connection& connection) {
  CheckClock::time_point deadline = CheckClock::now() + std::chrono::seconds(kQuickCheckSeconds);
  sqlite3_progress_handler(connection.handle, kProgressSteps, PastDeadline, &deadline);
  {
    Statement check(connection, "PRAGMA quick_check");
    if (check.Step() == SQLITE_ROW && check.Text(0) != "ok") {
      connection.damage->Note(SQLITE_CORRUPT, Concat("PRAGMA quick_check: ", check.Text(0)));
    }
  }
  sqlite3_progress_handler(connection.handle, 0, nullptr, nullptr);
}

// path.corrupt-TIME (UTC), with .N when that is taken; "" when none is free.
std::string AsideName(const std::string& path, int64_t now) {
  const std::time_t time = static_cast<std::time_t>(now);
  std::tm utc{};
  gmtime_r(&time, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &utc);
  const std::string base = Concat(path, kDamagedSuffix, stamp);
  for (int n = 0; n < kMostAsideNames; ++n) {
    const std::string name = n == 0 ? base : Concat(base, ".", std::to_string(n));
    bool taken = false;
    for (const char* suffix : kCompanionSuffixes) {
      struct stat info {};
      taken = taken || lstat(Concat(name, suffix).c_str(), &info) == 0;
    }
    if (!taken) return name;
  }
  return std::string();
}

}  // namespace

void DatabaseCloser::operator()(Database* db) const {
  Close(db->reader);
  Close(db->writer);
  // After the connections: closing any descriptor of the file drops SQLite's own locks on it.
  if (db->lockFd >= 0) close(db->lockFd);
  delete db;
}

DatabaseHandle OpenDatabase(const std::string& path, std::string& problem, bool& readOnly) {
  readOnly = false;
  DatabaseHandle db(new Database);
  db->path = path;
  db->writer.damage = &db->damage;
  db->reader.damage = &db->damage;
  problem = LockFile(*db);
  if (!problem.empty()) return nullptr;
  std::string notWritten;
  problem = OpenConnections(*db, notWritten);
  if (DatabaseDamage(*db)) return db;
  if (!problem.empty()) return nullptr;
  readOnly = !notWritten.empty();
  problem = notWritten;
  QuickCheck(db->writer);
  return db;
}

std::optional<std::string> DatabaseDamage(Database& db) {
  std::lock_guard<std::mutex> lock(db.damage.mutex);
  if (db.damage.what.empty()) return std::nullopt;
  return db.damage.what;
}

FreshStart StartFresh(Database& db, int64_t now) {
  std::scoped_lock lock(db.writer.mutex, db.reader.mutex);
  Close(db.reader);
  Close(db.writer);
  FreshStart fresh;
  fresh.movedTo = AsideName(db.path, now);
  if (fresh.movedTo.empty()) {
    fresh.outcome = StoreOutcome{false, Concat("no free name to move ", db.path, " aside")};
    return fresh;
  }
  for (const char* suffix : kCompanionSuffixes) {
    const std::string from = Concat(db.path, suffix);
    if (std::rename(from.c_str(), Concat(fresh.movedTo, suffix).c_str()) != 0 &&
        (errno != ENOENT || suffix[0] == '\0')) {
      fresh.outcome =
          StoreOutcome{false, Concat("cannot move ", from, " aside: ", SystemErrorText(errno))};
      return fresh;
    }
  }
  {
    std::lock_guard<std::mutex> cleared(db.damage.mutex);
    db.damage.what.clear();
  }
  std::string notWritten;
  std::string problem = LockFile(db);
  if (problem.empty()) problem = OpenConnections(db, notWritten);
  if (problem.empty()) problem = notWritten;
  if (!problem.empty()) fresh.outcome = StoreOutcome{false, problem};
  return fresh;
}

std::vector<EntryRow> LoadEntries(Database& db) {
  Connection& c = db.writer;
  std::lock_guard<std::mutex> lock(c.mutex);
  std::vector<EntryRow> rows;
  Statement count(c, "SELECT COUNT(*) FROM entries");
  if (count.Step() == SQLITE_ROW) rows.reserve(static_cast<size_t>(count.Int(0)));
  Statement select(
      c,
      "SELECT e.id, source, name, country, category, grp, tvg_id, stream, homepage, "
      "bitrate, request, first_seen, last_seen, seq, checks, live, last_time, last_status, "
      "last_detail, last_format, last_video, last_audio, last_bitrate, last_fps, "
      "last_height, last_elapsed, p.entry_id IS NOT NULL, p.black, p.frozen "
      "FROM entries e LEFT JOIN pictures p ON p.entry_id = e.id ORDER BY e.id");
  while (select.Step() == SQLITE_ROW) {
    EntryRow row;
    row.id = select.Int(0);
    row.source = select.Text(1);
    row.entry = {select.Text(2), select.Text(3), select.Text(4), select.Text(5), select.Text(6),
                 select.Text(7), select.Text(8), select.Text(9), select.Text(10)};
    row.firstSeen = select.Int(11);
    row.lastSeen = select.Int(12);
    row.seq = select.Int(13);
    row.checks = static_cast<int32_t>(select.Int(14));
    row.live = static_cast<int32_t>(select.Int(15));
    if (!select.IsNull(16)) row.last = ResultAt(select, 16);
    row.picture = select.Int(26) != 0;
    row.black = select.Int(27) != 0;
    row.frozen = select.Int(28) != 0;
    rows.push_back(std::move(row));
  }
  return rows;
}

std::optional<int64_t> MetaValue(Database& db, const std::string& name) {
  Connection& c = db.writer;
  std::lock_guard<std::mutex> lock(c.mutex);
  Statement select(c, "SELECT value FROM meta WHERE name = ?");
  select.Bind(1, name);
  if (select.Step() != SQLITE_ROW) return std::nullopt;
  return select.Int(0);
}

StoreOutcome SetMetaValue(Database& db, const std::string& name, int64_t value) {
  Connection& c = db.writer;
  std::lock_guard<std::mutex> lock(c.mutex);
  Statement upsert(c,
                   "INSERT INTO meta(name, value) VALUES(?, ?) "
                   "ON CONFLICT(name) DO UPDATE SET value = excluded.value");
  if (!upsert.Bind(1, name).Bind(2, value).Run()) return upsert.Failed();
  return {};
}

StoreOutcome ReplaceSourceEntries(Database& db, const std::string& source,
                                  const std::vector<SourceEntry>& entries, int64_t now,
                                  int64_t seq) {
  Connection& c = db.writer;
  std::lock_guard<std::mutex> lock(c.mutex);
  Transaction transaction(c);
  if (!transaction.begun().ok) return transaction.begun();
  // The ids this list names; the source's other entries go.
  for (const char* sql : {"CREATE TEMP TABLE IF NOT EXISTS listed(id INTEGER PRIMARY KEY)",
                          "DELETE FROM temp.listed"}) {
    const StoreOutcome done = Execute(c, sql);
    if (!done.ok) return done;
  }
  Statement upsert(
      c,
      "INSERT INTO entries(source, name, country, category, grp, tvg_id, stream, homepage, "
      "bitrate, first_seen, last_seen, seq, request) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, "
      "?10, ?10, ?11, ?12) ON CONFLICT(source, stream, name, country) DO UPDATE SET "
      "last_seen = ?10, seq = CASE WHEN category IS excluded.category AND grp IS excluded.grp "
      "AND tvg_id IS excluded.tvg_id AND homepage IS excluded.homepage AND bitrate IS "
      "excluded.bitrate THEN seq ELSE ?11 END, category = excluded.category, grp = excluded.grp, "
      "tvg_id = excluded.tvg_id, homepage = excluded.homepage, bitrate = excluded.bitrate, "
      "request = excluded.request RETURNING id");
  Statement listed(c, "INSERT OR IGNORE INTO temp.listed(id) VALUES(?)");
  for (const SourceEntry& e : entries) {
    upsert.Bind(1, source).Bind(2, e.name).Bind(3, e.country).Bind(4, e.category);
    upsert.Bind(5, e.group).Bind(6, e.tvgId).Bind(7, e.stream).Bind(8, e.homepage);
    upsert.Bind(9, e.bitrate).Bind(10, now).Bind(11, seq).Bind(12, e.request);
    if (upsert.Step() != SQLITE_ROW) return upsert.Failed();
    const int64_t id = upsert.Int(0);
    upsert.Reset();
    if (!listed.Bind(1, id).Run()) return listed.Failed();
  }
  Statement gone(c,
                 "DELETE FROM entries WHERE source = ? AND id NOT IN (SELECT id FROM temp.listed)");
  if (!gone.Bind(1, source).Run()) return gone.Failed();
  return transaction.Commit();
}

StoreOutcome KeepSources(Database& db, const std::vector<std::string>& sources) {
  Connection& c = db.writer;
  std::lock_guard<std::mutex> lock(c.mutex);
  Transaction transaction(c);
  if (!transaction.begun().ok) return transaction.begun();
  Statement listed(c, "SELECT DISTINCT source FROM entries");
  std::vector<std::string> stale;
  int code = listed.Step();
  for (; code == SQLITE_ROW; code = listed.Step()) {
    const std::string source = listed.Text(0);
    if (std::find(sources.begin(), sources.end(), source) == sources.end()) stale.push_back(source);
  }
  if (code != SQLITE_DONE) return listed.Failed();
  Statement remove(c, "DELETE FROM entries WHERE source = ?");
  for (const std::string& source : stale) {
    if (!remove.Bind(1, source).Run()) return remove.Failed();
  }
  return transaction.Commit();
}

AddedResults AddResults(Database& db, const std::vector<NewResult>& results, int64_t seq) {
  Connection& c = db.writer;
  std::lock_guard<std::mutex> lock(c.mutex);
  AddedResults added;
  Transaction transaction(c);
  if (!transaction.begun().ok) {
    added.outcome = transaction.begun();
    return added;
  }
  Statement insert(c,
                   "INSERT INTO results(entry_id, time, status, detail, format, video, audio, "
                   "bitrate, fps, height, elapsed) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  Statement trim(c,
                 "DELETE FROM results WHERE entry_id = ?1 AND id NOT IN (SELECT id FROM results "
                 "WHERE entry_id = ?1 ORDER BY time DESC, id DESC LIMIT ?2)");
  Statement update(
      c,
      "UPDATE entries SET seq = ?2, last_time = ?3, last_status = ?4, last_detail = ?5, "
      "last_format = ?6, last_video = ?7, last_audio = ?8, last_bitrate = ?9, last_fps = ?10, "
      "last_height = ?11, last_elapsed = ?12, "
      "checks = (SELECT COUNT(*) FROM results WHERE entry_id = ?1), "
      "live = (SELECT COUNT(*) FROM results WHERE entry_id = ?1 AND status = 'live') "
      "WHERE id = ?1 RETURNING checks, live");
  for (const NewResult& r : results) {
    const CheckResult& check = r.result;
    const std::string status = VerdictWord(check.verdict);
    insert.Bind(1, r.entryId).Bind(2, r.time).Bind(3, status).Bind(4, check.detail);
    insert.Bind(5, check.format).Bind(6, check.video).Bind(7, check.audio);
    insert.Bind(8, check.bitrate).BindDouble(9, check.fps).Bind(10, check.height);
    insert.Bind(11, check.elapsedMs);
    if (!insert.Run()) {
      added.outcome = insert.Failed();
      return added;
    }
    if (!trim.Bind(1, r.entryId).Bind(2, kMaxResultsPerEntry).Run()) {
      added.outcome = trim.Failed();
      return added;
    }
    update.Bind(1, r.entryId).Bind(2, seq).Bind(3, r.time).Bind(4, status).Bind(5, check.detail);
    update.Bind(6, check.format).Bind(7, check.video).Bind(8, check.audio);
    update.Bind(9, check.bitrate).BindDouble(10, check.fps).Bind(11, check.height);
    update.Bind(12, check.elapsedMs);
    const int code = update.Step();
    KeptCounts kept;
    if (code == SQLITE_ROW) {
      kept = {static_cast<int32_t>(update.Int(0)), static_cast<int32_t>(update.Int(1))};
    }
    update.Reset();
    // An entry deleted meanwhile has no row: its result goes with it.
    if (code != SQLITE_ROW && code != SQLITE_DONE) {
      added.outcome = update.Failed();
      return added;
    }
    added.counts.push_back(kept);
  }
  added.outcome = transaction.Commit();
  if (!added.outcome.ok) added.counts.clear();
  return added;
}

StoreOutcome PruneResults(Database& db, int64_t cutoff) {
  Connection& c = db.writer;
  std::lock_guard<std::mutex> lock(c.mutex);
  Transaction transaction(c);
  if (!transaction.begun().ok) return transaction.begun();
  Statement recount(c,
                    "UPDATE entries SET checks = (SELECT COUNT(*) FROM results WHERE entry_id = "
                    "entries.id AND time >= ?1), live = (SELECT COUNT(*) FROM results WHERE "
                    "entry_id = entries.id AND time >= ?1 AND status = 'live') WHERE id IN "
                    "(SELECT DISTINCT entry_id FROM results WHERE time < ?1)");
  if (!recount.Bind(1, cutoff).Run()) return recount.Failed();
  Statement remove(c, "DELETE FROM results WHERE time < ?");
  if (!remove.Bind(1, cutoff).Run()) return remove.Failed();
  return transaction.Commit();
}

std::optional<std::vector<LastResult>> EntryHistory(Database& db, int64_t entryId) {
  Connection& c = db.reader;
  std::lock_guard<std::mutex> lock(c.mutex);
  Statement known(c, "SELECT 1 FROM entries WHERE id = ?");
  if (known.Bind(1, entryId).Step() != SQLITE_ROW) return std::nullopt;
  Statement select(c,
                   "SELECT time, status, detail, format, video, audio, bitrate, fps, height, "
                   "elapsed FROM results WHERE entry_id = ? ORDER BY time DESC, id DESC");
  select.Bind(1, entryId);
  std::vector<LastResult> results;
  while (select.Step() == SQLITE_ROW) results.push_back(ResultAt(select, 0));
  return results;
}

std::optional<std::string> PictureJpeg(Database& db, int64_t entryId) {
  Connection& c = db.reader;
  std::lock_guard<std::mutex> lock(c.mutex);
  Statement select(c, "SELECT jpeg FROM pictures WHERE entry_id = ?");
  if (select.Bind(1, entryId).Step() != SQLITE_ROW) return std::nullopt;
  return select.Text(0);
}

std::optional<bool> PictureFrozen(Database& db, int64_t entryId) {
  Connection& c = db.writer;
  std::lock_guard<std::mutex> lock(c.mutex);
  Statement select(c, "SELECT frozen FROM pictures WHERE entry_id = ?");
  if (select.Bind(1, entryId).Step() != SQLITE_ROW) return std::nullopt;
  return select.Int(0) != 0;
}

StoreOutcome StorePicture(Database& db, int64_t entryId, int64_t taken, const std::string& jpeg,
                          const std::string& hash, bool black) {
  if (jpeg.empty()) return StoreOutcome{false, "the picture is empty"};
  if (jpeg.size() > kMaxPictureBytes) return StoreOutcome{false, "the picture is too large"};
  Connection& c = db.writer;
  std::lock_guard<std::mutex> lock(c.mutex);
  Statement upsert(c,
                   "INSERT INTO pictures(entry_id, taken, jpeg, hash, black, frozen) "
                   "VALUES(?1, ?2, ?3, ?4, ?5, 0) ON CONFLICT(entry_id) DO UPDATE SET "
                   "taken = ?2, jpeg = ?3, frozen = (pictures.hash = ?4), hash = ?4, black = ?5");
  upsert.Bind(1, entryId).Bind(2, taken).BindBlob(3, jpeg).Bind(4, hash).Bind(5, black ? 1 : 0);
  if (!upsert.Run()) return upsert.Failed();
  return {};
}

std::string RequestText(const StreamRequest& request) {
  if (request.userAgent.empty() && request.referrer.empty() && request.headers.empty()) return "";
  std::string text = Concat(request.userAgent, "\n", request.referrer);
  for (const std::string& header : request.headers) text += Concat("\n", header);
  return text;
}

StreamRequest RequestOf(const std::string& text, const std::string& userAgent) {
  StreamRequest request;
  size_t start = 0;
  for (int line = 0; start <= text.size() && !text.empty(); ++line) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string part = text.substr(start, end - start);
    if (line == 0)
      request.userAgent = std::move(part);
    else if (line == 1)
      request.referrer = std::move(part);
    else
      request.headers.push_back(std::move(part));
    start = end + 1;
  }
  if (request.userAgent.empty()) request.userAgent = userAgent;
  return request;
}
