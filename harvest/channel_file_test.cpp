// SPDX-License-Identifier: GPL-2.0-or-later
// channels.dat: the exact bytes, how the output buffer groups them into writes, and that a
// failed save reports false and leaves the previous file exactly as it was.
#include "harvest/channel_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/temp_folder.h"
#include "text/text.h"

namespace {

const char kOldContent[] = "Old|list|||||\r\nstill|here||||x|y\r\n";

// A record whose line is "|<channel>|||||".
ChannelRecord OnlyChannel(const std::string& channel) {
  ChannelRecord record;
  record.channel = channel;
  return record;
}

// Records every sink write; fails the write numbered failAt (1-based), 0: never.
struct RecordingSink {
  std::vector<std::string> writes;
  int failAt = 0;
  ByteSink Sink() {
    return [this](const char* bytes, size_t count) {
      writes.emplace_back(bytes, count);
      return static_cast<int>(writes.size()) != failAt;
    };
  }
  std::string Joined() const {
    std::string all;
    for (const std::string& w : writes) all += w;
    return all;
  }
};

TEST(ChannelFileTest, SinkWritesFollowTheFileSizeNotTheLineCount) {
  ChannelList list;
  std::string expected;
  size_t longestPiece = 0;
  unsigned seed = 7;
  for (int i = 0; i < 3000; ++i) {
    seed = seed * 1103515245u + 12345u;
    const std::string name(1 + (seed >> 16) % 300, static_cast<char>('a' + i % 26));
    AddRecord(list, OnlyChannel(name));
    expected += "|" + name + "|||||\r\n";
    longestPiece = std::max(longestPiece, name.size() + 6);
  }
  RecordingSink sink;
  ASSERT_TRUE(WriteChannelLines(list, sink.Sink()));
  EXPECT_EQ(sink.Joined(), expected);

  const size_t size = expected.size();
  EXPECT_GE(sink.writes.size(), (size + kOutputBufferSize - 1) / kOutputBufferSize);
  EXPECT_LE(sink.writes.size(), size / (kOutputBufferSize - longestPiece) + 1);
  // Every write but the last is a buffer that was nearly full, never a full one.
  for (size_t i = 0; i + 1 < sink.writes.size(); ++i) {
    EXPECT_LT(sink.writes[i].size(), kOutputBufferSize) << i;
    EXPECT_GT(sink.writes[i].size(), kOutputBufferSize - longestPiece) << i;
  }
}

TEST(ChannelFileTest, LongLinesReachTheSinkWholeAndInPlace) {
  struct Case { size_t length; std::vector<size_t> writeSizes; };
  // The first line "|a|||||\r\n" is 9 bytes; the middle line has the given length.
  const std::vector<Case> cases = {
      {10000, {9, 10000, 2 + 9}},   // longer than the buffer: passed on directly
      {4096, {9, 4096, 2 + 9}},     // exactly a buffer
      {4095, {9, 4095, 2 + 9}},     // fits an empty buffer, then the CR LF does not fit
      {4086, {9 + 4086, 2 + 9}},    // shorter than the free space: appended
      {4087, {9, 4087 + 2, 9}},     // exactly the free space: the buffer never fills
  };
  for (const Case& c : cases) {
    const std::string middle(c.length - 6, 'm');
    ChannelList list;
    AddRecord(list, OnlyChannel("a"));
    AddRecord(list, OnlyChannel(middle));
    AddRecord(list, OnlyChannel("c"));
    RecordingSink sink;
    ASSERT_TRUE(WriteChannelLines(list, sink.Sink()));
    EXPECT_EQ(sink.Joined(), "|a|||||\r\n|" + middle + "|||||\r\n|c|||||\r\n") << c.length;
    std::vector<size_t> sizes;
    for (const std::string& w : sink.writes) sizes.push_back(w.size());
    EXPECT_EQ(sizes, c.writeSizes) << c.length;
  }
}

TEST(ChannelFileTest, AFailedSinkWriteStopsTheWritingAndReportsFalse) {
  ChannelList list;
  for (int i = 0; i < 100; ++i) AddRecord(list, OnlyChannel(std::string(500, 'x')));
  for (int failAt : {1, 2, 7}) {
    RecordingSink sink;
    sink.failAt = failAt;
    EXPECT_FALSE(WriteChannelLines(list, sink.Sink())) << failAt;
    EXPECT_EQ(static_cast<int>(sink.writes.size()), failAt);
  }
  ChannelList one;
  AddRecord(one, OnlyChannel("a"));
  RecordingSink closing;  // the only write is the one at the end
  closing.failAt = 1;
  EXPECT_FALSE(WriteChannelLines(one, closing.Sink()));
  ChannelList empty;
  RecordingSink none;
  EXPECT_TRUE(WriteChannelLines(empty, none.Sink()));
  EXPECT_TRUE(none.writes.empty());
}

class ChannelFileOnDiskTest : public TempFolderTest {
 protected:
  void SetUp() override {
    TempFolderTest::SetUp();
    target_ = PathOf(kChannelFileName);
    AddRecord(list_, {"Norway", "NRK1", "300K", "General", "Nasjonal", "mms://n/1", ""});
  }
  // Asserts that a save failed and left the folder as it was: the old file, no temp file.
  void ExpectFailedSaveLeftOldFile(const ReplaceOutcome& outcome) {
    EXPECT_FALSE(outcome.saved);
    EXPECT_TRUE(StartsWith(outcome.problem, (target_ + ": ").c_str())) << outcome.problem;
    EXPECT_EQ(ReadBytes(target_), kOldContent);
    EXPECT_EQ(Entries(), std::vector<std::string>{kChannelFileName});
  }
  std::string target_;
  ChannelList list_;
};

// Byte for byte, but a "|" in a field never splits it: %7C in an address, 0xA6 in a text.
TEST_F(ChannelFileOnDiskTest, FileHoldsExactlyTheFieldsAsHeldWithoutSeparatorsInside) {
  ChannelList list;
  const std::string big(10000, 'z');
  AddRecord(list, {"France|Monaco", "TV5|", "|300K", "News", "Infos | en direct", "mms://tv5/a|b",
                   "http://tv5.fr/||"});
  AddRecord(list, {"", "", "", "", "", "", ""});
  AddRecord(list, {"Norway", "NRK", "", "General", "Nasjonal", "http://nrk/s", ""});
  AddRecord(list, {"A", "B", "C", "D", big, "E", "F"});
  AddRecord(list, {"Espa\xF1" "a", "T\xE9l\xE9", "56K", "Unknown", "\xC9" "ducation \xFF\x80",
                   " spaced ", "\t"});
  ASSERT_TRUE(WriteChannelFile(list, target_).saved);

  const std::string expected = std::string() +
      "France\xA6Monaco|TV5\xA6|\xA6" "300K|News|Infos \xA6 en direct|mms://tv5/a%7Cb|"
      "http://tv5.fr/%7C%7C\r\n"
      "||||||\r\n"
      "Norway|NRK||General|Nasjonal|http://nrk/s|\r\n"
      "A|B|C|D|" + big + "|E|F\r\n"
      "Espa\xF1" "a|T\xE9l\xE9|56K|Unknown|\xC9" "ducation \xFF\x80| spaced |\t\r\n";
  EXPECT_EQ(ReadBytes(target_), expected);
  EXPECT_EQ(Entries(), std::vector<std::string>{kChannelFileName});
}

TEST_F(ChannelFileOnDiskTest, ALongerOldFileIsReplacedEntirely) {
  WriteBytes(target_, std::string(100000, 'o'));
  ASSERT_TRUE(WriteChannelFile(list_, target_).saved);
  EXPECT_EQ(ReadBytes(target_), "Norway|NRK1|300K|General|Nasjonal|mms://n/1|\r\n");
  EXPECT_EQ(Entries(), std::vector<std::string>{kChannelFileName});
}

TEST_F(ChannelFileOnDiskTest, ADirectoryNamedLikeTheFileIsAFailure) {
  std::filesystem::create_directory(target_);
  WriteBytes(PathOf("channels.dat/inside"), "kept");
  EXPECT_EQ(WriteChannelFile(list_, target_).problem,
            target_ + ": is a folder, not a regular file; left untouched");
  EXPECT_TRUE(std::filesystem::is_directory(target_));
  EXPECT_EQ(ReadBytes(PathOf("channels.dat/inside")), "kept");
  EXPECT_EQ(Entries(), std::vector<std::string>{kChannelFileName});
}

TEST_F(ChannelFileOnDiskTest, AWriteFailingPartWayLeavesTheOldFile) {
  ChannelList big;
  for (int i = 0; i < 50; ++i) AddRecord(big, OnlyChannel(std::string(1000, 'n')));
  // The content takes 13 writes; the write at failAt fails, or throws (as a writer that runs
  // out of memory or meets text it cannot encode does), and the save reports it.
  enum { kFails, kNoMemory, kThrows };
  for (int how : {kFails, kNoMemory, kThrows}) {
    for (int failAt : {1, 3, 13}) {
      WriteBytes(target_, kOldContent);
      int calls = 0;
      const ReplaceOutcome saved = ReplaceFile(target_, [&](const ByteSink& sink) {
        return WriteChannelLines(big, [&](const char* bytes, size_t count) {
          if (++calls == failAt && how == kNoMemory) throw std::bad_alloc();
          if (calls == failAt && how == kThrows) throw std::runtime_error("bad text");
          return calls != failAt && sink(bytes, count);
        });
      });
      ExpectFailedSaveLeftOldFile(saved);
      EXPECT_EQ(calls, failAt);
      if (how == kNoMemory) {
        EXPECT_NE(saved.problem.find("cannot allocate memory"), std::string::npos);
      }
      EXPECT_FALSE(SaveUnderWay());
    }
  }
}

TEST_F(ChannelFileOnDiskTest, AFolderThatCannotBeWrittenLeavesTheOldFile) {
  WriteBytes(target_, kOldContent);
  namespace fs = std::filesystem;
  fs::permissions(folder_, fs::perms::owner_read | fs::perms::owner_exec);
  const std::string probe = PathOf("probe");
  if (std::ofstream(probe).is_open()) {
    fs::remove(probe);
    GTEST_SKIP() << "this user may create files in a read-only folder (root, or a file system "
                    "without folder permissions); nothing to test";
  }
  ExpectFailedSaveLeftOldFile(WriteChannelFile(list_, target_));
}

TEST_F(ChannelFileOnDiskTest, AReadOnlyOldFileIsKept) {
  WriteBytes(target_, kOldContent);
  namespace fs = std::filesystem;
  const fs::perms writable =
      fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  fs::permissions(target_, writable, fs::perm_options::remove);
  if (std::ofstream(target_, std::ios::app).is_open()) {
    GTEST_SKIP() << "this user may write to a read-only file (root); nothing to test";
  }
  ExpectFailedSaveLeftOldFile(WriteChannelFile(list_, target_));
}

// Stale or planted files under every name a temporary file once had never stop a save.
TEST_F(ChannelFileOnDiskTest, StrayTempFilesAndLinksAreNeitherFollowedNorChanged) {
  std::vector<std::string> expected = {"channels.dat", "channels.dat.tmp"};
  WriteBytes(PathOf("channels.dat.tmp"), "stray");
  for (int i = 1; i <= 9; ++i) {
    expected.push_back("channels.dat.tmp" + std::to_string(i));
    WriteBytes(PathOf(expected.back()), "stray");
  }
  WriteBytes(PathOf("victim"), "victim");
  std::error_code noLinks;
  std::filesystem::create_symlink(PathOf("victim"), PathOf("channels.dat.tmp-link"), noLinks);
  ASSERT_TRUE(WriteChannelFile(list_, target_).saved);
  EXPECT_EQ(ReadBytes(target_), "Norway|NRK1|300K|General|Nasjonal|mms://n/1|\r\n");
  EXPECT_EQ(ReadBytes(PathOf("channels.dat.tmp")), "stray");
  EXPECT_EQ(ReadBytes(PathOf("victim")), "victim");
  expected.push_back("victim");
  if (!noLinks) expected.push_back("channels.dat.tmp-link");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Entries(), expected);
}

}  // namespace
