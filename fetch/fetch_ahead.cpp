// SPDX-License-Identifier: GPL-2.0-or-later
// Fetching ahead on worker threads: the workers claim addresses in list order, no further
// than jobs past the reader, and put each page in its slot; the reader takes the slots in order.
#include "fetch/fetch_ahead.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

struct FetchAheadShared {
  std::vector<std::string> addresses;
  std::vector<PageBuffer> pages;  // a fetched page waits here until it is taken
  std::vector<bool> fetched;
  std::vector<PageBuffer> spare;  // emptied pages whose memory the next fetches reuse
  const FetchTransport* transport = nullptr;
  PagePreparer prepare = nullptr;
  size_t jobs = 1;
  size_t nextToClaim = 0;  // the next address a worker takes on
  size_t nextToTake = 0;   // the next page the reader takes
  bool readerWaiting = false;  // the reader waits for page nextToTake
  int workers = 0;         // workers started
  size_t budget = kAheadByteBudget;
  size_t held = 0;           // memory of the pages in the workers' hands, waiting, and spare
  bool outOfMemory = false;  // a worker could not allocate: the reader throws
  std::atomic<bool> stopped{false};
  std::mutex lock;
  std::condition_variable pageReady;  // the reader waits here
  std::condition_variable roomFree;   // the workers wait here for a page to claim
  std::condition_variable bytesFree;  // and here for memory to grow a page
};

namespace {

// The workers of all fetchers. A worker that ended is joined at the next start or wait, so
// that its thread is gone completely (thread-local clean-up included) before the program may
// exit. Never destroyed: a worker abandoned at exit may still count itself out after static
// destruction.
struct WorkerRegistry {
  std::mutex lock;
  std::condition_variable changed;
  int running = 0;
  std::vector<std::thread> threads;
  std::vector<std::thread::id> ended;
};

WorkerRegistry& Workers() {
  static WorkerRegistry* workers = new WorkerRegistry;
  return *workers;
}

void CountWorkerOut() {
  WorkerRegistry& workers = Workers();
  std::lock_guard<std::mutex> guard(workers.lock);
  --workers.running;
  workers.ended.push_back(std::this_thread::get_id());
  workers.changed.notify_all();
}

// Joins the workers that have ended.
void JoinEndedWorkers() {
  WorkerRegistry& workers = Workers();
  std::vector<std::thread> ended;
  {
    std::lock_guard<std::mutex> guard(workers.lock);
    for (const std::thread::id& id : workers.ended) {
      for (std::thread& thread : workers.threads) {
        if (thread.get_id() == id) ended.push_back(std::move(thread));
      }
    }
    workers.ended.clear();
    workers.threads.erase(std::remove_if(workers.threads.begin(), workers.threads.end(),
                                         [](const std::thread& t) { return !t.joinable(); }),
                          workers.threads.end());
  }
  for (std::thread& thread : ended) thread.join();
}

bool MayClaim(const FetchAheadShared& shared) {
  return shared.nextToClaim < shared.addresses.size() &&
         shared.nextToClaim < shared.nextToTake + shared.jobs;
}

// Waits until page index may grow by more bytes and counts them; false after a stop.
bool MakeRoom(FetchAheadShared& shared, size_t index, size_t more) {
  std::unique_lock<std::mutex> guard(shared.lock);
  shared.bytesFree.wait(guard, [&] {
    return shared.stopped.load() || index == shared.nextToTake ||
           shared.held + more <= shared.budget;
  });
  if (shared.stopped.load()) return false;
  shared.held += more;
  return true;
}

void WorkOn(FetchAheadShared* shared) {
  std::unique_lock<std::mutex> guard(shared->lock);
  for (;;) {
    shared->roomFree.wait(guard, [&] { return shared->stopped.load() || MayClaim(*shared) ||
                                              shared->nextToClaim >= shared->addresses.size(); });
    if (shared->stopped.load() || !MayClaim(*shared)) break;
    size_t index = shared->nextToClaim++;
    PageBuffer reuse;
    if (!shared->spare.empty()) {
      reuse = std::move(shared->spare.back());
      shared->spare.pop_back();
    }
    size_t counted = reuse.bytes.capacity();  // a spare page's memory is counted already
    guard.unlock();
    PageBuffer page = ReadPage(shared->addresses[index], *shared->transport, &shared->stopped,
                               std::move(reuse), [shared, index, &counted](size_t more) {
                                 counted += more;
                                 return MakeRoom(*shared, index, more);
                               });
    guard.lock();
    if (shared->stopped.load()) break;
    // The string may have taken a little more than was asked for; the count follows it.
    shared->held += page.bytes.capacity();
    shared->held -= counted;
    if (shared->prepare && !(shared->readerWaiting && index == shared->nextToTake)) {
      guard.unlock();
      shared->prepare(index, page);
      guard.lock();
      if (shared->stopped.load()) break;
    }
    shared->pages[index] = std::move(page);
    shared->fetched[index] = true;
    if (index == shared->nextToTake) shared->pageReady.notify_one();
  }
}

void RunWorker(std::shared_ptr<FetchAheadShared> shared) {
  try {
    WorkOn(shared.get());
  } catch (const std::bad_alloc&) {
    std::lock_guard<std::mutex> guard(shared->lock);
    shared->outOfMemory = true;
    shared->pageReady.notify_all();
  }
  shared.reset();
  CountWorkerOut();
}

// Starts the workers; when no thread can be started, the reader fetches itself.
void StartWorkers(const std::shared_ptr<FetchAheadShared>& shared) {
  JoinEndedWorkers();
  WorkerRegistry& workers = Workers();
  size_t wanted = shared->jobs < shared->addresses.size() ? shared->jobs : shared->addresses.size();
  std::lock_guard<std::mutex> guard(workers.lock);
  for (size_t i = 0; i < wanted; ++i) {
    try {
      workers.threads.emplace_back(RunWorker, shared);
    } catch (const std::system_error&) {
      return;
    }
    ++workers.running;
    ++shared->workers;
  }
}

}  // namespace

FetchAhead StartFetchAhead(const std::vector<std::string>& addresses, int jobs,
                           PagePreparer prepare, size_t budget) {
  auto shared = std::make_shared<FetchAheadShared>();
  shared->budget = budget;
  shared->addresses = addresses;
  shared->prepare = std::move(prepare);
  shared->pages.resize(addresses.size());
  shared->fetched.resize(addresses.size(), false);
  shared->transport = &CurrentTransport();
  int clamped = jobs < kMinJobs ? kMinJobs : (jobs > kMaxJobs ? kMaxJobs : jobs);
  shared->jobs = static_cast<size_t>(clamped);
  {
    std::lock_guard<std::mutex> guard(shared->lock);
    StartWorkers(shared);
  }
  return FetchAhead{shared};
}

bool TakeNextPage(FetchAhead& ahead, int milliseconds, PageBuffer& page) {
  FetchAheadShared* shared = ahead.shared.get();
  if (shared == nullptr) return false;
  std::unique_lock<std::mutex> guard(shared->lock);
  size_t index = shared->nextToTake;
  if (shared->stopped.load() || index >= shared->addresses.size()) return false;
  if (shared->workers == 0) {
    shared->pages[index] = ReadPage(shared->addresses[index], *shared->transport);
    shared->fetched[index] = true;
    shared->held += shared->pages[index].bytes.capacity();
  }
  shared->readerWaiting = true;
  bool ready = shared->pageReady.wait_for(guard, std::chrono::milliseconds(milliseconds), [&] {
    return shared->fetched[index] || shared->stopped.load() || shared->outOfMemory;
  });
  shared->readerWaiting = false;
  if (shared->outOfMemory) throw std::bad_alloc();
  if (!ready || !shared->fetched[index]) return false;
  PageBuffer taken = std::move(shared->pages[index]);
  shared->pages[index] = PageBuffer();
  shared->held -= taken.bytes.capacity();
  // The reader's last page is kept for a worker to reuse, while the budget has room for it.
  const size_t kept = page.bytes.capacity();
  if (kept > 0 && shared->spare.size() < shared->jobs && shared->held + kept <= shared->budget) {
    shared->held += kept;
    shared->spare.push_back(std::move(page));
  }
  page = std::move(taken);
  ++shared->nextToTake;
  shared->roomFree.notify_one();
  shared->bytesFree.notify_all();
  return true;
}

void StopFetchAhead(FetchAhead& ahead) {
  if (ahead.shared == nullptr) return;
  {
    std::lock_guard<std::mutex> guard(ahead.shared->lock);
    ahead.shared->stopped.store(true);
    // Pages already fetched are freed now, not when the last worker lets go.
    for (PageBuffer& page : ahead.shared->pages) page = PageBuffer();
    ahead.shared->spare.clear();
    ahead.shared->pageReady.notify_all();
    ahead.shared->roomFree.notify_all();
    ahead.shared->bytesFree.notify_all();
  }
  ahead.shared.reset();
}

bool WaitForFetchWorkers(int milliseconds) {
  WorkerRegistry& workers = Workers();
  bool ended = false;
  {
    std::unique_lock<std::mutex> guard(workers.lock);
    ended = workers.changed.wait_for(guard, std::chrono::milliseconds(milliseconds),
                                     [&] { return workers.running == 0; });
  }
  JoinEndedWorkers();
  return ended;
}
