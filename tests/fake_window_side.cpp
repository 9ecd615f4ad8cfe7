// Records every window-side operation the update run makes, in order.
#include "tests/fake_window_side.h"

#include "harvest/window_side.h"
#include "text/text.h"

FakeWindowSide g_fakeWindow;
std::atomic<bool> g_fakeStopWhileFetching{false};

void ResetFakeWindow() {
  g_fakeWindow = FakeWindowSide();
  g_fakeStopWhileFetching.store(false);
}

bool ServiceRunEvent() {
  ++g_fakeWindow.serviceCalls;
  g_fakeWindow.calls.push_back("ServiceRunEvent");
  return g_fakeWindow.stopAtServiceCall == g_fakeWindow.serviceCalls;
}

bool ServiceWhileFetching() {
  ++g_fakeWindow.fetchWaits;
  return g_fakeStopWhileFetching.load();
}

void ShowChannel(const ChannelRecord& record) {
  g_fakeWindow.calls.push_back(Concat("ShowChannel ", record.channel));
  g_fakeWindow.shown.push_back(record);
}

void ShowChannelCount(int32_t count) {
  g_fakeWindow.calls.push_back(Concat("ShowChannelCount ", NumberToText(count)));
}

void ShowPageRead(const PageReport& report) {
  g_fakeWindow.calls.push_back(
      Concat("ShowPageRead ", report.country.empty() ? "index" : report.country, " ",
             NumberToText(report.outcome.status), " ", NumberToText(report.channels), " ", report.outcome.error));
}

void ShowCountryPageTaken(const std::string& country) { g_fakeWindow.taken.push_back(country); }

void ShowUnknownCountry(const std::string& name, const std::vector<std::string>& nearest) {
  std::string call = Concat("ShowUnknownCountry ", name);
  for (const std::string& near : nearest) call += Concat(" ", near);
  g_fakeWindow.calls.push_back(call);
}

void ShowSharedCountryName(const std::string& name, int entries) {
  g_fakeWindow.calls.push_back(Concat("ShowSharedCountryName ", name, " ", NumberToText(entries)));
}

void ShowRunFinished() { g_fakeWindow.calls.push_back("ShowRunFinished"); }

void ShowFinalStatus(int32_t count, const std::string& word) {
  g_fakeWindow.calls.push_back(Concat("ShowFinalStatus ", NumberToText(count), word));
}

int ShowMessage(const std::string& title, const std::string& text, int style) {
  g_fakeWindow.calls.push_back(Concat("ShowMessage ", title, "/", text, "/", NumberToText(style)));
  return 1;
}
