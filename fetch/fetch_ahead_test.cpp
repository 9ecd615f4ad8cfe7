// SPDX-License-Identifier: GPL-2.0-or-later
// Fetching ahead of the reader: the pages held ahead share one memory budget at any job count.
#include "fetch/fetch_ahead.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace {

std::atomic<size_t> g_served{0};

int ReadEndless(FetchConnection*, char* buffer, int capacity) {
  std::memset(buffer, '\n', static_cast<size_t>(capacity));
  g_served += static_cast<size_t>(capacity);
  return capacity;
}

// Seventeen endless pages at sixteen jobs while the reader takes none: the workers fetch the
// budget beside the page the reader waits for (and a chunk each), and every page comes whole.
TEST(FetchAheadTest, PagesHeldAheadShareOneBudget) {
  const size_t pageLimit = size_t{256} << 10;
  const size_t budget = size_t{1} << 20;
  const FetchTransport endless = {
      [](const std::string&) { return reinterpret_cast<FetchConnection*>(1); }, ReadEndless,
      [](FetchConnection*) {}};
  SetPageByteLimit(pageLimit);
  g_fetchTransport = &endless;
  FetchAhead ahead =
      StartFetchAhead(std::vector<std::string>(17, "http://site.test/"), 16, nullptr, budget);
  for (size_t seen = 0, still = 0; still < 20; still = g_served == seen ? still + 1 : 0) {
    seen = g_served;  // until the workers have stood still for 0.2 s
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_LE(g_served.load(), budget + pageLimit + 16 * kChunkSize);
  PageBuffer page;
  for (int taken = 0; taken < 17; ++taken) {
    while (!TakeNextPage(ahead, 1000, page)) {
    }
    EXPECT_EQ(page.size(), pageLimit);
  }
  StopFetchAhead(ahead);
  EXPECT_TRUE(WaitForFetchWorkers(10000));
  g_fetchTransport = nullptr;
  SetPageByteLimit(0);
}

}  // namespace
