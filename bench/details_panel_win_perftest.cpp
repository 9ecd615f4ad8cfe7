// Times the details panel: ShowChannel for a few thousand channels in a real window, in
// batches, so that growth with the panel's length shows. Prints figures; ctest never runs it.
#include <windows.h>

#include <cstdio>

#include "harvest/window_side.h"
#include "text/text.h"
#include "ui/win32/main_window.h"

namespace {

const int kBatch = 250;

ChannelRecord SampleRecord(int i) {
  const std::string n = NumberToText(i);
  return ChannelRecord{"Italy", Concat("Channel ", n), "300", "News",
                       "News, weather and sport from the region, all day and all night long",
                       Concat("mms://stream.example.it/live/channel", n),
                       Concat("http://www.example-channel", n, ".it/")};
}

}  // namespace

int main(int argc, char** argv) {
  const int channels = argc > 1 ? TextToNumber(argv[1]) : 2000;
  InitialiseCommonControls();
  if (!OpenMainWindow(GetModuleHandleA(nullptr), false, nullptr)) {
    std::printf("no window\n");
    return 1;
  }
  InstallWindowCallback();
  CreateControls("http://127.0.0.1/");
  LARGE_INTEGER frequency, start, batchStart, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  batchStart = start;
  LONGLONG showTicks = 0, countTicks = 0, pollTicks = 0;
  for (int i = 1; i <= channels; ++i) {
    LARGE_INTEGER a, b, c, d;
    QueryPerformanceCounter(&a);
    ShowChannel(SampleRecord(i));
    QueryPerformanceCounter(&b);
    ShowChannelCount(i);
    QueryPerformanceCounter(&c);
    for (int line = 0; line < 4; ++line) ServiceRunEvent();  // a channel row is about four lines
    QueryPerformanceCounter(&d);
    showTicks += b.QuadPart - a.QuadPart;
    countTicks += c.QuadPart - b.QuadPart;
    pollTicks += d.QuadPart - c.QuadPart;
    if (i % kBatch == 0 || i == channels) {
      QueryPerformanceCounter(&now);
      const double batchMs = 1000.0 * static_cast<double>(now.QuadPart - batchStart.QuadPart) /
                             static_cast<double>(frequency.QuadPart);
      const LRESULT length = SendMessageA(ControlHandle(kDetailsPanel), WM_GETTEXTLENGTH, 0, 0);
      std::printf("channels %5d  panel length %8ld  last batch %8.1f ms  (%.2f ms/channel)\n", i,
                  static_cast<long>(length), batchMs, batchMs / kBatch);
      batchStart = now;
      std::printf("  ShowChannel %.1f ms, ShowChannelCount %.1f ms, polls %.1f ms\n",
                  1000.0 * static_cast<double>(showTicks) / static_cast<double>(frequency.QuadPart),
                  1000.0 * static_cast<double>(countTicks) / static_cast<double>(frequency.QuadPart),
                  1000.0 * static_cast<double>(pollTicks) / static_cast<double>(frequency.QuadPart));
      showTicks = countTicks = pollTicks = 0;
    }
  }
  QueryPerformanceCounter(&now);
  std::printf("total %.1f ms for %d channels\n",
              1000.0 * static_cast<double>(now.QuadPart - start.QuadPart) /
                  static_cast<double>(frequency.QuadPart),
              channels);
  CloseMainWindow();
  return 0;
}
