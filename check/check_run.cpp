// The check engine: workers take the next row whose host has a free connection, follow its
// wrappers and probe; the caller's thread reports results as they come in.
#include "check/check_run.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "check/check_probe.h"
#include "check/check_wrapper.h"
#include "harvest/update_run.h"
#include "text/text.h"

namespace {

const auto kWaitStep = std::chrono::milliseconds(50);
const auto kStopGrace = std::chrono::seconds(1);  // for workers to notice a cancel
const char kMmsOverHttp[] = "mmsh";
const char kMmsOverTcp[] = "mmst";

// Shared by the caller and the workers; workers hold it too, so the caller may leave them
// behind after a cancel.
struct CheckBoard {
  std::vector<std::string> addresses;
  std::vector<std::string> hosts;  // of each address, "" when it has none
  CheckSettings settings;
  std::mutex mutex;
  std::condition_variable changed;  // a connection came free, a check ended, a worker left
  std::vector<size_t> pending;      // addresses not yet taken, in list order
  std::map<std::string, int> openPerHost;
  std::vector<CheckResult> results;
  std::vector<size_t> finished;  // checks ended but not yet reported
  int workersRunning = 0;
};

// One row's check: its deadline and the addresses it has opened.
struct Trail {
  ProbeLimits limits;
  std::set<std::string> seen;
  std::string reservedHost;  // the connection TakeNextRow claimed for the row's first probe
};

bool HostHasRoom(CheckBoard& board, const std::string& host) {
  return host.empty() || board.openPerHost[host] < board.settings.perHost;
}

void ReleaseHost(CheckBoard& board, const std::string& host) {
  if (host.empty()) return;
  {
    std::lock_guard<std::mutex> lock(board.mutex);
    --board.openPerHost[host];
  }
  board.changed.notify_all();
}

// Waits for a free connection to host; false when the deadline passes or the run is cancelled.
bool AcquireHost(CheckBoard& board, const std::string& host, CheckClock::time_point deadline) {
  std::unique_lock<std::mutex> lock(board.mutex);
  while (!HostHasRoom(board, host)) {
    if (RunCancelled() || CheckClock::now() >= deadline) return false;
    board.changed.wait_for(lock, kWaitStep);
  }
  ++board.openPerHost[host];
  return true;
}

// The first pending row whose host has room, with that connection claimed; none when all
// rows are taken or the run is cancelled.
bool TakeNextRow(CheckBoard& board, size_t* index) {
  std::unique_lock<std::mutex> lock(board.mutex);
  while (!board.pending.empty() && !RunCancelled()) {
    for (auto it = board.pending.begin(); it != board.pending.end(); ++it) {
      const std::string& host = board.hosts[*it];
      if (!HostHasRoom(board, host)) continue;
      if (!host.empty()) ++board.openPerHost[host];
      *index = *it;
      board.pending.erase(it);
      return true;
    }
    board.changed.wait_for(lock, kWaitStep);
  }
  return false;
}

CheckResult TimeUp(const Trail& trail) {
  if (RunCancelled()) return Judged(Verdict::kUnreachable, "stopped");
  return OpenFailure(0, "", "", true, trail.limits.timeoutSeconds);
}

// Opens address with one connection of its host, claimed here unless the row's reserved one.
ProbeOutcome ProbeWithConnection(CheckBoard& board, const std::string& address, StreamScheme scheme,
                                 Trail& trail) {
  const std::string host = HostOf(address);
  if (TextEquals(trail.reservedHost, host)) {
    trail.reservedHost.clear();
  } else {
    ReleaseHost(board, trail.reservedHost);
    trail.reservedHost.clear();
    if (!AcquireHost(board, host, trail.limits.deadline)) {
      ProbeOutcome outcome;
      outcome.result = TimeUp(trail);
      return outcome;
    }
  }
  ProbeOutcome outcome = ProbeAddress(address, scheme, trail.limits);
  ReleaseHost(board, host);
  return outcome;
}

CheckResult FollowAddress(CheckBoard& board, const std::string& address, int depth, Trail& trail);

// The first entry that plays; else the verdict of the first entry.
CheckResult FollowEntries(CheckBoard& board, const ProbeOutcome& wrapper,
                          const std::string& address, int depth, Trail& trail) {
  if (depth >= kMaxWrapperDepth) {
    return Judged(Verdict::kNoMedia,
                  Concat("wrappers nested more than ", NumberToText(kMaxWrapperDepth), " deep"));
  }
  const std::vector<std::string> entries = WrapperEntries(wrapper.kind, wrapper.body, address);
  if (entries.empty()) return Judged(Verdict::kNoMedia, "wrapper without entries");
  CheckResult first;
  for (size_t i = 0; i < entries.size(); ++i) {
    CheckResult result = FollowAddress(board, entries[i], depth + 1, trail);
    if (result.verdict == Verdict::kLive) return result;
    if (i == 0) first = result;
    if (RunCancelled() || CheckClock::now() >= trail.limits.deadline) break;
  }
  return first;
}

// mms: MMS over HTTP first, then over TCP, as players do; the HTTP answer counts unless
// only TCP reached the server.
CheckResult FollowMms(CheckBoard& board, const std::string& address, int depth, Trail& trail) {
  CheckResult overHttp = FollowAddress(board, WithScheme(address, kMmsOverHttp), depth, trail);
  if (overHttp.verdict == Verdict::kLive || RunCancelled()) return overHttp;
  CheckResult overTcp = FollowAddress(board, WithScheme(address, kMmsOverTcp), depth, trail);
  return overTcp.verdict == Verdict::kUnreachable ? overHttp : overTcp;
}

CheckResult FollowAddress(CheckBoard& board, const std::string& address, int depth, Trail& trail) {
  const StreamScheme scheme = SchemeOf(address);
  if (scheme == StreamScheme::kNone) return Judged(Verdict::kNoStream, "no stream address");
  if (scheme == StreamScheme::kUnsupported) {
    return Judged(Verdict::kUnsupported, "not an address this check can open");
  }
  if (!trail.seen.insert(address).second) {
    return Judged(Verdict::kNoMedia, Concat("wrapper loop back to ", address));
  }
  if (scheme == StreamScheme::kMms) return FollowMms(board, address, depth, trail);
  ProbeOutcome outcome = ProbeWithConnection(board, address, scheme, trail);
  if (IsWrapper(outcome.kind)) return FollowEntries(board, outcome, address, depth, trail);
  if (outcome.result.verdict == Verdict::kLive) outcome.result.played = address;
  return outcome.result;
}

CheckResult CheckRow(CheckBoard& board, size_t index) {
  const CheckClock::time_point start = CheckClock::now();
  Trail trail;
  trail.limits.deadline = start + std::chrono::seconds(board.settings.timeoutSeconds);
  trail.limits.timeoutSeconds = board.settings.timeoutSeconds;
  trail.reservedHost = board.hosts[index];
  CheckResult result = FollowAddress(board, TrimSpaces(board.addresses[index]), 0, trail);
  ReleaseHost(board, trail.reservedHost);
  result.elapsedMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(CheckClock::now() - start).count();
  return result;
}

void RunWorker(std::shared_ptr<CheckBoard> board) {
  size_t index = 0;
  while (TakeNextRow(*board, &index)) {
    CheckResult result = CheckRow(*board, index);
    std::lock_guard<std::mutex> lock(board->mutex);
    board->results[index] = result;
    board->finished.push_back(index);
    board->changed.notify_all();
  }
  std::lock_guard<std::mutex> lock(board->mutex);
  --board->workersRunning;
  board->changed.notify_all();
}

}  // namespace

std::vector<CheckResult> CheckStreams(const std::vector<std::string>& addresses,
                                      const CheckSettings& settings,
                                      const CheckProgress& progress) {
  StartMediaLibrary();
  auto board = std::make_shared<CheckBoard>();
  board->addresses = addresses;
  board->settings = settings;
  board->results.assign(addresses.size(), Judged(Verdict::kUnreachable, "stopped"));
  for (size_t i = 0; i < addresses.size(); ++i) {
    board->hosts.push_back(HostOf(TrimSpaces(addresses[i])));
    board->pending.push_back(i);
  }
  const size_t workerCount = std::min(addresses.size(), static_cast<size_t>(settings.jobs));
  board->workersRunning = static_cast<int>(workerCount);
  std::vector<std::thread> workers;
  for (size_t i = 0; i < workerCount; ++i) workers.emplace_back(RunWorker, board);

  std::unique_lock<std::mutex> lock(board->mutex);
  CheckClock::time_point giveUpAt = CheckClock::time_point::max();
  while (board->workersRunning > 0 || !board->finished.empty()) {
    std::vector<size_t> finished;
    finished.swap(board->finished);
    if (RunCancelled()) finished.clear();  // checks cut short by the cancel say nothing
    for (size_t index : finished) {
      CheckResult result = board->results[index];
      lock.unlock();
      progress(index, result);
      lock.lock();
    }
    if (RunCancelled() && giveUpAt == CheckClock::time_point::max())
      giveUpAt = CheckClock::now() + kStopGrace;
    if (CheckClock::now() >= giveUpAt) break;
    if (board->finished.empty()) board->changed.wait_for(lock, kWaitStep);
  }
  const bool allEnded = board->workersRunning == 0;
  std::vector<CheckResult> results = board->results;
  lock.unlock();
  // A worker stuck where no cancel reaches (a name lookup) is left behind; it owns its board.
  for (std::thread& worker : workers) {
    if (allEnded) {
      worker.join();
    } else {
      worker.detach();
    }
  }
  return results;
}
