// SPDX-License-Identifier: GPL-2.0-or-later
// The file layer of every saved file on Windows: links followed to the file they name, a new
// file shared for reading, checked complete writes, a flush before close, and MoveFileExA
// to replace the old file. Console stops do not end the process by default, so nothing is
// held back here; the console's handler waits for a save under way.
#include <windows.h>

#include <cstdint>

#include "base/file_replace.h"
#include "base/system_error.h"
#include "text/text.h"

struct TempFile {
  HANDLE handle;
};

namespace {

const DWORD kLargestWrite = 1u << 30;
const DWORD kFinalPathSize = 32768;
const char kLongPathPrefix[] = "\\\\?\\";
const char kLongUncPrefix[] = "\\\\?\\UNC\\";
const char kUncPrefix[] = "\\\\";
const char kIsFolder[] = "is a folder, not a regular file; left untouched";
const char kIsDevice[] = "is a device, not a regular file; left untouched";
const char kIsPipe[] = "is a named pipe, not a regular file; left untouched";
const char kIsOther[] = "is not a regular file; left untouched";
const char kCannotExamine[] = "cannot be examined";
const char kNotRegular[] = "is not a regular file";
const char kTooLarge[] = "holds more than the ";
const char kBytesTaken[] = " bytes that are read";
const DWORD kReadChunk = 65536;

// The final path of an open file without the "\\?\" prefix that GetFinalPathNameByHandleA
// adds, or empty when it cannot be had.
std::string FinalPath(HANDLE handle) {
  std::string path(kFinalPathSize, '\0');
  const DWORD length = GetFinalPathNameByHandleA(handle, &path[0], kFinalPathSize,
                                                 FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (length == 0 || length >= kFinalPathSize) return std::string();
  path.resize(length);
  if (StartsWith(path, kLongUncPrefix)) {
    return Concat(kUncPrefix, RightPart(path, TextLength(path) - TextLength(kLongUncPrefix)));
  }
  if (StartsWith(path, kLongPathPrefix)) {
    return RightPart(path, TextLength(path) - TextLength(kLongPathPrefix));
  }
  return path;
}

// Why the open file must not be replaced, or null when it is a regular file; info is
// filled for a file on disk.
const char* NotRegularReason(HANDLE handle, BY_HANDLE_FILE_INFORMATION& info) {
  const DWORD type = GetFileType(handle);
  if (type == FILE_TYPE_CHAR) return kIsDevice;
  if (type == FILE_TYPE_PIPE) return kIsPipe;
  if (type != FILE_TYPE_DISK) return kIsOther;
  if (!GetFileInformationByHandle(handle, &info)) return kCannotExamine;
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return kIsFolder;
  return nullptr;
}

std::string TooLarge(size_t maxBytes) {
  return Concat(kTooLarge, NumberToText(static_cast<int32_t>(maxBytes)), kBytesTaken);
}

std::string ReadOpenInput(HANDLE handle, size_t maxBytes, bool pipeTaken, const ByteSink& take) {
  const DWORD type = GetFileType(handle);
  if (type != FILE_TYPE_DISK && !(type == FILE_TYPE_PIPE && pipeTaken)) return kNotRegular;
  LARGE_INTEGER size{};
  if (type == FILE_TYPE_DISK && GetFileSizeEx(handle, &size) &&
      static_cast<uint64_t>(size.QuadPart) > maxBytes) {
    return TooLarge(maxBytes);
  }
  std::string chunk(kReadChunk, '\0');
  size_t total = 0;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(handle, &chunk[0], kReadChunk, &got, nullptr)) {
      const DWORD error = GetLastError();
      if (error == ERROR_BROKEN_PIPE) return std::string();  // the writer closed its end
      return SystemErrorText(static_cast<int>(error));
    }
    if (got == 0) return std::string();
    total += got;
    if (total > maxBytes) return TooLarge(maxBytes);
    take(chunk.data(), got);
  }
}

}  // namespace

std::string ReadInputFile(const std::string& path, size_t maxBytes, bool pipeTaken,
                          const ByteSink& take) {
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return SystemErrorText(static_cast<int>(GetLastError()));
  const std::string problem = ReadOpenInput(handle, maxBytes, pipeTaken, take);
  CloseHandle(handle);
  return problem;
}

SaveTarget FindSaveTarget(const std::string& path) {
  SaveTarget target;
  target.path = path;
  // Opening follows links; FILE_FLAG_BACKUP_SEMANTICS lets a folder open too, to be refused.
  HANDLE handle = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    // Nothing there: a new file is made. Anything else is left to the replace to report.
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) target.exists = true;
    return target;
  }
  target.exists = true;
  BY_HANDLE_FILE_INFORMATION info{};
  const char* reason = NotRegularReason(handle, info);
  if (reason != nullptr) {
    target.refusal = reason;
  } else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    const std::string final = FinalPath(handle);
    if (final.empty()) target.refusal = kCannotExamine;
    target.path = final;
  }
  CloseHandle(handle);
  return target;
}

TempFileResult CreateTempFile(const std::string& path, const SaveTarget& /*target*/) {
  TempFileResult result;
  // CREATE_NEW: fails on anything that exists under the name, a link included.
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    result.nameTaken = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
    return result;
  }
  result.file = new TempFile{handle};
  return result;
}

bool WriteTempFile(TempFile* file, const char* bytes, size_t count) {
  while (count > 0) {
    const DWORD chunk = count < kLargestWrite ? static_cast<DWORD>(count) : kLargestWrite;
    DWORD written = 0;
    if (!WriteFile(file->handle, bytes, chunk, &written, nullptr) || written == 0) return false;
    bytes += written;
    count -= written;
  }
  return true;
}

bool CloseTempFile(TempFile* file) {
  const bool flushed = FlushFileBuffers(file->handle) != 0;
  const bool closed = CloseHandle(file->handle) != 0;
  delete file;
  return flushed && closed;
}

bool MoveTempFileOver(const std::string& source, const std::string& target) {
  // Refuses a read-only target, which therefore stays as it was.
  return MoveFileExA(source.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

void RemoveTempFile(const std::string& path) { DeleteFileA(path.c_str()); }

void HoldStopSignals() {}

void ReleaseStopSignals() {}
