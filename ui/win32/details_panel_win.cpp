// What the update run writes into the window: one block of labelled lines per channel in
// the details panel, the count on the progress bar and the status line, the final word.
#include <windows.h>

#include <commctrl.h>
#include <richedit.h>

#include "harvest/update_run.h"
#include "harvest/window_side.h"
#include "text/text.h"
#include "ui/win32/main_window.h"

namespace {

const char kPanelFace[] = "Courier New";
const char kLineBreak[] = "\n";
const size_t kFaceNameSize = LF_FACESIZE;

// Under load the window's drawing, not the harvest, would set the pace: each line added to
// the rich-edit control re-lays out, updates the scroll bars and repaints, and each new
// progress position repaints the bar. So the panel lines and the bar position of channels
// found in quick succession are collected and shown together, at most this often, at once
// when a run of lines brings no channel (the end of a page), while the next page is on its
// way, and when the run finishes.
const DWORD kRefreshIntervalMs = 100;
const int kQuietLines = 8;

// What ShowChannel and ShowChannelCount have not yet put on the screen.
struct PendingDisplay {
  std::string text;  // panel lines joined by line feeds
  int lines = 0;
  int32_t barPosition = -1;  // -1: none pending
  DWORD lastRefresh = 0;
  int linesSinceChannel = 0;
};

PendingDisplay g_pending;

bool RefreshDue() { return GetTickCount() - g_pending.lastRefresh >= kRefreshIntervalMs; }

}  // namespace

void AppendLine(HWND control, const std::string& text) {
  SendMessageA(control, EM_HIDESELECTION, TRUE, 0);
  const LRESULT length = SendMessageA(control, WM_GETTEXTLENGTH, 0, 0);
  SendMessageA(control, EM_SETSEL, static_cast<WPARAM>(length), length);
  if (length != 0) {
    SendMessageA(control, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(kLineBreak));
  }
  SendMessageA(control, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(text.c_str()));
  SendMessageA(control, EM_HIDESELECTION, FALSE, 0);
}

void SetSelectionFace(HWND control, const std::string& face) {
  if (face.size() >= kFaceNameSize) return;  // no face name of that length exists
  CHARFORMATA format{};
  format.cbSize = sizeof(format);
  format.dwMask = CFM_FACE;
  StoreText(format.szFaceName, face);
  // The face's pitch and family travel with its name; where the named face is missing, the
  // font mapper then still picks a fixed-pitch one, so the values stay aligned.
  format.bPitchAndFamily = FIXED_PITCH | FF_MODERN;
  SendMessageA(control, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
}

void ShowChannel(const ChannelRecord& record) {
  const auto lines = ChannelBlockLines(record);
  for (const std::string& line : lines) {
    if (g_pending.lines != 0) g_pending.text += kLineBreak;
    g_pending.text += line;
    ++g_pending.lines;
  }
  g_pending.linesSinceChannel = 0;
  if (RefreshDue()) RefreshDisplay();
}

void ShowChannelCount(int32_t count) {
  // The control holds its position within its range; past the top the bar stays full.
  g_pending.barPosition = count > kProgressTop ? kProgressTop : count;
  SetWindowTextA(ControlHandle(kStatusLabel), Concat(kStatusPrefix, NumberToText(count)).c_str());
  if (RefreshDue()) RefreshDisplay();
}

namespace {

// Whether the value of the panel line from start to end (after its label) could hold an
// address: every scheme has a colon, and a bare address begins with "www.".
bool MayHoldAddress(const std::string& text, size_t start, size_t end) {
  const size_t valueStart = start + kBlockLabelWidth;
  if (valueStart >= end) return false;
  const std::string value = ToLowerCase(text.substr(valueStart, end - valueStart));
  return value.find(':') != std::string::npos || value.find("www.") != std::string::npos;
}

// Makes the control look for addresses around offset of the text inserted at textStart.
void LookForAddresses(HWND panel, LONG textStart, size_t offset) {
  const LONG at = textStart + static_cast<LONG>(offset);
  SendMessageA(panel, EM_SETSEL, static_cast<WPARAM>(at), at);
  SendMessageA(panel, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(""));
}

// Adds the collected lines at the end of the panel in Courier New and scrolls to them.
void PutPendingLines() {
  HWND panel = ControlHandle(kDetailsPanel);
  // Drawn once afterwards: drawing while the lines go in costs ten times the insertion.
  SendMessageA(panel, WM_SETREDRAW, FALSE, 0);
  const LRESULT length = SendMessageA(panel, WM_GETTEXTLENGTH, 0, 0);
  SendMessageA(panel, EM_SETSEL, static_cast<WPARAM>(length), length);
  CHARRANGE before{};
  SendMessageA(panel, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&before));
  SetSelectionFace(panel, kPanelFace);
  AppendLine(panel, g_pending.text);
  // Some rich-edit versions forget a face set on the caret when the caret is placed
  // again, so the new lines get the face once more as a range.
  CHARRANGE added{};
  SendMessageA(panel, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&added));
  added.cpMin = before.cpMin;
  SendMessageA(panel, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&added));
  SetSelectionFace(panel, kPanelFace);
  // The control looks for addresses only in the line at the caret and the line before it
  // after an insertion. An empty replacement at a line makes it look there, so the new
  // lines whose values may hold an address get one, one for two such lines in a row.
  const std::string& text = g_pending.text;
  const LONG textStart = added.cpMax - static_cast<LONG>(text.size());
  bool previousWaiting = false;  // the line before may hold an address and was not looked at
  size_t previousStart = 0;
  for (size_t start = 0; start <= text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const bool mayHold = MayHoldAddress(text, start, end);
    if (previousWaiting) LookForAddresses(panel, textStart, mayHold ? start : previousStart);
    previousWaiting = mayHold && !previousWaiting;
    previousStart = start;
    start = end + 1;
  }
  if (previousWaiting) LookForAddresses(panel, textStart, previousStart);
  SendMessageA(panel, EM_SETSEL, static_cast<WPARAM>(added.cpMax), added.cpMax);
  SendMessageA(panel, WM_SETREDRAW, TRUE, 0);
  RedrawWindow(panel, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME);
  SendMessageA(panel, EM_SCROLL, SB_BOTTOM, 0);
  // The caret stands at the start of the last (empty) line, but the view was not made to
  // follow it while the drawing was off: back to the left edge, as after a line-by-line fill.
  POINT view{};
  SendMessageA(panel, EM_GETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&view));
  view.x = 0;
  SendMessageA(panel, EM_SETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&view));
  g_pending.text.clear();
  g_pending.lines = 0;
}

}  // namespace

void RefreshDisplay() {
  if (g_pending.lines != 0) PutPendingLines();
  if (g_pending.barPosition >= 0) {
    HWND bar = ControlHandle(kProgressBar);
    if (SendMessageA(bar, PBM_GETPOS, 0, 0) != g_pending.barPosition) {
      SendMessageA(bar, PBM_SETPOS, static_cast<WPARAM>(g_pending.barPosition), 0);
    }
    g_pending.barPosition = -1;
  }
  g_pending.lastRefresh = GetTickCount();
}

void RefreshDisplayAtLineEnd() {
  ++g_pending.linesSinceChannel;
  const bool pending = g_pending.lines != 0 || g_pending.barPosition >= 0;
  if (pending && (g_pending.linesSinceChannel >= kQuietLines || RefreshDue())) RefreshDisplay();
}

void ShowRunFinished() {
  RefreshDisplay();
  SendMessageA(ControlHandle(kProgressBar), PBM_SETPOS, kProgressTop, 0);
  SetWindowTextA(ControlHandle(kCloseButton), kCloseText);
}

void ShowFinalStatus(int32_t count, const std::string& word) {
  SetWindowTextA(ControlHandle(kStatusLabel),
                 Concat(kStatusPrefix, NumberToText(count), word).c_str());
}
