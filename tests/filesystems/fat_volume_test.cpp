// The FAT reader on volumes made by mkfs.vfat and filled, fragmented and
// pruned with mtools, judged by The Sleuth Kit's fls and istat.
#include "filesystems/fat_volume.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>

#include "filesystems/fat_family_oracle.h"

namespace tarnwick {
namespace {

using test::ImageReader;
using test::TempDir;

// Fills the volume with pictures to 80%, frees every other one, and then
// writes a database that must wrap into those holes; deletes files (short,
// long and Chinese names) and a whole tree, after a file was written into
// the slots of a deleted long name.
constexpr const char* kFatScript = R"(set -e
img=$1; bits=$2; kib=$3; spc=$4; cd "$5"; bytes=$6
export MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8
mkfs.vfat -C -F "$bits" -s "$spc" -S "$bytes" -n TARN "$img" "$kib" >/dev/null 2>&1
unit=$(( kib * 1024 / 100 ))
mmd -i "$img" "::/Tencent Files" "::/Tencent Files/123456789" ::/Pictures ::/Trash ::/Trash/Inner
for i in 1 2 3 4 5 6 7 8 9 10; do
  head -c $(( unit * 7 + i * 100 )) /dev/urandom >fill$i.jpg
  mcopy -i "$img" fill$i.jpg ::/Pictures/
done
for i in 2 4 6 8; do mdel -i "$img" ::/Pictures/fill$i.jpg; done
head -c $(( unit * 30 )) /dev/urandom >Msg2.0.db
mcopy -i "$img" Msg2.0.db "::/Tencent Files/123456789/Msg2.0.db"
head -c 777 /dev/urandom >long.txt
mcopy -i "$img" long.txt "::/A rather long file name for testing purposes.txt"
head -c 1200 /dev/urandom >SHORT.TXT
mcopy -i "$img" SHORT.TXT ::/SHORT.TXT
mcopy -i "$img" long.txt "::/a long name whose slots are reused.txt"
head -c 5000 /dev/urandom >backup.db
mcopy -i "$img" backup.db "::/Tencent Files/123456789/聊天记录备份.db"
mcopy -i "$img" long.txt "::/deleted long name with many parts here.bin"
mcopy -i "$img" SHORT.TXT ::/GONE.TXT
head -c 3000 /dev/urandom >inner.bin
mcopy -i "$img" inner.bin "::/Trash/first file.bin"
mcopy -i "$img" inner.bin "::/Trash/Inner/second.bin"
mcopy -i "$img" inner.bin "::/Trash/Inner/第三个文件.txt"
mdel -i "$img" "::/a long name whose slots are reused.txt"
mcopy -i "$img" SHORT.TXT ::/REUSED.TXT
mdel -i "$img" "::/Tencent Files/123456789/聊天记录备份.db"
mdel -i "$img" "::/deleted long name with many parts here.bin"
mdel -i "$img" ::/GONE.TXT
mdeltree -i "$img" ::/Trash
)";

struct FatCase {
  const char* Label;
  int Bits;
  int KiB;
  int SectorsPerCluster;
  uint32_t SectorSize = 512;
};

class FatVolumeTest : public ::testing::TestWithParam<FatCase> {
 protected:
  void SetUp() override {
    for (const char* tool : {"mkfs.vfat", "mcopy", "mdeltree", "fls", "istat"}) {
      if (!test::HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
    }
    // One volume per case, made once for all of its tests.
    static std::map<std::string, std::pair<std::shared_ptr<TempDir>, test::CommandResult>> made;
    const FatCase& c = GetParam();
    auto& [dir, result] = made[c.Label];
    if (!dir) {
      dir = std::make_shared<TempDir>(std::string("fat") + c.Label);
      const std::string script = (*dir / "make.sh").string();
      test::WriteFileBytes(script,
                           std::vector<uint8_t>(kFatScript, kFatScript + strlen(kFatScript)));
      result = test::Run(
          "sh " + test::ShellQuote(script) + " " +
          test::ShellQuote((*dir / "volume.img").string()) + " " + std::to_string(c.Bits) + " " +
          std::to_string(c.KiB) + " " + std::to_string(c.SectorsPerCluster) + " " +
          test::ShellQuote(dir->Path().string()) + " " + std::to_string(c.SectorSize));
    }
    ASSERT_EQ(result.Status, 0) << result.Err;
    dir_ = dir;
    image_ = *dir_ / "volume.img";
    reader_ = std::make_unique<ImageReader>(image_, GetParam().SectorSize);
    std::string error;
    auto records = ReadFatFiles(reader_->Reader(), 0, error);
    ASSERT_TRUE(records.has_value()) << error;
    records_ = std::move(*records);
  }

  const FileRecord* Find(const std::string& path, bool deleted) const {
    return test::FindRecord(records_, path, deleted);
  }
  std::vector<uint8_t> Original(const std::string& name) const {
    return test::ReadFileBytes(*dir_ / name);
  }

  std::shared_ptr<TempDir> dir_;
  std::filesystem::path image_;
  std::unique_ptr<ImageReader> reader_;
  std::vector<FileRecord> records_;
};

// Everything fls lists, with istat's sizes and sectors: every live file's
// whole layout, every deleted one's first sector.
TEST_P(FatVolumeTest, AgreesWithFlsAndIstat) {
  test::ExpectFlsListing(image_, records_);
  const test::IstatAgreement a = test::CompareWithIstat(image_, records_);
  EXPECT_GE(a.Files, 20u);
  EXPECT_GE(a.Laid, 8u);
  EXPECT_EQ(a.LiveUnlaid, 0u);
  EXPECT_EQ(a.DeletedLaid, 0u);
}

TEST_P(FatVolumeTest, FragmentedDatabaseReadsBackAlongItsRuns) {
  const FileRecord* db = Find("Tencent Files/123456789/Msg2.0.db", false);
  ASSERT_NE(db, nullptr);
  ASSERT_TRUE(db->LayoutKnown);
  EXPECT_GE(db->Runs.size(), 2u) << "the database was meant to wrap into freed clusters";
  EXPECT_EQ(test::BytesAlongRuns(reader_->Bytes(), *db, GetParam().SectorSize),
            Original("Msg2.0.db"));
  EXPECT_EQ(db->FirstSector, db->Runs.front().FirstSector);
}

TEST_P(FatVolumeTest, DeletedNamesTreesAndTimes) {
  // A deleted Chinese long name, its first cluster still holding the data.
  const FileRecord* backup = Find("Tencent Files/123456789/聊天记录备份.db", true);
  ASSERT_NE(backup, nullptr);
  ASSERT_TRUE(backup->FirstSector.has_value());
  const std::vector<uint8_t> original = Original("backup.db");
  const std::vector<uint8_t>& image = reader_->Bytes();
  const size_t at = *backup->FirstSector * GetParam().SectorSize;
  ASSERT_LE(at + original.size(), image.size());
  EXPECT_TRUE(std::equal(original.begin(), original.end(), image.begin() + at));

  // A long name of four parts, deleted, and a short one that lost its first letter.
  EXPECT_NE(Find("deleted long name with many parts here.bin", true), nullptr);
  EXPECT_NE(Find("_ONE.TXT", true), nullptr);

  // A whole deleted tree, its files found through its freed directories.
  for (const char* path : {"Trash", "Trash/first file.bin", "Trash/Inner", "Trash/Inner/_econd.bin",
                           "Trash/Inner/第三个文件.txt"}) {
    EXPECT_NE(Find(path, true), nullptr) << path;
  }
  EXPECT_EQ(Find("Trash/Inner/_econd.bin", true)->Size, 3000u);
  // The slots of a deleted long name, the farthest one since reused: the
  // parts left spell the start of the name.
  EXPECT_NE(Find("a long name whose slots ar", true), nullptr);

  // mtools stamps the time of the copy; FAT keeps two-second steps.
  const FileRecord* live = Find("SHORT.TXT", false);
  ASSERT_NE(live, nullptr);
  ASSERT_TRUE(live->Modified.has_value() && live->Created.has_value());
  const int64_t now = static_cast<int64_t>(time(nullptr));
  EXPECT_LT(std::llabs(*live->Modified - now), 2 * 86400);
  EXPECT_EQ(*live->Modified % 2, 0);
}

INSTANTIATE_TEST_SUITE_P(Widths, FatVolumeTest,
                         ::testing::Values(FatCase{"12", 12, 2048, 4}, FatCase{"16", 16, 4096, 1},
                                           FatCase{"32", 32, 34000, 1},
                                           FatCase{"16In4KSectors", 16, 20000, 1, 4096}),
                         [](const auto& p) { return std::string("Fat") + p.param.Label; });

}  // namespace
}  // namespace tarnwick
