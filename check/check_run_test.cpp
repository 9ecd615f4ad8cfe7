// SPDX-License-Identifier: GPL-2.0-or-later
// The check engine with fake lookups and probes: host limits, the line in which a wrapper's
// entry goes before new rows, one deadline per row from the queue to the verdict, and runs at
// once that stop on their own tokens. The runs keep a fake time, so that they take no real
// sleeps.
#include "check/check_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace {

const auto kBusy = std::chrono::milliseconds(400);
const auto kLive = std::chrono::milliseconds(50);
// How often the owner's wait looks whether every call sleeps; a call's end wakes it at once.
const auto kPoll = std::chrono::milliseconds(1);

// A run's clock and threads: time moves only when the owner waits and every call posted
// sleeps on the clock; it goes then to the earliest wake, or the owner's deadline.
class FakeTime : public std::enable_shared_from_this<FakeTime> {
 public:
  CheckClock::time_point Now() {
    std::lock_guard<std::mutex> lock(mutex_);
    return now_;
  }
  // Sleeps until the time or Release.
  void SleepUntil(CheckClock::time_point wake) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto slot = wakes_.insert(wake);
    moved_.wait(lock, [&] { return now_ >= wake || released_; });
    wakes_.erase(slot);
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    moved_.notify_all();
  }
  void Post(std::function<void()> work, std::function<void()> then) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++calls_;
    }
    std::thread([self = shared_from_this(), work, then] {
      work();
      then();
      std::lock_guard<std::mutex> lock(self->mutex_);
      --self->calls_;
    }).detach();
  }
  void WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& posted,
                 CheckClock::time_point deadline, const std::function<bool()>& ready) {
    while (!ready()) {
      {
        std::lock_guard<std::mutex> own(mutex_);
        const auto next = wakes_.upper_bound(now_);  // the sleepers not woken yet
        if (calls_ == static_cast<int>(std::distance(next, wakes_.end()))) {
          now_ = std::max(now_, next == wakes_.end() ? deadline : std::min(deadline, *next));
          moved_.notify_all();
        }
        if (now_ >= deadline) return;
      }
      posted.wait_for(lock, kPoll);
    }
  }
  CheckSteps Steps(CheckSteps steps) {
    std::shared_ptr<FakeTime> self = shared_from_this();
    steps.post = [self](std::function<void()> work, std::function<void()> then) {
      self->Post(std::move(work), std::move(then));
    };
    steps.now = [self] { return self->Now(); };
    steps.waitUntil = [self](std::unique_lock<std::mutex>& lock, std::condition_variable& posted,
                             CheckClock::time_point deadline, const std::function<bool()>& ready) {
      self->WaitUntil(lock, posted, deadline, ready);
    };
    return steps;
  }

 private:
  std::mutex mutex_;
  std::condition_variable moved_;
  CheckClock::time_point now_;
  std::multiset<CheckClock::time_point> wakes_;
  int calls_ = 0;  // posted and not ended
  bool released_ = false;
};

// What the fakes saw; calls may outlive a run, so they share it.
struct Seen {
  std::mutex mutex;
  std::map<std::string, int> open, most;  // probes at once per address
  std::condition_variable released;
  bool held = true;  // a "held" probe waits, outside the clock, until this is false
};

// Names: late.test takes all but 100 ms of a 1 s time-out, never.test never ends,
// one/uno/eins.test are one address. Paths: "stuck" ignores interrupts until well past the
// deadline, "held" holds the run's time still until released, "busy" fails after kBusy,
// "list.pls?ENTRY" is a wrapper of ENTRY, else live after kLive.
CheckSteps FakeSteps(std::shared_ptr<Seen> seen, std::shared_ptr<FakeTime> time) {
  CheckSteps steps;
  steps.lookUp = [time](const std::string& name) {
    if (name == "late.test") time->SleepUntil(time->Now() + std::chrono::milliseconds(900));
    if (name == "never.test") time->SleepUntil(CheckClock::time_point::max());
    return name == "uno.test" || name == "eins.test" ? std::string("one.test") : name;
  };
  steps.probe = [seen, time](const std::string& address, StreamScheme, const ProbeLimits& limits) {
    const std::string host = HostOf(address);
    const std::string key = host == "uno.test" || host == "eins.test" ? "one.test" : host;
    {
      std::lock_guard<std::mutex> lock(seen->mutex);
      seen->most[key] = std::max(seen->most[key], ++seen->open[key]);
    }
    ProbeOutcome outcome;
    outcome.result = Judged(Verdict::kLive, "fake");
    if (address.find("stuck") != std::string::npos) {
      time->SleepUntil(limits.deadline + 3 * kVerdictGrace);
    } else if (address.find("held") != std::string::npos) {
      std::unique_lock<std::mutex> lock(seen->mutex);
      seen->released.wait(lock, [&seen] { return !seen->held; });
    } else if (address.find("busy") != std::string::npos) {
      time->SleepUntil(time->Now() + kBusy);
      outcome.result = Judged(Verdict::kError, "busy");
    } else if (address.find("list.pls?") != std::string::npos) {
      outcome.kind = ContentKind::kPls;
      outcome.body = "[playlist]\nFile1=" + address.substr(address.find('?') + 1) + "\n";
    } else {
      time->SleepUntil(time->Now() + kLive);
    }
    std::lock_guard<std::mutex> lock(seen->mutex);
    --seen->open[key];
    return outcome;
  };
  return steps;
}

std::map<std::string, CheckResult> RunChecks(const std::vector<std::string>& addresses,
                                             const CheckSettings& settings,
                                             std::shared_ptr<Seen> seen, StopToken stop = {}) {
  auto time = std::make_shared<FakeTime>();
  std::map<std::string, CheckResult> results;
  CheckStreamsWith(
      addresses.size(),
      [&addresses](size_t i) {
        return CheckTarget{addresses[i], {}};
      },
      settings, [&](size_t i, const CheckResult& result) { results[addresses[i]] = result; }, stop,
      time->Steps(FakeSteps(seen, time)));
  time->Release();  // the calls left behind end
  return results;
}

TEST(CheckRunTest, HostLimitsHoldAndWaitingChecksGoFirst) {
  struct Case {
    std::vector<std::string> addresses;
    int perHost;
    std::string live;  // must be live
    std::string host;  // at most perHost probes at once
  };
  std::vector<std::string> busy;
  for (int i = 0; i < 6; ++i) busy.push_back("http://b.test/busy" + std::to_string(i));
  std::vector<std::string> lane = {busy[0], busy[1], "http://a.test/list.pls?http://b.test/tv"};
  lane.insert(lane.end(), busy.begin() + 2, busy.end());
  const Case cases[] = {
      // The entry waits for b before the four new rows behind it: live within 1 s, where
      // after them it would come at 3 x kBusy.
      {lane, 2, "http://a.test/list.pls?http://b.test/tv", "b.test"},
      {{"http://one.test/1", "http://uno.test/2", "http://eins.test/3", "http://one.test/4",
        "http://uno.test/5", "http://eins.test/6"},
       2,
       "http://eins.test/6",
       "one.test"},
  };
  for (const Case& c : cases) {
    auto seen = std::make_shared<Seen>();
    const auto results = RunChecks(c.addresses, CheckSettings{8, 1, c.perHost}, seen);
    EXPECT_EQ(results.size(), c.addresses.size());
    EXPECT_EQ(results.at(c.live).verdict, Verdict::kLive) << c.live;
    EXPECT_EQ(seen->most[c.host], c.perHost) << c.host;
  }
}

// The time-out counts from the queue: a lookup that ends just inside it leaves no fresh one
// for the probe, whose verdict comes with the grace; a lookup that never ends holds no
// verdict and no run.
TEST(CheckRunTest, VerdictComesByTheDeadlinePlusTheGrace) {
  auto seen = std::make_shared<Seen>();
  const auto results = RunChecks(
      {"http://late.test/stuck", "http://never.test/a", "http://never.test/b", "http://ok.test/tv"},
      CheckSettings{4, 1, 4}, seen);
  const std::pair<const char*, std::chrono::milliseconds> late[] = {
      {"http://late.test/stuck", std::chrono::seconds(1) + kVerdictGrace},
      {"http://never.test/a", std::chrono::seconds(1)},
      {"http://never.test/b", std::chrono::seconds(1)}};
  for (const auto& [address, elapsed] : late) {
    EXPECT_EQ(results.at(address).verdict, Verdict::kUnreachable) << address;
    EXPECT_EQ(results.at(address).elapsedMs, elapsed.count()) << address;
  }
  EXPECT_EQ(results.at("http://ok.test/tv").verdict, Verdict::kLive);
  EXPECT_EQ(results.at("http://ok.test/tv").elapsedMs, kLive.count());
}

// Two runs at once, each with its own stop: the stopped one ends at once and reports nothing
// more, the other reports every row.
TEST(CheckRunTest, RunsAtOnceStopOnTheirOwnTokens) {
  auto seen = std::make_shared<Seen>();
  StopSource stop;
  std::map<std::string, CheckResult> stopped;
  auto begun = CheckClock::now();
  std::thread first([&] {
    stopped = RunChecks({"http://s.test/held1", "http://s.test/held2"}, CheckSettings{4, 5, 4},
                        seen, stop.Token());
  });
  const std::vector<std::string> others = {"http://x.test/1", "http://y.test/2", "http://x.test/3"};
  const auto results = RunChecks(others, CheckSettings{2, 5, 1}, seen);
  stop.RequestStop();
  first.join();
  {
    std::lock_guard<std::mutex> lock(seen->mutex);
    seen->held = false;
    seen->released.notify_all();
  }
  EXPECT_TRUE(stopped.empty());
  EXPECT_LT(CheckClock::now() - begun, std::chrono::seconds(2));
  for (const std::string& address : others) EXPECT_EQ(results.at(address).verdict, Verdict::kLive);
}

}  // namespace
