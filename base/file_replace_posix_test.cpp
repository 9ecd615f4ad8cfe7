// SPDX-License-Identifier: GPL-2.0-or-later
// The POSIX file layer: a file system that runs out of room part-way through a save, what a
// save may replace (links, devices, pipes), the old permission bits, and stop signals.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <new>

#include "base/file_replace.h"
#include "harvest/channel_file.h"
#include "tests/temp_folder.h"
#include "text/text.h"

namespace {

class FileReplacePosixTest : public TempFolderTest {
 protected:
  ReplaceOutcome Save(const std::string& path) {
    return ReplaceFile(path, [](const ByteSink& sink) { return sink(kNew, sizeof kNew - 1); });
  }
  static constexpr char kNew[] = "new|list||||a|b\r\n";
};

// A link is written through: the file it leads to is replaced and the link stays.
TEST_F(FileReplacePosixTest, LinksAreWrittenThrough) {
  namespace fs = std::filesystem;
  struct Case {
    std::vector<std::pair<std::string, std::string>> links;  // name, what it holds
    std::string replaced;                                     // the file that gets the list
  };
  const std::string abs = PathOf("abs.dat");
  const std::vector<Case> cases = {
      {{{"channels.dat", "real.dat"}}, "real.dat"},
      {{{"channels.dat", abs}}, "abs.dat"},
      {{{"channels.dat", "sub/mid"}, {"sub/mid", "../real.dat"}}, "real.dat"},
      {{{"channels.dat", "sub/missing.dat"}}, "sub/missing.dat"},  // dangling: made there
  };
  for (const Case& c : cases) {
    fs::remove_all(folder_);
    fs::create_directories(folder_ / "sub");
    WriteBytes(PathOf("real.dat"), "old");
    WriteBytes(abs, "old");
    for (const auto& link : c.links) fs::create_symlink(link.second, PathOf(link.first));
    ASSERT_TRUE(Save(PathOf("channels.dat")).saved) << c.replaced;
    EXPECT_EQ(ReadBytes(PathOf(c.replaced)), kNew) << c.replaced;
    for (const auto& link : c.links) EXPECT_TRUE(fs::is_symlink(PathOf(link.first))) << link.first;
    EXPECT_EQ(Entries(), (std::vector<std::string>{"abs.dat", "channels.dat", "real.dat", "sub"}));
  }
}

// Anything but a regular file, directly or through a link, is refused with the path and the
// reason, and stays as it was.
TEST_F(FileReplacePosixTest, WhatIsNotARegularFileIsRefusedAndLeftAlone) {
  namespace fs = std::filesystem;
  const std::string target = PathOf("channels.dat");
  struct Case {
    std::string name;
    std::function<void()> make;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"pipe", [&] { ASSERT_EQ(mkfifo(target.c_str(), 0600), 0); }, "is a named pipe"},
      {"device", [&] { fs::create_symlink("/dev/null", target); }, "is a device"},
      {"folder", [&] { fs::create_directory(target); }, "is a folder"},
      {"loop", [&] { fs::create_symlink("channels.dat", target); }, "has too many symbolic links"},
  };
  for (const Case& c : cases) {
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    c.make();
    const fs::file_status before = fs::symlink_status(target);
    const ReplaceOutcome outcome = Save(target);
    EXPECT_FALSE(outcome.saved) << c.name;
    EXPECT_TRUE(StartsWith(outcome.problem, (target + ": " + c.reason).c_str())) << outcome.problem;
    EXPECT_EQ(fs::symlink_status(target).type(), before.type()) << c.name;
    EXPECT_EQ(Entries(), std::vector<std::string>{kChannelFileName}) << c.name;
  }
}

TEST_F(FileReplacePosixTest, TheOldPermissionBitsCarryOver) {
  const std::string target = PathOf(kChannelFileName);
  const mode_t umaskBefore = umask(022);
  for (mode_t mode : {0600, 0640, 0604, 0666}) {
    WriteBytes(target, "old");
    ASSERT_EQ(chmod(target.c_str(), mode), 0);
    ASSERT_TRUE(Save(target).saved);
    struct stat status {};
    ASSERT_EQ(stat(target.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, mode) << std::oct << mode;
  }
  std::filesystem::remove(target);
  ASSERT_TRUE(Save(target).saved);
  struct stat status {};
  ASSERT_EQ(stat(target.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0644u);  // a new file follows the umask
  umask(umaskBefore);
}

// A stop signal that comes while the file is written, even with its default action (as a
// second Ctrl-C has), ends the process only after the save: the new file complete, no
// temporary file left.
TEST_F(FileReplacePosixTest, AStopDuringTheSaveWaitsForItsEnd) {
  const std::string target = PathOf(kChannelFileName);
  WriteBytes(target, "old");
  const std::string half(100000, 'h');
  for (int stop : {SIGINT, SIGTERM}) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      signal(stop, SIG_DFL);
      ReplaceFile(target, [&](const ByteSink& sink) {
        return sink(half.data(), half.size()) && raise(stop) == 0 && sink(half.data(), half.size());
      });
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == stop) << status;
    EXPECT_EQ(ReadBytes(target), half + half);
    EXPECT_EQ(Entries(), std::vector<std::string>{kChannelFileName});
  }
}

// A writer that throws leaves the stop signals as they were before the save, so that a later
// Ctrl-C still stops the program.
TEST_F(FileReplacePosixTest, AThrowingWriterReleasesTheStopSignals) {
  const ReplaceOutcome saved = ReplaceFile(PathOf(kChannelFileName),
                                           [](const ByteSink&) -> bool { throw std::bad_alloc(); });
  sigset_t held;
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, nullptr, &held), 0);
  EXPECT_FALSE(saved.saved);
  EXPECT_FALSE(sigismember(&held, SIGINT) || sigismember(&held, SIGTERM));
  EXPECT_TRUE(Entries().empty());
}

// A file size limit makes write() stop short and then fail with EFBIG exactly as a full
// disk stops it with ENOSPC, without needing a real full file system.
TEST_F(FileReplacePosixTest, FullFileSystemPartWayLeavesTheOldFile) {
  const std::string target = PathOf(kChannelFileName);
  const std::string old = "old|list||||x|y\r\n";
  WriteBytes(target, old);
  ChannelList list;
  for (int i = 0; i < 100; ++i) {
    ChannelRecord record;
    record.about = std::string(1000 + i, 'a');
    AddRecord(list, record);
  }
  const rlim_t limit = 50000;  // the content is about 105,000 bytes
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  if (saved.rlim_max != RLIM_INFINITY && saved.rlim_max < limit) {
    GTEST_SKIP() << "file size limit already below the test's limit";
  }
  rlimit small = saved;
  small.rlim_cur = limit;
  void (*previous)(int) = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool wrote = WriteChannelFile(list, target).saved;
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previous);

  EXPECT_FALSE(wrote);
  EXPECT_EQ(ReadBytes(target), old);
  EXPECT_EQ(Entries(), std::vector<std::string>{kChannelFileName});
}

}  // namespace

// Only a regular file (or a pipe, when taken) is read; neither a pipe without a writer nor a
// device holds the reader, and the size bound holds at its edge.
TEST_F(FileReplacePosixTest, AnInputIsReadOnlyWhenItIsARegularFileOfBoundedSize) {
  namespace fs = std::filesystem;
  const std::string path = PathOf("in");
  struct Case {
    std::string name;
    std::function<void()> make;
    bool pipeTaken;
    std::string problem;  // the start of it; empty when read
    std::string bytes;
  };
  const std::vector<Case> cases = {
      {"regular", [&] { WriteBytes(path, "12345678"); }, false, "", "12345678"},
      {"at the bound", [&] { WriteBytes(path, "123456789"); }, false, "holds more than the 8 bytes", ""},
      {"pipe", [&] { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }, false, "is a named pipe", ""},
      {"device", [&] { fs::create_symlink("/dev/zero", path); }, true, "is a device", ""},
      {"folder", [&] { fs::create_directory(path); }, true, "is a folder", ""},
      {"missing", [] {}, false, "No such file or directory", ""},
  };
  for (const Case& c : cases) {
    fs::remove_all(path);
    c.make();
    std::string got;
    const std::string problem = ReadInputFile(path, 8, c.pipeTaken, [&](const char* b, size_t n) {
      got.append(b, n);
      return true;
    });
    EXPECT_TRUE(StartsWith(problem, c.problem.c_str()) && problem.empty() == c.problem.empty())
        << c.name << ": " << problem;
    if (c.problem.empty()) {
      EXPECT_EQ(got, c.bytes) << c.name;
    }
  }
}
