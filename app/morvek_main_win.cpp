// SPDX-License-Identifier: GPL-2.0-or-later
// morvek.exe entry: opens the window in standalone or owned mode, runs the update, waits for
// the user to close the window and shuts down, always with exit code 0.
#include <windows.h>

#include <memory>
#include <new>

#include "harvest/harvest_state.h"
#include "harvest/update_run.h"
#include "ui/win32/main_window.h"
#include "ui/win32/window_rules.h"

// A build may point the window program at another directory site (the GUI tests use
// their own server); otherwise it harvests the core's site.
#ifdef MORVEK_GUI_SITE_BASE
static const char kWindowSiteBase[] = MORVEK_GUI_SITE_BASE;
#else
static const char* const kWindowSiteBase = kSiteBase;
#endif

[[noreturn]] static void ShutDown(std::unique_ptr<HarvestState> state) {
  CloseMainWindow();
  state.reset();
  ExitProcess(0);
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  HINSTANCE instance = GetModuleHandleA(nullptr);
  InitialiseCommonControls();
  std::unique_ptr<HarvestState> state(new HarvestState());

  const CommandLineArguments args = ReadArguments(GetCommandLineA());
  const bool owned = args.count != 0;
  // Window handles are 32-bit values, sign-extended in a 64-bit process.
  HWND owner = reinterpret_cast<HWND>(static_cast<LONG_PTR>(args.ownerHandle));
  if (!OpenMainWindow(instance, owned, owner)) {
    ShowMessageBox(kWarningTitle, kOpenFailedText, MB_OK | MB_ICONEXCLAMATION);
    ShutDown(std::move(state));
  }
  if (owned) RefitAsToolWindow();
  InstallWindowCallback();
  CreateControls(kWindowSiteBase);

  WindowObserver window;
  try {
    RunUpdate(*state, {kWindowSiteBase, kChannelFileName, 1, {}}, window);
  } catch (const std::bad_alloc&) {
    // Out of memory part way (a huge page or list): the window stays until it is closed,
    // and the program still ends normally.
  }
  WaitForClose();
  ShutDown(std::move(state));
}
