// SPDX-License-Identifier: GPL-2.0-or-later
// Times what the window does per channel during a run, in a real window: ShowChannel,
// ShowChannelCount and the per-line ServiceRunEvent, in batches so that growth with the
// panel's length shows, and the memory the panel takes per line. `--no-links` turns the
// panel's link detection off, to show its share. Run under Wine with a display; prints
// figures, ctest never runs it.
#include <windows.h>

#include <psapi.h>
#include <richedit.h>

#include <cstdio>
#include <cstring>

#include "text/text.h"
#include "ui/win32/main_window.h"

namespace {

const int kBatch = 250;
const int kLinesPerChannel = 4;  // name, stream cell, stream link, about
const double kBytesPerKiB = 1024.0;

ChannelRecord SampleRecord(int i) {
  const std::string n = NumberToText(i);
  return ChannelRecord{"Italy", Concat("Channel ", n), "300", "News",
                       "News, weather and sport from the region, all day and all night long",
                       Concat("mms://stream.example.it/live/channel", n),
                       Concat("http://www.example-channel", n, ".it/")};
}

double Now() {
  LARGE_INTEGER frequency, count;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&count);
  return 1000.0 * static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double WorkingSetBytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof(counters);
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
  return static_cast<double>(counters.WorkingSetSize);
}

}  // namespace

int main(int argc, char** argv) {
  const int channels = argc > 1 ? TextToNumber(argv[1]) : 2000;
  InitialiseCommonControls();
  if (!OpenMainWindow(GetModuleHandleA(nullptr), false, nullptr)) {
    std::printf("no window (no display?)\n");
    return 1;
  }
  InstallWindowCallback();
  CreateControls("http://127.0.0.1/");
  HWND panel = ControlHandle(kDetailsPanel);
  if (argc > 2 && std::strcmp(argv[2], "--no-links") == 0) {
    SendMessageA(panel, EM_AUTOURLDETECT, 0, 0);
  }
  WindowObserver window;
  const double memoryBefore = WorkingSetBytes();
  const double start = Now();
  double showMs = 0, countMs = 0, pollMs = 0;
  for (int i = 1; i <= channels; ++i) {
    const double a = Now();
    window.ShowChannel(SampleRecord(i));
    const double b = Now();
    window.ShowChannelCount(i);
    const double c = Now();
    for (int line = 0; line < kLinesPerChannel; ++line) window.ServiceRunEvent();
    const double d = Now();
    showMs += b - a;
    countMs += c - b;
    pollMs += d - c;
    if (i % kBatch == 0 || i == channels) {
      const LRESULT length = SendMessageA(ControlHandle(kDetailsPanel), WM_GETTEXTLENGTH, 0, 0);
      std::printf("channels %5d  panel %7ld chars  ShowChannel %6.1f ms  ShowChannelCount %6.1f ms"
                  "  line steps %6.1f ms  (%.2f ms/channel)\n",
                  i, static_cast<long>(length), showMs, countMs, pollMs,
                  (showMs + countMs + pollMs) / kBatch);
      showMs = countMs = pollMs = 0;
    }
  }
  window.ShowRunFinished();
  const double totalMs = Now() - start;
  const double lines = static_cast<double>(SendMessageA(panel, EM_GETLINECOUNT, 0, 0));
  std::printf("total %.1f ms for %d channels, %.1f us per panel line; memory %.1f KiB per line\n",
              totalMs, channels, 1000.0 * totalMs / lines,
              (WorkingSetBytes() - memoryBefore) / kBytesPerKiB / lines);
  CloseMainWindow();
  return 0;
}
