// The NTFS reader on volumes put together record by record: what a
// well-formed record says, and what hostile or half-overwritten ones do not
// make it do.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "filesystems/ntfs_record.h"
#include "filesystems/ntfs_volume.h"
#include "filesystems/ntfs_image.h"

namespace tarnwick {
namespace {

using test::EncodeRuns;
using test::NtfsImage;
using test::RecordBytes;

std::map<std::string, FileRecord> FilesOf(NtfsImage& image) {
  test::MemoryReader reader(image.Bytes());
  std::string error;
  auto files = ReadNtfsFiles(reader, 0, reader.SectorCount() - 1, error);
  EXPECT_TRUE(files.has_value()) << error;
  std::map<std::string, FileRecord> byPath;
  if (files)
    for (const FileRecord& f : *files) byPath[f.Path] = f;
  return byPath;
}

TEST(NtfsRecord, FixupsRestoreTheStrideEndsAndRefuseATornRecord) {
  RecordBytes r(30, 1, true);
  r.FileName(5, 5, "a.txt");
  std::vector<uint8_t> b = r.Bytes();
  b[52] = 0x12;  // what the second stride's end held, kept in the array
  NtfsRecord parsed = ParseNtfsRecord(b);
  ASSERT_TRUE(parsed.Valid);
  EXPECT_EQ(b[1022], 0x12);
  EXPECT_EQ(b[510], 0x00);
  ASSERT_NE(parsed.BestName(), nullptr);
  EXPECT_EQ(parsed.BestName()->Name, "a.txt");

  std::vector<uint8_t> torn = r.Bytes();
  torn[1022] = 0x08;  // the second stride was not written with the first
  EXPECT_FALSE(ParseNtfsRecord(torn).Valid);
}

TEST(NtfsRecord, RunListsTakeSignedDeltasAndSparseRunsAndRefuseGarbage) {
  std::vector<NtfsExtent> e;
  ASSERT_TRUE(DecodeNtfsRunList(EncodeRuns({{5000, 3}, {-1, 10}, {40, 2}, {70000, 300}}), e));
  ASSERT_EQ(e.size(), 4u);
  EXPECT_EQ(e[0].Cluster, 5000u);
  EXPECT_TRUE(e[1].Sparse);
  EXPECT_EQ(e[1].Count, 10u);
  EXPECT_EQ(e[2].Cluster, 40u);  // a step back: a negative delta
  EXPECT_EQ(e[3].Cluster, 70000u);
  EXPECT_EQ(e[3].Count, 300u);

  std::vector<NtfsExtent> bad;
  EXPECT_FALSE(DecodeNtfsRunList(std::vector<uint8_t>{0x11, 0x05, 0x80, 0x00}, bad))
      << "a first run below cluster 0";
  bad.clear();
  EXPECT_FALSE(DecodeNtfsRunList(std::vector<uint8_t>{0x21, 0x05, 0x10}, bad)) << "cut short";
  bad.clear();
  EXPECT_FALSE(DecodeNtfsRunList(std::vector<uint8_t>{0x11, 0x05, 0x10}, bad)) << "no end";
}

TEST(NtfsRecord, TheWin32NameIsPreferredToTheShortOne) {
  RecordBytes r(31, 1, true);
  r.FileName(5, 5, "MSG20~1.DB", 2).FileName(5, 5, "Msg2.0.db", 1);
  std::vector<uint8_t> b = r.Bytes();
  NtfsRecord parsed = ParseNtfsRecord(b);
  ASSERT_NE(parsed.BestName(), nullptr);
  EXPECT_EQ(parsed.BestName()->Name, "Msg2.0.db");
}

TEST(NtfsVolume, PathsFollowParentsAndSequenceNumbers) {
  NtfsImage image;
  image.Put(RecordBytes(20, 1, true, true).FileName(5, 5, "Users"));
  image.Put(RecordBytes(21, 4, false, true).FileName(20, 1, "Tencent Files"));  // deleted folder
  image.Put(RecordBytes(22, 2, false)
                .Times(1'600'000'000, 1'700'000'000)
                .FileName(21, 3, "Msg2.0.db")
                .NonResident(0x80, 0, 2, EncodeRuns({{100, 2}, {50, 1}}), 10000));
  // Its folder's record was reused since (sequence 7 now, live): not its folder.
  image.Put(RecordBytes(23, 7, true, true).FileName(5, 5, "Other"));
  image.Put(RecordBytes(24, 1, false).FileName(23, 6, "old.txt"));
  // Two folders naming each other: a loop that must end.
  image.Put(RecordBytes(25, 1, true, true).FileName(26, 1, "A"));
  image.Put(RecordBytes(26, 1, true, true).FileName(25, 1, "B"));
  image.Put(RecordBytes(27, 1, true).FileName(26, 1, "looped.txt"));

  auto files = FilesOf(image);
  ASSERT_TRUE(files.count("Users/Tencent Files/Msg2.0.db"));
  const FileRecord& db = files["Users/Tencent Files/Msg2.0.db"];
  EXPECT_TRUE(db.Deleted);
  EXPECT_EQ(db.Size, 10000u);
  EXPECT_EQ(db.Modified, 1'700'000'000);
  EXPECT_EQ(db.Created, 1'600'000'000);
  EXPECT_TRUE(db.LayoutKnown);
  ASSERT_EQ(db.Runs.size(), 2u);
  EXPECT_EQ(db.Runs[0].FirstSector, 800u);
  EXPECT_EQ(db.Runs[0].Sectors, 16u);
  EXPECT_EQ(db.Runs[1].FirstSector, 400u);
  EXPECT_EQ(db.Runs[1].Sectors, 4u) << "trimmed to the file's 10000 bytes";
  EXPECT_EQ(db.FirstSector, 800u);

  EXPECT_TRUE(files.count(std::string(kOrphansFolder) + "/old.txt"))
      << "a file whose folder was reused lies with the orphans";
  EXPECT_FALSE(files.count("Other/old.txt"));
  bool looped = false;
  for (const auto& [path, f] : files)
    looped = looped || (f.Name == "looped.txt" && path.rfind(kOrphansFolder, 0) == 0);
  EXPECT_TRUE(looped) << "a loop of folders ends with the orphans";
}

TEST(NtfsVolume, ExtensionRecordsJoinOnceWhateverTheListSays) {
  NtfsImage image;
  // The list names the base itself, one extension twice and a record that
  // is another file's: only the true extensions' pieces are joined.
  image.Put(RecordBytes(30, 3, false)
                .FileName(5, 5, "Big.db")
                .DataList({{30, 0}, {31, 2}, {31, 2}, {33, 5}, {32, 4}})
                .NonResident(0x80, 0, 1, EncodeRuns({{200, 2}}), 7 * 4096));
  image.Put(RecordBytes(31, 3, false, false, 30, 2).NonResident(0x80, 2, 3, EncodeRuns({{300, 2}}), 0));
  image.Put(RecordBytes(32, 3, false, false, 30, 2).NonResident(0x80, 4, 6, EncodeRuns({{150, 3}}), 0));
  image.Put(RecordBytes(33, 1, true, false, 40, 1).NonResident(0x80, 5, 5, EncodeRuns({{9, 1}}), 0));
  auto files = FilesOf(image);
  ASSERT_TRUE(files.count("Big.db"));
  const FileRecord& f = files["Big.db"];
  EXPECT_TRUE(f.LayoutKnown);
  ASSERT_EQ(f.Runs.size(), 3u);
  EXPECT_EQ(f.Runs[0].FirstSector, 1600u);
  EXPECT_EQ(f.Runs[1].FirstSector, 2400u);
  EXPECT_EQ(f.Runs[2].FirstSector, 1200u);
  EXPECT_EQ(f.Runs[2].Sectors, 24u);
}

TEST(NtfsVolume, LayoutsThatCannotBeTrustedAreNotCalledKnown) {
  NtfsImage image(512);
  image.Put(RecordBytes(40, 1, false).FileName(5, 5, "past.db")
                .NonResident(0x80, 0, 1, EncodeRuns({{511, 2}}), 8192));
  image.Put(RecordBytes(41, 1, false).FileName(5, 5, "gap.db")
                .DataList({{42, 3}})
                .NonResident(0x80, 0, 1, EncodeRuns({{100, 2}}), 6 * 4096));
  image.Put(RecordBytes(42, 1, false, false, 41, 1).NonResident(0x80, 3, 5, EncodeRuns({{120, 3}}), 0));
  image.Put(RecordBytes(43, 1, true).FileName(5, 5, "packed.db")
                .NonResident(0x80, 0, 15, EncodeRuns({{60, 4}, {-1, 12}}), 65536, 0x0001));
  image.Put(RecordBytes(44, 1, true).FileName(5, 5, "note.txt").Resident(0x80, {'h', 'i'}));
  auto files = FilesOf(image);
  EXPECT_FALSE(files["past.db"].LayoutKnown) << "a run past the volume";
  EXPECT_TRUE(files["past.db"].Runs.empty());
  EXPECT_FALSE(files["gap.db"].LayoutKnown) << "VCN 2 is in no piece";
  EXPECT_TRUE(files["packed.db"].Compressed);
  EXPECT_FALSE(files["packed.db"].LayoutKnown);
  EXPECT_TRUE(files["note.txt"].Resident);
  EXPECT_EQ(files["note.txt"].Size, 2u);
  EXPECT_FALSE(files["note.txt"].LayoutKnown);
}

TEST(NtfsVolume, TheBackupBootSectorStandsInForALostOne) {
  NtfsImage image;
  image.Put(RecordBytes(20, 1, true).FileName(5, 5, "kept.txt"));
  std::vector<uint8_t>& b = image.Bytes();
  std::copy_n(b.begin(), 512, b.end() - 512);
  std::fill_n(b.begin(), 512, uint8_t{0});
  test::MemoryReader reader(b);
  std::string error;
  auto files = ReadNtfsFiles(reader, 0, reader.SectorCount() - 1, error);
  ASSERT_TRUE(files.has_value()) << error;
  EXPECT_TRUE(std::any_of(files->begin(), files->end(),
                          [](const FileRecord& f) { return f.Path == "kept.txt"; }));
  EXPECT_FALSE(ReadNtfsFiles(reader, 0, 0, error).has_value());
  EXPECT_FALSE(error.empty());
}

TEST(NtfsVolume, LooseRecordsAreJoinedByTheirOwnNumbers) {
  NtfsImage image;
  // Records of an older MFT lying elsewhere: a folder and a file in it.
  const std::vector<uint8_t> folder = RecordBytes(70, 2, true, true).FileName(5, 5, "Old").Bytes();
  const std::vector<uint8_t> file = RecordBytes(71, 1, false).FileName(70, 2, "Msg.db")
                                        .NonResident(0x80, 0, 0, EncodeRuns({{90, 1}}), 4096)
                                        .Bytes();
  image.Write(600, folder);
  image.Write(700, file);
  test::MemoryReader reader(image.Bytes());
  std::string error;
  auto volume = FindNtfsVolume(reader, 0, reader.SectorCount() - 1, error);
  ASSERT_TRUE(volume.has_value()) << error;
  const std::vector<uint64_t> sectors = {600 * 8, 700 * 8, 701 * 8};  // the last holds nothing
  std::vector<FileRecord> found = ReadLooseNtfsRecords(reader, *volume, sectors);
  auto it = std::find_if(found.begin(), found.end(), [](const FileRecord& f) { return !f.Directory; });
  ASSERT_NE(it, found.end());
  EXPECT_EQ(it->Path, "Old/Msg.db");
  EXPECT_EQ(it->Origin, RecordOrigin::LooseRecord);
  EXPECT_EQ(it->RecordSector, 700u * 8);
  EXPECT_EQ(it->FirstSector, 720u);
}

}  // namespace
}  // namespace tarnwick
