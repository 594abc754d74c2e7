// The rescue step that reads databases along the runs their records give:
// a record's layout comes back byte for byte and named by its path, a run a
// live file holds now makes the copy damaged, and every known layout is
// claimed before the carve.
#include <gtest/gtest.h>

#include <filesystem>

#include "carvers/recorded_databases.h"
#include "filesystems/ntfs_image.h"
#include "scan/classify.h"
#include "scan/recorded_files.h"
#include "support/sessions.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using test::EncodeRuns;
using test::NtfsImage;
using test::RecordBytes;

class RecordedDatabases : public ::testing::Test {
 protected:
  void SetUp() override {
    const fs::path writer = fs::path(TARNWICK_SOURCE_DIR) / "tests/corpus/ole_writer.py";
    const fs::path db = dir_ / "made.db";
    auto r = test::Run("/usr/bin/python3 -c 'import sys; sys.path.insert(0, \"" +
                       writer.parent_path().string() +
                       "\"); import ole_writer, random; "
                       "open(sys.argv[1], \"wb\").write(ole_writer.write_compound("
                       "ole_writer.qq_streams(random.Random(5)), seed=5))' " +
                       test::ShellQuote(db.string()));
    if (r.Status != 0) GTEST_SKIP() << "ole_writer.py: " << r.Err;
    db_ = test::ReadFileBytes(db);
    ASSERT_GT(db_.size(), 30u * 4096);
    ASSERT_LE(db_.size(), 34u * 4096);
  }

  // The database in three pieces, out of order on the volume, deleted, in
  // a deleted folder; a live file's runs reach into its second piece when
  // liveOverlap is set.
  std::vector<uint8_t> Volume(bool liveOverlap) {
    NtfsImage image;
    image.Put(RecordBytes(20, 2, false, true).FileName(5, 5, "Tencent Files"));
    image.Put(RecordBytes(21, 2, false)
                  .Times(1'500'000'000, 1'600'000'000)
                  .FileName(20, 1, "Msg2.0.db")
                  .NonResident(0x80, 0, 33, EncodeRuns({{300, 10}, {100, 12}, {500, 12}}),
                               db_.size()));
    const uint64_t live = liveOverlap ? 104 : 700;
    image.Put(RecordBytes(22, 1, true).FileName(5, 5, "photo.jpg")
                  .NonResident(0x80, 0, 3, EncodeRuns({{static_cast<int64_t>(live), 4}}), 4 * 4096));
    const std::vector<std::pair<uint64_t, uint64_t>> pieces = {{300, 10}, {100, 12}, {500, 12}};
    size_t at = 0;
    for (const auto& [cluster, count] : pieces) {
      const size_t n = std::min<size_t>(count * 4096, db_.size() - at);
      image.Write(cluster, std::vector<uint8_t>(db_.begin() + at, db_.begin() + at + n));
      at += n;
    }
    return image.Bytes();
  }

  std::vector<SavedFile> Rescue(std::vector<uint8_t> volume, std::unique_ptr<Session>& s) {
    s = test::CarveSession(std::move(volume), 8, 0);
    s->Detected.FsKind = kNtfs;
    s->TargetFolder = out_.Path().string() + "/";
    std::vector<SavedFile> saved;
    s->OnFileSaved = [&](const SavedFile& f) { saved.push_back(f); };
    RescueRecordedDatabases(*s);
    return saved;
  }

  test::TempDir dir_{"recorded"};
  test::TempDir out_{"recorded-out"};
  std::vector<uint8_t> db_;
};

TEST_F(RecordedDatabases, ARecordsRunsGiveTheDatabaseBackWithItsPath) {
  std::unique_ptr<Session> s;
  std::vector<SavedFile> saved = Rescue(Volume(false), s);
  ASSERT_EQ(saved.size(), 1u);
  const SavedFile& f = saved[0];
  EXPECT_FALSE(f.Damaged);
  EXPECT_EQ(f.LayoutFrom, "file system record");
  EXPECT_EQ(f.OriginalPath, "Tencent Files/Msg2.0.db");
  EXPECT_TRUE(f.RecordedDeleted);
  EXPECT_EQ(f.Modified, 1'600'000'000);
  EXPECT_EQ(f.StartSector, 2400u);
  EXPECT_EQ(fs::path(f.Path).filename(), "FILE_AAAAADOI.DB");
  EXPECT_EQ(test::ReadFileBytes(f.Path), db_);
  EXPECT_EQ(s->RescuedCount, 1u);
  // The database's clusters are claimed, every piece of it: the carve does
  // not write it again from its start. The live picture's are not: a live
  // file may lie where a database was written over since.
  EXPECT_TRUE(s->Map.IsSectorMarked(2400));
  EXPECT_TRUE(s->Map.IsSectorMarked(100 * 8 + 95));
  EXPECT_FALSE(s->Map.IsSectorMarked(700 * 8 + 31));
  EXPECT_FALSE(s->Map.IsSectorMarked(700 * 8 + 32));
  EXPECT_FALSE(s->Map.IsSectorMarked(299 * 8));
}

TEST_F(RecordedDatabases, ARunALiveFileHoldsNowMakesTheCopyDamaged) {
  std::unique_ptr<Session> s;
  std::vector<SavedFile> saved = Rescue(Volume(true), s);
  ASSERT_EQ(saved.size(), 1u);
  const SavedFile& f = saved[0];
  EXPECT_TRUE(f.Damaged);
  EXPECT_EQ(fs::path(f.Path).parent_path().filename(), "damaged");
  EXPECT_NE(f.Problem.find("are a live file's now"), std::string::npos) << f.Problem;
  EXPECT_NE(f.Problem.find("832-863"), std::string::npos) << f.Problem;
  EXPECT_FALSE(f.BrokenStreams.empty());
  EXPECT_FALSE(f.IntactStreams.empty());
  EXPECT_EQ(f.OriginalPath, "Tencent Files/Msg2.0.db");
  EXPECT_EQ(s->DamagedCount, 1u);
  EXPECT_EQ(s->RescuedCount, 0u);
}

// A deleted file's record that names the database's first cluster but
// holds far fewer bytes than the database's FAT covers is another, smaller
// file that lay there before: nothing is written from it, and nothing of it
// claimed, so that the carve puts the database together.
TEST_F(RecordedDatabases, ASmallerFilesRecordAtTheStartLeavesTheDatabaseToTheCarve) {
  NtfsImage image;
  image.Put(RecordBytes(21, 2, false)
                .FileName(5, 5, "Msg2.0.db")
                .NonResident(0x80, 0, 27, EncodeRuns({{300, 28}}), 28 * 4096));
  image.Write(300, db_);
  std::unique_ptr<Session> s;
  std::vector<SavedFile> saved = Rescue(image.Bytes(), s);
  EXPECT_TRUE(saved.empty());
  EXPECT_EQ(s->DamagedCount, 0u);
  EXPECT_FALSE(s->Map.IsSectorMarked(2400));
  EXPECT_FALSE(s->Map.IsSectorMarked(2400 + 8));
}

// Deleted neighbours' runs are claimed before the carve; the reassembly may
// look through them later (a database may have grown there since), but not
// through one whose first sector still holds a start the search found.
TEST_F(RecordedDatabases, ADeletedFileWhoseStartIsStillThereIsNotLookedThrough) {
  NtfsImage image;
  image.Put(RecordBytes(21, 2, false).FileName(5, 5, "p2.png")
                .NonResident(0x80, 0, 3, EncodeRuns({{600, 4}}), 4 * 4096));
  image.Put(RecordBytes(22, 2, false).FileName(5, 5, "a.log")
                .NonResident(0x80, 0, 3, EncodeRuns({{650, 4}}), 4 * 4096));
  auto s = test::CarveSession(image.Bytes(), 8, 0);
  s->Detected.FsKind = kNtfs;
  s->Found.Append(600 * 8, kPng);
  s->Found.Append(650 * 8 + 8, kPng);  // inside the log's runs, not at its start
  CollectRecordedFiles(*s);
  for (uint64_t sector : {600u * 8, 600u * 8 + 31, 650u * 8, 650u * 8 + 31})
    EXPECT_TRUE(s->Map.IsSectorMarked(sector)) << sector;
  EXPECT_FALSE(s->DeletedClaims.OnlyRecordClaims(600 * 8));
  EXPECT_FALSE(s->DeletedClaims.OnlyRecordClaims(600 * 8 + 31));
  EXPECT_TRUE(s->DeletedClaims.OnlyRecordClaims(650 * 8));
  EXPECT_TRUE(s->DeletedClaims.OnlyRecordClaims(650 * 8 + 31));
}

TEST(RecordedLayout, TheCarvesOwnLayoutIsToldFromTheReassemblys) {
  auto s = test::CarveSession(std::vector<uint8_t>(64 * 512, 0));
  SavedFile f;
  f.StartSector = 10;
  f.Sectors = {10, 11, 20, 21};
  for (uint64_t n : f.Sectors) s->Map.MarkSector(n);
  for (uint64_t n = 12; n < 20; ++n) s->Map.MarkSector(n);  // another file's, claimed before
  DescribeSavedDatabase(*s, f);
  EXPECT_EQ(f.LayoutFrom, "") << "the plain carve steps only over claimed sectors";
  EXPECT_TRUE(f.OriginalPath.empty());
  s->Map.UnmarkSector(15);
  DescribeSavedDatabase(*s, f);
  EXPECT_EQ(f.LayoutFrom, "reassembly");

  // A start a file system records lends the saved file its path.
  FileRecord r;
  r.Path = "Users/Bob/Msg2.0.db";
  r.Deleted = true;
  r.Created = 5;
  s->RecordedStarts[10] = RecordedStart{r, false, {}};
  SavedFile g;
  g.StartSector = 10;
  DescribeSavedDatabase(*s, g);
  EXPECT_EQ(g.OriginalPath, "Users/Bob/Msg2.0.db");
  EXPECT_TRUE(g.RecordedDeleted);
  EXPECT_EQ(g.Created, 5);
  EXPECT_EQ(RecordedFileStartingAt(*s, 10), &s->RecordedStarts[10].File);
  EXPECT_EQ(RecordedFileStartingAt(*s, 11), nullptr);

  // A record with runs names the layout only when the file lies along them
  // (into its last cluster's slack); one put together past them, where the
  // runs did not check, was the reassembly's.
  r.LayoutKnown = true;
  auto layoutFrom = [&](std::vector<FileRun> runs) {
    r.Runs = std::move(runs);
    s->RecordedStarts[10] = RecordedStart{r, true, {}};
    SavedFile h;
    h.StartSector = 10;
    h.Sectors = f.Sectors;
    DescribeSavedDatabase(*s, h);
    EXPECT_EQ(h.OriginalPath, "Users/Bob/Msg2.0.db");
    return h.LayoutFrom;
  };
  EXPECT_EQ(layoutFrom({{10, 2}, {20, 4}}), "file system record");
  EXPECT_EQ(layoutFrom({{10, 2}, {15, 1, true}, {20, 2}}), "file system record") << "a hole";
  EXPECT_EQ(layoutFrom({{10, 2}, {30, 4}}), "reassembly");
  EXPECT_EQ(layoutFrom({{10, 2}}), "reassembly") << "runs shorter than the file";
}

}  // namespace
}  // namespace tarnwick
