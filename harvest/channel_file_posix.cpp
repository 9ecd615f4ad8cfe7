// The file layer of channels.dat on POSIX systems: an exclusive new file, complete writes,
// fsync before close, and rename to replace the old file in one step.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "harvest/channel_file.h"

struct TempFile {
  int fd;
};

namespace {
const mode_t kNewFileMode = 0666;  // narrowed by the umask, as for any new file
}  // namespace

TempFileResult CreateTempFile(const std::string& path) {
  TempFileResult result;
  // O_EXCL: fails on anything that exists under the name, a symbolic link included.
  int fd;
  do {
    fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    result.nameTaken = errno == EEXIST;
    return result;
  }
  result.file = new TempFile{fd};
  return result;
}

bool WriteTempFile(TempFile* file, const char* bytes, size_t count) {
  while (count > 0) {
    ssize_t written = write(file->fd, bytes, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    count -= static_cast<size_t>(written);
  }
  return true;
}

bool CloseTempFile(TempFile* file) {
  int synced;
  do {
    synced = fsync(file->fd);
  } while (synced != 0 && errno == EINTR);
  // Linux releases the descriptor even when close reports EINTR; the data is synced by then.
  const bool closed = close(file->fd) == 0 || errno == EINTR;
  delete file;
  return synced == 0 && closed;
}

bool MoveTempFileOver(const std::string& source, const std::string& target) {
  // rename would replace a read-only file; a file that its owner made read-only stays.
  if (access(target.c_str(), W_OK) != 0 && errno == EACCES) return false;
  return rename(source.c_str(), target.c_str()) == 0;
}

void RemoveTempFile(const std::string& path) { unlink(path.c_str()); }
