// SPDX-License-Identifier: GPL-2.0-or-later
#include "serve/serve_store.h"

#include <gtest/gtest.h>

#include "tests/temp_folder.h"

namespace {

// A database in a fresh folder: the read-only connection of the HTTP side needs a file.
class ServeStoreTest : public TempFolderTest {
 protected:
  void SetUp() override {
    TempFolderTest::SetUp();
    std::string problem;
    bool readOnly = true;
    db_ = OpenDatabase(PathOf(kDatabaseName), problem, readOnly);
    ASSERT_TRUE(db_) << problem;
    ASSERT_FALSE(readOnly);
  }

  SourceEntry Entry(const std::string& name, const std::string& category = "News") {
    SourceEntry e;
    e.name = name;
    e.category = category;
    e.stream = "http://example.test/" + name;
    return e;
  }

  // The id of the entry named name, or 0.
  int64_t IdOf(const std::string& name) {
    for (const EntryRow& row : LoadEntries(*db_)) {
      if (row.entry.name == name) return row.id;
    }
    return 0;
  }

  static NewResult Result(int64_t entryId, int64_t time, Verdict verdict) {
    NewResult r;
    r.entryId = entryId;
    r.time = time;
    r.result.verdict = verdict;
    return r;
  }

  DatabaseHandle db_;
};

TEST_F(ServeStoreTest, ReplaceSourceEntriesGivesTheSequenceOnlyToChangedEntries) {
  struct Round {
    std::vector<SourceEntry> entries;
    int64_t seq;
    std::vector<std::pair<std::string, int64_t>> expected;  // name and seq, by id
  };
  const Round rounds[] = {
      {{Entry("One"), Entry("Two")}, 1, {{"One", 1}, {"Two", 1}}},
      {{Entry("One"), Entry("Two", "Music"), Entry("Three")},
       2,
       {{"One", 1}, {"Two", 2}, {"Three", 2}}},
      {{Entry("Three")}, 3, {{"Three", 2}}},
      {{}, 4, {}},
  };
  for (const Round& round : rounds) {
    const StoreOutcome stored = ReplaceSourceEntries(*db_, "list", round.entries, 100, round.seq);
    ASSERT_TRUE(stored.ok) << stored.error;
    std::vector<std::pair<std::string, int64_t>> got;
    for (const EntryRow& row : LoadEntries(*db_)) got.emplace_back(row.entry.name, row.seq);
    EXPECT_EQ(got, round.expected) << "round with seq " << round.seq;
  }
}

TEST_F(ServeStoreTest, AddResultsKeepsTheNewestAndSaysWhichStatementFailed) {
  ASSERT_TRUE(ReplaceSourceEntries(*db_, "list", {Entry("One")}, 100, 1).ok);
  const int64_t id = IdOf("One");
  const int64_t many = kMaxResultsPerEntry + 5;
  struct Case {
    std::vector<NewResult> results;
    std::string error;  // a part of the message; "" when stored
    int32_t checks;
    int32_t live;
  };
  std::vector<NewResult> overflow;
  for (int64_t t = 1; t <= many; ++t) {
    overflow.push_back(Result(id, 1000 + t, t % 2 == 0 ? Verdict::kLive : Verdict::kNoStream));
  }
  const Case cases[] = {
      {{Result(id, 10, Verdict::kLive), Result(id, 20, Verdict::kNoStream)}, "", 2, 1},
      {{Result(id, 30, Verdict::kLive), Result(id + 99, 30, Verdict::kLive)}, "FOREIGN KEY", 0, 0},
      {overflow, "", static_cast<int32_t>(kMaxResultsPerEntry),
       static_cast<int32_t>(kMaxResultsPerEntry / 2)},
  };
  for (const Case& c : cases) {
    const AddedResults added = AddResults(*db_, c.results, 2);
    EXPECT_NE(added.outcome.error.find(c.error), std::string::npos) << added.outcome.error;
    EXPECT_EQ(added.outcome.ok, c.error.empty()) << c.error;
    if (!added.outcome.ok) continue;
    ASSERT_EQ(added.counts.size(), c.results.size());
    EXPECT_EQ(added.counts.back().checks, c.checks);
    EXPECT_EQ(added.counts.back().live, c.live);
  }
  // A failed batch is rolled back whole; the trimmed history is the newest, newest first.
  const std::optional<std::vector<LastResult>> history = EntryHistory(*db_, id);
  ASSERT_TRUE(history);
  ASSERT_EQ(history->size(), static_cast<size_t>(kMaxResultsPerEntry));
  EXPECT_EQ(history->front().time, 1000 + many);
  EXPECT_EQ(history->back().time, 1000 + many - kMaxResultsPerEntry + 1);
  EXPECT_FALSE(EntryHistory(*db_, id + 99));
}

TEST_F(ServeStoreTest, PruneResultsDeletesOlderResultsAndRecountsTheirEntries) {
  ASSERT_TRUE(ReplaceSourceEntries(*db_, "list", {Entry("One")}, 100, 1).ok);
  const int64_t id = IdOf("One");
  const std::pair<int64_t, int32_t> cases[] = {{0, 3}, {15, 2}, {25, 1}, {100, 0}};
  for (const auto& [cutoff, kept] : cases) {
    ASSERT_TRUE(AddResults(*db_,
                           {Result(id, 10, Verdict::kLive), Result(id, 20, Verdict::kLive),
                            Result(id, 30, Verdict::kLive)},
                           2)
                    .outcome.ok);
    ASSERT_TRUE(PruneResults(*db_, cutoff).ok);
    const EntryRow row = LoadEntries(*db_).at(0);
    EXPECT_EQ(row.checks, kept) << cutoff;
    EXPECT_EQ(row.live, kept) << cutoff;
    EXPECT_EQ(EntryHistory(*db_, id)->size(), static_cast<size_t>(kept)) << cutoff;
    ASSERT_TRUE(PruneResults(*db_, 1000).ok);
  }
}

TEST_F(ServeStoreTest, StorePictureMarksARepeatedPictureFrozenAndRefusesBadSizes) {
  ASSERT_TRUE(ReplaceSourceEntries(*db_, "list", {Entry("One")}, 100, 1).ok);
  const int64_t id = IdOf("One");
  struct Case {
    std::string jpeg;
    std::string hash;
    bool stored;
    bool frozen;
  };
  const Case cases[] = {
      {"first", "h1", true, false},
      {"again", "h1", true, true},
      {"other", "h2", true, false},
      {"", "h3", false, false},
      {std::string(kMaxPictureBytes + 1, 'x'), "h4", false, false},
  };
  std::string last;
  for (const Case& c : cases) {
    EXPECT_EQ(StorePicture(*db_, id, 5, c.jpeg, c.hash, false).ok, c.stored) << c.hash;
    if (c.stored) last = c.jpeg;
    EXPECT_EQ(PictureFrozen(*db_, id), std::optional<bool>(c.frozen)) << c.hash;
    EXPECT_EQ(PictureJpeg(*db_, id), std::optional<std::string>(last)) << c.hash;
  }
  EXPECT_FALSE(StorePicture(*db_, id + 99, 5, "jpeg", "h", false).ok);
  EXPECT_FALSE(PictureJpeg(*db_, id + 99));
}

TEST_F(ServeStoreTest, OpenDatabaseLocksTheFileAndMovesADamagedOneAside) {
  std::string problem;
  bool readOnly = false;
  // The lock is on the database file: a second opening is refused whatever lock files say.
  EXPECT_FALSE(OpenDatabase(PathOf(kDatabaseName), problem, readOnly));
  EXPECT_NE(problem.find("another serve uses"), std::string::npos) << problem;
  std::filesystem::create_directory(PathOf("folder.db"));
  EXPECT_FALSE(OpenDatabase(PathOf("folder.db"), problem, readOnly));
  EXPECT_NE(problem.find("folder.db is a folder"), std::string::npos) << problem;
  const std::string garbage(20000, '\x5a');
  // Garbage, and a database header over garbage.
  for (const std::string& bytes : {garbage, std::string("SQLite format 3", 16) + garbage}) {
    const std::string path = PathOf("bad.db");
    WriteBytes(path, bytes);
    DatabaseHandle db = OpenDatabase(path, problem, readOnly);
    ASSERT_TRUE(db) << problem;
    ASSERT_TRUE(DatabaseDamage(*db));
    const FreshStart fresh = StartFresh(*db, 0);
    ASSERT_TRUE(fresh.outcome.ok) << fresh.outcome.error;
    EXPECT_EQ(fresh.movedTo.rfind(PathOf("bad.db.corrupt-19700101-000000"), 0), 0u);
    EXPECT_EQ(ReadBytes(fresh.movedTo), bytes);
    EXPECT_FALSE(DatabaseDamage(*db));
    EXPECT_TRUE(ReplaceSourceEntries(*db, "list", {Entry("One")}, 1, 1).ok);
  }
}

}  // namespace
