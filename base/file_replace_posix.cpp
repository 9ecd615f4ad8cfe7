// SPDX-License-Identifier: GPL-2.0-or-later
// The file layer of every saved file on POSIX systems: symbolic links followed to the file they
// name, an exclusive new file with the old permission bits, complete writes, fsync before
// close, rename to replace the old file in one step, and the stop signals held meanwhile.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "base/file_replace.h"
#include "base/system_error.h"
#include "text/text.h"

struct TempFile {
  int fd;
};

namespace {

const mode_t kNewFileMode = 0666;     // narrowed by the umask, as for any new file
const mode_t kPermissionBits = 0777;  // what carries over from the old file
const int kLinkHops = 40;             // as the kernel's own limit on links in a path
const char kFolderSeparator = '/';
const char kIsFolder[] = "is a folder, not a regular file";
const char kIsDevice[] = "is a device, not a regular file";
const char kIsPipe[] = "is a named pipe, not a regular file";
const char kIsSocket[] = "is a socket, not a regular file";
const char kIsOther[] = "is not a regular file";
const char kLeftUntouched[] = "; left untouched";
const char kTooLarge[] = "holds more than the ";
const char kBytesTaken[] = " bytes that are read";
const size_t kReadChunk = 65536;
const char kTooManyLinks[] = "has too many symbolic links";
const char kCannotExamine[] = "cannot be examined";
const char kReadOnly[] = "is read-only; left untouched";
const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

thread_local sigset_t t_maskBeforeHold;

const char* NotRegularReason(mode_t mode) {
  if (S_ISDIR(mode)) return kIsFolder;
  if (S_ISCHR(mode) || S_ISBLK(mode)) return kIsDevice;
  if (S_ISFIFO(mode)) return kIsPipe;
  if (S_ISSOCK(mode)) return kIsSocket;
  return kIsOther;
}

// The text of the symbolic link at path, or nothing when it cannot be read.
std::optional<std::string> ReadLink(const std::string& path) {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t length = readlink(path.c_str(), buffer.data(), buffer.size());
    if (length < 0) return std::nullopt;
    if (static_cast<size_t>(length) < buffer.size()) {
      return std::string(buffer.data(), static_cast<size_t>(length));
    }
    buffer.resize(buffer.size() * 2);
  }
}

// Where a link at linkPath that holds text leads: text itself when absolute, else text
// taken from the link's own folder.
std::string LinkDestination(const std::string& linkPath, const std::string& text) {
  if (!text.empty() && text[0] == kFolderSeparator) return text;
  const size_t slash = linkPath.rfind(kFolderSeparator);
  if (slash == std::string::npos) return text;
  return Concat(linkPath.substr(0, slash + 1), text);
}

std::string TooLarge(size_t maxBytes) {
  return Concat(kTooLarge, NumberToText(static_cast<int32_t>(maxBytes)), kBytesTaken);
}

std::string ReadOpenInput(int fd, size_t maxBytes, bool pipeTaken, const ByteSink& take) {
  struct stat status {};
  if (fstat(fd, &status) != 0) return SystemErrorText(LastSystemError());
  const bool pipe = S_ISFIFO(status.st_mode);
  if (!S_ISREG(status.st_mode) && !(pipe && pipeTaken)) return NotRegularReason(status.st_mode);
  if (!pipe && static_cast<uint64_t>(status.st_size) > maxBytes) return TooLarge(maxBytes);
  // A pipe is read as standard input is: waiting for its writer.
  if (pipe && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    return SystemErrorText(LastSystemError());
  }
  std::vector<char> chunk(kReadChunk);
  size_t total = 0;
  for (;;) {
    const ssize_t got = read(fd, chunk.data(), chunk.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return SystemErrorText(LastSystemError());
    if (got == 0) return std::string();
    total += static_cast<size_t>(got);
    // A file that grows while it is read is held to the same bound.
    if (total > maxBytes) return TooLarge(maxBytes);
    take(chunk.data(), static_cast<size_t>(got));
  }
}

}  // namespace

std::string ReadInputFile(const std::string& path, size_t maxBytes, bool pipeTaken,
                          const ByteSink& take) {
  int fd;
  do {
    fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return SystemErrorText(LastSystemError());
  const std::string problem = ReadOpenInput(fd, maxBytes, pipeTaken, take);
  close(fd);
  return problem;
}

SaveTarget FindSaveTarget(const std::string& path) {
  SaveTarget target;
  target.path = path;
  for (int hop = 0; hop <= kLinkHops; ++hop) {
    struct stat status {};
    if (lstat(target.path.c_str(), &status) != 0) {
      // Nothing there (or a dangling link's end): a new file is made at that name.
      if (errno != ENOENT) target.refusal = kCannotExamine;
      return target;
    }
    if (!S_ISLNK(status.st_mode)) {
      target.exists = true;
      target.permissions = status.st_mode & kPermissionBits;
      if (!S_ISREG(status.st_mode)) {
        target.refusal = Concat(NotRegularReason(status.st_mode), kLeftUntouched);
      }
      // rename would replace a read-only file; a file that its owner made read-only stays.
      else if (access(target.path.c_str(), W_OK) != 0 && errno == EACCES) target.refusal = kReadOnly;
      return target;
    }
    const std::optional<std::string> text = ReadLink(target.path);
    if (!text) {
      target.refusal = kCannotExamine;
      return target;
    }
    target.path = LinkDestination(target.path, *text);
  }
  target.refusal = kTooManyLinks;
  return target;
}

TempFileResult CreateTempFile(const std::string& path, const SaveTarget& target) {
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
  // fchmod, unlike the mode given to open, is not narrowed by the umask.
  if (target.exists && fchmod(fd, static_cast<mode_t>(target.permissions)) != 0) {
    close(fd);
    unlink(path.c_str());
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
  return rename(source.c_str(), target.c_str()) == 0;
}

void RemoveTempFile(const std::string& path) { unlink(path.c_str()); }

void HoldStopSignals() {
  sigset_t stops;
  sigemptyset(&stops);
  for (int signalNumber : kStopSignals) sigaddset(&stops, signalNumber);
  pthread_sigmask(SIG_BLOCK, &stops, &t_maskBeforeHold);
}

void ReleaseStopSignals() { pthread_sigmask(SIG_SETMASK, &t_maskBeforeHold, nullptr); }
