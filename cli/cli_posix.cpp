// SPDX-License-Identifier: GPL-2.0-or-later
// Console hooks on POSIX: isatty and the terminal width, the monotonic clock, SIGPIPE ignored,
// SIGINT / SIGTERM / SIGHUP as a stop taken on a thread of their own, and huge pages for the heap.
#include <errno.h>
#include <malloc.h>
#include <cstdint>
#include <cstdlib>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <thread>

#include "base/file_replace.h"
#include "cli/outputs.h"
#include "cli/program.h"
#include "cli/terminal.h"

namespace {

// The heap grows by this much beyond each need, in one piece that can take huge pages.
const size_t kHeapReserve = 64 << 20;
// Below malloc's mmap threshold, so that the block comes from the heap and makes it grow.
const size_t kHeapProbe = 120 << 10;
const uintptr_t kPageSize = 4096;
const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
const auto kSaveEndPoll = std::chrono::milliseconds(10);
const char kNullDevice[] = "/dev/null";

sigset_t StopSignals() {
  sigset_t stops;
  sigemptyset(&stops);
  for (int signalNumber : kStopSignals) sigaddset(&stops, signalNumber);
  return stops;
}

int StopExitCodeOf(int signalNumber) {
  if (signalNumber == SIGINT) return kExitInterrupted;
  if (signalNumber == SIGHUP) return kExitHangUp;
  return kExitTerminated;
}

// The one thread that takes the stop signals; every other thread holds them back, so a
// signal never lands in the middle of a save. The first stops the run; a repeated one ends
// the program with the signal's default action, once no file is being replaced.
void TakeStopSignals(sigset_t stops) {
  for (;;) {
    int signalNumber = 0;
    if (sigwait(&stops, &signalNumber) != 0) continue;
    if (StopRun(StopExitCodeOf(signalNumber))) continue;
    while (SaveUnderWay()) std::this_thread::sleep_for(kSaveEndPoll);
    signal(signalNumber, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signalNumber);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    raise(signalNumber);
  }
}

}  // namespace

// Every record of a long list is a few small blocks of fresh heap memory, and every fresh 4 KiB
// page costs a fault: about 10 us on a virtual machine, a quarter of the run's time for 20,000
// channels. The heap is made to grow by a large reserve at once, and that reserve is marked
// for transparent huge pages, which cost one fault per 2 MiB. Where the system does not give
// huge pages on request, madvise fails and nothing changes.
void PrepareHeapForLargeLists() {
  // One heap for every thread: the fetch workers allocate little once their buffers are
  // grown, and heaps of their own would each start on fresh pages without the reserve.
  mallopt(M_ARENA_MAX, 1);
  mallopt(M_TOP_PAD, static_cast<int>(kHeapReserve));
  char* const before = static_cast<char*>(sbrk(0));
  void* probes[2] = {nullptr, nullptr};
  for (void*& probe : probes) {  // the first may still fit the heap's free top
    if (static_cast<char*>(sbrk(0)) != before) break;
    probe = std::malloc(kHeapProbe);
  }
  char* const after = static_cast<char*>(sbrk(0));
  for (void* probe : probes) std::free(probe);
  const uintptr_t start = (reinterpret_cast<uintptr_t>(before) + kPageSize - 1) & ~(kPageSize - 1);
  const uintptr_t end = reinterpret_cast<uintptr_t>(after);
  if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

bool StdoutIsFile(const std::string& path) {
  struct stat out {};
  struct stat file {};
  return fstat(STDOUT_FILENO, &out) == 0 && stat(path.c_str(), &file) == 0 &&
         out.st_dev == file.st_dev && out.st_ino == file.st_ino;
}

int TerminalColumns() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

int64_t MonotonicMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void InstallStopHandlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  // Held back here, before any other thread starts, so that every thread inherits it.
  const sigset_t stops = StopSignals();
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  std::thread(TakeStopSignals, stops).detach();
  // A closed pipe on stdout (--details | head) then fails the write, which stops the run
  // quietly, instead of killing the program with the live line left on the terminal.
  signal(SIGPIPE, SIG_IGN);
}

bool IsClosedPipeError(int systemError) { return systemError == EPIPE; }

void UseBinaryStandardStreams() {}  // POSIX streams are bytes already

bool WriteStream(FILE* stream, const std::string& utf8) {
  if (utf8.empty()) return true;
  const bool written = std::fwrite(utf8.data(), 1, utf8.size(), stream) == utf8.size();
  // stderr is unbuffered; stdout is flushed by the caller when it matters.
  return written && (stream != stdout || !std::ferror(stream));
}

bool IsNullDevice(const std::string& path) {
  struct stat given {};
  struct stat null {};
  return stat(path.c_str(), &given) == 0 && stat(kNullDevice, &null) == 0 &&
         S_ISCHR(given.st_mode) && given.st_rdev == null.st_rdev;
}

bool FetchTakesProxy() { return true; }
