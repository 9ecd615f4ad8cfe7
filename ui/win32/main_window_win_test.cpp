// SPDX-License-Identifier: GPL-2.0-or-later
// The window itself under Wine: layout in both heights, the details panel's text, the
// progress and status texts, the event queue, the per-line step and Tab focus order.
#include "ui/win32/main_window.h"

#include <commctrl.h>
#include <richedit.h>

#include <gtest/gtest.h>

#include <vector>

#include "text/text.h"

namespace {

const char kTestSite[] = "http://127.0.0.1:9/";

// One standalone window with its controls for the whole suite, as the program opens it.
class WindowTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    InitialiseCommonControls();
    if (!OpenMainWindow(GetModuleHandleA(nullptr), false, nullptr)) return;
    InstallWindowCallback();
    CreateControls(kTestSite);
  }
  static void TearDownTestSuite() { CloseMainWindow(); }

  void SetUp() override {
    if (g_mainWindow.handle == nullptr) GTEST_SKIP() << "no window could be opened (no display?)";
    Drain();
  }

  // Works off every waiting message and queued event.
  static void Drain() {
    for (int i = 0; i < 1000 && PollEvent() != 0; ++i) {
    }
  }

  // Runs the per-line step, which looks for messages only every few milliseconds, until it
  // asks to stop or the time has passed; true when it asked.
  bool StepUntilStopped(DWORD milliseconds) {
    for (const DWORD start = GetTickCount(); GetTickCount() - start < milliseconds;) {
      if (window_.ServiceRunEvent()) return true;
    }
    return false;
  }

  static std::string ControlText(int number) {
    HWND control = ControlHandle(number);
    const LRESULT length = SendMessageA(control, WM_GETTEXTLENGTH, 0, 0);
    std::vector<char> buffer(static_cast<size_t>(length) + 1, '\0');
    SendMessageA(control, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()));
    return TextFromBytes(buffer.data(), static_cast<int>(buffer.size()));
  }

  // The panel's text with every paragraph end as a single line feed.
  static std::string PanelLines() {
    const std::string raw = ControlText(kDetailsPanel);
    std::string out;
    for (size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] == '\r') {
        out.push_back('\n');
        if (i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
      } else {
        out.push_back(raw[i]);
      }
    }
    return out;
  }

  // The face of the panel's characters [first, last).
  static std::string PanelFace(int32_t first, int32_t last) {
    HWND panel = ControlHandle(kDetailsPanel);
    CHARRANGE range{first, last};
    SendMessageA(panel, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&range));
    CHARFORMATA format{};
    format.cbSize = sizeof(format);
    SendMessageA(panel, EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
    if ((format.dwMask & CFM_FACE) == 0) return "(mixed)";
    return TextFromBytes(format.szFaceName, LF_FACESIZE);
  }

  static void ClearPanel() { SetWindowTextA(ControlHandle(kDetailsPanel), ""); }

  static SIZE ClientSize() {
    RECT r{};
    GetClientRect(g_mainWindow.handle, &r);
    return SIZE{r.right - r.left, r.bottom - r.top};
  }

  WindowObserver window_;  // what the update run is given
};

ChannelRecord Record(const std::string& name) {
  return ChannelRecord{"Italy", name, "300", "News", "All day news", "mms://s.example/" + name,
                       "http://www.example.it/"};
}

std::string Block(const ChannelRecord& r) {
  return Concat("Country:    ", r.country, "\nChannel:    ", r.channel, "\nBitrate:    ",
                r.bitrate, "\nCategory:   ", r.category, "\nAbout:      ", r.about,
                "\nStream URL: ", r.streamUrl, "\nHomepage:   ", r.homepage, "\n");
}

TEST_F(WindowTest, ShowChannelPrintsEightLineBlocksFromTheTop) {
  ClearPanel();
  const ChannelRecord first = Record("One");
  const ChannelRecord empty{};
  window_.ShowChannel(first);
  RefreshDisplay();
  EXPECT_EQ(PanelLines(), Block(first));
  SendMessageA(ControlHandle(kDetailsPanel), EM_SETSEL, 2, 5);  // as a drag in the panel does
  window_.ShowChannel(empty);
  window_.ShowChannel(first);
  window_.ShowRunFinished();  // shows whatever is still collected
  EXPECT_EQ(PanelLines(), Concat(Block(first), "\n", Block(empty), "\n", Block(first)));
  EXPECT_NE(PanelLines().find("\nStream URL: \nHomepage:   \n"), std::string::npos);
  const int32_t length = static_cast<int32_t>(PanelLines().size());
  EXPECT_EQ(PanelFace(0, length), "Courier New");
}

TEST_F(WindowTest, CollectedLinesCountAndPositionShowWhileTheNextPageIsOnItsWay) {
  ClearPanel();
  const ChannelRecord first = Record("First");
  const ChannelRecord second = Record("Second");
  window_.ShowChannel(first);
  window_.ShowChannelCount(1);
  RefreshDisplay();
  window_.ShowChannel(second);  // within the refresh interval: may wait
  window_.ShowChannelCount(2);
  for (int line = 0; line < 8; ++line) EXPECT_FALSE(window_.ServiceRunEvent());
  EXPECT_FALSE(window_.ServiceWhileFetching());
  EXPECT_EQ(PanelLines(), Concat(Block(first), "\n", Block(second)));
  EXPECT_EQ(SendMessageA(ControlHandle(kProgressBar), PBM_GETPOS, 0, 0), 2);
  EXPECT_EQ(ControlText(kStatusLabel), "Channels found: 2");
  ClearPanel();
}

TEST_F(WindowTest, DetailsPanelHoldsFarMoreThanTheDefaultLimit) {
  ClearPanel();
  const int channels = 400;  // about 60,000 characters, twice the control's default limit
  for (int i = 0; i < channels; ++i) window_.ShowChannel(Record(NumberToText(i)));
  RefreshDisplay();
  const std::string text = PanelLines();
  EXPECT_GT(text.size(), 60000u);
  const std::string lastBlock = Block(Record(NumberToText(channels - 1)));
  ASSERT_GE(text.size(), lastBlock.size());
  EXPECT_EQ(text.substr(text.size() - lastBlock.size()), lastBlock);
  // Scrolled to the end, at the left edge where the caret's empty last line starts.
  POINT view{};
  SendMessageA(ControlHandle(kDetailsPanel), EM_GETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&view));
  EXPECT_EQ(view.x, 0);
  EXPECT_GT(view.y, 0);
  ClearPanel();
}

TEST_F(WindowTest, CountsAndFinalWordsGoToTheBarAndStatusLine) {
  HWND bar = ControlHandle(kProgressBar);
  struct Case {
    int32_t count;
    int barPosition;
    const char* status;
  };
  const std::vector<Case> cases = {
      {1, 1, "Channels found: 1"},
      {1206, 1206, "Channels found: 1206"},
      {1300, 1206, "Channels found: 1300"},
  };
  for (const Case& c : cases) {
    window_.ShowChannelCount(c.count);
    RefreshDisplay();
    EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), c.barPosition) << c.count;
    EXPECT_EQ(ControlText(kStatusLabel), c.status);
  }
  window_.ShowChannelCount(3);
  SetWindowTextA(ControlHandle(kCloseButton), "Cancel");
  window_.ShowRunFinished();
  EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 1206);
  EXPECT_EQ(ControlText(kCloseButton), "Close");
  EXPECT_EQ(ControlText(kStatusLabel), "Channels found: 3");
  window_.ShowFinalStatus(12, false);
  EXPECT_EQ(ControlText(kStatusLabel), "Channels found: 12 ABORTED");
  window_.ShowFinalStatus(0, true);
  EXPECT_EQ(ControlText(kStatusLabel), "Channels found: 0 DONE");
}

TEST_F(WindowTest, ViewToggleSwitchesTheClientHeightAndKeepsTheCorner) {
  HWND toggle = ControlHandle(kViewListButton);
  RECT before{};
  GetWindowRect(g_mainWindow.handle, &before);
  EXPECT_EQ(ClientSize().cx, 400);
  EXPECT_EQ(ClientSize().cy, 115);
  const int heights[] = {360, 115, 360, 115};
  for (int height : heights) {
    SendMessageA(toggle, BM_CLICK, 0, 0);
    EXPECT_FALSE(StepUntilStopped(100));
    EXPECT_EQ(ClientSize().cx, 400);
    EXPECT_EQ(ClientSize().cy, height);
    RECT now{};
    GetWindowRect(g_mainWindow.handle, &now);
    EXPECT_EQ(now.left, before.left);
    EXPECT_EQ(now.top, before.top);
  }
}

TEST_F(WindowTest, CloseRequestsAndTheCloseButtonStopTheRun) {
  SendMessageA(ControlHandle(kCloseButton), BM_CLICK, 0, 0);
  EXPECT_TRUE(StepUntilStopped(1000));
  Drain();
  PostMessageA(g_mainWindow.handle, WM_CLOSE, 0, 0);
  EXPECT_TRUE(StepUntilStopped(1000));
  EXPECT_TRUE(IsWindow(g_mainWindow.handle));  // a close request does not destroy the window
}

TEST_F(WindowTest, QueuedEventsComeOutInOrderWithoutRepeatingTheNewest) {
  HWND w = g_mainWindow.handle;
  SendMessageA(w, WM_CLOSE, 0, 0);
  SendMessageA(w, WM_CLOSE, 0, 0);
  SendMessageA(w, WM_MOVE, 0, 0);
  SendMessageA(w, WM_CLOSE, 0, 0);
  SendMessageA(w, WM_SIZE, SIZE_MINIMIZED, 0);
  SendMessageA(w, WM_SIZE, SIZE_RESTORED, 0);
  const int expected[] = {kEventCloseWindow, kEventMoved, kEventCloseWindow, kEventSized};
  for (int code : expected) EXPECT_EQ(PollEvent(), code);
  // Controls other than the two buttons raise events that neither stop nor resize.
  SendMessageA(w, WM_COMMAND, MAKEWPARAM(kDetailsPanel, EN_SETFOCUS),
               reinterpret_cast<LPARAM>(ControlHandle(kDetailsPanel)));
  EXPECT_EQ(PollEvent(), kEventCommand);
  EXPECT_EQ(EventControl(), kDetailsPanel);
  EXPECT_EQ(ClientSize().cy, 115);
}

TEST_F(WindowTest, TabVisitsTheFocusableControlsInCreationOrder) {
  struct Step {
    int from;
    bool next;
    int to;
  };
  const std::vector<Step> steps = {
      {kBannerField, true, kViewListButton},   {kViewListButton, true, kCloseButton},
      {kCloseButton, true, kDetailsPanel},     {kDetailsPanel, true, kBannerField},
      {kStatusLabel, true, kBannerField},      {kProgressBar, true, kBannerField},
      {kDetailsPanel, false, kCloseButton},    {kCloseButton, false, kViewListButton},
      {kBannerField, false, kDetailsPanel},
  };
  for (const Step& s : steps) {
    SetFocus(ControlHandle(s.from));
    if (GetFocus() != ControlHandle(s.from)) {
      // Controls that take no focus: pretend by focusing the window itself, which lies outside the
      // controls, so the first candidate follows.
      SetFocus(g_mainWindow.handle);
    }
    if (s.next) {
      FocusNext();
    } else {
      FocusPrevious();
    }
    EXPECT_EQ(GetFocus(), ControlHandle(s.to)) << s.from << (s.next ? " next" : " previous");
  }
}

// A failed call is logged with its error, only where MORVEK_DEBUG_LOG names a file, and the
// last error stays for the caller.
TEST(DebugLogTest, FailedCallsGoToTheNamedFileOnly) {
  char folder[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, folder);
  const std::string path = Concat(TextFromBytes(folder, MAX_PATH), "morvek-debug-test.log");
  DeleteFileA(path.c_str());
  SetEnvironmentVariableA("MORVEK_DEBUG_LOG", nullptr);
  SetLastError(ERROR_FILE_NOT_FOUND);
  LogFailedCall("Unlogged");
  EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
  SetEnvironmentVariableA("MORVEK_DEBUG_LOG", path.c_str());
  EXPECT_EQ(CreateWindowExA(0, "MorvekNoSuchClass", "", 0, 0, 0, 1, 1, nullptr, nullptr,
                            GetModuleHandleA(nullptr), nullptr), nullptr);
  const DWORD error = GetLastError();
  LogFailedCall("CreateWindowExA");
  EXPECT_EQ(GetLastError(), error);
  SetEnvironmentVariableA("MORVEK_DEBUG_LOG", nullptr);
  char line[256] = {};
  HANDLE log = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD read = 0;
  ReadFile(log, line, sizeof line - 1, &read, nullptr);
  CloseHandle(log);
  DeleteFileA(path.c_str());
  const std::string expected =
      Concat("CreateWindowExA failed: error ", NumberToText(static_cast<int32_t>(error)), ": ");
  EXPECT_EQ(std::string(line).rfind(expected, 0), 0u) << line;
}

TEST_F(WindowTest, LinksAreReadFromTheNotifyingControlAndNothingElseIsHandled) {
  ENLINK link{};
  link.nmhdr.hwndFrom = ControlHandle(kBannerField);
  link.nmhdr.idFrom = kBannerField;
  link.nmhdr.code = EN_LINK;
  link.msg = WM_MOUSEMOVE;
  link.chrg.cpMin = 0;
  link.chrg.cpMax = 5;
  const LPARAM address = reinterpret_cast<LPARAM>(&link);
  EXPECT_EQ(WindowCallback(g_mainWindow.handle, WM_NOTIFY, kBannerField, address), kNotHandled);
  link.msg = WM_LBUTTONUP;
  EXPECT_EQ(WindowCallback(g_mainWindow.handle, WM_NOTIFY, kBannerField, address), kNotHandled);
  EXPECT_EQ(WindowCallback(g_mainWindow.handle, WM_COMMAND, 0, 0), kNotHandled);
  // A left click on the banner's leading spaces reads a text that is no address: handled,
  // and nothing is started.
  link.msg = WM_LBUTTONDOWN;
  EXPECT_EQ(WindowCallback(g_mainWindow.handle, WM_NOTIFY, kBannerField, address), 0);
}

}  // namespace
