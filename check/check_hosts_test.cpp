// SPDX-License-Identifier: GPL-2.0-or-later
// The host limiter: which queued row starts next, connections per resolved address, and the
// line in which running checks go before new rows.
#include "check/check_hosts.h"

#include <gtest/gtest.h>

namespace {

const std::vector<std::string> kNames = {"a", "a", "b", "c", "a", "b", "c", "b", "a"};

// Takes the rows that may start as the owner loop does: a row of a known name opens its
// connection, one of a new name waits for its lookup.
std::vector<uint32_t> StartAll(HostLimiter& limiter) {
  std::vector<uint32_t> started;
  for (uint32_t row = limiter.TakeNext(); row != kNoRow; row = limiter.TakeNext()) {
    started.push_back(row);
    const std::string& name = kNames[row];
    if (limiter.Known(name)) {
      EXPECT_TRUE(limiter.OpenOrWait(limiter.KeyOf(name), row));
    } else {
      limiter.AddLookUpWaiter(name, 1);
    }
  }
  return started;
}

// Two connections a host; a and b are two spellings of one address.
TEST(HostLimiterTest, RowsStartInListOrderAsTheirHostsAllow) {
  HostLimiter limiter(2);
  for (uint32_t row = 0; row < kNames.size(); ++row) limiter.Queue(row, kNames[row]);
  // A new name: its first row starts, to have it looked up; the others wait for that lookup.
  EXPECT_EQ(StartAll(limiter), (std::vector<uint32_t>{0, 2, 3}));
  // Row 0 gave up at its deadline; the next row of a waits for the same lookup.
  limiter.AddLookUpWaiter("a", -1);
  EXPECT_EQ(StartAll(limiter), (std::vector<uint32_t>{1}));
  // Two spellings share the address's two connections.
  for (const auto& [name, row] : {std::make_pair("a", 1u), std::make_pair("b", 2u)}) {
    limiter.AddLookUpWaiter(name, -1);
    limiter.EndLookUp(name, "10.0.0.1");
    EXPECT_TRUE(limiter.OpenOrWait("10.0.0.1", row));
  }
  EXPECT_EQ(StartAll(limiter), (std::vector<uint32_t>{}));
  // A full host holds back no row of another.
  limiter.AddLookUpWaiter("c", -1);
  limiter.EndLookUp("c", "10.0.0.3");
  EXPECT_TRUE(limiter.OpenOrWait("10.0.0.3", 3));
  EXPECT_EQ(StartAll(limiter), (std::vector<uint32_t>{6}));
  // A freed connection goes to the first queued row of either spelling.
  for (uint32_t expected : {4, 5, 7, 8}) {
    EXPECT_EQ(limiter.Close("10.0.0.1"), kNoRow);
    EXPECT_EQ(StartAll(limiter), (std::vector<uint32_t>{expected}));
  }
  EXPECT_FALSE(limiter.HasQueued());
  EXPECT_EQ(limiter.OpenCount("10.0.0.1"), 2);
}

// A running check that waits for a host (a wrapper's entry) takes the next free connection
// before any new row of that host, in the order the checks came to wait.
TEST(HostLimiterTest, WaitingChecksGoBeforeNewRows) {
  HostLimiter limiter(2);
  limiter.EndLookUp("a", "10.0.0.1");
  for (uint32_t row : {0, 1, 4, 8}) limiter.Queue(row, "a");
  EXPECT_EQ(StartAll(limiter), (std::vector<uint32_t>{0, 1}));
  EXPECT_FALSE(limiter.OpenOrWait("10.0.0.1", 40));
  EXPECT_FALSE(limiter.OpenOrWait("10.0.0.1", 41));
  EXPECT_EQ(limiter.Close("10.0.0.1"), 40u);
  EXPECT_EQ(StartAll(limiter), (std::vector<uint32_t>{}));
  limiter.LeaveLine("10.0.0.1", 41);  // its deadline passed
  EXPECT_EQ(limiter.Close("10.0.0.1"), kNoRow);
  EXPECT_EQ(StartAll(limiter), (std::vector<uint32_t>{4}));
}

}  // namespace
