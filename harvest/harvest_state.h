// SPDX-License-Identifier: GPL-2.0-or-later
// The one state record of the update run, shared by the run and the line parsers.
#pragma once

#include <cstdint>
#include <string>

#include "harvest/channel_list.h"
#include "base/stop_token.h"

// The most channels one run keeps, far past any real directory: a site that lists more is
// read no further, and the run keeps, saves and exports those it has.
const int32_t kMaxChannelsPerRun = 2000000;

struct HarvestState {
  std::string country;
  std::string channel;
  std::string homepage;
  std::string streamUrl;
  std::string bitrate;
  std::string about;
  std::string category;
  bool streamSeen = false;
  int32_t channelCount = 0;
  bool aborted = false;
  int32_t countryTotal = 0;   // country links on the index page that the run reads
  int32_t countriesDone = 0;  // of those, the pages read so far
  std::string saveProblem;    // why the last save failed: the path and the reason
  int32_t channelLimit = kMaxChannelsPerRun;  // a test's smaller bound
  bool channelLimitReached = false;           // the run stopped reading there
  StopToken stop;                             // the run's, as RunUpdate took it
  ChannelList channels;
};
