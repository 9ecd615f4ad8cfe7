// SPDX-License-Identifier: GPL-2.0-or-later
// The check engine. The owner loop runs on the caller's thread: it starts rows while --jobs
// and the host limits allow, waits on one completion queue until the earliest deadline, a
// completion or a stop, moves each row to its next state and reports verdicts. Only this
// thread touches the rows and the host limiter; the pool's threads run the name lookups and
// probes and post what they found.
#include "check/check_run.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <unordered_map>

#include <netdb.h>
#include <sys/socket.h>

#include "check/check_hosts.h"
#include "check/check_threads.h"
#include "check/check_wrapper.h"
#include "text/text.h"

namespace {

const char kMmsOverHttp[] = "mmsh";
const char kMmsOverTcp[] = "mmst";
const auto kIdleWait = std::chrono::hours(1);  // no deadline ahead: only a completion or a stop

// What a pool thread posts back: a lookup's address, or a probe's outcome.
struct Completion {
  uint32_t row = kNoRow;  // kNoRow for a lookup
  uint64_t call = 0;      // the probe call it answers
  std::string name;       // a lookup's name and the address it resolved to
  std::string key;
  ProbeOutcome outcome;
};

// The owner's one queue: the pool posts to it, a stop wakes it.
struct CompletionQueue {
  std::mutex mutex;
  std::condition_variable posted;
  std::deque<Completion> completions;
  bool stopped = false;

  void Post(Completion completion) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      completions.push_back(std::move(completion));
    }
    posted.notify_one();
  }
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopped = true;
    }
    posted.notify_one();
  }
};

// The states of a row that has left the queue (queued rows are the limiter's; done rows are
// reported and forgotten). kFollowing: between steps, taking the next address of the row or
// of its wrappers; a row that follows a wrapper goes through the other states for each entry.
enum class RowState { kFollowing, kLookingUp, kWaitingForHost, kProbing };

// A wrapper whose entries a row follows, or an mms address tried over HTTP, then TCP.
struct Frame {
  std::vector<std::string> entries;
  size_t next = 1;  // the entry after the one being followed
  int depth = 0;    // of the entries
  bool mms = false;
  CheckResult first;  // of the first entry (of mms: over HTTP)
};

struct Row {
  uint32_t index = 0;
  RowState state = RowState::kFollowing;
  CheckClock::time_point start;  // left the queue; its one deadline counts from here
  CheckClock::time_point deadline;
  ProbeLimits limits;
  std::string address;  // followed now
  StreamScheme scheme = StreamScheme::kNone;
  int depth = 0;
  std::string name;  // the host name looked up or the address waited for
  std::string key;   // the address whose connection it holds or waits for
  bool holds = false;
  uint64_t call = 0;  // its probe in flight
  std::set<std::string> seen;
  std::vector<Frame> frames;
};

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
  const int failed = getnameinfo(chosen->ai_addr, chosen->ai_addrlen, text, sizeof text, nullptr, 0,
                                 NI_NUMERICHOST);
  freeaddrinfo(found);
  return failed != 0 ? host : std::string(text);
}

// The host name a row is queued under: "" for an address no probe opens.
std::string QueueName(const std::string& address) {
  const StreamScheme scheme = SchemeOf(address);
  const bool opened = scheme != StreamScheme::kNone && scheme != StreamScheme::kUnsupported;
  return opened ? HostOf(address) : std::string();
}

class CheckRun {
 public:
  CheckRun(const CheckTargetAt& targetAt, const CheckSettings& settings,
           const CheckProgress& progress, const StopToken& stop, const CheckSteps& steps)
      : targetAt_(targetAt),
        settings_(settings),
        progress_(progress),
        stop_(stop),
        steps_(steps),
        limiter_(settings.perHost),
        pool_(settings.jobs + kMaxLeftBehindProbes) {}

  void Run(size_t count) {
    for (size_t i = 0; i < count; ++i) {
      limiter_.Queue(static_cast<uint32_t>(i), QueueName(TrimSpaces(targetAt_(i).address)));
    }
    StopWaker waker = stop_.OnStop([queue = queue_] { queue->Stop(); });
    while (!stop_.StopRequested()) {
      StartRows();
      if (rows_.empty() && !limiter_.HasQueued()) return;
      std::deque<Completion> completions;
      {
        std::unique_lock<std::mutex> lock(queue_->mutex);
        WaitUntil(lock, NextDeadline(),
                  [this] { return queue_->stopped || !queue_->completions.empty(); });
        if (queue_->stopped) return;
        completions.swap(queue_->completions);
      }
      for (Completion& completion : completions) Take(completion);
      TimeOut();
    }
  }

 private:
  CheckClock::time_point Now() const { return steps_.now ? steps_.now() : CheckClock::now(); }

  void WaitUntil(std::unique_lock<std::mutex>& lock, CheckClock::time_point deadline,
                 const std::function<bool()>& ready) {
    if (steps_.waitUntil) return steps_.waitUntil(lock, queue_->posted, deadline, ready);
    queue_->posted.wait_until(lock, deadline, ready);
  }

  void Post(std::function<void()> work, std::function<void()> then) {
    if (steps_.post) return steps_.post(std::move(work), std::move(then));
    pool_.Post(std::move(work), std::move(then));
  }

  int LeftBehind() const {
    int count = leftBehindProbes_;
    for (const auto& lookUp : lookUps_) count += lookUp.second.empty() ? 1 : 0;
    return count;
  }

  // A row starts when a job is free, the pool has a thread for it beside the calls left
  // behind, and the limiter has a row whose host has room.
  void StartRows() {
    const size_t jobs = static_cast<size_t>(settings_.jobs);
    while (rows_.size() < jobs && rows_.size() + LeftBehind() < jobs + kMaxLeftBehindProbes) {
      const uint32_t index = limiter_.TakeNext();
      if (index == kNoRow) return;
      const CheckTarget target = targetAt_(index);
      Row& row = rows_[index];
      row.index = index;
      row.start = Now();
      row.deadline = row.start + std::chrono::seconds(settings_.timeoutSeconds);
      row.limits.deadline = row.deadline;
      row.limits.timeoutSeconds = settings_.timeoutSeconds;
      row.limits.request = target.request;
      row.limits.stop = stop_;
      row.limits.picture = settings_.pictures;
      Follow(row, TrimSpaces(target.address), 0);
    }
  }

  CheckClock::time_point NextDeadline() const {
    CheckClock::time_point next = Now() + kIdleWait;
    for (const auto& [index, row] : rows_) next = std::min(next, TimeLimit(row));
    return next;
  }

  // A probe may answer until kVerdictGrace after the deadline; a row in any other state ends
  // at its deadline.
  static CheckClock::time_point TimeLimit(const Row& row) {
    return row.state == RowState::kProbing ? row.deadline + kVerdictGrace : row.deadline;
  }

  // Follows address and what its verdict leads to, until a blocking step is under way or the
  // row is done.
  void Follow(Row& row, std::string address, int depth) {
    for (;;) {
      std::optional<CheckResult> result = Enter(row, address, depth);
      if (!result || !Deliver(row, std::move(*result), &address, &depth)) return;
    }
  }

  // The verdict of an address that needs no probe; else starts its first blocking step.
  std::optional<CheckResult> Enter(Row& row, const std::string& address, int depth) {
    const StreamScheme scheme = SchemeOf(address);
    if (scheme == StreamScheme::kNone) return Judged(Verdict::kNoStream, "no stream address");
    if (scheme == StreamScheme::kUnsupported) {
      return Judged(Verdict::kUnsupported, "not an address this check can open");
    }
    if (!row.seen.insert(address).second) {
      return Judged(Verdict::kNoMedia, Concat("wrapper loop back to ", address));
    }
    if (scheme == StreamScheme::kMms) {  // MMS over HTTP first, then over TCP, as players do
      Frame frame;
      frame.mms = true;
      frame.depth = depth;
      frame.entries = {WithScheme(address, kMmsOverHttp), WithScheme(address, kMmsOverTcp)};
      row.frames.push_back(frame);
      return Enter(row, frame.entries[0], depth);
    }
    row.address = address;
    row.scheme = scheme;
    row.depth = depth;
    Connect(row);
    return std::nullopt;
  }

  // Hands the verdict of the address followed to the wrappers around it: true with the next
  // address to follow, false when the row is done. A wrapper gives its first entry that plays,
  // else the verdict of its first; mms gives the HTTP answer unless only TCP reached the server.
  bool Deliver(Row& row, CheckResult result, std::string* address, int* depth) {
    while (!row.frames.empty()) {
      Frame& frame = row.frames.back();
      const bool live = result.verdict == Verdict::kLive;
      if (frame.mms && frame.next == 1 && !live) {
        frame.first = result;
        frame.next = 2;
        *address = frame.entries[1];
        *depth = frame.depth;
        return true;
      }
      if (frame.mms && frame.next == 2 && result.verdict == Verdict::kUnreachable) {
        result = frame.first;
      }
      if (!frame.mms && !live) {
        if (frame.next == 1) frame.first = result;
        if (frame.next < frame.entries.size() && Now() < row.deadline) {
          *address = frame.entries[frame.next++];
          *depth = frame.depth;
          return true;
        }
        result = frame.first;
      }
      row.frames.pop_back();
    }
    Finish(row, std::move(result));
    return false;
  }

  // Looks the host up when its name is new, else probes on the connection the row holds for
  // it, or on a new one, or waits in its line.
  void Connect(Row& row) {
    const std::string name = HostOf(row.address);
    if (!limiter_.Known(name)) {
      row.state = RowState::kLookingUp;
      row.name = name;
      if (!limiter_.LookingUp(name)) StartLookUp(name);
      lookUps_[name].push_back(row.index);
      limiter_.AddLookUpWaiter(name, 1);
      return;
    }
    const std::string key = limiter_.KeyOf(name);
    if (row.holds && TextEquals(row.key, key)) return Probe(row);
    Release(row);
    row.key = key;
    if (key.empty()) return Probe(row);
    if (limiter_.OpenOrWait(key, row.index)) {
      row.holds = true;
      return Probe(row);
    }
    row.state = RowState::kWaitingForHost;
  }

  void StartLookUp(const std::string& name) {
    limiter_.StartLookUp(name);
    lookUps_[name];
    auto completion = std::make_shared<Completion>();
    completion->name = name;
    Post([completion, lookUp = steps_.lookUp] { completion->key = lookUp(completion->name); },
         [completion, queue = queue_] { queue->Post(std::move(*completion)); });
  }

  void Probe(Row& row) {
    row.state = RowState::kProbing;
    row.call = ++lastCall_;
    auto completion = std::make_shared<Completion>();
    completion->row = row.index;
    completion->call = row.call;
    Post([completion, probe = steps_.probe, address = row.address, scheme = row.scheme,
          limits = row.limits] { completion->outcome = probe(address, scheme, limits); },
         [completion, queue = queue_] { queue->Post(std::move(*completion)); });
  }

  void Take(Completion& completion) {
    if (completion.row == kNoRow) return LookUpEnded(completion.name, completion.key);
    const auto found = rows_.find(completion.row);
    if (found == rows_.end() || found->second.call != completion.call) {
      --leftBehindProbes_;
      return;
    }
    ProbeEnded(found->second, std::move(completion.outcome));
  }

  void LookUpEnded(const std::string& name, const std::string& key) {
    const std::vector<uint32_t> waiting = std::move(lookUps_[name]);
    lookUps_.erase(name);
    limiter_.AddLookUpWaiter(name, -static_cast<int>(waiting.size()));
    limiter_.EndLookUp(name, key);
    for (uint32_t index : waiting) Connect(rows_.at(index));
  }

  void ProbeEnded(Row& row, ProbeOutcome outcome) {
    row.state = RowState::kFollowing;
    row.call = 0;
    std::string address = row.address;
    int depth = row.depth;
    CheckResult result = std::move(outcome.result);
    if (IsWrapper(outcome.kind) && depth >= kMaxWrapperDepth) {
      result = Judged(Verdict::kNoMedia, Concat("wrappers nested more than ",
                                                NumberToText(kMaxWrapperDepth), " deep"));
    } else if (IsWrapper(outcome.kind)) {
      Frame frame;
      frame.entries = WrapperEntries(outcome.kind, outcome.body, outcome.address);
      frame.depth = depth + 1;
      if (frame.entries.empty()) {
        result = Judged(Verdict::kNoMedia, "wrapper without entries");
      } else {
        row.frames.push_back(frame);
        return Follow(row, frame.entries[0], frame.depth);
      }
    } else if (result.verdict == Verdict::kLive) {
      result.played = address;
    }
    if (Deliver(row, std::move(result), &address, &depth)) Follow(row, address, depth);
  }

  // Ends the rows past their time limit, one at a time: an end frees a connection, which the
  // next row in that host's line takes over.
  void TimeOut() {
    for (;;) {
      const CheckClock::time_point now = Now();
      const auto late = std::find_if(rows_.begin(), rows_.end(), [now](const auto& entry) {
        return now >= TimeLimit(entry.second);
      });
      if (late == rows_.end()) return;
      if (late->second.state == RowState::kProbing) ++leftBehindProbes_;
      Finish(late->second, OpenFailure(0, "", "", true, settings_.timeoutSeconds));
    }
  }

  void Release(Row& row) {
    if (!row.holds) return;
    row.holds = false;
    const uint32_t next = limiter_.Close(row.key);
    if (next == kNoRow) return;
    Row& taker = rows_.at(next);
    taker.holds = true;  // too late to probe: TimeOut ends it
    if (Now() < taker.deadline) Probe(taker);
  }

  void Finish(Row& row, CheckResult result) {
    if (row.state == RowState::kLookingUp) {
      std::vector<uint32_t>& waiting = lookUps_[row.name];
      waiting.erase(std::find(waiting.begin(), waiting.end(), row.index));
      limiter_.AddLookUpWaiter(row.name, -1);
    } else if (row.state == RowState::kWaitingForHost && !row.holds) {
      limiter_.LeaveLine(row.key, row.index);
    }
    Release(row);
    result.elapsedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(Now() - row.start).count();
    const uint32_t index = row.index;
    rows_.erase(index);
    progress_(index, result);
  }

  const CheckTargetAt& targetAt_;
  const CheckSettings settings_;
  const CheckProgress& progress_;
  const StopToken stop_;
  const CheckSteps steps_;
  HostLimiter limiter_;
  std::shared_ptr<CompletionQueue> queue_ = std::make_shared<CompletionQueue>();
  std::unordered_map<uint32_t, Row> rows_;
  std::unordered_map<std::string, std::vector<uint32_t>> lookUps_;  // in flight: who waits
  int leftBehindProbes_ = 0;  // probes in flight whose row has ended
  uint64_t lastCall_ = 0;
  CallPool pool_;  // last: its threads go before what their calls post to
};

}  // namespace

void CheckStreamsWith(size_t count, const CheckTargetAt& targetAt, const CheckSettings& settings,
                      const CheckProgress& progress, const StopToken& stop,
                      const CheckSteps& steps) {
  CheckRun run(targetAt, settings, progress, stop, steps);
  run.Run(count);
}

void CheckStreams(size_t count, const CheckTargetAt& targetAt, const CheckSettings& settings,
                  const CheckProgress& progress, const StopToken& stop) {
  StartMediaLibrary();
  CheckSteps steps;
  steps.lookUp = ResolvedHost;
  steps.probe = ProbeAddress;
  CheckStreamsWith(count, targetAt, settings, progress, stop, steps);
}
