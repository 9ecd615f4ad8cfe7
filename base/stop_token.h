// SPDX-License-Identifier: GPL-2.0-or-later
// A stop that one side asks for and a run sees: the program (a signal, a Close button, a
// server's shutdown) holds a StopSource, and each run takes a StopToken of it. A run that
// waits registers a wake-up, so that a stop reaches it at once, without polling.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

struct StopState;

// Calls its wake-up until it is destroyed; returned by StopToken::OnStop.
class StopWaker {
 public:
  StopWaker() = default;
  StopWaker(std::shared_ptr<StopState> state, size_t id);
  StopWaker(StopWaker&& other) noexcept;
  StopWaker& operator=(StopWaker&& other) noexcept;
  StopWaker(const StopWaker&) = delete;
  StopWaker& operator=(const StopWaker&) = delete;
  // Once it returns, the wake-up is not running and is never called again.
  ~StopWaker();

 private:
  std::shared_ptr<StopState> state_;
  size_t id_ = 0;
};

class StopToken {
 public:
  StopToken() = default;  // a token that never stops
  explicit StopToken(std::shared_ptr<StopState> state) : state_(std::move(state)) {}
  bool StopRequested() const;
  // Calls wake once, on the thread that asks for the stop (at once on this thread when the
  // stop was asked for already). wake must be short and must not touch stop tokens.
  StopWaker OnStop(std::function<void()> wake) const;

 private:
  std::shared_ptr<StopState> state_;
};

class StopSource {
 public:
  StopSource();
  // From any thread, also a console control handler; not from a signal handler (POSIX
  // signals reach the program on a thread of their own). Later calls do nothing.
  void RequestStop();
  bool StopRequested() const;
  StopToken Token() const { return StopToken(state_); }

 private:
  std::shared_ptr<StopState> state_;
};

struct StopState {
  std::atomic<bool> stopped{false};
  std::mutex mutex;  // held while the wake-ups run, so that a waker's end waits for its call
  size_t nextId = 1;
  std::vector<std::pair<size_t, std::function<void()>>> wakes;
};
