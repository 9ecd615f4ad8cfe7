// SPDX-License-Identifier: GPL-2.0-or-later
// Console hooks on Windows: GetConsoleMode, the console width, the tick count, UTF-16 output
// to a console, binary standard streams, and console control events (Ctrl-C, Ctrl-Break,
// closing the console) as a stop.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstring>

#include "base/file_replace.h"
#include "cli/cli_win.h"
#include "cli/outputs.h"
#include "cli/program.h"
#include "cli/terminal.h"
#include "text/text.h"

namespace {

const int kUtf8CodePage = CP_UTF8;
// The system ends the process about five seconds after a close event.
const int kCloseWaitMilliseconds = 4500;
const int kCloseWaitStep = 50;
// The names of the null device, in any case, with or without the colon and the device prefix.
const char* const kNullDeviceNames[] = {"nul", "nul:", "\\\\.\\nul"};

// Runs on a thread of its own that the system starts for the event. Ctrl-C and Ctrl-Break
// only stop the run. Closing the console ends the process once this returns, so a save
// under way is first given the few seconds the system allows to complete.
BOOL WINAPI OnConsoleControl(DWORD event) {
  StopRun(event == CTRL_C_EVENT ? kExitInterrupted : kExitTerminated);
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
    for (int waited = 0; SaveUnderWay() && waited < kCloseWaitMilliseconds;
         waited += kCloseWaitStep) {
      Sleep(kCloseWaitStep);
    }
  }
  return TRUE;
}

HANDLE HandleOf(FILE* stream) {
  return GetStdHandle(stream == stdout ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return GetConsoleMode(handle, &mode) != 0;
}

}  // namespace

std::wstring Utf8ToWide(const std::string& utf8) {
  const int size = static_cast<int>(utf8.size());
  const int length = MultiByteToWideChar(kUtf8CodePage, 0, utf8.data(), size, nullptr, 0);
  std::wstring wide(static_cast<size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) MultiByteToWideChar(kUtf8CodePage, 0, utf8.data(), size, &wide[0], length);
  return wide;
}

// The volume and the identity of an open file within it; false when they cannot be asked.
static bool FileIdentity(HANDLE file, FILE_ID_INFO& identity) {
  return GetFileInformationByHandleEx(file, FileIdInfo, &identity, sizeof identity) != 0;
}

bool StderrIsTerminal() { return IsConsole(GetStdHandle(STD_ERROR_HANDLE)); }

bool StdoutIsFile(const std::string& path) {
  HANDLE stdoutHandle = GetStdHandle(STD_OUTPUT_HANDLE);
  FILE_ID_INFO out{};
  if (GetFileType(stdoutHandle) != FILE_TYPE_DISK || !FileIdentity(stdoutHandle, out)) {
    return false;
  }
  HANDLE file = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  FILE_ID_INFO named{};
  const bool known = FileIdentity(file, named);
  CloseHandle(file);
  // Wine names no volume for a handle it inherited from a Unix shell; the file's own identity
  // still tells.
  const bool sameVolume =
      out.VolumeSerialNumber == 0 || out.VolumeSerialNumber == named.VolumeSerialNumber;
  return known && sameVolume && std::memcmp(&out.FileId, &named.FileId, sizeof out.FileId) == 0;
}

int TerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

int64_t MonotonicMilliseconds() { return static_cast<int64_t>(GetTickCount64()); }

void InstallStopHandlers() {
  static bool installed = false;
  if (!installed) SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  installed = true;
}

// The C library maps these to EPIPE; GetLastError keeps the system's own code. A pipe whose
// reader has gone gives ERROR_NO_DATA on Windows and ERROR_PIPE_NOT_CONNECTED under Wine.
bool IsClosedPipeError(int systemError) {
  return systemError == ERROR_NO_DATA || systemError == ERROR_BROKEN_PIPE ||
         systemError == ERROR_PIPE_NOT_CONNECTED;
}

void UseBinaryStandardStreams() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
}

// Windows gives large pages to privileged processes only: nothing to ask for.
void PrepareHeapForLargeLists() {}

// A console takes UTF-16, whatever its code page; files and pipes get the UTF-8 bytes.
bool WriteStream(FILE* stream, const std::string& utf8) {
  if (utf8.empty()) return true;
  HANDLE handle = HandleOf(stream);
  if (!IsConsole(handle)) {
    return std::fwrite(utf8.data(), 1, utf8.size(), stream) == utf8.size() && !std::ferror(stream);
  }
  std::fflush(stream);
  const std::wstring wide = Utf8ToWide(utf8);
  DWORD written = 0;
  return WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr) &&
         written == wide.size();
}

bool IsNullDevice(const std::string& path) {
  const std::string lower = ToLowerCase(path);
  for (const char* name : kNullDeviceNames) {
    if (TextEquals(lower, name)) return true;
  }
  return false;
}

// The Windows build fetches over WinINet, directly: there is nothing to choose.
bool FetchTakesProxy() { return false; }
