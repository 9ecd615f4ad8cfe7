// SPDX-License-Identifier: GPL-2.0-or-later
// Window messages turned into the program's events, the per-line step of the update run,
// the wait for close, the view toggle, Tab focus moves and the opening of clicked links.
#include "ui/win32/main_window.h"

#include <richedit.h>
#include <shellapi.h>

#include <deque>
#include <new>
#include <vector>

#include "text/text.h"
#include "ui/win32/window_rules.h"

namespace {

const int kLinkBufferSize = kLinkTextLimit + 1;
const char kRichEditClassPrefix[] = "Rich";
const int kClassNameSize = 64;
const WORD kAcceleratorSource = 1;  // high word of wParam of WM_COMMAND from an accelerator
const char kShellVerb[] = "open";
// The longest ServiceWhileFetching takes messages before it looks for the page again.
const DWORD kFetchServiceMs = 20;
// Looking for a message costs a call into the system even when none waits, and pages bring
// tens of thousands of lines: the per-line step looks at most this often, which still answers
// a click or a close request well within a screen refresh.
const DWORD kLinePollMs = 10;
const int kCreationOrder[kControlCount] = {kStatusLabel,    kProgressBar, kBannerField,
                                          kViewListButton, kCloseButton, kDetailsPanel};

struct QueuedEvent {
  int code;
  HWND window;
};

// The event state of one thread.
struct EventState {
  int pendingCode = 0;  // control event raised while a message was dispatched; 0: none
  int control = 0;      // number of the control that raised it
  int type = 0;         // its notification code (never read: any notification counts)
  std::deque<QueuedEvent> queue;
  HWND window = nullptr;  // window of the last event taken
  DWORD lastLinePoll = 0;  // when the per-line step last looked for messages
};

thread_local EventState t_events;

void QueueEvent(int code, HWND window) {
  std::deque<QueuedEvent>& queue = t_events.queue;
  if (!queue.empty() && queue.back().code == code && queue.back().window == window) return;
  try {
    queue.push_back(QueuedEvent{code, window});
  } catch (const std::bad_alloc&) {
    // No memory for the event: it is lost.
  }
}

bool TakeQueuedEvent(int* code) {
  if (t_events.queue.empty()) return false;
  const QueuedEvent event = t_events.queue.front();
  t_events.queue.pop_front();
  t_events.window = event.window;
  *code = event.code;
  return true;
}

bool KeyDown(int key) { return (GetKeyState(key) & 0x8000) != 0; }

// Tab typed into an editable rich-edit control is text, not a focus move.
bool TabTypedIntoEditor() {
  if (!KeyDown(VK_TAB) || KeyDown(VK_CONTROL) || KeyDown(VK_SHIFT) || KeyDown(VK_MENU)) {
    return false;
  }
  HWND focus = GetFocus();
  if (focus == nullptr) return false;
  char className[kClassNameSize] = {};
  GetClassNameA(focus, className, kClassNameSize);
  if (!StartsWith(TextFromBytes(className, kClassNameSize), kRichEditClassPrefix)) return false;
  return (GetWindowLongA(focus, GWL_STYLE) & ES_READONLY) == 0;
}

bool TranslateKeyCommand(MSG* message) {
  // Only key messages can match an accelerator; the check spares a server call per message.
  if (message->message < WM_KEYFIRST || message->message > WM_KEYLAST) return false;
  HWND active = GetActiveWindow();
  if (active == nullptr || active != g_mainWindow.handle || g_mainWindow.accelerators == nullptr) {
    return false;
  }
  if (TabTypedIntoEditor()) return false;
  return TranslateAcceleratorA(active, g_mainWindow.accelerators, message) != 0;
}

int TakePendingControlEvent() {
  const int code = t_events.pendingCode;
  t_events.pendingCode = 0;
  return code;
}

// Translates and dispatches one message; the control event it raised, else its identifier.
int HandleMessage(MSG* message) {
  if (!TranslateKeyCommand(message)) {
    TranslateMessage(message);
    DispatchMessageA(message);
  }
  const int code = TakePendingControlEvent();
  if (code != 0) return code;
  return static_cast<int>(message->message);
}

// The controls that Tab visits, in creation order.
std::vector<HWND> FocusCandidates() {
  std::vector<HWND> candidates;
  for (int number : kCreationOrder) {
    HWND control = ControlHandle(number);
    if (control == nullptr || !IsWindowEnabled(control)) continue;
    const LONG style = GetWindowLongA(control, GWL_STYLE);
    if ((style & WS_VISIBLE) == 0 || (style & WS_TABSTOP) == 0) continue;
    candidates.push_back(control);
  }
  return candidates;
}

// Position of control among the window's controls in creation order; -1 when it is none.
int CreationIndex(HWND control) {
  if (control == nullptr) return -1;
  for (int i = 0; i < kControlCount; ++i) {
    if (ControlHandle(kCreationOrder[i]) == control) return i;
  }
  return -1;
}

void OpenClickedLink(WPARAM controlNumber, const ENLINK& link) {
  const std::optional<LinkRange> range = WholeLinkRange(link.chrg.cpMin, link.chrg.cpMax);
  if (!range) return;
  char buffer[kLinkBufferSize] = {};
  TEXTRANGEA request{};
  request.chrg.cpMin = range->first;
  request.chrg.cpMax = range->last;
  request.lpstrText = buffer;
  SendMessageA(ControlHandle(static_cast<int>(controlNumber)), EM_GETTEXTRANGE, 0,
               reinterpret_cast<LPARAM>(&request));
  // Page text decides what the link says; only web and stream addresses are opened.
  const std::optional<OpenableLink> openable =
      OpenableLinkOf(TextFromBytes(buffer, kLinkBufferSize));
  if (openable) LaunchTarget(*openable);
}

}  // namespace

LRESULT WindowCallback(HWND, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_NOTIFY) return kNotHandled;
  const ENLINK* link = reinterpret_cast<const ENLINK*>(lParam);
  if (link->nmhdr.code != EN_LINK) return kNotHandled;
  if (link->msg != WM_LBUTTONDOWN) return kNotHandled;
  OpenClickedLink(wParam, *link);
  return 0;
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (g_mainWindow.callbackInstalled) {
    const LRESULT result = WindowCallback(window, message, wParam, lParam);
    if (result != kNotHandled) return result;
  }
  switch (message) {
    case WM_CLOSE:
      QueueEvent(kEventCloseWindow, window);
      return 0;
    case WM_COMMAND:
      if (lParam != 0) {
        t_events.pendingCode = kEventCommand;
        t_events.control = static_cast<int>(
            GetWindowLongPtrA(reinterpret_cast<HWND>(lParam), GWLP_ID));
        t_events.type = HIWORD(wParam);
        return 0;
      }
      if (HIWORD(wParam) == kAcceleratorSource && LOWORD(wParam) == kCommandFocusNext) {
        FocusNext();
        return 0;
      }
      if (HIWORD(wParam) == kAcceleratorSource && LOWORD(wParam) == kCommandFocusPrevious) {
        FocusPrevious();
        return 0;
      }
      break;
    case WM_MOVE:
      QueueEvent(kEventMoved, window);
      return 0;
    case WM_SIZE:
      if (wParam == SIZE_MINIMIZED) break;
      QueueEvent(kEventSized, window);
      return 0;
    case WM_ACTIVATE:
      if (LOWORD(wParam) != WA_INACTIVE) QueueEvent(kEventActivated, window);
      return 1;
    case WM_ERASEBKGND:
      QueueEvent(kEventRepaint, window);
      break;
    case WM_SYSCOLORCHANGE:
      for (HWND control : g_mainWindow.controls) {
        if (control != nullptr) SendMessageA(control, WM_SYSCOLORCHANGE, 0, 0);
      }
      break;
    default:
      break;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

int PollEvent() {
  int code = 0;
  if (TakeQueuedEvent(&code)) return code;
  MSG message{};
  if (!PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE | PM_NOYIELD)) {
    // A message sent by another thread is dispatched inside PeekMessageA; its control
    // event must not wait for the next posted message.
    return TakePendingControlEvent();
  }
  return HandleMessage(&message);
}

int WaitEvent() {
  int code = 0;
  if (TakeQueuedEvent(&code)) return code;
  code = TakePendingControlEvent();
  if (code != 0) return code;
  MSG message{};
  GetMessageA(&message, nullptr, 0, 0);
  return HandleMessage(&message);
}

int EventControl() { return t_events.control; }

void DispatchWaitingMessages() {
  MSG message{};
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  TakePendingControlEvent();
}

namespace {

// Acts on one event taken during the run; true when it asks the run to stop.
bool AnswerRunEvent(int event) {
  if (event == kEventCloseWindow) return true;
  if (event == kEventCommand) {
    if (EventControl() == kCloseButton) return true;
    if (EventControl() == kViewListButton) ApplyViewToggle();
  }
  return false;
}

}  // namespace

bool WindowObserver::ServiceRunEvent() {
  RefreshDisplayAtLineEnd();
  const DWORD now = GetTickCount();
  const bool raised = !t_events.queue.empty() || t_events.pendingCode != 0;
  if (!raised && now - t_events.lastLinePoll < kLinePollMs) return false;
  t_events.lastLinePoll = now;
  return AnswerRunEvent(PollEvent());
}

// While a page is on its way, what is collected goes on the screen, so that the last channels
// of a page are not held back until the next page arrives; then every waiting message is
// taken, for at most a short while, so that painting, View list and Close are answered at
// once. A stop asked for here leaves the fetch behind: the fetcher drops it.
bool WindowObserver::ServiceWhileFetching() {
  RefreshDisplay();
  const DWORD start = GetTickCount();
  do {
    const int event = PollEvent();
    if (event == 0) return false;  // nothing waits
    if (AnswerRunEvent(event)) return true;
  } while (GetTickCount() - start < kFetchServiceMs);
  return false;
}

void WaitForClose() {
  for (;;) {
    const int event = WaitEvent();
    if (event == kEventCloseWindow) return;
    if (event != kEventCommand) continue;
    if (EventControl() == kCloseButton) return;
    if (EventControl() == kViewListButton) ApplyViewToggle();
  }
}

void ApplyViewToggle() {
  RefreshDisplay();
  const LRESULT state = SendMessageA(ControlHandle(kViewListButton), BM_GETCHECK, 0, 0);
  const int height = (state & BST_CHECKED) != 0 ? kClientHeightTall : kClientHeightShort;
  ResizeClient(kKeepValue, kKeepValue, kKeepValue, height);
}

void FocusNext() {
  const std::vector<HWND> candidates = FocusCandidates();
  if (candidates.empty()) return;
  const int current = CreationIndex(GetFocus());
  if (current >= 0) {
    for (HWND candidate : candidates) {
      if (CreationIndex(candidate) > current) {
        SetFocus(candidate);
        return;
      }
    }
  }
  SetFocus(candidates.front());
}

void FocusPrevious() {
  const std::vector<HWND> candidates = FocusCandidates();
  if (candidates.empty()) return;
  HWND focus = GetFocus();
  for (size_t i = 1; i < candidates.size(); ++i) {
    if (candidates[i] == focus) {
      SetFocus(candidates[i - 1]);
      return;
    }
  }
  SetFocus(candidates.back());
}

// The shell's "open" of the scheme's own handler, named as the class so that the address is
// never looked up as a file or a program; no parameters, no folder.
bool LaunchTarget(const OpenableLink& link) {
  SHELLEXECUTEINFOA shell{};
  shell.cbSize = sizeof(shell);
  shell.fMask = SEE_MASK_CLASSNAME | SEE_MASK_FLAG_NO_UI;
  shell.lpVerb = kShellVerb;
  shell.lpFile = link.address.c_str();
  shell.lpClass = link.scheme.c_str();
  shell.nShow = SW_SHOWNORMAL;
  return ShellExecuteExA(&shell) != 0;
}
