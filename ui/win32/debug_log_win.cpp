// SPDX-License-Identifier: GPL-2.0-or-later
// The window program's debug log: why a Win32 call failed, appended to the file that the
// environment variable MORVEK_DEBUG_LOG names. Without the variable nothing is written.
#include <windows.h>

#include <string>

#include "text/text.h"
#include "ui/win32/main_window.h"

namespace {

const char kLogVariable[] = "MORVEK_DEBUG_LOG";
const DWORD kMessageSize = 512;

}  // namespace

void LogFailedCall(const std::string& call) {
  const DWORD error = GetLastError();
  char path[MAX_PATH] = {};
  const DWORD length = GetEnvironmentVariableA(kLogVariable, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    SetLastError(error);
    return;
  }
  char message[kMessageSize] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                 message, kMessageSize, nullptr);
  std::string text = TextFromBytes(message, static_cast<int>(kMessageSize));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  const std::string number = NumberToText(static_cast<int32_t>(error));
  const std::string line =
      Concat(call, " failed: error ", number, text.empty() ? "" : ": ", text, "\r\n");
  HANDLE log = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(log, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(log);
  }
  SetLastError(error);
}
