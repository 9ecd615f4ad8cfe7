// SPDX-License-Identifier: GPL-2.0-or-later
// Records every operation the update run makes on its observer, in order.
#include "tests/fake_window_side.h"

#include "harvest/update_run.h"
#include "text/text.h"

void FakeWindowSide::Reset() {
  calls.clear();
  shown.clear();
  taken.clear();
  serviceCalls = 0;
  stopAtServiceCall = 0;
  fetchWaits = 0;
  stopWhileFetching.store(false);
}

bool FakeWindowSide::ServiceRunEvent() {
  ++serviceCalls;
  calls.push_back("ServiceRunEvent");
  return stopAtServiceCall == serviceCalls;
}

bool FakeWindowSide::ServiceWhileFetching() {
  ++fetchWaits;
  return stopWhileFetching.load();
}

void FakeWindowSide::ShowChannel(const ChannelRecord& record) {
  calls.push_back(Concat("ShowChannel ", record.channel));
  shown.push_back(record);
}

void FakeWindowSide::ShowChannelCount(int32_t count) {
  calls.push_back(Concat("ShowChannelCount ", NumberToText(count)));
}

void FakeWindowSide::ShowPageRead(const PageReport& report) {
  calls.push_back(Concat("ShowPageRead ", report.country.empty() ? "index" : report.country, " ",
                         NumberToText(report.outcome.status), " ", NumberToText(report.channels),
                         " ", report.outcome.error));
}

void FakeWindowSide::ShowCountryPageTaken(const std::string& country) { taken.push_back(country); }

void FakeWindowSide::ShowUnknownCountry(const std::string& name,
                                        const std::vector<std::string>& nearest) {
  std::string call = Concat("ShowUnknownCountry ", name);
  for (const std::string& near : nearest) call += Concat(" ", near);
  calls.push_back(call);
}

void FakeWindowSide::ShowSharedCountryName(const std::string& name, int entries) {
  calls.push_back(Concat("ShowSharedCountryName ", name, " ", NumberToText(entries)));
}

void FakeWindowSide::ShowRunFinished() { calls.push_back("ShowRunFinished"); }

void FakeWindowSide::ShowFinalStatus(int32_t count, bool done) {
  calls.push_back(Concat("ShowFinalStatus ", NumberToText(count), done ? kWordDone : kWordAborted));
}

void FakeWindowSide::ShowMessage(const std::string& title, const std::string& text,
                                 MessageKind kind) {
  calls.push_back(Concat("ShowMessage ", title, "/", text, "/",
                         kind == MessageKind::kWarning ? "warning" : "?"));
}
