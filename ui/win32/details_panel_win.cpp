// SPDX-License-Identifier: GPL-2.0-or-later
// What the update run writes into the window: one block of labelled lines per channel in
// the details panel, the count on the progress bar and the status line, the final word.
#include <windows.h>

#include <commctrl.h>
#include <richedit.h>

#include "harvest/update_run.h"
#include "text/text.h"
#include "ui/win32/main_window.h"

namespace {

const char kPanelFace[] = "Courier New";
const char kLineBreak[] = "\n";
const size_t kFaceNameSize = LF_FACESIZE;
// A character offset past any text: EM_SETSEL then places the caret at the end.
const WPARAM kPastTheEnd = 0x7FFFFFFF;
const UINT kUnicodeCodePage = 1200;  // lengths in characters, as the control counts offsets

// Under load the window's drawing, not the harvest, would set the pace: each line added to
// the rich-edit control re-lays out, updates the scroll bars and repaints, and each new
// progress position repaints the bar. So the panel lines and the bar position of channels
// found in quick succession are collected and shown together, at most this often, at once
// while the next page is on its way, and when the run finishes. Each insert also costs the
// control a count through all its paragraphs, so with a long panel fewer, larger inserts
// cost far less. Drawing and scrolling a long panel cost more too, so the interval also
// stays at least this many times the last drawing's time: then drawing takes a bounded
// share at any panel length.
const DWORD kRefreshIntervalMs = 250;
const DWORD kDrawShareInverse = 10;
// Each new status text repaints the label, so a new count is shown at most this often; one
// still pending goes on the screen with the next refresh.
const DWORD kStatusIntervalMs = 50;

// What the observer's ShowChannel and ShowChannelCount have not yet put on the screen.
struct PendingDisplay {
  std::string text;  // panel lines joined by line feeds
  int lines = 0;
  int32_t barPosition = -1;  // -1: none pending
  int32_t statusCount = -1;  // -1: none pending
  DWORD lastRefresh = 0;
  DWORD lastStatus = 0;
  DWORD drawMs = 0;  // how long the last panel drawing took
};

PendingDisplay g_pending;

bool RefreshDue() {
  const DWORD drawBound = kDrawShareInverse * g_pending.drawMs;
  return GetTickCount() - g_pending.lastRefresh >=
         (drawBound > kRefreshIntervalMs ? drawBound : kRefreshIntervalMs);
}

// Makes face the control's face for all its text, present and to come.
void SetDefaultFace(HWND control, const std::string& face) {
  if (face.size() >= kFaceNameSize) return;  // no face name of that length exists
  CHARFORMATA format{};
  format.cbSize = sizeof(format);
  format.dwMask = CFM_FACE;
  StoreText(format.szFaceName, face);
  // The face's pitch and family travel with its name; where the named face is missing, the
  // font mapper then still picks a fixed-pitch one, so the values stay aligned.
  format.bPitchAndFamily = FIXED_PITCH | FF_MODERN;
  SendMessageA(control, EM_SETCHARFORMAT, SCF_ALL, reinterpret_cast<LPARAM>(&format));
  SendMessageA(control, EM_SETCHARFORMAT, SCF_DEFAULT, reinterpret_cast<LPARAM>(&format));
}

// Sets the count pending for the status line, if any.
void PutStatusCount() {
  if (g_pending.statusCount < 0) return;
  SetWindowTextA(ControlHandle(kStatusLabel),
                 Concat(kStatusPrefix, NumberToText(g_pending.statusCount)).c_str());
  g_pending.statusCount = -1;
  g_pending.lastStatus = GetTickCount();
}

}  // namespace

void PreparePanel(HWND panel) {
  SetDefaultFace(panel, kPanelFace);
  // The panel is read-only: an undo record of every insert would only cost time and memory.
  SendMessageA(panel, EM_SETUNDOLIMIT, 0, 0);
}

void WindowObserver::ShowChannel(const ChannelRecord& record) {
  const auto lines = ChannelBlockLines(record);
  for (const std::string& line : lines) {
    if (g_pending.lines != 0) g_pending.text += kLineBreak;
    g_pending.text += line;
    ++g_pending.lines;
  }
  if (RefreshDue()) RefreshDisplay();
}

void WindowObserver::ShowChannelCount(int32_t count) {
  // The control holds its position within its range; past the top the bar stays full.
  g_pending.barPosition = count > kProgressTop ? kProgressTop : count;
  g_pending.statusCount = count;
  if (GetTickCount() - g_pending.lastStatus >= kStatusIntervalMs) PutStatusCount();
  if (RefreshDue()) RefreshDisplay();
}

namespace {

// Bytes of panel text handed to the control in one call. Each call has a cost that grows with
// the panel's length, and one very long call costs more per line again; pieces of about this
// size (some 500 channels) cost the least per line under Wine, at any panel length.
const size_t kInsertPieceBytes = 128 * 1024;

struct TextSource {
  const char* next;
  size_t left;
};

DWORD CALLBACK ReadTextSource(DWORD_PTR cookie, LPBYTE buffer, LONG capacity, LONG* given) {
  TextSource* source = reinterpret_cast<TextSource*>(cookie);
  const size_t room = static_cast<size_t>(capacity);
  const size_t count = source->left < room ? source->left : room;
  CopyMemory(buffer, source->next, count);
  source->next += count;
  source->left -= count;
  *given = static_cast<LONG>(count);
  return 0;
}

// Puts size bytes of text at the caret in one call, after which the control looks for
// addresses in all of the inserted lines (after a replacement it would look only in the
// line at the caret and the one before).
void InsertAtCaret(HWND panel, const char* text, size_t size) {
  TextSource source{text, size};
  EDITSTREAM stream{reinterpret_cast<DWORD_PTR>(&source), 0, ReadTextSource};
  SendMessageA(panel, EM_STREAMIN, SF_TEXT | SFF_SELECTION, reinterpret_cast<LPARAM>(&stream));
}

// The caret stays at the end after each insert. Placing it costs the control a count through
// all its paragraphs to find the offset's place, so it is placed only when a click moved it.
void PlaceCaretAtEnd(HWND panel) {
  CHARRANGE selection{};
  SendMessageA(panel, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&selection));
  GETTEXTLENGTHEX how{GTL_NUMCHARS, kUnicodeCodePage};
  const LRESULT length = SendMessageA(panel, EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&how), 0);
  if (selection.cpMin == length && selection.cpMax == length) return;
  SendMessageA(panel, EM_SETSEL, kPastTheEnd, kPastTheEnd);
}

// Adds the collected lines at the end of the panel, in the panel's default face, and scrolls
// to them. Returns how long the drawing and scrolling took, in milliseconds.
DWORD PutPendingLines() {
  HWND panel = ControlHandle(kDetailsPanel);
  // Drawn once afterwards: drawing while the lines go in costs ten times the insertion.
  SendMessageA(panel, WM_SETREDRAW, FALSE, 0);
  SendMessageA(panel, EM_HIDESELECTION, TRUE, 0);
  PlaceCaretAtEnd(panel);
  std::string& text = g_pending.text;
  if (SendMessageA(panel, WM_GETTEXTLENGTH, 0, 0) != 0) text.insert(0, kLineBreak);
  for (size_t at = 0; at < text.size();) {
    // Each piece ends before a line feed, so no line is split between two pieces.
    size_t end = text.find('\n', at + kInsertPieceBytes < text.size() ? at + kInsertPieceBytes
                                                                       : text.size());
    if (end == std::string::npos) end = text.size();
    InsertAtCaret(panel, text.data() + at, end - at);
    at = end;
  }
  SendMessageA(panel, EM_HIDESELECTION, FALSE, 0);
  const DWORD drawStart = GetTickCount();
  SendMessageA(panel, WM_SETREDRAW, TRUE, 0);
  RedrawWindow(panel, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME);
  SendMessageA(panel, EM_SCROLL, SB_BOTTOM, 0);
  // The caret stands at the start of the last (empty) line, but the view was not made to
  // follow it while the drawing was off: back to the left edge, as after a line-by-line fill.
  POINT view{};
  SendMessageA(panel, EM_GETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&view));
  view.x = 0;
  SendMessageA(panel, EM_SETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&view));
  text.clear();
  g_pending.lines = 0;
  return GetTickCount() - drawStart;
}

}  // namespace

void RefreshDisplay() {
  if (g_pending.lines != 0) g_pending.drawMs = PutPendingLines();
  if (g_pending.barPosition >= 0) {
    HWND bar = ControlHandle(kProgressBar);
    if (SendMessageA(bar, PBM_GETPOS, 0, 0) != g_pending.barPosition) {
      SendMessageA(bar, PBM_SETPOS, static_cast<WPARAM>(g_pending.barPosition), 0);
    }
    g_pending.barPosition = -1;
  }
  PutStatusCount();
  g_pending.lastRefresh = GetTickCount();
}

void RefreshDisplayAtLineEnd() {
  const bool pending =
      g_pending.lines != 0 || g_pending.barPosition >= 0 || g_pending.statusCount >= 0;
  if (pending && RefreshDue()) RefreshDisplay();
}

void WindowObserver::ShowRunFinished() {
  RefreshDisplay();
  SendMessageA(ControlHandle(kProgressBar), PBM_SETPOS, kProgressTop, 0);
  SetWindowTextA(ControlHandle(kCloseButton), kCloseText);
}

void WindowObserver::ShowFinalStatus(int32_t count, bool done) {
  SetWindowTextA(
      ControlHandle(kStatusLabel),
      Concat(kStatusPrefix, NumberToText(count), done ? kWordDone : kWordAborted).c_str());
}
