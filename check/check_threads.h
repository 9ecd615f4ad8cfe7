// SPDX-License-Identifier: GPL-2.0-or-later
// The threads that run the check's blocking calls (name lookups, probes): a fixed pool that
// the check's owner loop posts calls to. A call that no interrupt reaches (a name lookup)
// cannot hold a verdict past its deadline: the owner stops waiting for it, and its thread
// rejoins the pool once the call returns.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

// Calls left behind beyond the running checks: the owner starts no new row while the running
// rows and the calls left behind would need more threads than the pool has.
const int kMaxLeftBehindProbes = 32;

using CheckClock = std::chrono::steady_clock;

struct PoolState;

// Threads are started as calls need them, up to most, and kept for the next call.
class CallPool {
 public:
  explicit CallPool(int most);
  // Threads that wait end now; a thread in a call ends when the call returns. Calls not
  // started yet are dropped.
  ~CallPool();
  CallPool(const CallPool&) = delete;
  CallPool& operator=(const CallPool&) = delete;
  // Runs work on a thread of the pool, then then: the thread counts as free again before
  // then runs, so that a call posted in answer to then finds it.
  void Post(std::function<void()> work, std::function<void()> then);

 private:
  std::shared_ptr<PoolState> state_;
};
