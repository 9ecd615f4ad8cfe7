// SPDX-License-Identifier: GPL-2.0-or-later
// The observer through which the update run reaches the outside, passed to the run as an
// argument: the Win32 window, the console, serve's quiet one, or a recording fake in tests.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "fetch/fetch.h"
#include "harvest/channel_list.h"

const int32_t kProgressTop = 1206;        // the count at which the progress shows full
const int kBlockLineCount = 8;
const int kBlockLabelWidth = 12;          // every label is padded to this many bytes

// What a message says of itself; each side shows it in its own way.
enum class MessageKind { kWarning };

// The eight lines that show one channel: its seven fields, each after its label, in record
// order, then an empty line.
std::array<std::string, kBlockLineCount> ChannelBlockLines(const ChannelRecord& record);

// What became of one page the run read: its fetch and the channels its lines completed.
struct PageReport {
  std::string country;  // empty for the index page
  std::string address;
  size_t size = 0;      // bytes received
  FetchOutcome outcome;
  int32_t channels = 0;
};

// Every operation does nothing by default, so that this class itself is a quiet observer.
class HarvestObserver {
 public:
  virtual ~HarvestObserver();
  // Takes at most one pending event without waiting; true when the run must stop. Called
  // once per country page line.
  virtual bool ServiceRunEvent() { return false; }
  // A page is on its way: services the side briefly (a bounded time) and answers true when
  // the run must stop. Called between bounded waits for the next page, as often as they take.
  virtual bool ServiceWhileFetching() { return false; }
  virtual void ShowChannel(const ChannelRecord&) {}
  virtual void ShowChannelCount(int32_t) {}
  virtual void ShowRunFinished() {}
  // done: the list is complete (saved, or no file was asked for); else the run was stopped.
  virtual void ShowFinalStatus(int32_t /*count*/, bool /*done*/) {}
  virtual void ShowMessage(const std::string& /*title*/, const std::string& /*text*/,
                           MessageKind /*kind*/) {}
  // Called when the run takes a country's page to read, before its lines, whatever it holds
  // (a failed fetch included).
  virtual void ShowCountryPageTaken(const std::string& /*country*/) {}
  // Called after each page has been read: the index page once fetched, a country page once
  // scanned (not the one a stop cut short).
  virtual void ShowPageRead(const PageReport&) {}
  // The run was asked for a country that the index lacks; nearest holds the index's names
  // closest to it. The run then ends at once: no page is read, nothing is shown or written.
  virtual void ShowUnknownCountry(const std::string& /*name*/,
                                  const std::vector<std::string>& /*nearest*/) {}
  // The run was asked for a country by a name that entries of the index share; all of them
  // are read.
  virtual void ShowSharedCountryName(const std::string& /*name*/, int /*entries*/) {}
};
