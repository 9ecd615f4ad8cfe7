// The check engine with fake lookups and probes: host limits, the line in which a wrapper's
// entry goes before new rows, one deadline per row from the queue to the verdict, and runs at
// once that stop on their own tokens.
#include "check/check_run.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <thread>

namespace {

const auto kBusy = std::chrono::milliseconds(400);
const auto kSlack = std::chrono::milliseconds(300);  // for a loaded machine's scheduling

// What the fakes saw; pool threads may outlive a run, so they share it.
struct Seen {
  std::mutex mutex;
  std::map<std::string, int> open, most;  // probes at once per address
  std::condition_variable released;
  bool neverEnds = true;  // a lookup of never.test waits until this is false
};

// Names: late.test takes all but 100 ms of a 1 s time-out, never.test waits to be released,
// one/uno/eins.test are one address. Paths: "stuck" ignores interrupts until well past the
// deadline, "busy" fails after kBusy, "list.pls?ENTRY" is a wrapper of ENTRY, else live.
CheckSteps FakeSteps(std::shared_ptr<Seen> seen) {
  CheckSteps steps;
  steps.lookUp = [seen](const std::string& name) {
    if (name == "late.test") std::this_thread::sleep_for(std::chrono::milliseconds(900));
    std::unique_lock<std::mutex> lock(seen->mutex);
    if (name == "never.test") seen->released.wait(lock, [&seen] { return !seen->neverEnds; });
    return name == "uno.test" || name == "eins.test" ? std::string("one.test") : name;
  };
  steps.probe = [seen](const std::string& address, StreamScheme, const ProbeLimits& limits) {
    const std::string host = HostOf(address);
    const std::string key = host == "uno.test" || host == "eins.test" ? "one.test" : host;
    {
      std::lock_guard<std::mutex> lock(seen->mutex);
      seen->most[key] = std::max(seen->most[key], ++seen->open[key]);
    }
    ProbeOutcome outcome;
    outcome.result = Judged(Verdict::kLive, "fake");
    if (address.find("stuck") != std::string::npos) {
      std::this_thread::sleep_until(limits.deadline + 3 * kVerdictGrace);
    } else if (address.find("busy") != std::string::npos) {
      std::this_thread::sleep_for(kBusy);
      outcome.result = Judged(Verdict::kError, "busy");
    } else if (address.find("list.pls?") != std::string::npos) {
      outcome.kind = ContentKind::kPls;
      outcome.body = "[playlist]\nFile1=" + address.substr(address.find('?') + 1) + "\n";
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
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
  std::map<std::string, CheckResult> results;
  CheckStreamsWith(
      addresses.size(),
      [&addresses](size_t i) {
        return CheckTarget{addresses[i], {}};
      },
      settings, [&](size_t i, const CheckResult& result) { results[addresses[i]] = result; }, stop,
      FakeSteps(seen));
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
// for the probe, and a lookup that never ends holds no verdict and no run.
TEST(CheckRunTest, VerdictComesByTheDeadlinePlusTheGrace) {
  auto seen = std::make_shared<Seen>();
  const auto results = RunChecks(
      {"http://late.test/stuck", "http://never.test/a", "http://never.test/b", "http://ok.test/tv"},
      CheckSettings{4, 1, 4}, seen);
  for (const char* late :
       {"http://late.test/stuck", "http://never.test/a", "http://never.test/b"}) {
    EXPECT_EQ(results.at(late).verdict, Verdict::kUnreachable) << late;
    EXPECT_GE(results.at(late).elapsedMs, 900) << late;
    EXPECT_LE(std::chrono::milliseconds(results.at(late).elapsedMs),
              std::chrono::seconds(1) + kVerdictGrace + kSlack)
        << late;
  }
  EXPECT_EQ(results.at("http://ok.test/tv").verdict, Verdict::kLive);
  std::lock_guard<std::mutex> lock(seen->mutex);
  seen->neverEnds = false;
  seen->released.notify_all();
}

// Two runs at once, each with its own stop: the stopped one ends at once and reports nothing
// more, the other reports every row.
TEST(CheckRunTest, RunsAtOnceStopOnTheirOwnTokens) {
  auto seen = std::make_shared<Seen>();
  StopSource stop;
  std::map<std::string, CheckResult> stopped;
  auto begun = CheckClock::now();
  std::thread first([&] {
    stopped = RunChecks({"http://s.test/stuck1", "http://s.test/stuck2"}, CheckSettings{4, 5, 4},
                        seen, stop.Token());
  });
  const std::vector<std::string> others = {"http://x.test/1", "http://y.test/2", "http://x.test/3"};
  const auto results = RunChecks(others, CheckSettings{2, 5, 1}, seen);
  stop.RequestStop();
  first.join();
  EXPECT_TRUE(stopped.empty());
  EXPECT_LT(CheckClock::now() - begun, std::chrono::seconds(2));
  for (const std::string& address : others) EXPECT_EQ(results.at(address).verdict, Verdict::kLive);
}

}  // namespace
