// SPDX-License-Identifier: GPL-2.0-or-later
// The program's one window and its six controls, shared by the start-up, the event
// handling and the details panel of the Win32 window program.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "harvest/update_run.h"
#include "ui/win32/window_rules.h"

// Controls by number; each control's window identifier equals its number.
const int kStatusLabel = 0;
const int kProgressBar = 1;
const int kDetailsPanel = 2;
const int kBannerField = 3;
const int kCloseButton = 4;
const int kViewListButton = 5;
const int kControlCount = 6;

const int kKeepValue = -65535;  // ResizeClient: keep this coordinate or size
const int kClientWidth = 400;
const int kClientHeightShort = 115;  // buttons only
const int kClientHeightTall = 360;   // with the details panel
const int kCommandFocusNext = 1212;      // Tab
const int kCommandFocusPrevious = 1213;  // Shift+Tab

const int kEventCloseWindow = 16;
const int kEventCommand = 13100;
const int kEventMoved = 3;
const int kEventSized = 5;
const int kEventRepaint = 15;
const int kEventActivated = 13104;

const LRESULT kNotHandled = 0xE0E0E0E1;

const char kWindowTitle[] = " Morvek v1.0 Beta 3";
const char kWarningTitle[] = "Warning!";
const char kOpenFailedText[] = "Error opening window!";
const char kCloseText[] = "Close";  // the CloseButton's caption

struct MainWindow {
  HINSTANCE instance = nullptr;
  HWND handle = nullptr;
  bool classRegistered = false;
  HACCEL accelerators = nullptr;
  HFONT statusFont = nullptr;
  bool callbackInstalled = false;  // WindowCallback sees every message first
  HWND controls[kControlCount] = {};
};

extern MainWindow g_mainWindow;

// InitCommonControlsEx for the tab, date, extended combo box and internet classes, then
// InitCommonControls.
void InitialiseCommonControls();
// Registers the class and opens the window in standalone mode (no owner) or owned mode
// (owner may be 0: the thread's active window then serves as reference). False on failure.
bool OpenMainWindow(HINSTANCE instance, bool owned, HWND owner);
// Owned mode: adds the tool-window style and re-fits the outer size to the same client size.
void RefitAsToolWindow();
void InstallWindowCallback();
// Creates the six controls; siteBase ends the banner text.
void CreateControls(const std::string& siteBase);
HWND ControlHandle(int number);
// Moves and sizes the window: left, top in screen coordinates, width, height as client
// sizes; kKeepValue keeps the current value.
void ResizeClient(int left, int top, int width, int height);
// Re-activates the owner, destroys the window, its class, accelerators and the status font.
void CloseMainWindow();

// Appends "<call> failed: error N: <reason>" for the thread's last error to the debug log
// when MORVEK_DEBUG_LOG names one (debug_log_win.cpp); keeps the last error as it was.
void LogFailedCall(const std::string& call);

// The update run's observer in the window: the status line, the progress bar and the
// details panel show the run; the Close button and the window's close request stop it.
// It shows no page reports (a failed page shows as fewer channels) and names no country
// while it reads; it harvests every country, so the run never asks it about one.
class WindowObserver : public HarvestObserver {
 public:
  bool ServiceRunEvent() override;
  bool ServiceWhileFetching() override;
  void ShowChannel(const ChannelRecord& record) override;
  void ShowChannelCount(int32_t count) override;
  void ShowRunFinished() override;
  void ShowFinalStatus(int32_t count, bool done) override;
  void ShowMessage(const std::string& title, const std::string& text, MessageKind kind) override;
};

// A message box with style, owned by this process's foreground window, while the thread's
// other windows are disabled; the button pressed.
int ShowMessageBox(const std::string& title, const std::string& text, UINT style);

// Event handling (events_win.cpp).
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT WindowCallback(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
int PollEvent();
int WaitEvent();
int EventControl();
// Takes and dispatches every waiting message, then forgets any control event they raised.
void DispatchWaitingMessages();
void WaitForClose();
void ApplyViewToggle();
void FocusNext();
void FocusPrevious();
bool LaunchTarget(const OpenableLink& link);

// Details panel (details_panel_win.cpp).
// Gives the details panel its face once, so that lines added later need no formatting.
void PreparePanel(HWND panel);
// Puts what the observer's ShowChannel and ShowChannelCount have collected on the screen: the panel
// lines (then scrolls to the end), the progress position and the status count.
void RefreshDisplay();
// The run's per-line step calls this first: shows what is collected when it is due.
void RefreshDisplayAtLineEnd();
