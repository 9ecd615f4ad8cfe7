// SPDX-License-Identifier: GPL-2.0-or-later
// A recording observer of the update run, for the unit tests and the fuzz target.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "harvest/channel_list.h"
#include "harvest/window_side.h"

class FakeWindowSide : public HarvestObserver {
 public:
  std::vector<std::string> calls;      // one entry per operation, e.g. "ShowChannelCount 3"
  std::vector<ChannelRecord> shown;    // records passed to ShowChannel
  std::vector<std::string> taken;      // countries passed to ShowCountryPageTaken
  int serviceCalls = 0;
  int stopAtServiceCall = 0;           // ServiceRunEvent answers stop on this call (1-based); 0: never
  int fetchWaits = 0;                  // ServiceWhileFetching calls; kept out of calls, as
                                       // their number depends on timing
  // ServiceWhileFetching answers stop while this holds; may be set from a fetch worker.
  std::atomic<bool> stopWhileFetching{false};

  // Forgets every call, as a new fake would.
  void Reset();

  bool ServiceRunEvent() override;
  bool ServiceWhileFetching() override;
  void ShowChannel(const ChannelRecord& record) override;
  void ShowChannelCount(int32_t count) override;
  void ShowRunFinished() override;
  void ShowFinalStatus(int32_t count, bool done) override;
  void ShowMessage(const std::string& title, const std::string& text, MessageKind kind) override;
  void ShowCountryPageTaken(const std::string& country) override;
  void ShowPageRead(const PageReport& report) override;
  void ShowUnknownCountry(const std::string& name,
                          const std::vector<std::string>& nearest) override;
  void ShowSharedCountryName(const std::string& name, int entries) override;
};
