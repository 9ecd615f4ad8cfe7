// SPDX-License-Identifier: GPL-2.0-or-later
// The call pool: a queue of calls under one lock, threads that take them one after the other.
// The threads share the pool's state, so that a thread still in a call when the pool goes
// ends on its own afterwards.
#include "check/check_threads.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

struct Call {
  std::function<void()> work;
  std::function<void()> then;
};

struct PoolState {
  std::mutex mutex;
  std::condition_variable changed;  // a call came, the pool closed, a waiting thread ended
  std::deque<Call> calls;
  int most = 0;
  int threads = 0;
  int waiting = 0;  // threads waiting for a call
  bool closed = false;
};

namespace {

void RunCalls(std::shared_ptr<PoolState> pool) {
  std::unique_lock<std::mutex> lock(pool->mutex);
  ++pool->waiting;
  for (;;) {
    pool->changed.wait(lock, [&pool] { return pool->closed || !pool->calls.empty(); });
    if (pool->closed) break;
    Call call = std::move(pool->calls.front());
    pool->calls.pop_front();
    --pool->waiting;
    lock.unlock();
    call.work();
    lock.lock();
    ++pool->waiting;
    lock.unlock();
    call.then();
    call = Call();  // what it holds goes before the thread waits again
    lock.lock();
  }
  --pool->waiting;
  --pool->threads;
  pool->changed.notify_all();
}

}  // namespace

CallPool::CallPool(int most) : state_(std::make_shared<PoolState>()) { state_->most = most; }

CallPool::~CallPool() {
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->closed = true;
  state_->calls.clear();
  state_->changed.notify_all();
  // The waiting threads end before the pool is gone: threads alive stay those at work.
  // A thread in then counts as waiting; then only posts, and ends soon.
  state_->changed.wait(lock, [this] { return state_->waiting == 0; });
}

void CallPool::Post(std::function<void()> work, std::function<void()> then) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->calls.push_back(Call{std::move(work), std::move(then)});
  if (state_->waiting < static_cast<int>(state_->calls.size()) && state_->threads < state_->most) {
    ++state_->threads;
    std::thread(RunCalls, state_).detach();
  }
  state_->changed.notify_one();
}
