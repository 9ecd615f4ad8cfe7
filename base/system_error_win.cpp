// SPDX-License-Identifier: GPL-2.0-or-later
// System error texts on Windows: GetLastError, and FormatMessageW in UTF-8 where the
// C library's words on POSIX do not apply.
#include <windows.h>

#include "base/system_error.h"

#include "text/text.h"

namespace {

const int kUtf8CodePage = CP_UTF8;

std::string WideToUtf8(const wchar_t* wide, int length) {
  const int size =
      WideCharToMultiByte(kUtf8CodePage, 0, wide, length, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(size > 0 ? size : 0), '\0');
  if (size > 0)
    WideCharToMultiByte(kUtf8CodePage, 0, wide, length, &utf8[0], size, nullptr, nullptr);
  return utf8;
}

// The same words as the C library's on POSIX for the failures a save meets most.
const char* KnownErrorText(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return "No such file or directory";
    case ERROR_ACCESS_DENIED:
      return "Permission denied";
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return "No space left on device";
    default:
      return nullptr;
  }
}

}  // namespace

int LastSystemError() { return static_cast<int>(GetLastError()); }

std::string SystemErrorText(int systemError) {
  const DWORD error = static_cast<DWORD>(systemError);
  if (const char* known = KnownErrorText(error)) return known;
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message = length > 0 ? WideToUtf8(text, static_cast<int>(length)) : std::string();
  LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == '.' || message.back() == ' ')) {
    message.pop_back();
  }
  if (message.empty()) return Concat("system error ", NumberToText(systemError));
  return message;
}
