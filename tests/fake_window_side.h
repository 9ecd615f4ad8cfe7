// A recording implementation of the window-side operations, for the unit tests.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "harvest/channel_list.h"

struct FakeWindowSide {
  std::vector<std::string> calls;      // one entry per operation, e.g. "ShowChannelCount 3"
  std::vector<ChannelRecord> shown;    // records passed to ShowChannel
  std::vector<std::string> taken;      // countries passed to ShowCountryPageTaken
  int serviceCalls = 0;
  int stopAtServiceCall = 0;           // ServiceRunEvent answers stop on this call (1-based); 0: never
  int fetchWaits = 0;                  // ServiceWhileFetching calls; kept out of calls, as
                                       // their number depends on timing
};

// ServiceWhileFetching answers stop while this holds; may be set from a fetch worker.
extern std::atomic<bool> g_fakeStopWhileFetching;

extern FakeWindowSide g_fakeWindow;
void ResetFakeWindow();
