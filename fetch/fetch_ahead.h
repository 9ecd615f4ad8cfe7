// SPDX-License-Identifier: GPL-2.0-or-later
// Fetches a list of pages on worker threads, up to a number of jobs ahead of the reader, who
// takes them strictly in list order. The reader never blocks for long, so a window thread can
// wait here and keep answering, and a stop returns at once even when a worker is stuck in a
// read: workers share their state with the reader and simply end on their own later.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fetch/fetch.h"

const int kMinJobs = 1;
const int kMaxJobs = 16;
// The memory that the pages held ahead share, whatever the number of jobs: the pages being
// fetched, those waiting to be taken, and emptied pages kept for reuse. A worker whose page
// would grow past it waits for room; the page the reader takes next never waits, so it may
// add up to one page limit (kPageByteLimit) on top.
const size_t kAheadByteBudget = size_t{256} << 20;

struct FetchAheadShared;  // owned jointly by the reader and the workers
struct FetchAhead {
  std::shared_ptr<FetchAheadShared> shared;
};

// Work done on page number index of the list by the worker that fetched it, before the reader
// takes it. What it makes of the bytes belongs to the caller, who keeps it by index (the
// function holds what it writes into). Page index is claimed only once the reader has taken
// page index - jobs, so the pages being prepared and the one the reader holds are at most
// jobs + 1 in a row of the list. A page that the reader is already waiting for goes to the
// reader at once, unprepared, and the reader does the work itself: the worker is then free for
// the next page sooner. After a stop, a worker may still finish a preparation it began.
using PagePreparer = std::function<void(size_t index, const PageBuffer& page)>;

// Starts fetching addresses in order over the current transport with jobs workers (clamped to
// 1..16), each page then handed to prepare as told above when one is given. At most jobs pages
// are fetched or held beyond the last one taken, in at most budget bytes.
FetchAhead StartFetchAhead(const std::vector<std::string>& addresses, int jobs,
                           PagePreparer prepare = nullptr, size_t budget = kAheadByteBudget);
// Waits at most milliseconds for the next page in list order. True with the page (moved out of
// the fetcher) when it came; false when it is still on its way, or none is left, or stopped.
// Throws std::bad_alloc when a worker ran out of memory.
bool TakeNextPage(FetchAhead& ahead, int milliseconds, PageBuffer& page);
// Ends the fetching without waiting: pages not yet taken are dropped, workers end after their
// current chunk. Safe to call twice.
void StopFetchAhead(FetchAhead& ahead);
// Waits until the workers of every fetcher have ended, at most milliseconds; false when some
// still run then. For an orderly exit and for tests that reuse a fake transport.
bool WaitForFetchWorkers(int milliseconds);
