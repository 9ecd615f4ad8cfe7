// The update run: index page, every country page, channels, channels.dat.
#pragma once

#include <string>
#include <vector>

#include "harvest/harvest_state.h"
#include "harvest/stop_token.h"

const char kSiteBase[] = MORVEK_SITE_BASE;  // set by the build; ends in "/"
const char kStatusPrefix[] = "Channels found: ";
const char kWordAborted[] = " ABORTED";
const char kWordDone[] = " DONE";
const char kSaveFailedTitle[] = "Update failed!";
const char kSaveFailedText[] = "Couldn't save channel list!";

// How long the run waits for a page before it services the window side again.
const int kPageWaitMilliseconds = 50;

// Harvests siteBase (ending in "/") into state and writes outputPath unless cancelled or empty
// (an empty outputPath writes no file, and a list found is DONE).
// jobs worker threads (1 to 16) fetch country pages ahead; the result does not depend on it.
// countries, when not empty, names the only countries to read (any case); a name that the
// index lacks ends the run before any country page is read. A stop that comes before the save
// begins ends the run aborted, writing nothing; one that comes later lets the save complete.
void RunUpdate(HarvestState& state, const std::string& siteBase = kSiteBase,
               const std::string& outputPath = kChannelFileName, int jobs = 1,
               const std::vector<std::string>& countries = {}, const StopToken& stop = StopToken());
