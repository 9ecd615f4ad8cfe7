// SPDX-License-Identifier: GPL-2.0-or-later
// The harvest and check runs of serve and their schedule. Times come from the database, so a
// restart resumes the schedule; one run at a time.
#include "serve/serve_runs.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>

#include "check/check_plan.h"
#include "check/check_playlist.h"
#include "check/check_probe.h"
#include "cli/program.h"
#include "fetch/fetch_ahead.h"
#include "harvest/channel_file.h"
#include "base/system_error.h"
#include "harvest/update_run.h"
#include "text/text.h"
#include "text/utf8.h"

namespace {

const char kLogPrefix[] = "morvek-cli: serve: ";
const char kLastHarvest[] = "last_harvest";
const char kLastCheck[] = "last_check";
const char kHarvestMs[] = "last_harvest_ms";
const char kHarvestComplete[] = "last_harvest_complete";
const char kCheckMs[] = "last_check_ms";
const char kSeq[] = "seq";
const char kCountPrefix[] = "count:";
const char kNewListName[] = "harvest.dat";
const int kHarvestJobs = 4;
const int kFetchWorkerWaitMilliseconds = 500;  // for the harvest's fetch workers to end
const int kListTimeoutSeconds = 60;
const int kScheduleWaitMilliseconds = 200;
const int64_t kSecondsPerDay = 86400;

std::mutex g_logMutex;  // lines from the runs and the program entry do not interleave

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

int64_t SteadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string Seconds(int64_t milliseconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(milliseconds) / 1000);
  return text;
}

// When a harvest whose sources did not all give a new list is tried again.
int64_t RetryAfter(const ServeSettings& settings) {
  return std::min(settings.harvestEverySeconds, kHarvestRetrySeconds);
}

std::string PageText(const std::string& bytes) { return PageTextToUtf8(TrimSpaces(bytes)); }

SourceEntry SiteEntry(const ChannelRecord& record) {
  SourceEntry e;
  e.name = PageText(record.channel);
  e.country = PageText(record.country);
  e.category = PageText(record.category);
  e.group = e.category;
  e.stream = PageText(record.streamUrl);
  e.homepage = PageText(record.homepage);
  e.bitrate = PageText(record.bitrate);
  return e;
}

// An entry of a list given with --playlist, its texts as the check's exports give them.
SourceEntry ListEntry(const CheckList& list, const CheckEntry& entry) {
  const auto text = [&list](TextSpan span) {
    return EntryUtf8(list, TrimSpaces(EntryText(list, span)));
  };
  SourceEntry e;
  e.name = text(entry.channel);
  e.country = text(entry.country);
  e.category = text(entry.category);
  e.group = e.category;
  e.tvgId = text(entry.tvgId);
  e.stream = TrimSpaces(EntryText(list, entry.streamUrl));
  e.request = RequestText(EntryRequest(list, entry));
  if (list.kind == ListKind::kChannelFile) {
    const std::string line = EntryText(list, entry.line);
    e.stream = PageText(e.stream);
    e.bitrate = PageText(FieldAt(line, 3, "|"));
    e.homepage = PageText(FieldAt(line, 7, "|"));
  }
  return e;
}

// The entries of a playlist or channels.dat at a path or address; problem says why none.
std::vector<SourceEntry> ReadListEntries(const std::string& where, std::string& problem) {
  std::string bytes;
  if (IsListAddress(where)) {
    ListBytes list = DownloadList(where, kListTimeoutSeconds, static_cast<int64_t>(kListReadLimit));
    bytes = std::move(list.bytes);
    problem = list.problem;
  } else {
    problem = ReadInputFile(where, kListReadLimit, false, [&bytes](const char* piece, size_t n) {
      bytes.append(piece, n);
      return true;
    });
  }
  std::vector<SourceEntry> entries;
  if (!problem.empty()) return entries;
  const CheckList list = ParseCheckList(std::move(bytes));
  problem = list.problem;
  for (const CheckEntry& entry : list.entries) {
    SourceEntry e = ListEntry(list, entry);
    if (!e.stream.empty()) entries.push_back(std::move(e));
  }
  return entries;
}

std::string DataPath(const Runner& runner, const char* name) {
  return Concat(runner.settings.dataDir, "/", name);
}

std::string ReadWholeFile(const std::string& path) {
  std::string bytes;
  ReadInputFile(path, kListReadLimit, false, [&bytes](const char* piece, size_t n) {
    bytes.append(piece, n);
    return true;
  });
  return bytes;
}

// Takes a source's new entries unless HarvestRefusal says no; true when taken.
bool TakeSource(Runner& runner, const std::string& source, const std::vector<SourceEntry>& entries,
                int64_t seq, int64_t now) {
  const std::string countName = Concat(kCountPrefix, source);
  const int64_t previous = MetaValue(*runner.db, countName).value_or(0);
  const std::string refusal = HarvestRefusal(previous, static_cast<int64_t>(entries.size()));
  if (!refusal.empty()) {
    ServeLog(runner.settings, LogLevel::kFailure,
             Concat("harvest of ", source, " ", refusal, "; the last list is kept"));
    return false;
  }
  StoreOutcome stored = ReplaceSourceEntries(*runner.db, source, entries, now, seq);
  if (stored.ok) stored = SetMetaValue(*runner.db, countName, static_cast<int64_t>(entries.size()));
  if (!stored.ok) {
    ServeLog(runner.settings, LogLevel::kFailure,
             Concat("cannot store the harvest of ", source, ": ", stored.error,
                    "; the last list is kept"));
    return false;
  }
  ServeLog(runner.settings, LogLevel::kDetail,
           Concat("harvest of ", source, ": ", std::to_string(entries.size()), " entries"));
  return true;
}

// Harvests the site into harvest.dat; its entries, or none when it stopped or found nothing.
std::vector<SourceEntry> HarvestSite(Runner& runner) {
  const std::string newPath = DataPath(runner, kNewListName);
  auto state = std::make_unique<HarvestState>();
  HarvestObserver quiet;  // the log says what came of the harvest
  const HarvestResult result = RunUpdate(
      *state, {runner.settings.siteBase, newPath, kHarvestJobs, {}}, quiet, ConsoleStopToken());
  // The fetch workers end with the run; joining them here leaves no ended thread behind
  // until the next harvest, or at exit.
  WaitForFetchWorkers(kFetchWorkerWaitMilliseconds);
  std::vector<SourceEntry> entries;
  if (ConsoleStopToken().StopRequested()) return entries;
  if (result.saveFailed) {
    ServeLog(runner.settings, LogLevel::kFailure,
             Concat("cannot save the harvest: ", result.saveProblem));
  }
  ForEachRecord(state->channels, [&entries](const ChannelRecord& record) {
    SourceEntry e = SiteEntry(record);
    if (!e.stream.empty()) entries.push_back(std::move(e));
  });
  return entries;
}

// Puts the database's entries into the view with the change sequence seq.
void Reload(Runner& runner, int64_t seq, bool channelFileChanged) {
  std::vector<EntryRow> rows = LoadEntries(*runner.db);
  std::optional<std::string> channelFile;
  if (channelFileChanged) channelFile = ReadWholeFile(DataPath(runner, kChannelFileName));
  runner.view->EntriesReloaded(std::move(rows), seq, Now(), std::move(channelFile));
}

// Harvests the site and every playlist; false when a stop cut it short.
bool RunHarvest(Runner& runner) {
  const ServeSettings& settings = runner.settings;
  const int64_t began = SteadyMilliseconds();
  ServeLog(settings, LogLevel::kRun, "harvest started");
  runner.view->RunBegan(RunKind::kHarvest, 1 + static_cast<int64_t>(settings.playlists.size()),
                        Now());
  const int64_t seq = runner.view->NextSeq();
  const int64_t now = Now();
  std::vector<std::string> sources;
  bool siteTaken = false;
  size_t found = 0;
  size_t kept = 0;  // sources whose new list was not taken
  if (!settings.siteBase.empty()) {
    sources.push_back(kSiteSource);
    const std::vector<SourceEntry> entries = HarvestSite(runner);
    const std::string newPath = DataPath(runner, kNewListName);
    if (ConsoleStopToken().StopRequested()) {
      std::remove(newPath.c_str());
      runner.view->RunEnded();
      return false;
    }
    found += entries.size();
    siteTaken = TakeSource(runner, kSiteSource, entries, seq, now);
    if (!siteTaken) ++kept;
    if (siteTaken &&
        std::rename(newPath.c_str(), DataPath(runner, kChannelFileName).c_str()) != 0) {
      ServeLog(settings, LogLevel::kFailure,
               Concat("cannot keep channels.dat: ", SystemErrorText(LastSystemError())));
    }
    std::remove(newPath.c_str());
  }
  for (const std::string& playlist : settings.playlists) {
    sources.push_back(playlist);
    std::string problem;
    const std::vector<SourceEntry> entries = ReadListEntries(playlist, problem);
    if (ConsoleStopToken().StopRequested()) break;
    found += entries.size();
    if (!problem.empty()) {
      ServeLog(settings, LogLevel::kFailure,
               Concat("cannot read ", playlist, ": ", problem, "; the last list is kept"));
      ++kept;
    } else if (!TakeSource(runner, playlist, entries, seq, now)) {
      ++kept;
    }
  }
  if (!ConsoleStopToken().StopRequested()) KeepSources(*runner.db, sources);
  Reload(runner, seq, siteTaken);
  runner.view->RunEnded();
  if (ConsoleStopToken().StopRequested()) return false;
  const int64_t took = SteadyMilliseconds() - began;
  SetMetaValue(*runner.db, kLastHarvest, Now());
  SetMetaValue(*runner.db, kHarvestComplete, kept == 0 ? 1 : 0);
  SetMetaValue(*runner.db, kHarvestMs, took);
  SetMetaValue(*runner.db, kSeq, seq);
  runner.view->HarvestFinished(Now(), kept == 0, static_cast<double>(took) / 1000);
  const size_t served =
      runner.view->Read([](const ViewState& view) { return view.entries.size(); });
  ServeLog(settings, LogLevel::kRun,
           Concat("harvest done: ", std::to_string(found), " entries found, ",
                  std::to_string(served), " served, in ", Seconds(took),
                  kept == 0 ? ""
                            : Concat("; ", std::to_string(kept),
                                     " sources kept their last list, tried again in ",
                                     Seconds(RetryAfter(settings) * 1000))));
  return true;
}

// The results of a check not yet committed, and when the last batch was.
struct PendingResults {
  std::vector<NewResult> results;
  int64_t lastCommit = 0;
  bool failureSaid = false;
};

// Stores the pictures of results, each marked frozen when it is the same as the entry's last;
// for each result whether its picture is frozen, or none when it has none (or it could not be
// stored).
std::vector<std::optional<bool>> StorePictures(Database& db,
                                               const std::vector<NewResult>& results) {
  std::vector<std::optional<bool>> frozen(results.size());
  for (size_t i = 0; i < results.size(); ++i) {
    const Picture& picture = results[i].result.picture;
    if (picture.jpeg.empty()) continue;
    if (StorePicture(db, results[i].entryId, results[i].time, picture.jpeg, picture.hash,
                     picture.black)
            .ok) {
      frozen[i] = PictureFrozen(db, results[i].entryId);
    }
  }
  return frozen;
}

// Commits the pending results to the database and the view. A database that cannot be
// written (a full disk, a read-only file) is said once per run; the view still takes them.
void Commit(Runner& runner, PendingResults& pending) {
  pending.lastCommit = SteadyMilliseconds();
  if (pending.results.empty()) return;
  const int64_t seq = runner.view->NextSeq();
  AddedResults added = AddResults(*runner.db, pending.results, seq);
  if (added.outcome.ok) added.outcome = SetMetaValue(*runner.db, kSeq, seq);
  if (!added.outcome.ok && !pending.failureSaid) {
    ServeLog(runner.settings, LogLevel::kFailure,
             Concat("cannot store check results: ", added.outcome.error,
                    "; they are served until the program ends"));
    pending.failureSaid = true;
  }
  const std::vector<std::optional<bool>> frozen = StorePictures(*runner.db, pending.results);
  runner.view->ResultsArrived(pending.results, frozen, added.counts, added.outcome.ok, seq, Now());
  pending.results.clear();
}

// Checks every entry; false when a stop cut it short (its finished results are kept).
bool RunCheck(Runner& runner) {
  const ServeSettings& settings = runner.settings;
  std::vector<std::pair<int64_t, CheckTarget>> targets;
  runner.view->Read([&](const ViewState& view) {
    for (const EntryRow& row : view.entries) {
      targets.emplace_back(
          row.id, CheckTarget{row.entry.stream, RequestOf(row.entry.request, settings.userAgent)});
    }
  });
  const int64_t began = SteadyMilliseconds();
  ServeLog(settings, LogLevel::kRun,
           Concat("check started: ", std::to_string(targets.size()), " entries"));
  runner.view->RunBegan(RunKind::kCheck, static_cast<int64_t>(targets.size()), Now());
  PendingResults pending;
  pending.lastCommit = began;
  int64_t live = 0;
  const auto targetAt = [&targets](size_t index) { return targets[index].second; };
  CheckSettings check = settings.check;
  check.pictures = PicturesAvailable();
  CheckPlan plan = PlanChecks(targets.size(), targetAt);
  const auto done = [&](uint32_t entry, const CheckResult& result) {
    int64_t finished = 0;  // the entry and those that repeat it
    for (uint32_t r = entry; r != kNoEntry; r = plan.nextRepeat[r], ++finished) {
      pending.results.push_back(NewResult{targets[r].first, Now(), result});
    }
    if (result.verdict == Verdict::kLive) live += finished;
    runner.view->ResultChecked(finished, live);
    if (SteadyMilliseconds() - pending.lastCommit >= kCommitMilliseconds) Commit(runner, pending);
  };
  RunCheckPlan(plan, targetAt, check, settings.retries, {}, done, {}, ConsoleStopToken());
  Commit(runner, pending);
  runner.view->RunEnded();
  const int64_t took = SteadyMilliseconds() - began;
  if (ConsoleStopToken().StopRequested()) {
    ServeLog(settings, LogLevel::kRun, "check stopped; its finished results are kept");
    return false;
  }
  const StoreOutcome pruned = PruneResults(*runner.db, Now() - kHistoryDays * kSecondsPerDay);
  if (!pruned.ok) {
    ServeLog(settings, LogLevel::kFailure, Concat("cannot prune the history: ", pruned.error));
  }
  Reload(runner, 0, false);
  SetMetaValue(*runner.db, kLastCheck, Now());
  SetMetaValue(*runner.db, kCheckMs, took);
  const double seconds = static_cast<double>(took) / 1000;
  runner.view->CheckFinished(Now(), seconds,
                             seconds > 0 ? static_cast<double>(targets.size()) / seconds : 0);
  ServeLog(settings, LogLevel::kRun,
           Concat("check done: ", std::to_string(live), " live of ", std::to_string(targets.size()),
                  " in ", Seconds(took)));
  return true;
}

bool Due(const std::optional<int64_t>& last, int64_t every) {
  return !last || Now() - *last >= every || *last > Now();
}

// The run to start now, or none.
RunKind NextRun(Runner& runner) {
  {
    std::lock_guard<std::mutex> lock(runner.mutex);
    if (runner.requested != RunKind::kNone) {
      const RunKind kind = runner.requested;
      runner.requested = RunKind::kNone;
      runner.busy = true;
      return kind;
    }
  }
  const RunKind kind = runner.view->Read([&runner](const ViewState& view) {
    const int64_t harvestEvery = view.lastHarvestComplete ? runner.settings.harvestEverySeconds
                                                          : RetryAfter(runner.settings);
    if (Due(view.lastHarvest, harvestEvery)) return RunKind::kHarvest;
    if (Due(view.lastCheck, runner.settings.checkEverySeconds)) return RunKind::kCheck;
    return RunKind::kNone;
  });
  if (kind != RunKind::kNone) {
    std::lock_guard<std::mutex> lock(runner.mutex);
    runner.busy = true;
  }
  return kind;
}

}  // namespace

void ServeLog(const ServeSettings& settings, LogLevel level, const std::string& line) {
  if (level == LogLevel::kRun && settings.quiet) return;
  if (level == LogLevel::kDetail && !settings.verbose) return;
  std::lock_guard<std::mutex> lock(g_logMutex);
  const std::string text = Concat(kLogPrefix, line, "\n");
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

std::string HarvestRefusal(int64_t previousCount, int64_t foundCount) {
  if (foundCount <= 0) return "found nothing";
  if (static_cast<double>(foundCount) <
      static_cast<double>(previousCount) * kLeastShareOfLastHarvest) {
    return Concat("found ", std::to_string(foundCount), " entries, fewer than half of the last ",
                  std::to_string(previousCount));
  }
  return std::string();
}

void LoadView(Runner& runner) {
  std::vector<EntryRow> rows = LoadEntries(*runner.db);
  int64_t seq = MetaValue(*runner.db, kSeq).value_or(0);
  int64_t changed = 0;  // the last change the database holds, for a Last-Modified that lasts
  for (const EntryRow& row : rows) {
    seq = std::max(seq, row.seq);
    changed = std::max({changed, row.lastSeen, row.last ? row.last->time : 0});
  }
  ViewState view;
  view.entries = std::move(rows);
  view.seq = seq;
  view.changed = changed;
  view.channelFile = ReadWholeFile(DataPath(runner, kChannelFileName));
  view.lastHarvest = MetaValue(*runner.db, kLastHarvest);
  view.lastHarvestComplete = MetaValue(*runner.db, kHarvestComplete).value_or(1) != 0;
  view.lastCheck = MetaValue(*runner.db, kLastCheck);
  view.lastHarvestSeconds =
      static_cast<double>(MetaValue(*runner.db, kHarvestMs).value_or(0)) / 1000;
  view.lastCheckSeconds = static_cast<double>(MetaValue(*runner.db, kCheckMs).value_or(0)) / 1000;
  runner.view->Load(std::move(view));
}

bool StartAfresh(Runner& runner) {
  const std::string damage = DatabaseDamage(*runner.db).value_or("");
  const FreshStart fresh = StartFresh(*runner.db, Now());
  if (!fresh.outcome.ok) {
    ServeLog(runner.settings, LogLevel::kAlways,
             Concat("the database is damaged (", damage,
                    ") and cannot be replaced: ", fresh.outcome.error));
    return false;
  }
  ServeLog(runner.settings, LogLevel::kAlways,
           Concat("the database was damaged (", damage, "): moved aside to ", fresh.movedTo,
                  "; a new one is harvested now"));
  LoadView(runner);
  runner.view->ListLost(Concat("the database was damaged and moved aside to ", fresh.movedTo));
  return true;
}

bool RequestRun(Runner& runner, RunKind kind) {
  std::lock_guard<std::mutex> lock(runner.mutex);
  if (runner.busy || runner.requested != RunKind::kNone) return false;
  runner.requested = kind;
  runner.wake.notify_all();
  return true;
}

void RunSchedule(Runner& runner, const std::function<bool()>& stopped) {
  bool replaceFailed = false;
  while (!stopped()) {
    const RunKind kind = NextRun(runner);
    if (kind == RunKind::kHarvest && RunHarvest(runner)) RunCheck(runner);
    if (kind == RunKind::kCheck) RunCheck(runner);
    // A read or write that met a damaged database: serve goes on with a new one; when it
    // cannot, with the list it holds, said once.
    if (!replaceFailed && DatabaseDamage(*runner.db)) replaceFailed = !StartAfresh(runner);
    std::unique_lock<std::mutex> lock(runner.mutex);
    runner.busy = false;
    if (kind == RunKind::kNone) {
      runner.wake.wait_for(lock, std::chrono::milliseconds(kScheduleWaitMilliseconds));
    }
  }
}
