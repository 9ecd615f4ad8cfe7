// The file layer of channels.dat on Windows: a new file shared for reading, checked
// complete writes, a flush before close, and MoveFileExA to replace the old file.
#include <windows.h>

#include "harvest/channel_file.h"

struct TempFile {
  HANDLE handle;
};

namespace {
const DWORD kLargestWrite = 1u << 30;
}  // namespace

TempFileResult CreateTempFile(const std::string& path) {
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
  return MoveFileExA(source.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

void RemoveTempFile(const std::string& path) { DeleteFileA(path.c_str()); }
