// The exFAT reader on a volume made by mkfs.exfat and written through
// exfat-fuse over a loop device, judged by The Sleuth Kit's fls and istat.
#include "filesystems/exfat_volume.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "filesystems/exfat_entries.h"
#include "filesystems/fat_family_oracle.h"

namespace tarnwick {
namespace {

using test::ImageReader;
using test::TempDir;

// Two files grown in turns (so that both fragment), one written at once,
// a Chinese name; deleted: a file written at once, one of a pair grown in
// turns, and a tree; a name set that a shorter new one overwrites.
constexpr const char* kExfatScript = R"(set -e
img=$1; cd "$2"
truncate -s 8M "$img"
dev=$(losetup -f --show -b "$3" "$img")
mkfs.exfat -c 4096 "$dev" >/dev/null
mkdir -p mnt
if ! mount.exfat-fuse "$dev" mnt; then losetup -d "$dev"; exit 77; fi
trap 'umount mnt 2>/dev/null; losetup -d "$dev"' EXIT
mkdir -p "mnt/Tencent Files/123456789" mnt/Trash/Inner
for i in 1 2 3 4 5 6; do
  head -c 4096 /dev/urandom >>"mnt/Tencent Files/123456789/Msg2.0.db"
  head -c 4100 /dev/urandom >>mnt/pic.jpg
  head -c 4096 /dev/urandom >>mnt/other.db
done
head -c 10000 /dev/urandom >contig.bin; cp contig.bin mnt/contig.bin
head -c 9000 /dev/urandom >gone.bin; cp gone.bin mnt/gone.bin
head -c 3000 /dev/urandom >"mnt/Tencent Files/123456789/聊天记录.txt"
head -c 3000 /dev/urandom >mnt/Trash/Inner/第三个文件.txt
head -c 3000 /dev/urandom >mnt/Trash/a.txt
head -c 100 /dev/urandom >"mnt/a name long enough for three entries.txt"
cp "mnt/Tencent Files/123456789/Msg2.0.db" Msg2.0.db
sync
rm "mnt/a name long enough for three entries.txt"
head -c 100 /dev/urandom >mnt/x.txt
rm mnt/gone.bin mnt/other.db
rm -r mnt/Trash
)";

// The volume in 512-byte sectors and in 4096-byte ones (a loop device of
// that sector size, read through a reader of the same).
class ExfatVolumeTest : public ::testing::TestWithParam<uint32_t> {
 protected:
  struct Made {
    std::shared_ptr<TempDir> Dir;
    std::string Skip;  // why the volume could not be made; "FAIL: ..." for a fault
  };

  static Made MakeVolume(uint32_t sectorSize) {
    Made m;
    for (const char* tool : {"mkfs.exfat", "mount.exfat-fuse", "losetup", "fls", "istat"}) {
      if (!test::HaveTool(tool)) {
        m.Skip = std::string(tool) + " is not installed";
        return m;
      }
    }
    if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0) {
      m.Skip = "needs root and /dev/fuse for a loop device and exfat-fuse";
      return m;
    }
    m.Dir = std::make_shared<TempDir>("exfat" + std::to_string(sectorSize));
    const std::string script = (*m.Dir / "make.sh").string();
    test::WriteFileBytes(script,
                         std::vector<uint8_t>(kExfatScript, kExfatScript + strlen(kExfatScript)));
    const test::CommandResult made =
        test::Run("sh " + test::ShellQuote(script) + " " +
                  test::ShellQuote((*m.Dir / "volume.img").string()) + " " +
                  test::ShellQuote(m.Dir->Path().string()) + " " + std::to_string(sectorSize));
    if (made.Status == 77)
      m.Skip = "exfat-fuse could not mount the loop device";
    else if (made.Status != 0)
      m.Skip = "FAIL: making the volume failed: " + made.Err;
    return m;
  }

  void SetUp() override {
    static std::map<uint32_t, Made> made;
    auto it = made.find(GetParam());
    if (it == made.end()) it = made.emplace(GetParam(), MakeVolume(GetParam())).first;
    if (it->second.Skip.rfind("FAIL", 0) == 0) FAIL() << it->second.Skip;
    if (!it->second.Skip.empty()) GTEST_SKIP() << it->second.Skip;
    dir_ = it->second.Dir;
    image_ = *dir_ / "volume.img";
    reader_ = std::make_unique<ImageReader>(image_, GetParam());
    std::string error;
    auto records = ReadExfatFiles(reader_->Reader(), 0, error);
    ASSERT_TRUE(records.has_value()) << error;
    records_ = std::move(*records);
  }
  const FileRecord* Find(const std::string& path, bool deleted) const {
    return test::FindRecord(records_, path, deleted);
  }

  std::shared_ptr<TempDir> dir_;
  std::filesystem::path image_;
  std::unique_ptr<ImageReader> reader_;
  std::vector<FileRecord> records_;
};

TEST_P(ExfatVolumeTest, AgreesWithFlsAndIstat) {
  test::ExpectFlsListing(image_, records_);
  const test::IstatAgreement a = test::CompareWithIstat(image_, records_);
  EXPECT_GE(a.Files, 7u);
  EXPECT_EQ(a.LiveUnlaid, 0u);
  EXPECT_GE(a.DeletedLaid, 1u);  // written at once, no chain
}

TEST_P(ExfatVolumeTest, LayoutsReadBackByteForByte) {
  const FileRecord* db = Find("Tencent Files/123456789/Msg2.0.db", false);
  ASSERT_NE(db, nullptr);
  ASSERT_TRUE(db->LayoutKnown);
  EXPECT_GE(db->Runs.size(), 6u) << "grown in turns with two other files";
  EXPECT_EQ(test::BytesAlongRuns(reader_->Bytes(), *db, GetParam()),
            test::ReadFileBytes(*dir_ / "Msg2.0.db"));

  // Written at once: no FAT chain, one run, known even after deletion.
  for (const auto& [path, deleted] :
       {std::pair<const char*, bool>{"contig.bin", false}, {"gone.bin", true}}) {
    const FileRecord* r = Find(path, deleted);
    ASSERT_NE(r, nullptr) << path;
    ASSERT_TRUE(r->LayoutKnown) << path;
    EXPECT_EQ(r->Runs.size(), 1u) << path;
    EXPECT_EQ(test::BytesAlongRuns(reader_->Bytes(), *r, GetParam()),
              test::ReadFileBytes(*dir_ / path))
        << path;
  }
  // Deleted, grown in turns: only where it began.
  const FileRecord* other = Find("other.db", true);
  ASSERT_NE(other, nullptr);
  EXPECT_FALSE(other->LayoutKnown);
  EXPECT_TRUE(other->FirstSector.has_value());
  EXPECT_EQ(other->Size, 6u * 4096);
}

TEST_P(ExfatVolumeTest, DeletedTreeNamesAndTimes) {
  for (const char* path : {"Trash", "Trash/a.txt", "Trash/Inner", "Trash/Inner/第三个文件.txt"}) {
    EXPECT_NE(Find(path, true), nullptr) << path;
  }
  EXPECT_NE(Find("Tencent Files/123456789/聊天记录.txt", false), nullptr);
  // The shorter new set overwrote the head of the old one: its checksum fails.
  EXPECT_EQ(Find("a name long enough for three entries.txt", true), nullptr);
  EXPECT_NE(Find("x.txt", false), nullptr);
  const FileRecord* live = Find("contig.bin", false);
  ASSERT_NE(live, nullptr);
  ASSERT_TRUE(live->Modified.has_value());
  EXPECT_LT(std::llabs(*live->Modified - static_cast<int64_t>(time(nullptr))), 86400);
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, ExfatVolumeTest, ::testing::Values(512u, 4096u),
                         [](const auto& p) { return "Sectors" + std::to_string(p.param); });

TEST(ExfatEntrySets, TimesWithOffsetAndHundredths) {
  // 2020-06-15 10:30:20 local at UTC+08:00 (32 quarter hours), 150 x 10 ms.
  const uint32_t stamp =
      ((2020u - 1980u) << 25) | (6u << 21) | (15u << 16) | (10u << 11) | (30u << 5) | 10u;
  const std::optional<int64_t> t = ExfatTime(stamp, 150, 0x80 | 32);
  ASSERT_TRUE(t.has_value());
  EXPECT_EQ(*t, 1592188221);  // 02:30:21 UTC
  // West of UTC: -05:00 is -20 quarter hours, stored in seven bits.
  EXPECT_EQ(*ExfatTime(stamp, 0, static_cast<uint8_t>(0x80 | (128 - 20))), 1592235020);
  EXPECT_EQ(*ExfatTime(stamp, 0, 0), 1592217020);  // no offset recorded: the clock's reading
  EXPECT_FALSE(ExfatTime(0, 0, 0).has_value());
}

}  // namespace
}  // namespace tarnwick
