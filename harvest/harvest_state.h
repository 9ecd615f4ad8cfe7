// The one state record of the update run, shared by the run and the line parsers.
#pragma once

#include <cstdint>
#include <string>

#include "harvest/channel_list.h"
#include "harvest/stop_token.h"

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
  StopToken stop;             // the run's, as RunUpdate took it
  ChannelList channels;
};
