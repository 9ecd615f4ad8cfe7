// SPDX-License-Identifier: GPL-2.0-or-later
// gui_recorder.exe: stands in for the web browser and for any program a link might start in the
// GUI tests. It appends its whole command line to gui_recorder.log beside itself and ends.
#include <windows.h>

#include <cstring>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  char path[MAX_PATH + 32] = {};
  DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  while (length > 0 && path[length - 1] != '\\') length--;
  std::strcpy(path + length, "gui_recorder.log");
  HANDLE log = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log == INVALID_HANDLE_VALUE) return 1;
  const char* line = GetCommandLineA();
  DWORD written = 0;
  WriteFile(log, line, static_cast<DWORD>(std::strlen(line)), &written, nullptr);
  WriteFile(log, "\r\n", 2, &written, nullptr);
  CloseHandle(log);
  return 0;
}
