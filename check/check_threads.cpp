// Thread slots for probes and lookups: a count under a lock, threads that hand their slot back
// when they end.
#include "check/check_threads.h"

#include <condition_variable>
#include <mutex>
#include <thread>

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

}  // namespace

struct SlotPool {
  std::mutex mutex;
  std::condition_variable freed;
  int free = 0;
};

namespace {

void FreeSlot(SlotPool& pool) {
  {
    std::lock_guard<std::mutex> lock(pool.mutex);
    ++pool.free;
  }
  pool.freed.notify_all();
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
  std::thread([end, pool = slot.pool, work = std::move(work)] {
    work();
    bool leftBehind = false;
    {
      std::lock_guard<std::mutex> lock(end->mutex);
      end->done = true;
      leftBehind = end->leftBehind;
    }
    end->ended.notify_all();
    if (leftBehind) FreeSlot(*pool);
  }).detach();
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
