// The check engine: workers take the next row whose host has a free connection, look its host
// up when it is the first of that name, follow its wrappers and probe; the caller's thread
// reports results as they come in.
#include "check/check_run.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>

#include <netdb.h>
#include <sys/socket.h>

#include "check/check_probe.h"
#include "check/check_wrapper.h"
#include "harvest/update_run.h"
#include "text/text.h"

namespace {

const auto kWaitStep = std::chrono::milliseconds(50);
const auto kStopGrace = std::chrono::seconds(1);  // for workers to notice a cancel
const uint32_t kNoRow = UINT32_MAX;
const char kMmsOverHttp[] = "mmsh";
const char kMmsOverTcp[] = "mmst";

// The rows of one host name that wait to be taken, in list order (linked through the board's
// nextInHost), and the key the name stands for once it has been looked up.
struct RowHost {
  std::string name;  // "" for the addresses no probe opens
  std::string key;   // set once, before known
  bool known = false;
  bool lookingUp = false;  // its first row is being looked up; the others wait
  uint32_t head = kNoRow;
  uint32_t tail = kNoRow;
};

// Shared by the caller and the workers; workers hold it too, so the caller may leave them
// behind after a cancel. ready holds the first waiting row of every host name that has room
// for a new row, so taking the next row costs no scan of the list. Connections are counted by
// key, the address a name resolves to.
struct CheckBoard {
  CheckTargetAt targetAt;
  CheckSettings settings;
  std::shared_ptr<SlotPool> slots;
  std::vector<uint32_t> hostOf;      // the row host of each target
  std::vector<uint32_t> nextInHost;  // the row after each in its host's queue
  std::vector<RowHost> hosts;        // fixed once the run starts
  std::mutex mutex;
  std::condition_variable changed;  // a connection came free, a check ended, a worker left
  std::map<std::string, std::string> hostKeys;  // host name -> the address it resolves to
  std::set<std::string> lookingUp;              // names whose lookup is under way
  std::map<std::string, std::vector<uint32_t>> hostsOfKey;  // the row hosts of each key
  std::set<uint32_t> ready;
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

// Puts the first waiting row of a host name into ready when a new row of it may start, else
// takes it out. A name not looked up yet may start: its lookup comes first.
void RefreshReady(CheckBoard& board, uint32_t h) {
  const RowHost& host = board.hosts[h];
  if (host.head == kNoRow) return;
  if (!host.lookingUp && (!host.known || HostHasRoom(board, host.key, true))) {
    board.ready.insert(host.head);
  } else {
    board.ready.erase(host.head);
  }
}

void RefreshKey(CheckBoard& board, const std::string& key) {
  auto names = board.hostsOfKey.find(key);
  if (names == board.hostsOfKey.end()) return;
  for (uint32_t h : names->second) RefreshReady(board, h);
}

void ClaimHost(CheckBoard& board, const std::string& host) {
  if (host.empty()) return;
  ++board.openPerHost[host];
  RefreshKey(board, host);
}

void ReleaseHost(CheckBoard& board, const std::string& host) {
  if (host.empty()) return;
  {
    std::lock_guard<std::mutex> lock(board.mutex);
    --board.openPerHost[host];
    RefreshKey(board, host);
  }
  board.changed.notify_all();
}

// Waits for a free connection to host; false when the deadline passes or the run is cancelled.
bool AcquireHost(CheckBoard& board, const std::string& host, CheckClock::time_point deadline) {
  std::unique_lock<std::mutex> lock(board.mutex);
  ++board.waitingPerHost[host];
  RefreshKey(board, host);
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
    RefreshKey(board, host);
  }
  return got;
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

// The numeric address of host, looked up on a thread in slot until `until`; the name itself
// when the lookup fails or is left behind.
std::string LookUp(ThreadSlot& slot, const std::string& host, CheckClock::time_point until) {
  auto key = std::make_shared<std::string>(host);
  if (!RunInSlot(slot, [key, host] { *key = ResolvedHost(host); }, until)) return host;
  return *key;
}

// The key that counts connections: the numeric address of the host, looked up once per name;
// a second asker waits for the first one's lookup.
std::string HostKey(CheckBoard& board, const std::string& host, ThreadSlot& slot,
                    CheckClock::time_point until) {
  if (host.empty()) return host;
  std::unique_lock<std::mutex> lock(board.mutex);
  for (;;) {
    auto known = board.hostKeys.find(host);
    if (known != board.hostKeys.end()) return known->second;
    if (board.lookingUp.count(host) == 0) break;
    if (RunCancelled() || CheckClock::now() >= until) return host;
    board.changed.wait_for(lock, kWaitStep);
  }
  board.lookingUp.insert(host);
  lock.unlock();
  const std::string key = LookUp(slot, host, until);
  lock.lock();
  board.hostKeys[host] = key;
  board.lookingUp.erase(host);
  lock.unlock();
  board.changed.notify_all();
  return key;
}

// The first waiting row whose host has room, with that connection claimed; none when all rows
// are taken or the run is cancelled. The first row of a host name looks the name up (in the
// worker's slot, bounded by the time-out) and goes back to the front of its queue when the
// address it resolves to has no room. *lookupStart is when that lookup began.
bool TakeNextRow(CheckBoard& board, ThreadSlot& slot, size_t* index,
                 CheckClock::time_point* lookupStart) {
  std::unique_lock<std::mutex> lock(board.mutex);
  while (board.queuedCount > 0 && !RunCancelled()) {
    if (board.ready.empty()) {
      board.changed.wait_for(lock, kWaitStep);
      continue;
    }
    const uint32_t row = *board.ready.begin();
    board.ready.erase(board.ready.begin());
    const uint32_t h = board.hostOf[row];
    RowHost& host = board.hosts[h];
    host.head = board.nextInHost[row];
    if (host.head == kNoRow) host.tail = kNoRow;
    --board.queuedCount;
    if (!host.known) {
      host.lookingUp = true;
      lock.unlock();
      *lookupStart = CheckClock::now();
      const auto until = *lookupStart + std::chrono::seconds(board.settings.timeoutSeconds);
      const std::string key = HostKey(board, host.name, slot, until);
      lock.lock();
      host.key = key;
      host.known = true;
      host.lookingUp = false;
      board.hostsOfKey[key].push_back(h);
      if (!HostHasRoom(board, key, true)) {  // back to the front of its queue
        board.nextInHost[row] = host.head;
        host.head = row;
        if (host.tail == kNoRow) host.tail = row;
        ++board.queuedCount;
        RefreshKey(board, key);
        continue;
      }
    }
    *index = row;
    if (host.key.empty()) {
      RefreshReady(board, h);
    } else {
      ClaimHost(board, host.key);
    }
    return true;
  }
  return false;
}

// Queues every target under its host name, in list order. An address no probe opens has no
// host and needs no lookup.
void QueueRows(CheckBoard& board, size_t count) {
  std::unordered_map<std::string, uint32_t> hostIndex;
  board.hostOf.resize(count);
  board.nextInHost.assign(count, kNoRow);
  for (size_t i = 0; i < count; ++i) {
    const std::string address = TrimSpaces(board.targetAt(i).address);
    const StreamScheme scheme = SchemeOf(address);
    const bool opened = scheme != StreamScheme::kNone && scheme != StreamScheme::kUnsupported;
    const std::string name = opened ? HostOf(address) : std::string();
    const auto [it, added] = hostIndex.emplace(name, static_cast<uint32_t>(board.hosts.size()));
    if (added) {
      board.hosts.emplace_back();
      board.hosts.back().name = name;
      board.hosts.back().known = name.empty();
    }
    RowHost& host = board.hosts[it->second];
    board.hostOf[i] = it->second;
    const uint32_t row = static_cast<uint32_t>(i);
    if (host.tail == kNoRow) {
      host.head = row;
    } else {
      board.nextInHost[host.tail] = row;
    }
    host.tail = row;
  }
  board.queuedCount = count;
  for (const RowHost& host : board.hosts) {
    if (host.head != kNoRow) board.ready.insert(host.head);
  }
}

CheckResult TimeUp(const Trail& trail) {
  if (RunCancelled()) return Judged(Verdict::kUnreachable, "stopped");
  return OpenFailure(0, "", "", true, trail.limits.timeoutSeconds);
}

// Opens address with one connection of its host: the one the check holds when the host is
// the same, else a new one, given up when the deadline passes while it waits.
ProbeOutcome ProbeWithConnection(CheckBoard& board, const std::string& address, StreamScheme scheme,
                                 Trail& trail) {
  const std::string host =
      HostKey(board, HostOf(address), *trail.limits.slot, trail.limits.deadline);
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
  if (IsWrapper(outcome.kind)) return FollowEntries(board, outcome, outcome.address, depth, trail);
  if (outcome.result.verdict == Verdict::kLive) outcome.result.played = address;
  return outcome.result;
}

// Checks one row in the worker's slot; the time-out counts from when the check starts. A row
// whose host lookup was left behind at the time-out (the slot went with it) has that verdict:
// its probe would only wait for the same lookup again.
CheckResult CheckRow(CheckBoard& board, size_t index, ThreadSlot& slot,
                     CheckClock::time_point lookupStart) {
  const RowHost& host = board.hosts[board.hostOf[index]];
  if (!slot.held) {
    ReleaseHost(board, host.key);
    Trail lookup;
    lookup.limits.timeoutSeconds = board.settings.timeoutSeconds;
    CheckResult result = TimeUp(lookup);
    result.elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                           CheckClock::now() - lookupStart).count();
    return result;
  }
  const CheckTarget target = board.targetAt(index);
  const CheckClock::time_point start = CheckClock::now();
  Trail trail;
  trail.limits.deadline = start + std::chrono::seconds(board.settings.timeoutSeconds);
  trail.limits.timeoutSeconds = board.settings.timeoutSeconds;
  trail.limits.request = target.request;
  trail.limits.slot = &slot;
  trail.limits.picture = board.settings.pictures;
  trail.heldHost = host.key;
  CheckResult result = FollowAddress(board, TrimSpaces(target.address), 0, trail);
  ReleaseHost(board, trail.heldHost);
  result.elapsedMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(CheckClock::now() - start).count();
  return result;
}

void RunWorker(std::shared_ptr<CheckBoard> board) {
  ThreadSlot slot{board->slots, false};
  size_t index = 0;
  CheckClock::time_point lookupStart;
  while (TakeSlot(slot) && TakeNextRow(*board, slot, &index, &lookupStart)) {
    CheckResult result = CheckRow(*board, index, slot, lookupStart);
    std::lock_guard<std::mutex> lock(board->mutex);
    board->finished.emplace_back(index, std::move(result));
    board->changed.notify_all();
  }
  ReturnSlot(slot);
  std::lock_guard<std::mutex> lock(board->mutex);
  --board->workersRunning;
  board->changed.notify_all();
}

}  // namespace

void CheckStreams(size_t count, const CheckTargetAt& targetAt, const CheckSettings& settings,
                  const CheckProgress& progress) {
  StartMediaLibrary();
  auto board = std::make_shared<CheckBoard>();
  board->targetAt = targetAt;
  board->settings = settings;
  QueueRows(*board, count);
  const size_t workerCount = std::min(count, static_cast<size_t>(settings.jobs));
  board->slots = NewSlotPool(static_cast<int>(workerCount));
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
