// SPDX-License-Identifier: GPL-2.0-or-later
// Kept results come back as they went in, whichever share their words or have media fields.
#include "check/check_results.h"

#include <gtest/gtest.h>

namespace {

TEST(CheckResultsTest, KeptResultsComeBackWhole) {
  CheckResult live = Judged(Verdict::kLive, "mpegts, h264 1280x720");
  live.played = "http://s/live.ts";
  live.video = "h264 1280x720";
  live.height = 720;
  live.fps = 25;
  live.bitrate = 970000;
  live.elapsedMs = 120;
  CheckResult refused = Judged(Verdict::kUnreachable, "connection refused");
  refused.elapsedMs = 3;
  const CheckResult results[] = {refused, live, refused, Judged(Verdict::kError, "HTTP 404"),
                                 Judged(Verdict::kNoStream, "")};
  ResultStore store;
  store.kept.resize(std::size(results));
  for (size_t i = 0; i < std::size(results); ++i) KeepResult(store, i, results[i]);
  for (size_t i = 0; i < std::size(results); ++i) {
    const CheckResult back = KeptResultAt(store, i);
    EXPECT_EQ(back.verdict, results[i].verdict) << i;
    EXPECT_EQ(back.detail, results[i].detail) << i;
    EXPECT_EQ(back.played, results[i].played) << i;
    EXPECT_EQ(back.video, results[i].video) << i;
    EXPECT_EQ(back.height, results[i].height) << i;
    EXPECT_EQ(back.bitrate, results[i].bitrate) << i;
    EXPECT_EQ(back.elapsedMs, results[i].elapsedMs) << i;
  }
  EXPECT_EQ(store.details.size(), 4u);  // the two refusals share their words
  EXPECT_EQ(store.media.size(), 1u);    // only the live result has media fields
}

}  // namespace
