// The check engine: workers take the next row whose host has a free connection, follow its
// wrappers and probe; the caller's thread reports results as they come in.
#include "check/check_run.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include <netdb.h>
#include <sys/socket.h>

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
// behind after a cancel. Rows wait in one queue per host; ready holds the first waiting row of
// every host that has room for a new row, so taking the next row costs no scan of the list.
struct CheckBoard {
  std::vector<CheckTarget> targets;
  std::vector<std::string> hosts;  // the host key of each address, "" when it has none
  std::map<std::string, std::string> hostKeys;  // host name -> the address it resolves to
  CheckSettings settings;
  std::mutex mutex;
  std::condition_variable changed;  // a connection came free, a check ended, a worker left
  std::map<std::string, std::deque<size_t>> queued;  // rows not yet taken, by host, in order
  std::set<size_t> ready;
  size_t queuedCount = 0;
  std::map<std::string, int> openPerHost;
  std::map<std::string, int> waitingPerHost;  // running checks waiting for another host
  // Checks ended but not yet reported; a result is held only until it is reported.
  std::vector<std::pair<size_t, CheckResult>> finished;
  int workersRunning = 0;
};

// One row's check: its deadline, the addresses it has opened, and the host whose connection
// it holds from probe to probe.
struct Trail {
  ProbeLimits limits;
  std::set<std::string> seen;
  std::string heldHost;
};

// Room for one more connection to host; a new row also leaves room for the running checks
// that wait for that host, so that a check's next step never waits behind new rows.
bool HostHasRoom(CheckBoard& board, const std::string& host, bool newRow) {
  if (host.empty()) return true;
  const int waiting = newRow ? board.waitingPerHost[host] : 0;
  return board.openPerHost[host] + waiting < board.settings.perHost;
}

// Puts host's first waiting row into ready when a new row of it may start, else takes it out.
void RefreshReady(CheckBoard& board, const std::string& host) {
  auto queue = board.queued.find(host);
  if (queue == board.queued.end() || queue->second.empty()) return;
  if (HostHasRoom(board, host, true)) {
    board.ready.insert(queue->second.front());
  } else {
    board.ready.erase(queue->second.front());
  }
}

void ClaimHost(CheckBoard& board, const std::string& host) {
  if (host.empty()) return;
  ++board.openPerHost[host];
  RefreshReady(board, host);
}

void ReleaseHost(CheckBoard& board, const std::string& host) {
  if (host.empty()) return;
  {
    std::lock_guard<std::mutex> lock(board.mutex);
    --board.openPerHost[host];
    RefreshReady(board, host);
  }
  board.changed.notify_all();
}

// Waits for a free connection to host; false when the deadline passes or the run is cancelled.
bool AcquireHost(CheckBoard& board, const std::string& host, CheckClock::time_point deadline) {
  std::unique_lock<std::mutex> lock(board.mutex);
  ++board.waitingPerHost[host];
  RefreshReady(board, host);
  bool got = true;
  while (!HostHasRoom(board, host, false)) {
    if (RunCancelled() || CheckClock::now() >= deadline) {
      got = false;
      break;
    }
    board.changed.wait_for(lock, kWaitStep);
  }
  --board.waitingPerHost[host];
  if (got) {
    ClaimHost(board, host);
  } else {
    RefreshReady(board, host);
  }
  return got;
}

// The first waiting row whose host has room, with that connection claimed; none when all rows
// are taken or the run is cancelled.
bool TakeNextRow(CheckBoard& board, size_t* index) {
  std::unique_lock<std::mutex> lock(board.mutex);
  while (board.queuedCount > 0 && !RunCancelled()) {
    if (board.ready.empty()) {
      board.changed.wait_for(lock, kWaitStep);
      continue;
    }
    *index = *board.ready.begin();
    board.ready.erase(board.ready.begin());
    const std::string& host = board.hosts[*index];
    board.queued[host].pop_front();
    --board.queuedCount;
    if (host.empty()) {
      RefreshReady(board, host);
    } else {
      ClaimHost(board, host);
    }
    return true;
  }
  return false;
}

// The numeric address a host name stands for, its first IPv4 one when it has any: "127.1",
// "2130706433" and "localhost" all give "127.0.0.1". The name itself when it does not resolve.
std::string ResolvedHost(const std::string& host) {
  std::string name = host;
  if (StartsWith(name, "[") && name.back() == ']') name = name.substr(1, name.size() - 2);
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return host;
  const addrinfo* chosen = found;
  for (const addrinfo* each = found; each != nullptr; each = each->ai_next) {
    if (each->ai_family == AF_INET) {
      chosen = each;
      break;
    }
  }
  char text[NI_MAXHOST] = {};
  const int failed = getnameinfo(chosen->ai_addr, chosen->ai_addrlen, text, sizeof text, nullptr,
                                 0, NI_NUMERICHOST);
  freeaddrinfo(found);
  return failed != 0 ? host : std::string(text);
}

// The key that counts connections: the numeric address of the host, resolved once per name.
std::string HostKey(CheckBoard& board, const std::string& host) {
  if (host.empty()) return host;
  {
    std::lock_guard<std::mutex> lock(board.mutex);
    auto known = board.hostKeys.find(host);
    if (known != board.hostKeys.end()) return known->second;
  }
  const std::string key = ResolvedHost(host);
  std::lock_guard<std::mutex> lock(board.mutex);
  board.hostKeys[host] = key;
  return key;
}

// The host key of every row; the names are resolved by as many threads as the run has workers.
void ResolveHosts(CheckBoard& board) {
  std::vector<std::string> names;
  for (const CheckTarget& target : board.targets) {
    // An address no probe opens needs no lookup.
    const std::string address = TrimSpaces(target.address);
    const StreamScheme scheme = SchemeOf(address);
    const bool opened = scheme != StreamScheme::kNone && scheme != StreamScheme::kUnsupported;
    names.push_back(opened ? HostOf(address) : std::string());
  }
  std::vector<std::string> distinct(names);
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  std::atomic<size_t> next{0};
  auto resolve = [&] {
    for (size_t i = next++; i < distinct.size() && !RunCancelled(); i = next++) HostKey(board, distinct[i]);
  };
  const size_t threadCount =
      std::min(distinct.size(), static_cast<size_t>(std::max(1, board.settings.jobs)));
  std::vector<std::thread> threads;
  for (size_t i = 0; i < threadCount; ++i) threads.emplace_back(resolve);
  for (std::thread& thread : threads) thread.join();
  for (const std::string& name : names) board.hosts.push_back(HostKey(board, name));
}

CheckResult TimeUp(const Trail& trail) {
  if (RunCancelled()) return Judged(Verdict::kUnreachable, "stopped");
  return OpenFailure(0, "", "", true, trail.limits.timeoutSeconds);
}

// Opens address with one connection of its host: the one the check holds when the host is
// the same, else a new one, given up when the deadline passes while it waits.
ProbeOutcome ProbeWithConnection(CheckBoard& board, const std::string& address, StreamScheme scheme,
                                 Trail& trail) {
  const std::string host = HostKey(board, HostOf(address));
  if (!TextEquals(trail.heldHost, host)) {
    ReleaseHost(board, trail.heldHost);
    trail.heldHost.clear();
    if (!AcquireHost(board, host, trail.limits.deadline)) {
      ProbeOutcome outcome;
      outcome.result = TimeUp(trail);
      return outcome;
    }
    trail.heldHost = host;
  }
  return ProbeAddress(address, scheme, trail.limits);
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
  trail.limits.request = board.targets[index].request;
  trail.heldHost = board.hosts[index];
  CheckResult result = FollowAddress(board, TrimSpaces(board.targets[index].address), 0, trail);
  ReleaseHost(board, trail.heldHost);
  result.elapsedMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(CheckClock::now() - start).count();
  return result;
}

void RunWorker(std::shared_ptr<CheckBoard> board) {
  size_t index = 0;
  while (TakeNextRow(*board, &index)) {
    CheckResult result = CheckRow(*board, index);
    std::lock_guard<std::mutex> lock(board->mutex);
    board->finished.emplace_back(index, std::move(result));
    board->changed.notify_all();
  }
  std::lock_guard<std::mutex> lock(board->mutex);
  --board->workersRunning;
  board->changed.notify_all();
}

}  // namespace

void CheckStreams(std::vector<CheckTarget> targets,
                                      const CheckSettings& settings,
                                      const CheckProgress& progress) {
  StartMediaLibrary();
  auto board = std::make_shared<CheckBoard>();
  const size_t addressCount = targets.size();
  board->targets = std::move(targets);
  board->settings = settings;
  ResolveHosts(*board);
  for (size_t i = 0; i < addressCount; ++i) {
    board->queued[board->hosts[i]].push_back(i);
    ++board->queuedCount;
  }
  for (const auto& [host, queue] : board->queued) board->ready.insert(queue.front());
  const size_t workerCount = std::min(addressCount, static_cast<size_t>(settings.jobs));
  board->workersRunning = static_cast<int>(workerCount);
  std::vector<std::thread> workers;
  for (size_t i = 0; i < workerCount; ++i) workers.emplace_back(RunWorker, board);

  std::unique_lock<std::mutex> lock(board->mutex);
  CheckClock::time_point giveUpAt = CheckClock::time_point::max();
  while (board->workersRunning > 0 || !board->finished.empty()) {
    std::vector<std::pair<size_t, CheckResult>> finished;
    finished.swap(board->finished);
    if (RunCancelled()) finished.clear();  // checks cut short by the cancel say nothing
    for (const auto& [index, result] : finished) {
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
  lock.unlock();
  // A worker stuck where no cancel reaches (a name lookup) is left behind; it owns its board.
  for (std::thread& worker : workers) {
    if (allEnded) {
      worker.join();
    } else {
      worker.detach();
    }
  }
}
