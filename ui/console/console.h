// SPDX-License-Identifier: GPL-2.0-or-later
// The harvest's front on the console: its progress line on stderr and channel blocks on stdout.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/terminal.h"
#include "harvest/harvest_state.h"
#include "harvest/update_run.h"

struct ConsoleOptions {
  bool details = false;  // print each channel's block on stdout
  bool quiet = false;    // show errors and warnings only
  bool verbose = false;  // add a line per page read
  std::string outputPath;  // the channel file: compared with the new list, named on failure
};

struct ConsoleSide;

// The harvest's observer on the console: progress on stderr, channel blocks on stdout.
class ConsoleObserver : public HarvestObserver {
 public:
  // Starts showing the progress of the run that fills state; reads the old channel file.
  ConsoleObserver(const ConsoleOptions& options, const HarvestState& state);
  ~ConsoleObserver() override;
  // Ends the progress display; prints the status text when the run gave no final word.
  void Finish(const HarvestResult& result);
  // Shows that an extra output could not be written: what it is ("the playlist (--m3u)") and
  // the problem as "PATH: reason". The run's final word then gives no DONE.
  void ShowExportFailure(const std::string& what, const std::string& problem);
  // Prints "morvek-cli: <text>" on stderr as a line of its own, past the live line.
  void ShowLine(const std::string& text);
  // The live line, for a write to stdout to clear before it says why it failed.
  ProgressLine& LiveLine();

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

 private:
  std::unique_ptr<ConsoleSide> side_;
};
