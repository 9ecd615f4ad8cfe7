// The threads that probes and name lookups run on. A step that no interrupt reaches (a name
// lookup) cannot hold a verdict past its deadline: the waiting check leaves the thread behind,
// and it ends on its own later. Threads come out of a pool of slots, so that left-behind
// threads never pile up: each check holds a slot while it runs, and one that leaves a thread
// behind gives it that slot until the thread ends.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

// Left-behind threads beyond the ones of the running checks; when that many are alive, a new
// check waits for one to end before it starts.
const int kMaxLeftBehindProbes = 32;

using CheckClock = std::chrono::steady_clock;

struct SlotPool;

// A check's claim on one thread; it loses it to a thread it leaves behind.
struct ThreadSlot {
  std::shared_ptr<SlotPool> pool;
  bool held = false;
};

// A pool for checks running at once and kMaxLeftBehindProbes more.
std::shared_ptr<SlotPool> NewSlotPool(int checksAtOnce);
// Waits until slot holds one of its pool's slots; false when the run is cancelled first.
bool TakeSlot(ThreadSlot& slot);
void ReturnSlot(ThreadSlot& slot);
// Runs work on a thread of the slot's and waits for it until `until` or a cancel; true when it
// ended. Else the thread keeps the slot and whatever work holds, and false comes back, at once
// when the slot is no longer held.
bool RunInSlot(ThreadSlot& slot, std::function<void()> work, CheckClock::time_point until);
