// SPDX-License-Identifier: GPL-2.0-or-later
// The main window in its two modes, its six controls with their layout, fonts and rich-edit
// settings, the modal message box, and the window's part of the shut-down.
#include "ui/win32/main_window.h"

#include <commctrl.h>
#include <richedit.h>

#include <vector>

#include "text/text.h"

MainWindow g_mainWindow;

namespace {

const char kClassName[] = "MorvekMainWindow";
const WORD kIconId = 1;
const DWORD kStandaloneStyle = WS_CAPTION | WS_SYSMENU;  // 0x00C80000
const DWORD kOwnedStyle = WS_CAPTION;                    // 0x00C00000

const DWORD kStatusStyle = WS_CHILD | WS_VISIBLE | WS_GROUP | SS_CENTER;
const DWORD kProgressStyle = WS_CHILD | WS_VISIBLE;
const DWORD kRichEditStyle = WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | WS_TABSTOP |
                             ES_WANTRETURN | ES_READONLY | ES_NOHIDESEL | ES_AUTOHSCROLL |
                             ES_AUTOVSCROLL | ES_MULTILINE;  // 0x503119C4
const DWORD kToggleStyle = WS_CHILD | WS_VISIBLE | WS_GROUP | WS_TABSTOP | BS_PUSHLIKE |
                           BS_AUTOCHECKBOX;  // 0x50031003
const DWORD kButtonStyle = WS_CHILD | WS_VISIBLE | WS_GROUP | WS_TABSTOP | BS_PUSHBUTTON;

const char kStaticClass[] = "Static";
const char kProgressClass[] = "msctls_progress32";
const char kButtonClass[] = "Button";
const char kRichEdit20Library[] = "RICHED20.DLL";
const char kRichEdit20Class[] = "RichEdit20A";
const char kRichEdit10Library[] = "RICHED32.DLL";
const char kRichEdit10Class[] = "RichEdit";

const char kStatusStartText[] = "Channels found: 0";
const char kViewListText[] = "View list";
const char kBannerLead[] = "           Channels fetched from World Wide Internet TV: ";

const char kStatusFace[] = "Arial";
const int kStatusPoints = 16;
const int kStatusWeight = 700;
const char kDisplayDevice[] = "DISPLAY";

const UINT kProgressSetRange32 = 1030;  // PBM_SETRANGE32
const COLORREF kBannerColour = RGB(235, 233, 237);
// The details panel grows by one block of about 300-500 bytes per channel and is never
// cleared. 64 MiB holds well over 100,000 such blocks, far more than any directory has,
// so the panel never refuses a line; the control class's 32 KiB default held under 100.
const LPARAM kDetailsTextLimit = 64 * 1024 * 1024;

const DWORD kCommonControlClasses =
    ICC_TAB_CLASSES | ICC_DATE_CLASSES | ICC_USEREX_CLASSES | ICC_INTERNET_CLASSES;  // 0xB08

struct ControlLayout {
  int number;
  DWORD exStyle;
  bool richEdit;
  const char* windowClass;  // null for rich-edit controls: the loaded library decides
  const char* text;
  DWORD style;
  int left, top, width, height;
};

// In creation order.
// clang-format off
const ControlLayout kStatusLayout =
    {kStatusLabel, 0, false, kStaticClass, kStatusStartText, kStatusStyle, 5, 5, 390, 20};
const ControlLayout kProgressLayout =
    {kProgressBar, 0, false, kProgressClass, "", kProgressStyle, 5, 30, 390, 30};
const ControlLayout kBannerLayout =
    {kBannerField, WS_EX_CLIENTEDGE, true, nullptr, "", kRichEditStyle, 5, 65, 390, 20};
const ControlLayout kViewListLayout =
    {kViewListButton, 0, false, kButtonClass, kViewListText, kToggleStyle, 5, 90, 190, 20};
const ControlLayout kCloseLayout =
    {kCloseButton, 0, false, kButtonClass, kCloseText, kButtonStyle, 205, 90, 190, 20};
const ControlLayout kDetailsLayout =
    {kDetailsPanel, WS_EX_CLIENTEDGE, true, nullptr, "", kRichEditStyle, 5, 115, 390, 240};
// clang-format on

const char* RichEditClass() {
  static const char* chosen = nullptr;
  if (chosen == nullptr) {
    if (LoadLibraryA(kRichEdit20Library) != nullptr) {
      chosen = kRichEdit20Class;
    } else {
      LogFailedCall(Concat("LoadLibraryA ", kRichEdit20Library));
      if (LoadLibraryA(kRichEdit10Library) == nullptr) {
        LogFailedCall(Concat("LoadLibraryA ", kRichEdit10Library));
      }
      chosen = kRichEdit10Class;
    }
  }
  return chosen;
}

// A font set on a rich-edit control leaves its text colour as the control had it; the
// text is to follow the system's window-text colour.
void SetAutomaticTextColour(HWND control) {
  CHARFORMATA format{};
  format.cbSize = sizeof(format);
  format.dwMask = CFM_COLOR;
  format.dwEffects = CFE_AUTOCOLOR;
  SendMessageA(control, EM_SETCHARFORMAT, SCF_ALL, reinterpret_cast<LPARAM>(&format));
  SendMessageA(control, EM_SETCHARFORMAT, SCF_DEFAULT, reinterpret_cast<LPARAM>(&format));
}

void SetFont(HWND control, HFONT font, bool richEdit) {
  SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  if (richEdit) SetAutomaticTextColour(control);
}

HWND CreateControl(const ControlLayout& layout) {
  const char* windowClass = layout.richEdit ? RichEditClass() : layout.windowClass;
  HWND control = CreateWindowExA(layout.exStyle, windowClass, layout.text, layout.style,
                                 layout.left, layout.top, layout.width, layout.height,
                                 g_mainWindow.handle, nullptr, g_mainWindow.instance, nullptr);
  if (control == nullptr) {
    LogFailedCall(Concat("CreateWindowExA for control ", NumberToText(layout.number)));
  }
  g_mainWindow.controls[layout.number] = control;
  if (layout.richEdit) DispatchWaitingMessages();
  SetWindowLongPtrA(control, GWLP_ID, layout.number);
  SetFont(control, static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT)), layout.richEdit);
  return control;
}

HFONT CreateStatusFont() {
  HDC display = CreateDCA(kDisplayDevice, nullptr, nullptr, nullptr);
  if (display == nullptr) LogFailedCall("CreateDCA DISPLAY");
  const int pixelsPerInch = GetDeviceCaps(display, LOGPIXELSY);
  DeleteDC(display);
  HFONT font = CreateFontA(-MulDiv(kStatusPoints, pixelsPerInch, 72), 0, 0, 0, kStatusWeight,
                           FALSE, FALSE, FALSE, DEFAULT_CHARSET, 0, 0, 0, 0, kStatusFace);
  if (font == nullptr) LogFailedCall("CreateFontA for the status line");
  return font;
}

// Link notifications on, and web addresses in the text shown as links.
void EnableLinks(HWND richEdit) {
  const LRESULT mask = SendMessageA(richEdit, EM_GETEVENTMASK, 0, 0);
  SendMessageA(richEdit, EM_SETEVENTMASK, 0, mask | ENM_LINK);
  SendMessageA(richEdit, EM_AUTOURLDETECT, 1, 0);
}

int CentredOffset(int outerSpace, int size) { return (outerSpace - size) / 2; }

// Windows of this thread that ShowMessageBox disabled, to be enabled again.
struct DisabledWindows {
  DWORD thread;
  std::vector<HWND> windows;
};

BOOL CALLBACK DisableThreadWindow(HWND window, LPARAM data) {
  DisabledWindows* disabled = reinterpret_cast<DisabledWindows*>(data);
  if (GetWindowThreadProcessId(window, nullptr) != disabled->thread) return TRUE;
  if (!IsWindowVisible(window) || !IsWindowEnabled(window)) return TRUE;
  if (window == GetForegroundWindow()) return TRUE;
  EnableWindow(window, FALSE);
  disabled->windows.push_back(window);
  return TRUE;
}

}  // namespace

bool OpenMainWindow(HINSTANCE instance, bool owned, HWND owner) {
  g_mainWindow.instance = instance;
  WNDCLASSA windowClass{};
  windowClass.style = CS_DBLCLKS;
  windowClass.lpfnWndProc = MainWindowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(kIconId));
  windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
  windowClass.lpszClassName = kClassName;
  g_mainWindow.classRegistered = RegisterClassA(&windowClass) != 0;
  if (!g_mainWindow.classRegistered) LogFailedCall("RegisterClassA");

  const DWORD style = owned ? kOwnedStyle : kStandaloneStyle;
  RECT outer = {0, 0, kClientWidth, kClientHeightShort};
  AdjustWindowRect(&outer, style, FALSE);
  int width = outer.right - outer.left;
  int height = outer.bottom - outer.top;
  int left = 0;
  int top = 0;
  if (!owned) {
    const int screenWidth = GetSystemMetrics(SM_CXSCREEN);
    const int screenHeight = GetSystemMetrics(SM_CYSCREEN);
    if (width > screenWidth) width = screenWidth;
    if (height > screenHeight) height = screenHeight;
    left = CentredOffset(screenWidth, width);
    top = CentredOffset(screenHeight, height);
  } else {
    HWND reference = owner != nullptr ? owner : GetActiveWindow();
    RECT r{};
    if (reference != nullptr && GetWindowRect(reference, &r)) {
      left = r.left + CentredOffset(r.right - r.left, width);
      top = r.top + CentredOffset(r.bottom - r.top, height);
      if (left < 0) left = 0;
      if (top < 0) top = 0;
    }
  }

  g_mainWindow.handle = CreateWindowExA(0, kClassName, kWindowTitle, style, left, top, width,
                                        height, owned ? owner : nullptr, nullptr, instance, nullptr);
  if (g_mainWindow.handle == nullptr) {
    LogFailedCall("CreateWindowExA for the main window");
    UnregisterClassA(kClassName, instance);
    g_mainWindow.classRegistered = false;
    return false;
  }
  ShowWindow(g_mainWindow.handle, SW_SHOWNORMAL);
  ACCEL keys[2] = {
      {FVIRTKEY | FNOINVERT, VK_TAB, kCommandFocusNext},
      {FVIRTKEY | FNOINVERT | FSHIFT, VK_TAB, kCommandFocusPrevious},
  };
  g_mainWindow.accelerators = CreateAcceleratorTableA(keys, 2);
  if (g_mainWindow.accelerators == nullptr) LogFailedCall("CreateAcceleratorTableA");
  return true;
}

void RefitAsToolWindow() {
  HWND window = g_mainWindow.handle;
  const LONG exStyle = GetWindowLongA(window, GWL_EXSTYLE);
  SetWindowLongA(window, GWL_EXSTYLE, exStyle | WS_EX_TOOLWINDOW);
  ResizeClient(kKeepValue, kKeepValue, kKeepValue, kKeepValue);
}

void InstallWindowCallback() { g_mainWindow.callbackInstalled = true; }

void CreateControls(const std::string& siteBase) {
  HWND status = CreateControl(kStatusLayout);
  g_mainWindow.statusFont = CreateStatusFont();
  SetFont(status, g_mainWindow.statusFont, false);

  HWND progress = CreateControl(kProgressLayout);
  SendMessageA(progress, kProgressSetRange32, 0, kProgressTop);

  HWND banner = CreateControl(kBannerLayout);
  SendMessageA(banner, EM_SETBKGNDCOLOR, 0, kBannerColour);
  EnableLinks(banner);
  SetWindowTextA(banner, Concat(kBannerLead, siteBase).c_str());

  CreateControl(kViewListLayout);
  CreateControl(kCloseLayout);

  HWND details = CreateControl(kDetailsLayout);
  PreparePanel(details);
  EnableLinks(details);
  SendMessageA(details, EM_EXLIMITTEXT, 0, kDetailsTextLimit);
}

HWND ControlHandle(int number) {
  if (number < 0 || number >= kControlCount) return nullptr;
  return g_mainWindow.controls[number];
}

void ResizeClient(int left, int top, int width, int height) {
  HWND window = g_mainWindow.handle;
  if (left == kKeepValue || top == kKeepValue) {
    RECT current{};
    GetWindowRect(window, &current);
    if (left == kKeepValue) left = current.left;
    if (top == kKeepValue) top = current.top;
  }
  RECT r = {0, 0, width, height};
  if (width == kKeepValue || height == kKeepValue) {
    GetClientRect(window, &r);
    if (width != kKeepValue) r.right = r.left + width;
    if (height != kKeepValue) r.bottom = r.top + height;
  }
  const DWORD style = static_cast<DWORD>(GetWindowLongA(window, GWL_STYLE));
  const DWORD exStyle = static_cast<DWORD>(GetWindowLongA(window, GWL_EXSTYLE));
  AdjustWindowRectEx(&r, style, FALSE, exStyle);
  SetWindowPos(window, nullptr, left, top, r.right - r.left, r.bottom - r.top,
               SWP_NOZORDER | SWP_NOACTIVATE);
}

void CloseMainWindow() {
  if (g_mainWindow.handle != nullptr) {
    HWND owner = GetWindow(g_mainWindow.handle, GW_OWNER);
    if (owner != nullptr) SetActiveWindow(owner);
    DestroyWindow(g_mainWindow.handle);
    g_mainWindow.handle = nullptr;
    for (HWND& control : g_mainWindow.controls) control = nullptr;
    if (g_mainWindow.classRegistered) UnregisterClassA(kClassName, g_mainWindow.instance);
    g_mainWindow.classRegistered = false;
    if (g_mainWindow.accelerators != nullptr) DestroyAcceleratorTable(g_mainWindow.accelerators);
    g_mainWindow.accelerators = nullptr;
  }
  if (g_mainWindow.statusFont != nullptr) DeleteObject(g_mainWindow.statusFont);
  g_mainWindow.statusFont = nullptr;
}

void InitialiseCommonControls() {
  INITCOMMONCONTROLSEX classes{};
  classes.dwSize = sizeof(classes);
  classes.dwICC = kCommonControlClasses;
  if (!InitCommonControlsEx(&classes)) LogFailedCall("InitCommonControlsEx");
  InitCommonControls();
}

int ShowMessageBox(const std::string& title, const std::string& text, UINT style) {
  DisabledWindows disabled{GetCurrentThreadId(), {}};
  EnumWindows(DisableThreadWindow, reinterpret_cast<LPARAM>(&disabled));
  HWND foreground = GetForegroundWindow();
  DWORD process = 0;
  if (foreground != nullptr) GetWindowThreadProcessId(foreground, &process);
  HWND owner = process == GetCurrentProcessId() ? foreground : nullptr;
  const int result = MessageBoxA(owner, text.c_str(), title.c_str(), style);
  for (HWND window : disabled.windows) EnableWindow(window, TRUE);
  return result;
}

void WindowObserver::ShowMessage(const std::string& title, const std::string& text,
                                 MessageKind kind) {
  ShowMessageBox(title, text, kind == MessageKind::kWarning ? MB_OK | MB_ICONEXCLAMATION : MB_OK);
}
