// Console hooks on Windows: GetConsoleMode, the console width, the tick count, UTF-16 output
// to a console, Win32 error texts, and console control events (Ctrl-C, Ctrl-Break,
// closing the console) as a stop.
#include <windows.h>

#include "ui/console/console.h"

namespace {

const int kUtf8CodePage = CP_UTF8;

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI OnConsoleControl(DWORD event) {
  StopRun(event == CTRL_C_EVENT ? kExitInterrupted : kExitTerminated);
  return TRUE;
}

HANDLE HandleOf(FILE* stream) {
  return GetStdHandle(stream == stdout ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return GetConsoleMode(handle, &mode) != 0;
}

std::wstring Utf8ToWide(const std::string& utf8) {
  const int size = static_cast<int>(utf8.size());
  const int length = MultiByteToWideChar(kUtf8CodePage, 0, utf8.data(), size, nullptr, 0);
  std::wstring wide(static_cast<size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) MultiByteToWideChar(kUtf8CodePage, 0, utf8.data(), size, &wide[0], length);
  return wide;
}

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

bool StderrIsTerminal() { return IsConsole(GetStdHandle(STD_ERROR_HANDLE)); }

int TerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

int64_t MonotonicMilliseconds() { return static_cast<int64_t>(GetTickCount64()); }

void InstallStopHandlers() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }

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
  if (message.empty()) return "system error " + std::to_string(systemError);
  return message;
}
