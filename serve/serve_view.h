// What serve answers from: the entries with their last results in memory, the state of the
// runs, and the pure parts of the answers (filters, playlist, JSON, status, metrics).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
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

// The run under way, for /status.json and /metrics.
struct RunState {
  std::string kind;  // "harvest" or "check"; "" when none runs
  int64_t started = 0;
  int64_t done = 0;
  int64_t total = 0;
  int64_t live = 0;
};

// The entries and run times that every answer reads; the runs write them under the lock.
struct ServeView {
  mutable std::shared_mutex mutex;
  std::vector<EntryRow> entries;  // by id
  std::unordered_map<int64_t, size_t> indexOf;
  int64_t seq = 0;
  int64_t changed = 0;  // when an entry last changed, for Last-Modified
  // Grows with every change of the entries (under the lock); read without it, so that an
  // answer kept ready is given without waiting for the runs.
  std::atomic<int64_t> version{0};
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
};

// Replaces the entries (after a harvest or at the start); the version grows.
void SetEntries(ServeView& view, std::vector<EntryRow> entries);

// The answers; the caller holds the view's lock for reading.
std::string PlaylistText(const ServeView& view, const EntryFilter& filter);
std::string ChannelsJson(const ServeView& view, const EntryFilter& filter);
std::string StatusJson(const ServeView& view);
std::string MetricsText(const ServeView& view);
