// The POSIX file layer against a file system that runs out of room part-way through a save.
#include <signal.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include "harvest/channel_file.h"
#include "tests/temp_folder.h"

namespace {

class ChannelFilePosixTest : public TempFolderTest {};

// A file size limit makes write() stop short and then fail with EFBIG exactly as a full
// disk stops it with ENOSPC, without needing a real full file system.
TEST_F(ChannelFilePosixTest, FullFileSystemPartWayLeavesTheOldFile) {
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
  const bool wrote = WriteChannelFile(list, target);
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previous);

  EXPECT_FALSE(wrote);
  EXPECT_EQ(ReadBytes(target), old);
  EXPECT_EQ(Entries(), std::vector<std::string>{kChannelFileName});
}

}  // namespace
