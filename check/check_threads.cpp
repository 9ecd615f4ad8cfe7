// Thread slots for probes and lookups: a count under a lock, threads that hand their slot back
// when they end. The threads are kept and reused for the next work: a run of many checks
// starts only as many threads as ran at once, where a thread each would start one a probe
// (and under Wine a new thread now and then takes seconds to start).
#include "check/check_threads.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "harvest/update_run.h"

namespace {

const auto kWaitStep = std::chrono::milliseconds(50);  // for a cancel to be noticed

// One thread's end, shared by the thread and the check that waits for it.
struct ThreadEnd {
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  bool leftBehind = false;
};

// A kept thread and the work handed to it, with what to do once the thread waits again for
// more; empty while it waits.
struct Worker {
  std::mutex mutex;
  std::condition_variable handed;
  std::function<void()> work;
  std::function<void()> then;
  bool stop = false;  // its pool is gone: the thread ends
};

}  // namespace

struct SlotPool {
  std::mutex mutex;
  std::condition_variable freed;
  int free = 0;
  std::vector<std::shared_ptr<Worker>> idle;  // kept threads waiting for work
  ~SlotPool();
};

// The pool's waiting threads end with it; those still at work end when their work does.
SlotPool::~SlotPool() {
  for (const std::shared_ptr<Worker>& worker : idle) {
    {
      std::lock_guard<std::mutex> lock(worker->mutex);
      worker->stop = true;
    }
    worker->handed.notify_one();
  }
}

namespace {

void FreeSlot(SlotPool& pool) {
  {
    std::lock_guard<std::mutex> lock(pool.mutex);
    ++pool.free;
  }
  pool.freed.notify_all();
}

// Puts a thread that has done its work back among the waiting ones.
void KeepWorker(SlotPool& pool, std::shared_ptr<Worker> worker) {
  std::lock_guard<std::mutex> lock(pool.mutex);
  pool.idle.push_back(std::move(worker));
}

// The life of a kept thread: runs what it is handed, one piece after the other, and is among
// the waiting threads again before it says that a piece is done, so that the next piece finds
// it. It ends with its pool.
void WorkerLoop(std::weak_ptr<SlotPool> pool, std::shared_ptr<Worker> worker) {
  for (;;) {
    std::function<void()> work;
    std::function<void()> then;
    {
      std::unique_lock<std::mutex> lock(worker->mutex);
      worker->handed.wait(lock, [&worker] { return worker->stop || worker->work; });
      if (!worker->work) return;
      work = std::move(worker->work);
      then = std::move(worker->then);
      worker->work = nullptr;
      worker->then = nullptr;
    }
    work();
    bool kept = false;
    if (std::shared_ptr<SlotPool> owner = pool.lock()) {
      KeepWorker(*owner, worker);
      kept = true;
    }
    then();
    if (!kept) return;
  }
}

// Hands work to a waiting kept thread, or to a new one when none waits; then runs on that
// thread after work.
void HandToThread(const std::shared_ptr<SlotPool>& pool, std::function<void()> work,
                  std::function<void()> then) {
  std::shared_ptr<Worker> worker;
  {
    std::lock_guard<std::mutex> lock(pool->mutex);
    if (!pool->idle.empty()) {
      worker = std::move(pool->idle.back());
      pool->idle.pop_back();
    }
  }
  if (!worker) {
    worker = std::make_shared<Worker>();
    std::thread(WorkerLoop, std::weak_ptr<SlotPool>(pool), worker).detach();
  }
  {
    std::lock_guard<std::mutex> lock(worker->mutex);
    worker->work = std::move(work);
    worker->then = std::move(then);
  }
  worker->handed.notify_one();
}

}  // namespace

std::shared_ptr<SlotPool> NewSlotPool(int checksAtOnce) {
  auto pool = std::make_shared<SlotPool>();
  pool->free = checksAtOnce + kMaxLeftBehindProbes;
  return pool;
}

bool TakeSlot(ThreadSlot& slot) {
  if (slot.held) return true;
  std::unique_lock<std::mutex> lock(slot.pool->mutex);
  while (slot.pool->free == 0) {
    if (RunCancelled()) return false;
    slot.pool->freed.wait_for(lock, kWaitStep);
  }
  --slot.pool->free;
  slot.held = true;
  return true;
}

void ReturnSlot(ThreadSlot& slot) {
  if (!slot.held) return;
  slot.held = false;
  FreeSlot(*slot.pool);
}

bool RunInSlot(ThreadSlot& slot, std::function<void()> work, CheckClock::time_point until) {
  if (!slot.held) return false;
  auto end = std::make_shared<ThreadEnd>();
  HandToThread(slot.pool, std::move(work), [end, pool = slot.pool] {
    bool leftBehind = false;
    {
      std::lock_guard<std::mutex> lock(end->mutex);
      end->done = true;
      leftBehind = end->leftBehind;
    }
    end->ended.notify_all();
    if (leftBehind) FreeSlot(*pool);
  });
  std::unique_lock<std::mutex> lock(end->mutex);
  while (!end->done && !RunCancelled()) {
    const CheckClock::time_point now = CheckClock::now();
    if (now >= until) break;
    end->ended.wait_until(lock, std::min(until, now + kWaitStep));
  }
  if (end->done) return true;
  end->leftBehind = true;  // the slot goes with the thread
  slot.held = false;
  return false;
}
