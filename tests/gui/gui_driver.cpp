// SPDX-License-Identifier: GPL-2.0-or-later
// gui_driver.exe: drives and inspects the Morvek window from outside for the GUI tests under
// Wine. Commands come one per line on standard input ("serve") or as the program's arguments;
// fields are separated by tabs. Each reply is key=value lines closed by "ok" or "error=...".
#include <windows.h>
#include <commctrl.h>
#include <fcntl.h>
#include <io.h>
#include <richedit.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "harvest/update_run.h"
#include "ui/win32/main_window.h"

namespace {

const char kOwnerClass[] = "MorvekTestOwner";
const char kOwnerTitle[] = "Morvek test owner";
const char kDialogClass[] = "#32770";
const int kSendTimeoutMs = 5000;
const int kPollStepMs = 20;
const size_t kDumpTextLimit = 255;
const DWORD kRemoteAccess = PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE |
                            PROCESS_QUERY_INFORMATION;

// What one serve session has started or found.
struct DriverState {
  PROCESS_INFORMATION started = {};
  HWND mainWindow = nullptr;
  HWND ownerWindow = nullptr;
};
DriverState g_state;

typedef std::vector<std::string> Fields;

// Text for one output line: backslash, control bytes and bytes above 126 become escapes.
std::string Escape(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c < 32 || c > 126) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

void Say(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
}

void SayValue(const std::string& key, const std::string& value) { Say(key + "=" + Escape(value)); }

void SayNumber(const std::string& key, long long value) { Say(key + "=" + std::to_string(value)); }

std::string Hex(unsigned long value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lx", value);
  return text;
}

std::string RectText(const RECT& r) {
  return std::to_string(r.left) + "," + std::to_string(r.top) + "," +
         std::to_string(r.right - r.left) + "," + std::to_string(r.bottom - r.top);
}

long long Number(const std::string& text) {
  long long value = 0;
  bool negative = false;
  size_t i = 0;
  if (i < text.size() && text[i] == '-') {
    negative = true;
    i++;
  }
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++) value = value * 10 + (text[i] - '0');
  return negative ? -value : value;
}

HWND HandleFromNumber(long long value) {
  return reinterpret_cast<HWND>(static_cast<intptr_t>(value));
}

long long NumberFromHandle(HWND window) {
  return static_cast<long long>(reinterpret_cast<intptr_t>(window));
}

DWORD ProcessOf(HWND window) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  return pid;
}

bool SendWithTimeout(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  DWORD_PTR value = 0;
  LRESULT ok = SendMessageTimeoutA(window, message, wParam, lParam, SMTO_NORMAL, kSendTimeoutMs,
                                   &value);
  if (result) *result = static_cast<LRESULT>(value);
  return ok != 0;
}

// Memory inside the window's process, for messages whose parameters point at records.
struct RemoteBlock {
  HANDLE process = nullptr;
  void* address = nullptr;
  SIZE_T size = 0;
};

RemoteBlock RemoteAlloc(HWND window, SIZE_T size) {
  RemoteBlock block;
  block.process = OpenProcess(kRemoteAccess, FALSE, ProcessOf(window));
  if (!block.process) return block;
  block.address = VirtualAllocEx(block.process, nullptr, size, MEM_COMMIT | MEM_RESERVE,
                                 PAGE_READWRITE);
  block.size = size;
  return block;
}

void RemoteFree(RemoteBlock& block) {
  if (block.address) VirtualFreeEx(block.process, block.address, 0, MEM_RELEASE);
  if (block.process) CloseHandle(block.process);
  block = RemoteBlock();
}

bool RemoteWrite(const RemoteBlock& block, SIZE_T offset, const void* data, SIZE_T size) {
  SIZE_T done = 0;
  return WriteProcessMemory(block.process, static_cast<char*>(block.address) + offset, data, size,
                            &done) &&
         done == size;
}

bool RemoteRead(const RemoteBlock& block, SIZE_T offset, void* data, SIZE_T size) {
  SIZE_T done = 0;
  return ReadProcessMemory(block.process, static_cast<char*>(block.address) + offset, data, size,
                           &done) &&
         done == size;
}

LPARAM RemoteParam(const RemoteBlock& block, SIZE_T offset) {
  return reinterpret_cast<LPARAM>(static_cast<char*>(block.address) + offset);
}

std::string ClassOf(HWND window) {
  char name[256] = {};
  GetClassNameA(window, name, sizeof name);
  return name;
}

bool IsRichEdit(HWND window) { return ClassOf(window).compare(0, 4, "Rich") == 0; }

// The window's text. Rich-edit controls keep their text to themselves, so they are asked with
// WM_GETTEXT (which Wine carries across processes), at most limit bytes; every other window's
// text is read without a message, which neither waits for nor slows down the busy program.
std::string TextOf(HWND window, size_t limit = 0) {
  if (!IsRichEdit(window)) {
    char text[1024] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
  }
  LRESULT length = 0;
  if (!SendWithTimeout(window, WM_GETTEXTLENGTH, 0, 0, &length) || length < 0) return "";
  size_t size = static_cast<size_t>(length) + 2;
  if (limit && size > limit + 1) size = limit + 1;
  std::vector<char> buffer(size, '\0');
  LRESULT copied = 0;
  SendWithTimeout(window, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()),
                  &copied);
  return std::string(buffer.data(), strnlen(buffer.data(), buffer.size()));
}

// A rich-edit control's whole text through EM_GETTEXTEX: paragraph breaks come back as a
// single "\r" (GT_DEFAULT) or as "\r\n" (GT_USECRLF).
bool RichText(HWND control, bool crlf, std::string* text) {
  LRESULT length = 0;
  if (!SendWithTimeout(control, WM_GETTEXTLENGTH, 0, 0, &length) || length < 0) return false;
  SIZE_T capacity = static_cast<SIZE_T>(length) * 2 + 16;
  RemoteBlock block = RemoteAlloc(control, sizeof(GETTEXTEX) + capacity);
  if (!block.address) {
    RemoteFree(block);
    return false;
  }
  GETTEXTEX request = {};
  request.cb = static_cast<DWORD>(capacity);
  request.flags = crlf ? GT_USECRLF : GT_DEFAULT;
  request.codepage = CP_ACP;
  LRESULT copied = 0;
  bool ok = RemoteWrite(block, 0, &request, sizeof request) &&
            SendWithTimeout(control, EM_GETTEXTEX, RemoteParam(block, 0),
                            RemoteParam(block, sizeof request), &copied);
  std::vector<char> buffer(capacity, '\0');
  ok = ok && RemoteRead(block, sizeof request, buffer.data(), capacity);
  RemoteFree(block);
  if (!ok) return false;
  *text = std::string(buffer.data(), strnlen(buffer.data(), capacity));
  return true;
}

struct WindowSearch {
  std::string title;
  std::string className;  // empty: any class
  DWORD pid = 0;          // 0: any process
  HWND found = nullptr;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM context) {
  WindowSearch* search = reinterpret_cast<WindowSearch*>(context);
  if (!IsWindowVisible(window)) return TRUE;
  if (search->pid && ProcessOf(window) != search->pid) return TRUE;
  char title[512] = {};
  GetWindowTextA(window, title, sizeof title);
  if (search->title != title) return TRUE;
  if (!search->className.empty() && ClassOf(window) != search->className) return TRUE;
  search->found = window;
  return FALSE;
}

HWND FindTopWindow(const std::string& title, const std::string& className) {
  WindowSearch search;
  search.title = title;
  search.className = className;
  search.pid = g_state.started.dwProcessId;
  EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND WaitTopWindow(const std::string& title, const std::string& className, long long timeoutMs) {
  DWORD start = GetTickCount();
  for (;;) {
    HWND window = FindTopWindow(title, className);
    if (window) return window;
    if (static_cast<long long>(GetTickCount() - start) >= timeoutMs) return nullptr;
    Sleep(kPollStepMs);
  }
}

HWND Control(int id) {
  if (!g_state.mainWindow) return nullptr;
  return GetDlgItem(g_state.mainWindow, id);
}

bool NeedMain() {
  if (g_state.mainWindow && IsWindow(g_state.mainWindow)) return true;
  g_state.mainWindow = FindTopWindow(kWindowTitle, "");
  if (g_state.mainWindow) return true;
  Say("error=no main window");
  return false;
}

RECT ClientRectOnParent(HWND child, HWND parent) {
  RECT r = {};
  GetWindowRect(child, &r);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

// ---- Owner window: a real top-level window of this process, serviced by its own thread.

struct OwnerRequest {
  RECT rect;
  HANDLE ready;
  HWND window;
};

LRESULT CALLBACK OwnerProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcA(window, message, wParam, lParam);
}

DWORD WINAPI OwnerThread(void* context) {
  OwnerRequest* request = static_cast<OwnerRequest*>(context);
  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = OwnerProcedure;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_APPWORKSPACE + 1);
  windowClass.lpszClassName = kOwnerClass;
  RegisterClassA(&windowClass);
  const RECT& r = request->rect;
  request->window = CreateWindowExA(0, kOwnerClass, kOwnerTitle, WS_OVERLAPPEDWINDOW, r.left,
                                    r.top, r.right - r.left, r.bottom - r.top, nullptr, nullptr,
                                    windowClass.hInstance, nullptr);
  if (request->window) ShowWindow(request->window, SW_SHOWNORMAL);
  SetEvent(request->ready);
  if (!request->window) return 1;
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return 0;
}

// ---- Commands.

void CommandOwnerCreate(const Fields& f) {
  if (f.size() < 5) {
    Say("error=usage: owner-create left top width height");
    return;
  }
  static OwnerRequest request;
  request.rect.left = static_cast<LONG>(Number(f[1]));
  request.rect.top = static_cast<LONG>(Number(f[2]));
  request.rect.right = request.rect.left + static_cast<LONG>(Number(f[3]));
  request.rect.bottom = request.rect.top + static_cast<LONG>(Number(f[4]));
  request.ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  request.window = nullptr;
  HANDLE thread = CreateThread(nullptr, 0, OwnerThread, &request, 0, nullptr);
  WaitForSingleObject(request.ready, 10000);
  CloseHandle(request.ready);
  if (thread) CloseHandle(thread);
  if (!request.window) {
    Say("error=owner window not created");
    return;
  }
  g_state.ownerWindow = request.window;
  RECT r = {};
  GetWindowRect(request.window, &r);
  SayNumber("owner", NumberFromHandle(request.window));
  Say("owner_rect=" + RectText(r));
  Say("ok");
}

// start WORKDIR EXE [REST]: REST is the rest of the command line, passed as it is.
void CommandStart(const Fields& f) {
  if (f.size() < 3) {
    Say("error=usage: start workdir exe [arguments]");
    return;
  }
  std::string commandLine = "\"" + f[2] + "\"";
  if (f.size() > 3) commandLine += " " + f[3];
  std::vector<char> line(commandLine.begin(), commandLine.end());
  line.push_back('\0');
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                      nullptr, f[1].c_str(), &startup, &info)) {
    Say("error=CreateProcess failed " + std::to_string(GetLastError()));
    return;
  }
  CloseHandle(info.hThread);
  info.hThread = nullptr;
  g_state.started = info;
  g_state.mainWindow = nullptr;
  SayNumber("pid", info.dwProcessId);
  Say("ok");
}

// True once the window has all its controls, the last-made DetailsPanel numbered.
bool HasAllControls(HWND window) {
  int count = 0;
  for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
    count++;
  HWND panel = GetDlgItem(window, kDetailsPanel);
  return count >= kControlCount && panel && IsRichEdit(panel);
}

// wait-window TIMEOUT: until the main window is open and all six controls exist.
void CommandWaitWindow(const Fields& f) {
  long long timeout = f.size() > 1 ? Number(f[1]) : 20000;
  DWORD start = GetTickCount();
  HWND window = WaitTopWindow(kWindowTitle, "", timeout);
  while (window && !HasAllControls(window) &&
         static_cast<long long>(GetTickCount() - start) < timeout)
    Sleep(kPollStepMs);
  if (!window || !HasAllControls(window)) {
    Say(window ? "error=timeout waiting for the controls" : "error=timeout");
    return;
  }
  g_state.mainWindow = window;
  SayNumber("hwnd", NumberFromHandle(window));
  SayNumber("pid", ProcessOf(window));
  Say("ok");
}

void DumpMain(HWND window) {
  RECT r = {};
  GetWindowRect(window, &r);
  Say("window_rect=" + RectText(r));
  GetClientRect(window, &r);
  Say("client_size=" + std::to_string(r.right) + "," + std::to_string(r.bottom));
  POINT origin = {0, 0};
  ClientToScreen(window, &origin);
  Say("client_origin=" + std::to_string(origin.x) + "," + std::to_string(origin.y));
  Say("style=" + Hex(static_cast<unsigned long>(GetWindowLongA(window, GWL_STYLE))));
  Say("exstyle=" + Hex(static_cast<unsigned long>(GetWindowLongA(window, GWL_EXSTYLE))));
  SayNumber("owner", NumberFromHandle(GetWindow(window, GW_OWNER)));
  SayValue("title", TextOf(window));
  SayValue("class_style", Hex(GetClassLongA(window, GCL_STYLE)));
  SayNumber("visible", IsWindowVisible(window) ? 1 : 0);
  SayNumber("enabled", IsWindowEnabled(window) ? 1 : 0);
}

void CommandDump(const Fields&) {
  if (!NeedMain()) return;
  DumpMain(g_state.mainWindow);
  for (HWND child = GetWindow(g_state.mainWindow, GW_CHILD); child;
       child = GetWindow(child, GW_HWNDNEXT)) {
    int id = GetDlgCtrlID(child);
    std::string prefix = "control." + std::to_string(id) + ".";
    SayValue(prefix + "class", ClassOf(child));
    // Long rich-edit texts are read with the text command; here their start is enough.
    SayValue(prefix + "text", TextOf(child, kDumpTextLimit));
    Say(prefix + "rect=" + RectText(ClientRectOnParent(child, g_state.mainWindow)));
    Say(prefix + "style=" + Hex(static_cast<unsigned long>(GetWindowLongA(child, GWL_STYLE))));
    Say(prefix + "exstyle=" + Hex(static_cast<unsigned long>(GetWindowLongA(child, GWL_EXSTYLE))));
    if (ClassOf(child) == PROGRESS_CLASSA) {
      LRESULT pos = 0, low = 0, high = 0;
      SendWithTimeout(child, PBM_GETPOS, 0, 0, &pos);
      SendWithTimeout(child, PBM_GETRANGE, TRUE, 0, &low);
      SendWithTimeout(child, PBM_GETRANGE, FALSE, 0, &high);
      SayNumber(prefix + "pos", pos);
      Say(prefix + "range=" + std::to_string(low) + "," + std::to_string(high));
    }
    if (ClassOf(child) == "Button") {
      LRESULT check = 0;
      SendWithTimeout(child, BM_GETCHECK, 0, 0, &check);
      SayNumber(prefix + "check", check);
    }
  }
  Say("ok");
}

// The control that field 1 of a command names, after the usual checks; null (with the error
// already reported) when the command is short, no window is known or no such control exists.
HWND ControlArgument(const Fields& f, size_t fieldCount, const char* usage) {
  if (f.size() < fieldCount) {
    Say(std::string("error=usage: ") + usage);
    return nullptr;
  }
  if (!NeedMain()) return nullptr;
  HWND control = Control(static_cast<int>(Number(f[1])));
  if (!control) Say("error=no such control");
  return control;
}

// Posted, so that it waits in the program's queue like a real click would while it is busy.
void CommandClick(const Fields& f) {
  HWND control = ControlArgument(f, 2, "click id");
  if (!control) return;
  PostMessageA(control, BM_CLICK, 0, 0);
  Say("ok");
}

void CommandClose(const Fields& f) {
  if (!NeedMain()) return;
  if (f[0] == "send-close") {
    LRESULT result = 0;
    bool ok = SendWithTimeout(g_state.mainWindow, WM_CLOSE, 0, 0, &result);
    SayNumber("answered", ok ? 1 : 0);
  } else {
    PostMessageA(g_state.mainWindow, WM_CLOSE, 0, 0);
  }
  Say("ok");
}

// text ID FILE [crlf|cr|wm]: the control's whole text, raw, into FILE.
void CommandText(const Fields& f) {
  HWND control = ControlArgument(f, 3, "text id file [crlf|cr|wm]");
  if (!control) return;
  std::string mode = f.size() > 3 ? f[3] : "cr";
  std::string text;
  if (mode == "wm") {
    text = TextOf(control);
  } else if (!RichText(control, mode == "crlf", &text)) {
    Say("error=EM_GETTEXTEX failed");
    return;
  }
  FILE* out = std::fopen(f[2].c_str(), "wb");
  if (!out) {
    Say("error=cannot write " + f[2]);
    return;
  }
  std::fwrite(text.data(), 1, text.size(), out);
  std::fclose(out);
  SayNumber("length", static_cast<long long>(text.size()));
  Say("ok");
}

std::string StatusText() {
  HWND label = Control(kStatusLabel);
  return label ? TextOf(label) : "";
}

bool EndsWith(const std::string& text, const std::string& word) {
  return text.size() >= word.size() &&
         text.compare(text.size() - word.size(), word.size(), word) == 0;
}

// Polls the status text (read without a message) until reached(status) or the timeout, and
// reports the last status seen.
template <typename Reached>
void WaitForStatus(long long timeoutMs, Reached reached) {
  if (!NeedMain()) return;
  DWORD start = GetTickCount();
  for (;;) {
    if (!IsWindow(g_state.mainWindow)) {
      Say("error=the window is gone");
      return;
    }
    std::string status = StatusText();
    if (reached(status)) {
      SayValue("status", status);
      Say("ok");
      return;
    }
    if (static_cast<long long>(GetTickCount() - start) >= timeoutMs) {
      SayValue("status", status);
      Say("error=timeout");
      return;
    }
    Sleep(kPollStepMs);
  }
}

// wait-status PREFIX TIMEOUT: until the status text begins with PREFIX.
void CommandWaitStatus(const Fields& f) {
  if (f.size() < 3) {
    Say("error=usage: wait-status prefix timeout");
    return;
  }
  const std::string& prefix = f[1];
  WaitForStatus(Number(f[2]), [&prefix](const std::string& status) {
    return status.compare(0, prefix.size(), prefix) == 0;
  });
}

// wait-count N TIMEOUT: until the status counts at least N channels.
void CommandWaitCount(const Fields& f) {
  if (f.size() < 3) {
    Say("error=usage: wait-count n timeout");
    return;
  }
  const long long wanted = Number(f[1]);
  WaitForStatus(Number(f[2]), [wanted](const std::string& status) {
    return status.compare(0, std::strlen(kStatusPrefix), kStatusPrefix) == 0 &&
           Number(status.substr(std::strlen(kStatusPrefix))) >= wanted;
  });
}

// wait-finished TIMEOUT: until the status carries its final word, " DONE" or " ABORTED".
void CommandWaitFinished(const Fields& f) {
  WaitForStatus(f.size() > 1 ? Number(f[1]) : 60000, [](const std::string& status) {
    return EndsWith(status, kWordDone) || EndsWith(status, kWordAborted);
  });
}

void CommandFocus(const Fields&) {
  if (!NeedMain()) return;
  GUITHREADINFO info = {};
  info.cbSize = sizeof info;
  DWORD thread = GetWindowThreadProcessId(g_state.mainWindow, nullptr);
  if (!GetGUIThreadInfo(thread, &info)) {
    Say("error=GetGUIThreadInfo failed");
    return;
  }
  int id = -1;
  if (info.hwndFocus && GetParent(info.hwndFocus) == g_state.mainWindow)
    id = GetDlgCtrlID(info.hwndFocus);
  SayNumber("focus_id", id);
  SayValue("focus_class", info.hwndFocus ? ClassOf(info.hwndFocus) : "");
  SayNumber("focus_is_main", info.hwndFocus == g_state.mainWindow ? 1 : 0);
  SayNumber("active_is_main", info.hwndActive == g_state.mainWindow ? 1 : 0);
  SayNumber("foreground_is_main", GetForegroundWindow() == g_state.mainWindow ? 1 : 0);
  Say("ok");
}

void PushKey(std::vector<INPUT>& inputs, WORD key, bool up) {
  INPUT input = {};
  input.type = INPUT_KEYBOARD;
  input.ki.wVk = key;
  input.ki.wScan = static_cast<WORD>(MapVirtualKeyA(key, MAPVK_VK_TO_VSC));
  input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
  inputs.push_back(input);
}

// key tab|shift-tab: real keyboard input into the foreground window's queue.
void CommandKey(const Fields& f) {
  if (f.size() < 2) {
    Say("error=usage: key tab|shift-tab");
    return;
  }
  std::vector<INPUT> inputs;
  bool shift = f[1] == "shift-tab";
  if (shift) PushKey(inputs, VK_SHIFT, false);
  PushKey(inputs, VK_TAB, false);
  PushKey(inputs, VK_TAB, true);
  if (shift) PushKey(inputs, VK_SHIFT, true);
  UINT sent = SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
  SayNumber("sent", sent);
  Say(sent == inputs.size() ? "ok" : "error=SendInput failed");
}

// char-pos ID INDEX: screen position of a character's top-left corner in a rich-edit control.
void CommandCharPos(const Fields& f) {
  HWND control = ControlArgument(f, 3, "char-pos id index");
  if (!control) return;
  LRESULT packed = 0;
  if (!SendWithTimeout(control, EM_POSFROMCHAR, static_cast<WPARAM>(Number(f[2])), 0,
                                   &packed)) {
    Say("error=EM_POSFROMCHAR failed");
    return;
  }
  POINT p = {static_cast<short>(LOWORD(packed)), static_cast<short>(HIWORD(packed))};
  Say("client_pos=" + std::to_string(p.x) + "," + std::to_string(p.y));
  ClientToScreen(control, &p);
  Say("screen_pos=" + std::to_string(p.x) + "," + std::to_string(p.y));
  Say("ok");
}

// show-char ID INDEX: puts the caret at INDEX and scrolls the control until it is in view.
void CommandShowChar(const Fields& f) {
  HWND control = ControlArgument(f, 3, "show-char id index");
  if (!control) return;
  const WPARAM at = static_cast<WPARAM>(Number(f[2]));
  const bool ok = SendWithTimeout(control, EM_SETSEL, at, static_cast<LPARAM>(at), nullptr) &&
                  SendWithTimeout(control, EM_SCROLLCARET, 0, 0, nullptr);
  Say(ok ? "ok" : "error=EM_SCROLLCARET failed");
}

// char-format ID START END: the character format of a range (selects it first).
void CommandCharFormat(const Fields& f) {
  HWND control = ControlArgument(f, 4, "char-format id start end");
  if (!control) return;
  // The selection is put back afterwards: the control shows it even without the focus.
  const SIZE_T selectionAt = sizeof(CHARFORMAT2A);
  RemoteBlock block = RemoteAlloc(control, sizeof(CHARFORMAT2A) + sizeof(CHARRANGE));
  CHARFORMAT2A format = {};
  format.cbSize = sizeof format;
  bool ok = block.address &&
            SendWithTimeout(control, EM_EXGETSEL, 0, RemoteParam(block, selectionAt), nullptr) &&
            SendWithTimeout(control, EM_SETSEL, static_cast<WPARAM>(Number(f[2])),
                            static_cast<LPARAM>(Number(f[3])), nullptr) &&
            RemoteWrite(block, 0, &format, sizeof format) &&
            SendWithTimeout(control, EM_GETCHARFORMAT, SCF_SELECTION, RemoteParam(block, 0),
                            nullptr) &&
            RemoteRead(block, 0, &format, sizeof format);
  if (block.address)
    SendWithTimeout(control, EM_EXSETSEL, 0, RemoteParam(block, selectionAt), nullptr);
  RemoteFree(block);
  if (!ok) {
    Say("error=EM_GETCHARFORMAT failed");
    return;
  }
  Say("mask=" + Hex(format.dwMask));
  Say("effects=" + Hex(format.dwEffects));
  SayNumber("link", (format.dwMask & CFM_LINK) && (format.dwEffects & CFE_LINK) ? 1 : 0);
  SayValue("face", (format.dwMask & CFM_FACE) ? std::string(format.szFaceName) : "");
  Say("ok");
}

// msgbox TITLE TIMEOUT [dismiss]: waits for the program's message box, reports its texts.
void CommandMessageBox(const Fields& f) {
  if (f.size() < 3) {
    Say("error=usage: msgbox title timeout [dismiss]");
    return;
  }
  HWND box = WaitTopWindow(f[1], kDialogClass, Number(f[2]));
  if (!box) {
    Say("error=timeout");
    return;
  }
  SayNumber("owner", NumberFromHandle(GetWindow(box, GW_OWNER)));
  int buttons = 0;
  for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    std::string className = ClassOf(child);
    std::string text = TextOf(child);
    if (className == "Button" && IsWindowVisible(child)) {
      buttons++;
      SayValue("button", text);
    } else if (className == "Static" && !text.empty()) {
      SayValue("text", text);
    }
  }
  SayNumber("buttons", buttons);
  SayNumber("main_enabled", g_state.mainWindow ? IsWindowEnabled(g_state.mainWindow) : -1);
  if (f.size() > 3 && f[3] == "dismiss") PostMessageA(box, WM_COMMAND, IDOK, 0);
  Say("ok");
}

void CommandWaitExit(const Fields& f) {
  if (!g_state.started.hProcess) {
    Say("error=nothing started");
    return;
  }
  long long timeout = f.size() > 1 ? Number(f[1]) : 20000;
  if (WaitForSingleObject(g_state.started.hProcess, static_cast<DWORD>(timeout)) != WAIT_OBJECT_0) {
    Say("error=timeout");
    return;
  }
  DWORD code = 0;
  GetExitCodeProcess(g_state.started.hProcess, &code);
  SayNumber("exit", code);
  Say("ok");
}

void CommandKill(const Fields&) {
  if (g_state.started.hProcess) {
    TerminateProcess(g_state.started.hProcess, 99);
    WaitForSingleObject(g_state.started.hProcess, 5000);
  }
  Say("ok");
}

void CommandMetrics(const Fields&) {
  Say("screen=" + std::to_string(GetSystemMetrics(SM_CXSCREEN)) + "," +
      std::to_string(GetSystemMetrics(SM_CYSCREEN)));
  struct Combination {
    const char* name;
    DWORD style;
    DWORD exStyle;
  };
  const Combination combinations[] = {
      {"adjusted_standalone", WS_CAPTION | WS_SYSMENU, 0},
      {"adjusted_owned", WS_CAPTION, 0},
      {"adjusted_tool", WS_CAPTION, WS_EX_TOOLWINDOW},
  };
  for (const Combination& c : combinations) {
    RECT r = {0, 0, 400, 115};
    AdjustWindowRectEx(&r, c.style, FALSE, c.exStyle);
    Say(std::string(c.name) + "=" + std::to_string(r.right - r.left) + "," +
        std::to_string(r.bottom - r.top));
  }
  Say("ok");
}

void CommandSleep(const Fields& f) {
  Sleep(f.size() > 1 ? static_cast<DWORD>(Number(f[1])) : 100);
  Say("ok");
}

// settle: the window and its controls have drawn every waiting change when the reply comes.
void CommandSettle(const Fields&) {
  if (!NeedMain()) return;
  RedrawWindow(g_state.mainWindow, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
  SendWithTimeout(g_state.mainWindow, WM_NULL, 0, 0, nullptr);
  Say("ok");
}

// ping TIMEOUT: how long the window takes to answer a sent message (answered=0 when it did
// not within TIMEOUT milliseconds).
void CommandPing(const Fields& f) {
  if (!NeedMain()) return;
  const UINT timeout = static_cast<UINT>(f.size() > 1 ? Number(f[1]) : kSendTimeoutMs);
  DWORD_PTR value = 0;
  const DWORD start = GetTickCount();
  const LRESULT ok =
      SendMessageTimeoutA(g_state.mainWindow, WM_NULL, 0, 0, SMTO_NORMAL, timeout, &value);
  SayNumber("answered", ok != 0 ? 1 : 0);
  SayNumber("ms", static_cast<long long>(GetTickCount() - start));
  Say("ok");
}

// attach HWND: inspect a window that this session did not start.
void CommandAttach(const Fields& f) {
  if (f.size() < 2) {
    Say("error=usage: attach hwnd");
    return;
  }
  g_state.mainWindow = HandleFromNumber(Number(f[1]));
  Say(IsWindow(g_state.mainWindow) ? "ok" : "error=not a window");
}

struct Command {
  const char* name;
  void (*run)(const Fields&);
};

const Command kCommands[] = {
    {"owner-create", CommandOwnerCreate}, {"start", CommandStart},
    {"wait-window", CommandWaitWindow},   {"dump", CommandDump},
    {"click", CommandClick},              {"post-close", CommandClose},
    {"send-close", CommandClose},         {"text", CommandText},
    {"wait-status", CommandWaitStatus},   {"wait-count", CommandWaitCount},
    {"wait-finished", CommandWaitFinished},
    {"focus", CommandFocus},              {"key", CommandKey},
    {"char-pos", CommandCharPos},         {"char-format", CommandCharFormat},
    {"show-char", CommandShowChar},
    {"msgbox", CommandMessageBox},        {"wait-exit", CommandWaitExit},
    {"kill", CommandKill},                {"metrics", CommandMetrics},
    {"sleep", CommandSleep},              {"attach", CommandAttach},
    {"settle", CommandSettle},            {"ping", CommandPing},
};

void RunCommand(const Fields& fields) {
  if (fields.empty() || fields[0].empty()) {
    Say("error=empty command");
    return;
  }
  for (const Command& command : kCommands) {
    if (fields[0] == command.name) {
      command.run(fields);
      return;
    }
  }
  Say("error=unknown command " + fields[0]);
}

Fields SplitAtTabs(const std::string& line) {
  Fields fields;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

void Serve() {
  char buffer[8192];
  while (std::fgets(buffer, sizeof buffer, stdin)) {
    std::string line(buffer);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line == "quit") break;
    RunCommand(SplitAtTabs(line));
    std::fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  if (argc >= 2 && std::strcmp(argv[1], "serve") == 0) {
    Serve();
  } else if (argc >= 2) {
    RunCommand(Fields(argv + 1, argv + argc));
  } else {
    Say("error=usage: gui_driver serve | gui_driver COMMAND [ARGS...]");
    return 2;
  }
  std::fflush(stdout);
  if (g_state.started.hProcess) CloseHandle(g_state.started.hProcess);
  return 0;
}
