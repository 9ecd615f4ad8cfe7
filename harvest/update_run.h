// SPDX-License-Identifier: GPL-2.0-or-later
// The update run: index page, every country page, channels, channels.dat.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "harvest/harvest_state.h"
#include "base/stop_token.h"
#include "harvest/window_side.h"

const char kSiteBase[] = MORVEK_SITE_BASE;  // set by the build; ends in "/"
const char kStatusPrefix[] = "Channels found: ";
const char kWordAborted[] = " ABORTED";
const char kWordDone[] = " DONE";
const char kSaveFailedTitle[] = "Update failed!";
const char kSaveFailedText[] = "Couldn't save channel list!";

// How long the run waits for a page before it services its observer again.
const int kPageWaitMilliseconds = 50;

// What a run reads and where it writes.
struct HarvestSettings {
  std::string siteBase = kSiteBase;  // ends in "/"
  // An empty outputPath writes no file, and a list found is done.
  std::string outputPath = kChannelFileName;
  int jobs = 1;  // worker threads (1 to 16) that fetch country pages ahead
  // When not empty, the only countries to read (any case); a name that the index lacks ends
  // the run before any country page is read.
  std::vector<std::string> countries;
};

// What became of a run, for each front end to word and to turn into its exit code.
struct HarvestResult {
  int32_t channels = 0;
  bool aborted = false;         // a stop ended the run before the save
  bool done = false;            // the list is complete: saved, or no file was asked for
  bool saveFailed = false;      // the channel file could not be written
  std::string saveProblem;      // then why: the path and the reason
  bool countryRefused = false;  // a country asked for is not on the index; nothing was read
};

// Harvests settings.siteBase into state, showing its progress through observer, and writes
// settings.outputPath unless stopped or empty. The result does not depend on the jobs. A stop
// that comes before the save begins ends the run aborted, writing nothing; one that comes
// later lets the save complete.
HarvestResult RunUpdate(HarvestState& state, const HarvestSettings& settings,
                        HarvestObserver& observer, const StopToken& stop = StopToken());
