// SPDX-License-Identifier: GPL-2.0-or-later
// The runs of serve: a harvest of the site and the playlists into the database, a check of
// every entry with its results committed as they come, and the schedule that starts them.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "check/check_run.h"
#include "serve/serve_store.h"
#include "serve/serve_view.h"

// A harvest that finds fewer than this share of the entries its source gave last time keeps
// the last list: a site that answers with half its pages is more likely broken than shrunk.
const double kLeastShareOfLastHarvest = 0.5;
// A harvest with a source that kept its last list (it failed, or found far fewer) is tried
// again after this long, or after --harvest-every when that is sooner.
const int64_t kHarvestRetrySeconds = 3600;
// Finished results are committed at least this often during a check.
const int64_t kCommitMilliseconds = 1000;

struct ServeSettings {
  std::string dataDir;
  std::string siteBase;  // "" when only playlists are read
  std::vector<std::string> playlists;
  int64_t harvestEverySeconds = 24 * 3600;
  int64_t checkEverySeconds = 6 * 3600;
  CheckSettings check;
  int retries = 0;  // rounds of checks again of the entries that are not live, as check's
  std::string userAgent;
  bool quiet = false;
  bool verbose = false;
};

// One line on stderr; failures and the start always, run lines unless quiet, details when
// verbose.
enum class LogLevel { kAlways, kFailure, kRun, kDetail };
void ServeLog(const ServeSettings& settings, LogLevel level, const std::string& line);

// Why a source's new list is not taken (it found nothing, or far fewer entries than the
// last time), or "" when it is.
std::string HarvestRefusal(int64_t previousCount, int64_t foundCount);

struct Runner {
  ServeSettings settings;
  Database* db = nullptr;
  ServeView* view = nullptr;
  std::mutex mutex;
  std::condition_variable wake;
  RunKind requested = RunKind::kNone;  // a run asked for over HTTP
  bool busy = false;
};

// Loads the entries and run times into the view (at the start).
void LoadView(Runner& runner);
// Moves the damaged database aside, starts a new one and loads its (empty) state: the next
// run is a harvest. Said in one line; false, said too, when it cannot.
bool StartAfresh(Runner& runner);
// Asks for a run now; false when one runs or waits already.
bool RequestRun(Runner& runner, RunKind kind);
// Runs the schedule until stopped() answers true: a harvest when the last is older than its
// interval (and then a check), a check when the last is, and runs asked for over HTTP.
void RunSchedule(Runner& runner, const std::function<bool()>& stopped);
