// SPDX-License-Identifier: GPL-2.0-or-later
// The hand-over to morvek-check.exe on Windows: CreateProcessW on the full path of the
// program beside this one (the folder GetModuleFileNameW gives, never a search), with this
// program's own command line, so the child's arguments are these to the byte. Both share the
// console: Ctrl-C reaches both, this one lets it pass while it waits, and the child's exit
// code becomes this program's.
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "app/check_handover.h"
#include "text/text.h"
#include "cli/cli_win.h"

namespace {

const wchar_t kCheckProgram[] = L"morvek-check.exe";
const int kUtf8CodePage = CP_UTF8;
const DWORD kMaxPathChars = 32768;  // the longest path Windows takes
const DWORD kFirstPathChars = 512;  // doubled up to kMaxPathChars
const DWORD kStandardHandles[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};

std::string WideToUtf8(const std::wstring& wide) {
  const int length = static_cast<int>(wide.size());
  const int size =
      WideCharToMultiByte(kUtf8CodePage, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(size > 0 ? size : 0), '\0');
  if (size > 0)
    WideCharToMultiByte(kUtf8CodePage, 0, wide.data(), length, &utf8[0], size, nullptr, nullptr);
  return utf8;
}

// The folder of this program with its final "\"; empty when it cannot be told.
std::wstring ProgramFolder() {
  for (DWORD room = kFirstPathChars; room <= kMaxPathChars; room *= 2) {
    std::wstring path(room, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, &path[0], room);
    if (length == 0) return std::wstring();
    if (length < room) {
      path.resize(length);
      return path.substr(0, path.find_last_of(L"\\/") + 1);
    }
  }
  return std::wstring();
}

// Ctrl-C and Ctrl-Break are the child's to act on; this process waits for its exit code.
BOOL WINAPI LeaveStopToChild(DWORD event) {
  return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? TRUE : FALSE;
}

}  // namespace

std::vector<std::string> CheckProgramPlaces() {
  const std::wstring folder = ProgramFolder();
  if (folder.empty()) return {};
  return {WideToUtf8(folder + kCheckProgram)};
}

std::string CheckProgramWhere() {
  const std::vector<std::string> places = CheckProgramPlaces();
  return places.empty() ? "beside morvek-cli.exe" : Concat("at ", places[0]);
}

int RunInstead(const std::string& path, char** /*argv*/) {
  const std::wstring program = Utf8ToWide(path);
  std::wstring commandLine = GetCommandLineW();  // CreateProcessW may write into it
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  HANDLE* handles[] = {&startup.hStdInput, &startup.hStdOutput, &startup.hStdError};
  for (int i = 0; i < 3; ++i) {
    *handles[i] = GetStdHandle(kStandardHandles[i]);
    SetHandleInformation(*handles[i], HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  }
  SetConsoleCtrlHandler(LeaveStopToChild, TRUE);
  PROCESS_INFORMATION child{};
  if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &child)) {
    const int error = static_cast<int>(GetLastError());
    SetConsoleCtrlHandler(LeaveStopToChild, FALSE);
    return error;
  }
  CloseHandle(child.hThread);
  WaitForSingleObject(child.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(child.hProcess, &code);
  std::_Exit(static_cast<int>(code));
}

bool IsMissingProgramError(int systemError) {
  return systemError == ERROR_FILE_NOT_FOUND || systemError == ERROR_PATH_NOT_FOUND;
}
