// SPDX-License-Identifier: GPL-2.0-or-later
#include "base/stop_token.h"

#include <gtest/gtest.h>

// A wake-up runs once per stop, at once when registered after the stop, never after its
// waker is gone; a default token never stops.
TEST(StopTokenTest, WakesEachWaiterOnceAndNeverAfterItsWakerEnds) {
  StopSource source;
  int kept = 0, dropped = 0, late = 0;
  StopWaker keep = source.Token().OnStop([&] { ++kept; });
  {
    StopWaker drop = source.Token().OnStop([&] { ++dropped; });
  }
  EXPECT_FALSE(source.Token().StopRequested());
  source.RequestStop();
  source.RequestStop();
  StopWaker after = source.Token().OnStop([&] { ++late; });
  EXPECT_TRUE(source.Token().StopRequested());
  EXPECT_EQ(std::make_tuple(kept, dropped, late), std::make_tuple(1, 0, 1));
  EXPECT_FALSE(StopToken().StopRequested());
}
