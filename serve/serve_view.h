// SPDX-License-Identifier: GPL-2.0-or-later
// What serve answers from: the entries with their last results in memory, the state of the
// runs, and the pure parts of the answers (filters, playlist, JSON, history, status, metrics).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "serve/serve_store.h"

// The query a filtered answer takes.
const size_t kMaxQueryArguments = 16;
const size_t kMaxQueryValueBytes = 256;

enum class StatusFilter { kLive, kDead, kAll };

struct EntryFilter {
  StatusFilter status = StatusFilter::kAll;
  std::string country;   // lower case; "" for any
  std::string category;  // lower case; matches the category or the group
  std::string words;     // lower case; a part of the name
  double minUptime = 0;
  std::optional<int64_t> id;
  int64_t since = -1;  // only entries changed after this sequence
};

// The query's arguments as a filter, with the status the endpoint defaults to; refusal says why
// a query is refused (an unknown or repeated name, a bad value).
struct FilterQuery {
  EntryFilter filter;
  std::string refusal;
};
FilterQuery ParseFilter(const std::vector<std::pair<std::string, std::string>>& arguments,
                        StatusFilter byDefault, bool sinceAllowed);

// The share of live results in the kept history; none before the first check.
std::optional<double> Uptime(const EntryRow& row);
bool Matches(const EntryRow& row, const EntryFilter& filter);

// The runs of serve; their words are those of /status.json, the logs and /runs/.
enum class RunKind { kNone, kHarvest, kCheck };
// "harvest" or "check"; "" for none.
const char* RunKindWord(RunKind kind);
// The run a word names; kNone for any other word.
RunKind RunKindNamed(const std::string& word);

// The run under way, for /status.json and /metrics.
struct RunState {
  RunKind kind = RunKind::kNone;
  int64_t started = 0;
  int64_t done = 0;
  int64_t total = 0;
  int64_t live = 0;
};

// The entries, shared with the answers being made from them: an answer takes the list as it is
// (Shared(), under the view's lock for a moment) and reads it without the lock, while a change
// made meanwhile goes to a copy (Change()).
class EntryList {
 public:
  using Rows = std::vector<EntryRow>;
  EntryList() : rows_(std::make_shared<Rows>()) {}
  EntryList& operator=(Rows rows) {
    rows_ = std::make_shared<Rows>(std::move(rows));
    return *this;
  }
  Rows::const_iterator begin() const { return rows_->begin(); }
  Rows::const_iterator end() const { return rows_->end(); }
  size_t size() const { return rows_->size(); }
  bool empty() const { return rows_->empty(); }
  const EntryRow& operator[](size_t i) const { return (*rows_)[i]; }
  std::shared_ptr<const Rows> Shared() const { return rows_; }
  // The rows to change in place: a copy first when an answer still reads them.
  Rows& Change() {
    if (rows_.use_count() > 1) rows_ = std::make_shared<Rows>(*rows_);
    return *rows_;
  }

 private:
  std::shared_ptr<Rows> rows_;
};

// The entries and run times that every answer reads.
struct ViewState {
  EntryList entries;  // by id
  std::unordered_map<int64_t, size_t> indexOf;
  int64_t seq = 0;
  int64_t changed = 0;  // when an entry last changed, for Last-Modified
  std::optional<int64_t> lastHarvest;
  bool lastHarvestComplete = true;  // every source gave a list that was taken
  std::optional<int64_t> lastCheck;
  double lastHarvestSeconds = 0;
  double lastCheckSeconds = 0;
  double lastCheckRate = 0;  // results per second of the last check
  int64_t resultsStored = 0;
  int64_t storeFailures = 0;
  RunState run;
  std::string channelFile;  // the site's last good channels.dat, as the harvest wrote it
  std::string listLost;     // why the list was lost (a damaged database), or ""
};

// Why /healthz is not ok: serve holds no list because of a failure (its database was damaged
// and moved aside, or the last harvest kept no list); "" when it is ok.
std::string HealthProblem(const ViewState& view);

// The state the answers read, changed by the runs through the operations below, each under
// the lock; readers take it for reading.
class ServeView {
 public:
  // The state the database held at the start.
  void Load(ViewState state);
  // The entries as the database holds them after a run, changed at now; the change sequence
  // becomes at least seq, and channels.dat channelFile when one is given.
  void EntriesReloaded(std::vector<EntryRow> entries, int64_t seq, int64_t now,
                       std::optional<std::string> channelFile);
  void RunBegan(RunKind kind, int64_t total, int64_t now);
  void RunEnded();
  // finished more entries of the check under way are done (an entry and those repeating it);
  // live of all so far.
  void ResultChecked(int64_t finished, int64_t live);
  // The results committed with the change sequence seq at now: frozen tells for each whether
  // its picture was stored and is frozen; counts are the kept counts when they were stored.
  void ResultsArrived(const std::vector<NewResult>& results,
                      const std::vector<std::optional<bool>>& frozen,
                      const std::vector<KeptCounts>& counts, bool stored, int64_t seq, int64_t now);
  // The end of a run; the memory the run's lists took, spread over the threads' heaps and
  // freed, goes back to the system then (or serve would sit on the peak of every run).
  void HarvestFinished(int64_t now, bool complete, double seconds);
  void CheckFinished(int64_t now, double seconds, double resultsPerSecond);
  void ListLost(std::string why);
  // The change sequence the next change takes.
  int64_t NextSeq() const;
  // Grows with every change of the entries; read without the lock, so that an answer kept
  // ready is given without waiting for the runs.
  int64_t version() const { return version_.load(); }
  // The entries as they are now, with what an answer of them tells besides.
  struct Entries {
    std::shared_ptr<const std::vector<EntryRow>> rows;
    int64_t seq = 0;
    int64_t changed = 0;
    int64_t version = 0;
  };
  Entries Snapshot() const;
  // What reader makes of the state, under the lock for reading.
  template <typename Reader>
  auto Read(const Reader& reader) const {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    return reader(state_);
  }

 private:
  void SetEntries(std::vector<EntryRow> entries);

  mutable std::shared_mutex mutex_;
  ViewState state_;
  std::atomic<int64_t> version_{0};
};

// The key of a filtered answer: the filter's parsed values in a fixed order, so that argument
// orders and number forms ("0", "0.00") that mean one filter give one key.
std::string FilterKey(const EntryFilter& filter);

// The answers made from the state.
std::string PlaylistText(const std::vector<EntryRow>& entries, const EntryFilter& filter);
std::string ChannelsJson(const std::vector<EntryRow>& entries, int64_t seq,
                         const EntryFilter& filter);
std::string StatusJson(const ViewState& view);
std::string MetricsText(const ViewState& view);
// The JSON of /channels/ID/history.json: an entry's kept results, newest first.
std::string HistoryJson(int64_t entryId, const std::vector<LastResult>& results);
