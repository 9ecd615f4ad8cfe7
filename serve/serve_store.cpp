// The database of serve through SQLite: schema, entries, results, pictures and run times.
#include "serve/serve_store.h"

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <iterator>
#include <mutex>

#include "text/text.h"

namespace {

const int kBusyMilliseconds = 2000;
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

struct Database {
  sqlite3* handle = nullptr;
  std::mutex mutex;  // one statement at a time: the runs and the answers share the connection
};

void DatabaseCloser::operator()(Database* db) const {
  if (db->handle != nullptr) sqlite3_close_v2(db->handle);
  delete db;
}

namespace {

// A prepared statement, finalized whatever happens.
class Statement {
 public:
  Statement(Database& db, const char* sql) {
    if (sqlite3_prepare_v2(db.handle, sql, -1, &statement_, nullptr) != SQLITE_OK) {
      statement_ = nullptr;
    }
  }
  ~Statement() { sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return statement_ != nullptr; }
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
  int Step() { return statement_ == nullptr ? SQLITE_ERROR : sqlite3_step(statement_); }
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
  sqlite3_stmt* statement_ = nullptr;
};

bool Execute(Database& db, const char* sql) {
  return sqlite3_exec(db.handle, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// A transaction that rolls back unless committed.
class Transaction {
 public:
  explicit Transaction(Database& db) : db_(db) { open_ = Execute(db_, "BEGIN IMMEDIATE"); }
  ~Transaction() {
    if (open_) Execute(db_, "ROLLBACK");
  }
  bool ok() const { return open_; }
  bool Commit() {
    if (!open_ || !Execute(db_, "COMMIT")) return false;
    open_ = false;
    return true;
  }

 private:
  Database& db_;
  bool open_ = false;
};

nlohmann::json TextOrNull(const std::string& text) {
  if (text.empty()) return nullptr;
  return text;
}

std::string VideoSize(const std::string& video, bool width) {
  // "h264 1280x720": the last word's numbers.
  const size_t space = video.rfind(' ');
  const std::string size = space == std::string::npos ? video : video.substr(space + 1);
  const size_t x = size.find('x');
  if (x == std::string::npos || x == 0 || x + 1 >= size.size()) return std::string();
  const std::string part = width ? size.substr(0, x) : size.substr(x + 1);
  if (part.find_first_not_of("0123456789") != std::string::npos || part.size() > 6) return "";
  return part;
}

nlohmann::json SizeOrNull(const std::string& video, bool width) {
  const std::string part = VideoSize(video, width);
  if (part.empty()) return nullptr;
  return std::stoi(part);
}

}  // namespace

namespace {

DatabaseHandle OpenWith(const std::string& path, int flags, std::string& problem) {
  DatabaseHandle db(new Database);
  if (sqlite3_open_v2(path.c_str(), &db->handle,
                      flags | SQLITE_OPEN_FULLMUTEX | SQLITE_OPEN_NOFOLLOW, nullptr) != SQLITE_OK) {
    problem = db->handle != nullptr ? sqlite3_errmsg(db->handle) : "out of memory";
    return nullptr;
  }
  sqlite3_busy_timeout(db->handle, kBusyMilliseconds);
  return db;
}

}  // namespace

DatabaseHandle OpenDatabase(const std::string& path, std::string& problem, bool& readOnly) {
  readOnly = false;
  DatabaseHandle db = OpenWith(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, problem);
  for (size_t i = 0; db && i < std::size(kSchema); ++i) {
    if (!Execute(*db, kSchema[i])) {
      problem = sqlite3_errmsg(db->handle);
      db.reset();
    }
  }
  if (db) return db;
  std::string unread;
  db = OpenWith(path, SQLITE_OPEN_READONLY, unread);
  if (!db || !Execute(*db,
                      "SELECT (SELECT 1 FROM entries LIMIT 1), (SELECT 1 FROM meta LIMIT 1), "
                      "(SELECT 1 FROM results LIMIT 1), (SELECT 1 FROM pictures LIMIT 1)")) {
    return nullptr;
  }
  readOnly = true;
  return db;
}

std::string DatabaseError(Database& db) { return sqlite3_errmsg(db.handle); }

std::vector<EntryRow> LoadEntries(Database& db) {
  std::lock_guard<std::mutex> lock(db.mutex);
  std::vector<EntryRow> rows;
  Statement count(db, "SELECT COUNT(*) FROM entries");
  if (count.Step() == SQLITE_ROW) rows.reserve(static_cast<size_t>(count.Int(0)));
  Statement select(
      db,
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
    if (!select.IsNull(16)) {
      row.last = LastResult{select.Int(16),  select.Text(17),   select.Text(18),
                            select.Text(19), select.Text(20),   select.Text(21),
                            select.Int(22),  select.Double(23), static_cast<int>(select.Int(24)),
                            select.Int(25)};
    }
    row.picture = select.Int(26) != 0;
    row.black = select.Int(27) != 0;
    row.frozen = select.Int(28) != 0;
    rows.push_back(std::move(row));
  }
  return rows;
}

std::optional<int64_t> MetaValue(Database& db, const std::string& name) {
  std::lock_guard<std::mutex> lock(db.mutex);
  Statement select(db, "SELECT value FROM meta WHERE name = ?");
  select.Bind(1, name);
  if (select.Step() != SQLITE_ROW) return std::nullopt;
  return select.Int(0);
}

bool SetMetaValue(Database& db, const std::string& name, int64_t value) {
  std::lock_guard<std::mutex> lock(db.mutex);
  Statement upsert(db,
                   "INSERT INTO meta(name, value) VALUES(?, ?) "
                   "ON CONFLICT(name) DO UPDATE SET value = excluded.value");
  return upsert.Bind(1, name).Bind(2, value).Run();
}

bool ReplaceSourceEntries(Database& db, const std::string& source,
                          const std::vector<SourceEntry>& entries, int64_t now, int64_t seq) {
  std::lock_guard<std::mutex> lock(db.mutex);
  Transaction transaction(db);
  // The ids this list names; the source's other entries go.
  if (!transaction.ok() ||
      !Execute(db, "CREATE TEMP TABLE IF NOT EXISTS listed(id INTEGER PRIMARY KEY)") ||
      !Execute(db, "DELETE FROM temp.listed")) {
    return false;
  }
  Statement upsert(
      db,
      "INSERT INTO entries(source, name, country, category, grp, tvg_id, stream, homepage, "
      "bitrate, first_seen, last_seen, seq, request) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, "
      "?10, ?10, ?11, ?12) ON CONFLICT(source, stream, name, country) DO UPDATE SET "
      "last_seen = ?10, seq = CASE WHEN category IS excluded.category AND grp IS excluded.grp "
      "AND tvg_id IS excluded.tvg_id AND homepage IS excluded.homepage AND bitrate IS "
      "excluded.bitrate THEN seq ELSE ?11 END, category = excluded.category, grp = excluded.grp, "
      "tvg_id = excluded.tvg_id, homepage = excluded.homepage, bitrate = excluded.bitrate, "
      "request = excluded.request RETURNING id");
  Statement listed(db, "INSERT OR IGNORE INTO temp.listed(id) VALUES(?)");
  if (!upsert.ok() || !listed.ok()) return false;
  for (const SourceEntry& e : entries) {
    upsert.Bind(1, source).Bind(2, e.name).Bind(3, e.country).Bind(4, e.category);
    upsert.Bind(5, e.group).Bind(6, e.tvgId).Bind(7, e.stream).Bind(8, e.homepage);
    upsert.Bind(9, e.bitrate).Bind(10, now).Bind(11, seq).Bind(12, e.request);
    if (upsert.Step() != SQLITE_ROW) return false;
    const int64_t id = upsert.Int(0);
    upsert.Reset();
    if (!listed.Bind(1, id).Run()) return false;
  }
  Statement gone(db,
                 "DELETE FROM entries WHERE source = ? AND id NOT IN (SELECT id FROM temp.listed)");
  if (!gone.Bind(1, source).Run()) return false;
  return transaction.Commit();
}

bool KeepSources(Database& db, const std::vector<std::string>& sources) {
  std::lock_guard<std::mutex> lock(db.mutex);
  Transaction transaction(db);
  if (!transaction.ok()) return false;
  Statement listed(db, "SELECT DISTINCT source FROM entries");
  std::vector<std::string> stale;
  while (listed.Step() == SQLITE_ROW) {
    const std::string source = listed.Text(0);
    bool kept = false;
    for (const std::string& s : sources) kept = kept || s == source;
    if (!kept) stale.push_back(source);
  }
  Statement remove(db, "DELETE FROM entries WHERE source = ?");
  for (const std::string& source : stale) {
    if (!remove.Bind(1, source).Run()) return false;
  }
  return transaction.Commit();
}

bool AddResults(Database& db, const std::vector<NewResult>& results, int64_t seq,
                std::vector<std::pair<int32_t, int32_t>>& counts) {
  std::lock_guard<std::mutex> lock(db.mutex);
  Transaction transaction(db);
  Statement insert(db,
                   "INSERT INTO results(entry_id, time, status, detail, format, video, audio, "
                   "bitrate, fps, height, elapsed) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  Statement trim(db,
                 "DELETE FROM results WHERE entry_id = ?1 AND id NOT IN (SELECT id FROM results "
                 "WHERE entry_id = ?1 ORDER BY time DESC, id DESC LIMIT ?2)");
  Statement update(
      db,
      "UPDATE entries SET seq = ?2, last_time = ?3, last_status = ?4, last_detail = ?5, "
      "last_format = ?6, last_video = ?7, last_audio = ?8, last_bitrate = ?9, last_fps = ?10, "
      "last_height = ?11, last_elapsed = ?12, "
      "checks = (SELECT COUNT(*) FROM results WHERE entry_id = ?1), "
      "live = (SELECT COUNT(*) FROM results WHERE entry_id = ?1 AND status = 'live') "
      "WHERE id = ?1 RETURNING checks, live");
  if (!transaction.ok() || !insert.ok() || !trim.ok() || !update.ok()) return false;
  counts.clear();
  for (const NewResult& r : results) {
    const CheckResult& c = r.result;
    const std::string status = VerdictWord(c.verdict);
    insert.Bind(1, r.entryId).Bind(2, r.time).Bind(3, status).Bind(4, c.detail);
    insert.Bind(5, c.format).Bind(6, c.video).Bind(7, c.audio).Bind(8, c.bitrate);
    insert.BindDouble(9, c.fps).Bind(10, c.height).Bind(11, c.elapsedMs);
    if (!insert.Run() || !trim.Bind(1, r.entryId).Bind(2, kMaxResultsPerEntry).Run()) return false;
    update.Bind(1, r.entryId).Bind(2, seq).Bind(3, r.time).Bind(4, status).Bind(5, c.detail);
    update.Bind(6, c.format).Bind(7, c.video).Bind(8, c.audio).Bind(9, c.bitrate);
    update.BindDouble(10, c.fps).Bind(11, c.height).Bind(12, c.elapsedMs);
    const int code = update.Step();
    std::pair<int32_t, int32_t> kept(0, 0);
    if (code == SQLITE_ROW) {
      kept = {static_cast<int32_t>(update.Int(0)), static_cast<int32_t>(update.Int(1))};
    }
    update.Reset();
    // An entry deleted meanwhile has no row: its result goes with it.
    if (code != SQLITE_ROW && code != SQLITE_DONE) return false;
    counts.push_back(kept);
  }
  return transaction.Commit();
}

bool PruneResults(Database& db, int64_t cutoff) {
  std::lock_guard<std::mutex> lock(db.mutex);
  Transaction transaction(db);
  Statement recount(db,
                    "UPDATE entries SET checks = (SELECT COUNT(*) FROM results WHERE entry_id = "
                    "entries.id AND time >= ?1), live = (SELECT COUNT(*) FROM results WHERE "
                    "entry_id = entries.id AND time >= ?1 AND status = 'live') WHERE id IN "
                    "(SELECT DISTINCT entry_id FROM results WHERE time < ?1)");
  Statement remove(db, "DELETE FROM results WHERE time < ?");
  if (!transaction.ok() || !recount.Bind(1, cutoff).Run() || !remove.Bind(1, cutoff).Run()) {
    return false;
  }
  return transaction.Commit();
}

std::optional<std::string> HistoryJson(Database& db, int64_t entryId) {
  std::lock_guard<std::mutex> lock(db.mutex);
  Statement known(db, "SELECT 1 FROM entries WHERE id = ?");
  if (known.Bind(1, entryId).Step() != SQLITE_ROW) return std::nullopt;
  Statement select(db,
                   "SELECT time, status, detail, format, video, audio, bitrate, fps, height, "
                   "elapsed FROM results WHERE entry_id = ? ORDER BY time DESC, id DESC");
  select.Bind(1, entryId);
  nlohmann::json results = nlohmann::json::array();
  while (select.Step() == SQLITE_ROW) {
    const std::string video = select.Text(4);
    const bool live = select.Text(1) == VerdictWord(Verdict::kLive);
    const int height = static_cast<int>(select.Int(8));
    nlohmann::json r = {{"time", select.Int(0)},
                        {"status", select.Text(1)},
                        {"detail", select.Text(2)},
                        {"format", TextOrNull(select.Text(3))},
                        {"video", TextOrNull(video)},
                        {"audio", TextOrNull(select.Text(5))},
                        {"bitrate_bps", nullptr},
                        {"fps", nullptr},
                        {"quality", TextOrNull(QualityOfHeight(height))},
                        {"width", SizeOrNull(video, true)},
                        {"height", nullptr},
                        {"elapsed_ms", select.Int(9)}};
    if (live && select.Int(6) > 0) r["bitrate_bps"] = select.Int(6);
    if (live && select.Double(7) > 0) r["fps"] = select.Double(7);
    if (height > 0) r["height"] = height;
    results.push_back(std::move(r));
  }
  nlohmann::json answer = {{"id", entryId}, {"results", std::move(results)}};
  return answer.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<std::string> PictureJpeg(Database& db, int64_t entryId) {
  std::lock_guard<std::mutex> lock(db.mutex);
  Statement select(db, "SELECT jpeg FROM pictures WHERE entry_id = ?");
  if (select.Bind(1, entryId).Step() != SQLITE_ROW) return std::nullopt;
  return select.Text(0);
}

std::optional<bool> PictureFrozen(Database& db, int64_t entryId) {
  std::lock_guard<std::mutex> lock(db.mutex);
  Statement select(db, "SELECT frozen FROM pictures WHERE entry_id = ?");
  if (select.Bind(1, entryId).Step() != SQLITE_ROW) return std::nullopt;
  return select.Int(0) != 0;
}

bool StorePicture(Database& db, int64_t entryId, int64_t taken, const std::string& jpeg,
                  const std::string& hash, bool black) {
  if (jpeg.size() > kMaxPictureBytes || jpeg.empty()) return false;
  std::lock_guard<std::mutex> lock(db.mutex);
  Statement upsert(db,
                   "INSERT INTO pictures(entry_id, taken, jpeg, hash, black, frozen) "
                   "VALUES(?1, ?2, ?3, ?4, ?5, 0) ON CONFLICT(entry_id) DO UPDATE SET "
                   "taken = ?2, jpeg = ?3, frozen = (pictures.hash = ?4), hash = ?4, black = ?5");
  return upsert.Bind(1, entryId)
      .Bind(2, taken)
      .BindBlob(3, jpeg)
      .Bind(4, hash)
      .Bind(5, black ? 1 : 0)
      .Run();
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
