// The FAT reader on volumes that mtools made and that were then broken on
// purpose: chains that loop or leave the volume, directories that lead
// back to themselves, a deleted directory whose cluster holds other data,
// unreadable sectors, boot sectors of other kinds. And loose directory
// sectors read with a known, a half-known and no geometry.
#include <gtest/gtest.h>

#include <map>

#include "filesystems/exfat_volume.h"
#include "filesystems/fat_family_oracle.h"
#include "filesystems/fat_volume.h"
#include "source/bytes.h"

namespace tarnwick {
namespace {

using test::ImageReader;
using test::TempDir;

// FAT16, 2 KiB clusters; a folder of long names whose entry groups of four
// straddle sector boundaries, a file of several clusters, a deleted folder.
constexpr const char* kScript = R"(set -e
img=$1; cd "$2"
export MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8
mkfs.vfat -C -F 16 -s 4 -n HOST "$img" 16384 >/dev/null
mmd -i "$img" ::/Dir ::/Dir/Sub ::/Gone
head -c 9000 /dev/urandom >big.bin
mcopy -i "$img" big.bin ::/Dir/big.bin
for i in 10 11 12 13 14 15 16 17; do
  head -c 300 /dev/urandom >f
  mcopy -i "$img" f "::/Dir/a long name number $i for the test.txt"
done
mcopy -i "$img" f ::/Dir/Sub/deep.txt
mcopy -i "$img" f "::/Gone/inside the gone folder.txt"
mdeltree -i "$img" ::/Gone
)";

class FatHostileTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!test::HaveTool("mkfs.vfat") || !test::HaveTool("mcopy")) return;
    dir_ = new TempDir("fathostile");
    const std::string script = (*dir_ / "make.sh").string();
    test::WriteFileBytes(script, std::vector<uint8_t>(kScript, kScript + strlen(kScript)));
    const auto image = *dir_ / "volume.img";
    const test::CommandResult made =
        test::Run("sh " + test::ShellQuote(script) + " " + test::ShellQuote(image.string()) + " " +
                  test::ShellQuote(dir_->Path().string()));
    if (made.Status == 0) pristine_ = new std::vector<uint8_t>(test::ReadFileBytes(image));
  }
  static void TearDownTestSuite() {
    delete pristine_;
    delete dir_;
    pristine_ = nullptr;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (pristine_ == nullptr) GTEST_SKIP() << "mkfs.vfat and mtools are needed";
    image_ = *pristine_;
    tree_ = Read(image_);
  }

  static std::vector<FileRecord> Read(std::vector<uint8_t> bytes) {
    ImageReader reader(std::move(bytes));
    std::string error;
    auto records = ReadFatFiles(reader.Reader(), 0, error);
    EXPECT_TRUE(records.has_value()) << error;
    return records ? *records : std::vector<FileRecord>{};
  }
  static const FileRecord* Find(const std::vector<FileRecord>& records, const std::string& path) {
    for (const FileRecord& r : records) {
      if (r.Path == path) return &r;
    }
    return nullptr;
  }
  const FileRecord& Tree(const std::string& path) const {
    const FileRecord* r = Find(tree_, path);
    EXPECT_NE(r, nullptr) << path;
    static const FileRecord none;
    return r ? *r : none;
  }
  // The cluster a record's first sector lies in.
  uint32_t ClusterOf(const FileRecord& r) const {
    const uint64_t data = Cluster2Sector();
    return static_cast<uint32_t>((*r.FirstSector - data) / 4 + 2);
  }
  uint64_t Cluster2Sector() const {
    ImageReader reader(image_);
    std::string error;
    return *ReadFatClusterLayout(reader.Reader(), 0, error)->Cluster2Sector;
  }
  void SetFat(uint32_t cluster, uint16_t value) {
    const size_t at = size_t{LE16(image_, 14)} * 512 + 2 * cluster;
    image_[at] = static_cast<uint8_t>(value);
    image_[at + 1] = static_cast<uint8_t>(value >> 8);
  }
  // Points a directory entry (by its record) at another first cluster.
  void SetFirstCluster(const FileRecord& entry, uint32_t cluster) {
    image_[entry.Id + 26] = static_cast<uint8_t>(cluster);
    image_[entry.Id + 27] = static_cast<uint8_t>(cluster >> 8);
  }

  static inline TempDir* dir_ = nullptr;
  static inline std::vector<uint8_t>* pristine_ = nullptr;
  std::vector<uint8_t> image_;
  std::vector<FileRecord> tree_;
};

TEST_F(FatHostileTest, BrokenChainsCostTheLayoutNotTheRecord) {
  const FileRecord& big = Tree("Dir/big.bin");
  ASSERT_TRUE(big.LayoutKnown);
  ASSERT_EQ(big.Runs.size(), 1u);
  const uint32_t first = ClusterOf(big);

  for (const uint16_t link : {static_cast<uint16_t>(first),   // a loop onto itself
                              static_cast<uint16_t>(0xFFF0),  // past the volume
                              static_cast<uint16_t>(0)}) {    // freed under a live entry
    image_ = *pristine_;
    SetFat(first, link);
    const std::vector<FileRecord> records = Read(image_);
    const FileRecord* r = Find(records, "Dir/big.bin");
    ASSERT_NE(r, nullptr) << link;
    EXPECT_FALSE(r->LayoutKnown) << link;
    EXPECT_TRUE(r->Runs.empty()) << link;
    EXPECT_EQ(r->FirstSector, big.FirstSector) << link;
    EXPECT_EQ(r->Size, 9000u);
  }
}

// A live short entry whose name no longer matches its long-name parts'
// checksum (its slot was rewritten) is known by its 8.3 name only.
TEST_F(FatHostileTest, LongNameWithAnotherChecksumIsNotTaken) {
  const FileRecord& named = Tree("Dir/a long name number 12 for the test.txt");
  ASSERT_EQ(image_[named.Id + 11] & 0x0F, 0x00);  // the short entry itself
  image_[named.Id + 1] = 'Q';
  const std::vector<FileRecord> records = Read(image_);
  EXPECT_EQ(Find(records, named.Path), nullptr);
  const FileRecord* r = nullptr;
  for (const FileRecord& x : records) {
    if (x.Id == named.Id) r = &x;
  }
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->Path.rfind("Dir/AQ", 0), 0u) << r->Path;
  EXPECT_EQ(r->Size, named.Size);
}

TEST_F(FatHostileTest, DirectoriesThatLeadBackAreReadOnce) {
  const FileRecord& dir = Tree("Dir");
  const FileRecord& sub = Tree("Dir/Sub");
  // Sub names Dir's cluster: Dir is not read again beneath itself.
  SetFirstCluster(sub, ClusterOf(dir));
  // And Dir's chain loops onto its own first cluster.
  SetFat(ClusterOf(dir), static_cast<uint16_t>(ClusterOf(dir)));
  const std::vector<FileRecord> records = Read(image_);
  std::map<std::string, int> seen;
  for (const FileRecord& r : records) ++seen[r.Path];
  for (const auto& [path, count] : seen) EXPECT_EQ(count, 1) << path;
  EXPECT_EQ(seen.count("Dir/Sub"), 1u);
  EXPECT_EQ(seen.count("Dir/Sub/big.bin"), 0u);
  EXPECT_EQ(seen.count("Dir/a long name number 10 for the test.txt"), 1u);
}

TEST_F(FatHostileTest, DeletedDirectoryWhoseClusterWasReused) {
  const FileRecord& gone = Tree("Gone");
  ASSERT_TRUE(gone.Deleted);
  ASSERT_NE(Find(tree_, "Gone/inside the gone folder.txt"), nullptr);
  // Another file's data now fills the cluster.
  const std::vector<uint8_t> noise = test::RandomBytes(2048, 7);
  std::copy(noise.begin(), noise.end(),
            image_.begin() + static_cast<ptrdiff_t>(*gone.FirstSector * 512));
  const std::vector<FileRecord> records = Read(image_);
  EXPECT_NE(Find(records, "Gone"), nullptr);
  for (const FileRecord& r : records) EXPECT_NE(r.Path.rfind("Gone/", 0), 0u) << r.Path;
  EXPECT_EQ(records.size(), tree_.size() - 1);
}

TEST_F(FatHostileTest, UnreadableDirectorySectorLosesOnlyItsEntries) {
  const FileRecord& sub = Tree("Dir/Sub");
  auto device = std::make_unique<FaultyDevice>(std::make_unique<MemoryDevice>(image_),
                                               std::set<uint64_t>{*sub.FirstSector});
  ReadCache cache;
  DeviceSectorReader reader(*device, cache, 512, image_.size() / 512);
  std::string error;
  const auto records = ReadFatFiles(reader, 0, error);
  ASSERT_TRUE(records.has_value()) << error;
  EXPECT_EQ(Find(*records, "Dir/Sub/deep.txt"), nullptr);
  EXPECT_NE(Find(*records, "Dir/Sub"), nullptr);
  EXPECT_NE(Find(*records, "Dir/big.bin"), nullptr);
}

TEST_F(FatHostileTest, OtherBootSectorsAreRefusedWithAReason) {
  std::string error;
  std::vector<uint8_t> zeros(1 << 20, 0);
  ImageReader blank(zeros);
  EXPECT_FALSE(ReadFatFiles(blank.Reader(), 0, error).has_value());
  EXPECT_FALSE(error.empty());
  // Past the Source's end.
  ImageReader fat(image_);
  error.clear();
  EXPECT_FALSE(ReadFatFiles(fat.Reader(), 1u << 30, error).has_value());
  EXPECT_FALSE(error.empty());
  // A FAT volume is not exFAT, and one sector in is not a volume.
  EXPECT_FALSE(ReadExfatFiles(fat.Reader(), 0, error).has_value());
  EXPECT_FALSE(ReadFatFiles(fat.Reader(), 1, error).has_value());
  // Sectors per cluster of 3 is impossible.
  std::vector<uint8_t> odd = image_;
  odd[13] = 3;
  ImageReader broken(odd);
  EXPECT_FALSE(ReadFatFiles(broken.Reader(), 0, error).has_value());
}

TEST_F(FatHostileTest, VolumeFurtherOnTheSource) {
  // The same volume behind 2048 sectors of something else: sectors shift.
  std::vector<uint8_t> disk(2048 * 512, 0);
  disk.insert(disk.end(), image_.begin(), image_.end());
  ImageReader reader(disk);
  std::string error;
  const auto records = ReadFatFiles(reader.Reader(), 2048, error);
  ASSERT_TRUE(records.has_value()) << error;
  ASSERT_EQ(records->size(), tree_.size());
  for (size_t i = 0; i < tree_.size(); ++i) {
    EXPECT_EQ((*records)[i].Path, tree_[i].Path);
    if (tree_[i].FirstSector) {
      EXPECT_EQ(*(*records)[i].FirstSector, *tree_[i].FirstSector + 2048);
    }
    EXPECT_EQ((*records)[i].RecordSector, tree_[i].RecordSector + 2048);
  }
}

// The loose reader over Dir's first sector, and over its second one, where
// an entry's long name begins in the sector before.
TEST_F(FatHostileTest, LooseDirectorySectorsWithKnownHalfAndNoGeometry) {
  const FileRecord& dir = Tree("Dir");
  ImageReader reader(image_);
  std::string error;
  const FatClusterLayout known = *ReadFatClusterLayout(reader.Reader(), 0, error);
  EXPECT_EQ(known.SectorsPerCluster, 4u);
  FatClusterLayout half;
  half.SectorsPerCluster = 4;
  const FatClusterLayout* layouts[] = {&known, &half};

  for (uint64_t k = 0; k < 2; ++k) {
    const uint64_t sector = *dir.FirstSector + k;
    // What the tree says lies in that sector.
    std::map<std::string, const FileRecord*> expected;
    for (const FileRecord& r : tree_) {
      if (r.RecordSector == sector) expected[std::string(kOrphansFolder) + "/" + r.Name] = &r;
    }
    ASSERT_GE(expected.size(), 3u);
    for (const FatClusterLayout* layout : layouts) {
      const std::vector<FileRecord> loose =
          ReadLooseFatDirectorySector(reader.Reader(), sector, *layout);
      ASSERT_EQ(loose.size(), expected.size()) << "sector " << k;
      for (const FileRecord& r : loose) {
        ASSERT_EQ(expected.count(r.Path), 1u) << r.Path;
        const FileRecord& t = *expected[r.Path];
        EXPECT_EQ(r.Origin, RecordOrigin::LooseRecord);
        EXPECT_TRUE(r.Deleted);
        EXPECT_EQ(r.Size, t.Size);
        EXPECT_EQ(r.Id, t.Id);
        EXPECT_EQ(r.Modified, t.Modified);
        // Only the sector that opens the folder tells a half-known layout
        // where cluster 2 lies.
        if (layout == &known || k == 0) {
          EXPECT_EQ(r.FirstSector, t.FirstSector) << r.Path;
        } else {
          EXPECT_FALSE(r.FirstSector.has_value()) << r.Path;
        }
      }
    }
    const std::vector<FileRecord> bare =
        ReadLooseFatDirectorySector(reader.Reader(), sector, FatClusterLayout{});
    EXPECT_EQ(bare.size(), expected.size());
    for (const FileRecord& r : bare) {
      EXPECT_EQ(expected.count(r.Path), 1u) << r.Path;
      EXPECT_FALSE(r.FirstSector.has_value());
    }
  }
  // Sectors that are not directory entries: an NTFS file record's head,
  // file data, nothing at all.
  std::vector<uint8_t> other = test::RandomBytes(3 * 512, 11);
  std::copy_n("FILE0\x00\x03\x00", 8, other.begin());
  std::fill(other.begin() + 1024, other.end(), uint8_t{0});
  ImageReader strange(other);
  for (uint64_t s = 0; s < 3; ++s) {
    EXPECT_TRUE(ReadLooseFatDirectorySector(strange.Reader(), s, known).empty()) << s;
  }
}

}  // namespace
}  // namespace tarnwick

namespace tarnwick {
namespace {

// Some systems clear FAT32's upper half of a deleted entry's cluster: the
// deleted folder beyond cluster 65535 is still found by its "." entry. And
// a lost boot sector leaves the backup copy.
TEST(Fat32Volume, UpperHalfClearedOnDeletionAndBootSectorLost) {
  if (!test::HaveTool("mkfs.vfat") || !test::HaveTool("mcopy")) GTEST_SKIP() << "needs mtools";
  TempDir dir("fathigh");
  const auto image = dir / "volume.img";
  const test::CommandResult made = test::Run(
      "set -e; cd " + test::ShellQuote(dir.Path().string()) +
      "; export MTOOLS_SKIP_CHECK=1; mkfs.vfat -C -F 32 -s 1 volume.img 34000 >/dev/null 2>&1;"
      " head -c 33600000 /dev/zero >pad; mcopy -i volume.img pad ::/pad; mmd -i volume.img ::/Dir;"
      " echo text >f; mcopy -i volume.img f '::/Dir/inside the folder.txt';"
      " mdeltree -i volume.img ::/Dir");
  ASSERT_EQ(made.Status, 0) << made.Err;
  std::vector<uint8_t> bytes = test::ReadFileBytes(image);
  std::string error;
  std::vector<FileRecord> before;
  {
    ImageReader reader(bytes);
    before = *ReadFatFiles(reader.Reader(), 0, error);
  }
  const FileRecord* folder = nullptr;
  for (const FileRecord& r : before) {
    if (r.Path == "Dir") folder = &r;
  }
  ASSERT_NE(folder, nullptr);
  ASSERT_TRUE(folder->Deleted);
  ASSERT_NE(LE16(bytes, folder->Id + 20), 0) << "the folder was meant to lie past cluster 65535";
  bytes[folder->Id + 20] = bytes[folder->Id + 21] = 0;
  ImageReader reader(bytes);
  const std::vector<FileRecord> after = *ReadFatFiles(reader.Reader(), 0, error);
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < after.size(); ++i) {
    EXPECT_EQ(after[i].Path, before[i].Path);
    EXPECT_EQ(after[i].FirstSector, before[i].FirstSector) << after[i].Path;
  }
  EXPECT_EQ(after.back().Path, "Dir/inside the folder.txt");

  // With its boot sector overwritten, the volume is read through the copy.
  std::fill_n(bytes.begin(), 512, uint8_t{0xF6});
  ImageReader wiped(bytes);
  const auto fromCopy = ReadFatFiles(wiped.Reader(), 0, error);
  ASSERT_TRUE(fromCopy.has_value()) << error;
  EXPECT_EQ(fromCopy->size(), after.size());
  EXPECT_EQ(fromCopy->back().FirstSector, after.back().FirstSector);
}

}  // namespace
}  // namespace tarnwick
