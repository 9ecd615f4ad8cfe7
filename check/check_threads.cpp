// The call pool: a queue of calls under one lock, threads that take them one after the other.
// The threads share the pool's state, so that a thread still in a call when the pool goes
// ends on its own afterwards.
#include "check/check_threads.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

struct PoolState {
  std::mutex mutex;
  std::condition_variable changed;  // a call came, the pool closed, a waiting thread ended
  std::deque<std::function<void()>> calls;
  int most = 0;
  int threads = 0;
  int waiting = 0;  // threads waiting for a call
  bool closed = false;
};

namespace {

void RunCalls(std::shared_ptr<PoolState> pool) {
  std::unique_lock<std::mutex> lock(pool->mutex);
  for (;;) {
    ++pool->waiting;
    pool->changed.wait(lock, [&pool] { return pool->closed || !pool->calls.empty(); });
    --pool->waiting;
    if (pool->closed) break;
    std::function<void()> call = std::move(pool->calls.front());
    pool->calls.pop_front();
    lock.unlock();
    call();
    call = nullptr;  // what it holds goes before the thread waits again
    lock.lock();
  }
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
  state_->changed.wait(lock, [this] { return state_->waiting == 0; });
}

void CallPool::Post(std::function<void()> call) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->calls.push_back(std::move(call));
  if (state_->waiting < static_cast<int>(state_->calls.size()) && state_->threads < state_->most) {
    ++state_->threads;
    std::thread(RunCalls, state_).detach();
  }
  state_->changed.notify_one();
}
