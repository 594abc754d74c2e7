#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "scan/session.h"
#include "source/device.h"
#include "scan/session_source.h"
#include "support/test_support.h"
#include "volume/identify.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using test::HaveTool;
using test::ShellQuote;
using test::TempDir;

constexpr int kSlotFailedOpenDrive = 16;
constexpr int kSlotTotalSectors = 18;
constexpr int kSlotFailedOpenFile = 48;
constexpr int kSlotOpened = 84;
constexpr int kSlotSectorSize = 86;

// The English wording of a slot. While the text table is still empty the
// slot is empty too, and only the part the open adds is compared.
std::string English(const Session& s, int slot, std::string_view text) {
  return s.Text(slot).empty() ? std::string() : std::string(text);
}

size_t OpenDescriptorCount() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

// A 16 MiB FAT16 image, 4 sectors per cluster (data area aligned: phase 0).
fs::path MakeFat16(const TempDir& dir, const std::string& name,
                   const std::string& args = "-F 16 -s 4") {
  fs::path img = dir / name;
  std::ofstream(img, std::ios::binary).close();
  fs::resize_file(img, 16u << 20);
  auto made = test::Run("mkfs.vfat " + args + " " + ShellQuote(img.string()));
  EXPECT_EQ(made.Status, 0) << made.Err;
  return img;
}

std::vector<uint8_t> RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> bytes(size);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng());
  // Keep the signature words and the HFS header from matching by chance.
  for (size_t off : {size_t{510}, size_t{4094}, size_t{1024}}) {
    if (off + 1 < size) bytes[off] = bytes[off + 1] = 0;
  }
  return bytes;
}

class OpenTest : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("TARNWICK_LANG", "en", 1); }
};

// -------------------------------------------------------------- images

TEST_F(OpenTest, IdentifiedImage) {
  if (!HaveTool("mkfs.vfat")) GTEST_SKIP() << "needs mkfs.vfat";
  TempDir dir("open-fat");
  fs::path img = MakeFat16(dir, "volume.img");
  Session s;
  OpenOutcome out = OpenImage(s, img.string());
  ASSERT_TRUE(out.Opened);
  EXPECT_EQ(out.ErrorSlot, 0);
  EXPECT_EQ(out.ReasonIndex, 0);
  EXPECT_FALSE(out.FsBoxesEnabled);
  EXPECT_TRUE(out.FreeOnlyEnabled);
  EXPECT_EQ(out.FsIndex, 0);       // "FAT"
  EXPECT_EQ(out.ClusterIndex, 2);  // "2K"
  EXPECT_EQ(out.FirstSectorText, "0");
  EXPECT_EQ(out.LastSectorText, "32767");
  EXPECT_FALSE(out.StatusSectorSize.has_value());  // an image leaves panel 0 alone
  EXPECT_EQ(out.StatusTotal, English(s, kSlotTotalSectors, "Total Sectors: ") + "32768");
  EXPECT_EQ(out.Label16, English(s, kSlotOpened, "Opened: ") + "volume.img");
  EXPECT_TRUE(out.SectorShown);

  EXPECT_TRUE(s.Source.IsOpen());
  EXPECT_EQ(s.Source.Letter, '#');
  EXPECT_EQ(s.Source.Kind, DeviceKind::Image);
  EXPECT_EQ(fs::path(s.Source.Name), fs::absolute(img));
  EXPECT_EQ(s.Source.Position, 512u);  // just past sector 0, which the view read
  const VolumeGeometry want{32767, 512, 4, 0, kFat16};
  EXPECT_EQ(s.Detected, want);
  EXPECT_EQ(s.Scan, s.Detected);
  struct stat st {};
  ASSERT_EQ(::stat(img.c_str(), &st), 0);
  EXPECT_EQ(s.Source.Identity.ino, st.st_ino);

  // Sector 0 is in the view's buffer.
  auto bytes = test::ReadFileBytes(img);
  ASSERT_GE(bytes.size(), 512u);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 512, s.SectorBuffer.begin()));
  // And any sector reads back as the file holds it.
  std::vector<uint8_t> sector(512);
  ASSERT_TRUE(ReadSectors(s, 1, 1, 512, sector));
  EXPECT_TRUE(std::equal(sector.begin(), sector.end(), bytes.begin() + 512));
}

TEST_F(OpenTest, FourKSectorImageWithPartialTail) {
  if (!HaveTool("mkfs.vfat")) GTEST_SKIP() << "needs mkfs.vfat";
  TempDir dir("open-4k");
  fs::path img = MakeFat16(dir, "big-sectors.img", "-S 4096 -s 1");
  {
    std::ofstream tail(img, std::ios::binary | std::ios::app);
    tail << std::string(1000, 'x');  // not a whole sector
  }
  Session s;
  OpenOutcome out = OpenImage(s, img.string());
  ASSERT_TRUE(out.Opened);
  EXPECT_EQ(out.ReasonIndex, 0);
  EXPECT_EQ(s.Scan.BytesPerSector, 4096u);
  EXPECT_EQ(s.Scan.SectorsPerCluster, 1u);
  EXPECT_EQ(s.Scan.LastSector, 4095u);  // (16 MiB + 1000) / 4096 - 1
  EXPECT_EQ(out.LastSectorText, "4095");
  EXPECT_EQ(out.StatusTotal, English(s, kSlotTotalSectors, "Total Sectors: ") + "4096");
  EXPECT_EQ(out.ClusterIndex, 3);  // "4K"
}

TEST_F(OpenTest, EmptyImage) {
  TempDir dir("open-empty");
  fs::path img = dir / "empty.img";
  test::WriteFileBytes(img, {});
  Session s;
  OpenOutcome out = OpenImage(s, img.string());
  ASSERT_TRUE(out.Opened);
  EXPECT_EQ(s.Detected.LastSector, ~uint64_t{0});
  EXPECT_EQ(out.LastSectorText, "-1");
  EXPECT_EQ(out.StatusTotal, English(s, kSlotTotalSectors, "Total Sectors: ") + "0");
  EXPECT_EQ(out.ReasonIndex, 2);
  EXPECT_TRUE(out.FsBoxesEnabled);
  EXPECT_FALSE(out.FreeOnlyEnabled);
  EXPECT_EQ(out.FsIndex, 6);
  EXPECT_EQ(out.ClusterIndex, 0);
  const VolumeGeometry want{~uint64_t{0}, 512, 1, -1, kFsOther};
  EXPECT_EQ(s.Detected, want);
  EXPECT_EQ(s.Scan, want);
}

TEST_F(OpenTest, RandomImageOfOddSize) {
  TempDir dir("open-random");
  fs::path img = dir / "noise.img";
  test::WriteFileBytes(img, RandomBytes((1u << 20) + 300, 7));
  Session s;
  OpenOutcome out = OpenImage(s, img.string());
  ASSERT_TRUE(out.Opened);
  EXPECT_EQ(out.ReasonIndex, 2);
  EXPECT_TRUE(out.FsBoxesEnabled);
  EXPECT_FALSE(out.FreeOnlyEnabled);
  EXPECT_EQ(out.FsIndex, 6);
  const VolumeGeometry want{2047, 512, 1, -1, kFsOther};  // the partial last sector is dropped
  EXPECT_EQ(s.Detected, want);
  EXPECT_EQ(s.Scan, want);
  EXPECT_EQ(out.LastSectorText, "2047");
  EXPECT_EQ(out.StatusTotal, English(s, kSlotTotalSectors, "Total Sectors: ") + "2048");
  EXPECT_EQ(out.Label16, English(s, kSlotOpened, "Opened: ") + "noise.img");
}

TEST_F(OpenTest, AnUnreadableSectorBehindTheBootSectorDoesNotHideIt) {
  if (!HaveTool("mkfs.vfat")) GTEST_SKIP() << "needs mkfs.vfat";
  TempDir dir("open-fat-bad");
  auto bytes = test::ReadFileBytes(MakeFat16(dir, "volume.img"));
  Session s;
  auto faulty = std::make_unique<FaultyDevice>(std::make_unique<MemoryDevice>(std::move(bytes)),
                                               std::set<uint64_t>{3});
  ASSERT_TRUE(OpenImageDevice(s, std::move(faulty), "/images/bad.img").Opened);
  EXPECT_EQ(s.Detected, (VolumeGeometry{32767, 512, 4, 0, kFat16}));
}

TEST_F(OpenTest, UnreadableSectorZeroStillOpens) {
  Session s;
  auto inner = std::make_unique<MemoryDevice>(RandomBytes(64 * 512, 3));
  auto faulty = std::make_unique<FaultyDevice>(std::move(inner), std::set<uint64_t>{0});
  OpenOutcome out = OpenImageDevice(s, std::move(faulty), "/images/bad.img");
  ASSERT_TRUE(out.Opened);
  EXPECT_EQ(s.Detected.FsKind, kFsOther);
  EXPECT_EQ(s.Detected.LastSector, 63u);
  EXPECT_EQ(out.ReasonIndex, 2);
  EXPECT_FALSE(out.SectorShown);  // the view could not read sector 0
  EXPECT_EQ(out.Label16, English(s, kSlotOpened, "Opened: ") + "bad.img");

  OpenOutcome none = OpenImageDevice(s, nullptr, "nothing");
  EXPECT_FALSE(none.Opened);
  EXPECT_EQ(none.ErrorSlot, kSlotFailedOpenFile);
  EXPECT_FALSE(s.Source.IsOpen());
}

TEST_F(OpenTest, UnopenablePaths) {
  TempDir dir("open-bad");
  Session s;
  for (const fs::path& path : {dir / "missing.img", dir.Path()}) {
    SCOPED_TRACE(path);
    OpenOutcome out = OpenImage(s, path.string());
    EXPECT_FALSE(out.Opened);
    EXPECT_EQ(out.ErrorSlot, kSlotFailedOpenFile);
    EXPECT_FALSE(out.SystemReason.empty());
    EXPECT_FALSE(s.Source.IsOpen());
    EXPECT_EQ(s.Source.Letter, '#');
  }
  for (auto open : {&OpenPartition, &OpenDisk}) {
    OpenOutcome out = open(s, (dir / "no-such-device").string(), "E: (none)");
    EXPECT_FALSE(out.Opened);
    EXPECT_EQ(out.ErrorSlot, kSlotFailedOpenDrive);
    EXPECT_FALSE(out.SystemReason.empty());
    EXPECT_FALSE(s.Source.IsOpen());
  }
}

TEST_F(OpenTest, ReopenClosesTheOldSource) {
  TempDir dir("open-again");
  fs::path a = dir / "a.img", b = dir / "b.img";
  test::WriteFileBytes(a, RandomBytes(8 * 512, 1));
  test::WriteFileBytes(b, RandomBytes(4 * 512, 2));
  Session s;
  ASSERT_TRUE(OpenImage(s, a.string()).Opened);
  size_t withOne = OpenDescriptorCount();
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(OpenImage(s, b.string()).Opened);
    ASSERT_TRUE(OpenAny(s, a.string()).Opened);
  }
  EXPECT_EQ(OpenDescriptorCount(), withOne);
  EXPECT_EQ(s.Source.Kind, DeviceKind::Image);
  EXPECT_EQ(s.Detected.LastSector, 7u);

  ASSERT_TRUE(OpenImage(s, b.string()).Opened);
  EXPECT_EQ(fs::path(s.Source.Name).filename(), "b.img");
  EXPECT_EQ(s.Detected.LastSector, 3u);

  // A failed open still closes what was open.
  EXPECT_FALSE(OpenImage(s, (dir / "gone.img").string()).Opened);
  EXPECT_FALSE(s.Source.IsOpen());
  EXPECT_EQ(OpenDescriptorCount(), withOne - 1);
}

TEST_F(OpenTest, CloseKeepsGeometry) {
  TempDir dir("open-close");
  fs::path img = dir / "c.img";
  test::WriteFileBytes(img, RandomBytes(16 * 512, 5));
  Session s;
  ASSERT_TRUE(OpenImage(s, img.string()).Opened);
  VolumeGeometry before = s.Scan;
  CloseSource(s);
  EXPECT_FALSE(s.Source.IsOpen());
  EXPECT_EQ(s.Source.Letter, 0);
  EXPECT_EQ(s.Scan, before);
  EXPECT_EQ(s.Detected, before);
  std::vector<uint8_t> buf(512);
  EXPECT_FALSE(ReadSource(s, 0, buf));
  EXPECT_FALSE(ReadSectors(s, 0, 1, 512, buf));
  EXPECT_EQ(SeekSource(s, kFileEnd, 0), -1);
  CloseSource(s);  // closing twice is harmless
  EXPECT_FALSE(s.Source.IsOpen());
}

// ------------------------------------------------------- loop devices

// A loop device over an image, detached (with its partitions) when done.
class LoopDevice {
 public:
  LoopDevice(const fs::path& image, const std::string& options) {
    auto r = test::Run("losetup -f --show " + options + " " + ShellQuote(image.string()));
    if (r.Status == 0 && !r.Out.empty()) {
      path_ = r.Out.substr(0, r.Out.find('\n'));
    } else {
      error_ = r.Err;
    }
  }
  ~LoopDevice() {
    if (path_.empty()) return;
    if (partitions_) test::Run("partx -d " + ShellQuote(path_));
    test::Run("losetup -d " + ShellQuote(path_));
  }
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;

  const std::string& Path() const { return path_; }
  const std::string& Error() const { return error_; }
  // The device of the first partition; asks partx to add it where the
  // kernel did not scan the table itself.
  std::string FirstPartition() {
    std::string p = path_ + "p1";
    if (!fs::exists(p) && HaveTool("partx")) {
      partitions_ = test::Run("partx -a " + ShellQuote(path_)).Status == 0;
    }
    return fs::exists(p) ? p : std::string();
  }

 private:
  std::string path_;
  std::string error_;
  bool partitions_ = false;
};

class LoopTest : public OpenTest {
 protected:
  void SetUp() override {
    OpenTest::SetUp();
    if (::geteuid() != 0) GTEST_SKIP() << "loop devices need root";
    if (!HaveTool("losetup") || !HaveTool("mkfs.vfat"))
      GTEST_SKIP() << "needs losetup and mkfs.vfat";
  }
};

TEST_F(LoopTest, WholeDiskGetsNoIdentification) {
  TempDir dir("open-loop-disk");
  fs::path img = MakeFat16(dir, "disk.img");
  LoopDevice loop(img, "");
  if (loop.Path().empty()) GTEST_SKIP() << "losetup failed: " << loop.Error();
  ASSERT_EQ(KindOfPath(loop.Path()), DeviceKind::Disk);

  Session s;
  OpenOutcome out = OpenAny(s, loop.Path());
  ASSERT_TRUE(out.Opened) << out.SystemReason;
  EXPECT_EQ(s.Source.Kind, DeviceKind::Disk);
  EXPECT_EQ(s.Source.Letter, 0);  // a disk leaves the letter alone
  // Sector 0 is a FAT16 boot sector, but a whole disk is not identified.
  const VolumeGeometry want{32767, 512, 1, -1, kFsOther};
  EXPECT_EQ(s.Detected, want);
  EXPECT_EQ(s.Scan, want);
  EXPECT_EQ(out.ReasonIndex, 2);
  EXPECT_TRUE(out.FsBoxesEnabled);
  EXPECT_FALSE(out.FreeOnlyEnabled);
  EXPECT_EQ(out.FsIndex, 6);
  ASSERT_TRUE(out.StatusSectorSize.has_value());
  EXPECT_EQ(*out.StatusSectorSize, English(s, kSlotSectorSize, "Sector Size: ") + "512");
  EXPECT_EQ(out.StatusTotal, English(s, kSlotTotalSectors, "Total Sectors: ") + "32768");
  EXPECT_EQ(out.Label16, English(s, kSlotOpened, "Opened: ") + loop.Path());
  EXPECT_TRUE(out.SectorShown);
  EXPECT_EQ(s.SectorBuffer[510], 0x55);
  EXPECT_EQ(s.SectorBuffer[511], 0xAA);

  // The same device taken as a partition is identified.
  out = OpenPartition(s, loop.Path(), "e: (test)");
  ASSERT_TRUE(out.Opened);
  EXPECT_EQ(s.Source.Letter, 'E');
  EXPECT_EQ(s.Detected.FsKind, kFat16);
  EXPECT_EQ(s.Detected.SectorsPerCluster, 4u);
  EXPECT_EQ(out.ReasonIndex, 0);
  EXPECT_FALSE(out.FsBoxesEnabled);
  EXPECT_EQ(out.Label16, English(s, kSlotOpened, "Opened: ") + "e: (test)");
  CloseSource(s);
  EXPECT_EQ(s.Source.Letter, 0);
}

TEST_F(LoopTest, DiskWithLargeLogicalSectors) {
  TempDir dir("open-loop-4k");
  fs::path img = dir / "raw.img";
  test::WriteFileBytes(img, RandomBytes(1u << 20, 9));
  LoopDevice loop(img, "-b 4096");
  if (loop.Path().empty()) GTEST_SKIP() << "losetup -b 4096 failed: " << loop.Error();
  Session s;
  OpenOutcome out = OpenDisk(s, loop.Path(), loop.Path());
  ASSERT_TRUE(out.Opened) << out.SystemReason;
  EXPECT_EQ(s.Detected.BytesPerSector, 4096u);
  EXPECT_EQ(s.Detected.LastSector, 255u);
  ASSERT_TRUE(out.StatusSectorSize.has_value());
  EXPECT_EQ(*out.StatusSectorSize, English(s, kSlotSectorSize, "Sector Size: ") + "4096");
  EXPECT_EQ(out.StatusTotal, English(s, kSlotTotalSectors, "Total Sectors: ") + "256");
}

TEST_F(LoopTest, PartitionOfLoopDisk) {
  TempDir dir("open-loop-part");
  // The file system that goes into the partition: 8 MiB FAT16, 2 sectors per cluster.
  fs::path part = dir / "part.img";
  std::ofstream(part, std::ios::binary).close();
  fs::resize_file(part, 8u << 20);
  ASSERT_EQ(test::Run("mkfs.vfat -F 16 -s 2 " + ShellQuote(part.string())).Status, 0);

  // A DOS partition table with one entry: sectors 2048 .. 2048 + 16383.
  std::vector<uint8_t> disk(2048 * 512, 0);
  const uint32_t start = 2048, count = 16384;
  disk[446 + 4] = 0x06;
  for (int i = 0; i < 4; ++i) {
    disk[446 + 8 + i] = static_cast<uint8_t>(start >> (8 * i));
    disk[446 + 12 + i] = static_cast<uint8_t>(count >> (8 * i));
  }
  disk[510] = 0x55;
  disk[511] = 0xAA;
  auto fsBytes = test::ReadFileBytes(part);
  disk.insert(disk.end(), fsBytes.begin(), fsBytes.end());
  fs::path img = dir / "disk.img";
  test::WriteFileBytes(img, disk);

  LoopDevice loop(img, "-P");
  if (loop.Path().empty()) GTEST_SKIP() << "losetup -P failed: " << loop.Error();
  std::string p1 = loop.FirstPartition();
  if (p1.empty()) GTEST_SKIP() << "no partition device appeared for " << loop.Path();
  ASSERT_EQ(KindOfPath(p1), DeviceKind::Partition);

  Session s;
  OpenOutcome out = OpenAny(s, p1);
  ASSERT_TRUE(out.Opened) << out.SystemReason;
  EXPECT_EQ(s.Source.Kind, DeviceKind::Partition);
  EXPECT_EQ(s.Detected.FsKind, kFat16);
  EXPECT_EQ(s.Detected.BytesPerSector, 512u);
  EXPECT_EQ(s.Detected.SectorsPerCluster, 2u);
  EXPECT_EQ(s.Detected.LastSector, 16383u);
  EXPECT_EQ(out.ReasonIndex, 0);
  EXPECT_FALSE(out.FsBoxesEnabled);
  EXPECT_TRUE(out.FreeOnlyEnabled);
  EXPECT_EQ(out.ClusterIndex, 1);
  ASSERT_TRUE(out.StatusSectorSize.has_value());
  EXPECT_EQ(*out.StatusSectorSize, English(s, kSlotSectorSize, "Sector Size: ") + "512");
  EXPECT_EQ(out.StatusTotal, English(s, kSlotTotalSectors, "Total Sectors: ") + "16384");
  EXPECT_EQ(out.Label16, English(s, kSlotOpened, "Opened: ") + p1);
  // The view shows the partition's own boot sector, not the table.
  EXPECT_TRUE(std::equal(fsBytes.begin(), fsBytes.begin() + 512, s.SectorBuffer.begin()));
  if (HaveTool("fsstat")) {
    auto stat = test::Run("fsstat -f fat " + ShellQuote(p1));
    EXPECT_NE(stat.Out.find("Cluster Size: 1024"), std::string::npos) << stat.Out;
  }

  // The disk it belongs to opens as a disk.
  out = OpenAny(s, loop.Path());
  ASSERT_TRUE(out.Opened);
  EXPECT_EQ(s.Source.Kind, DeviceKind::Disk);
  EXPECT_EQ(s.Detected.FsKind, kFsOther);
  EXPECT_EQ(s.Detected.LastSector, 2048u + 16384 - 1);
  CloseSource(s);
}

}  // namespace
}  // namespace tarnwick
