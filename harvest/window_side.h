// The operations through which the update run reaches the outside. Each program links one
// implementation: the Win32 window, the console, or a recording fake in the tests.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "fetch/fetch.h"
#include "harvest/channel_list.h"

const int kMessageStyleExclamation = 48;  // MB_OK | MB_ICONEXCLAMATION
const int32_t kProgressTop = 1206;        // the count at which the progress shows full
const int kBlockLineCount = 8;
const int kBlockLabelWidth = 12;          // every label is padded to this many bytes

// The eight lines that show one channel: its seven fields, each after its label, in record
// order, then an empty line.
std::array<std::string, kBlockLineCount> ChannelBlockLines(const ChannelRecord& record);

// Takes at most one pending event without waiting; true when the run must stop. Called once
// per country page line.
bool ServiceRunEvent();
// A page is on its way: services the window briefly (a bounded time) and answers true when
// the run must stop. Called between bounded waits for the next page, as often as they take.
bool ServiceWhileFetching();
void ShowChannel(const ChannelRecord& record);
void ShowChannelCount(int32_t count);
void ShowRunFinished();
// word is " ABORTED" or " DONE".
void ShowFinalStatus(int32_t count, const std::string& word);
int ShowMessage(const std::string& title, const std::string& text, int style);

// What became of one page the run read: its fetch and the channels its lines completed.
struct PageReport {
  std::string country;  // empty for the index page
  std::string address;
  size_t size = 0;      // bytes received
  FetchOutcome outcome;
  int32_t channels = 0;
};
// Called when the run takes a country's page to read, before its lines, whatever it holds
// (a failed fetch included).
void ShowCountryPageTaken(const std::string& country);
// Called after each page has been read: the index page once fetched, a country page once
// scanned (not the one a stop cut short).
void ShowPageRead(const PageReport& report);
// The run was asked for a country that the index lacks; nearest holds the index's names
// closest to it. The run then ends at once: no page is read, nothing is shown or written.
void ShowUnknownCountry(const std::string& name, const std::vector<std::string>& nearest);
// The run was asked for a country by a name that entries of the index share; all of them
// are read.
void ShowSharedCountryName(const std::string& name, int entries);
