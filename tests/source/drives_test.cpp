#include "source/drives.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using test::ShellQuote;

TEST(SizeText, RoundsHalfUpAndPlacesThePoint) {
  EXPECT_EQ(SizeText(1073741824), "1.00GB");
  EXPECT_EQ(SizeText(5242880), "5.00MB");
  EXPECT_EQ(SizeText(500107862016), "465.76GB");
  EXPECT_EQ(SizeText(7864320), "7.50MB");
  EXPECT_EQ(SizeText(524288), ".50MB");  // v = 50: the point lands in front
  EXPECT_EQ(SizeText(1023 * 10485), "10.23MB");
  EXPECT_EQ(SizeText(10 * 1048576), "10.00MB");
  EXPECT_EQ(SizeText(11 * 1048576), ".01GB");  // 1100 hundredths of a MiB: past 1024
  EXPECT_EQ(SizeText(1048576LL * 1024 * 1024 * 2), "2048.00GB");
  // Below ten hundredths the digits keep their place after the point.
  EXPECT_EQ(SizeText(52429), ".05MB");
  EXPECT_EQ(SizeText(0), ".00MB");
}

TEST(DiskDescription, NeedsAProductAndTrimsBoth) {
  EXPECT_EQ(DiskDescription("ATA     ", " Samsung SSD 860 "), " ATA Samsung SSD 860");
  EXPECT_EQ(DiskDescription("", "QEMU HARDDISK"), " QEMU HARDDISK");
  EXPECT_EQ(DiskDescription("Kingston", "   "), "");  // a vendor without a product: nothing
  EXPECT_EQ(DiskDescription("", ""), "");
}

// A block tree of our own making, laid out as the kernel lays out its own:
// disks are folders, partitions folders inside them, every name a link.
class FakeTree {
 public:
  FakeTree() {
    fs::create_directories(devices_);
    fs::create_directories(classBlock_);
  }
  void Disk(const std::string& name, uint64_t sectors, bool removable = false,
            const std::string& vendor = {}, const std::string& model = {}) {
    fs::path d = devices_ / name;
    fs::create_directories(d / "device");
    Write(d / "size", std::to_string(sectors));
    Write(d / "removable", removable ? "1" : "0");
    if (!vendor.empty()) Write(d / "device" / "vendor", vendor);
    if (!model.empty()) Write(d / "device" / "model", model);
    fs::create_directory_symlink(d, classBlock_ / name);
  }
  void Partition(const std::string& disk, const std::string& name, uint64_t sectors) {
    fs::path p = devices_ / disk / name;
    fs::create_directories(p);
    Write(p / "size", std::to_string(sectors));
    Write(p / "partition", "1");
    fs::create_directory_symlink(p, classBlock_ / name);
  }
  BlockTree Tree() const {
    BlockTree t;
    t.SysClassBlock = classBlock_.string();
    t.DevDir = "/dev";
    t.Probe = [this](const std::string& path) -> std::optional<VolumeProbe> {
      probed.push_back(path);
      auto it = probes.find(path);
      if (it == probes.end()) return std::nullopt;
      return it->second;
    };
    return t;
  }
  std::map<std::string, VolumeProbe> probes;
  mutable std::vector<std::string> probed;

 private:
  static void Write(const fs::path& p, const std::string& text) {
    std::ofstream(p) << text << "\n";
  }
  test::TempDir dir_{"drives"};
  fs::path devices_ = dir_ / "devices";
  fs::path classBlock_ = dir_ / "class-block";
};

std::vector<std::string> Texts(const std::vector<DriveItem>& items) {
  std::vector<std::string> out;
  for (const auto& i : items) out.push_back(i.Text);
  return out;
}

TEST(DriveList, VolumesThenDisksWithTheirKindsAndTexts) {
  FakeTree t;
  t.Disk("sda", 976773168, false, "ATA     ", "Samsung SSD 860");
  t.Partition("sda", "sda1", 1048576);
  t.Partition("sda", "sda2", 975722496);
  t.Disk("sdb", 15728640, true, "SanDisk", "Cruzer");
  t.Partition("sdb", "sdb1", 15726592);
  t.Disk("sdc", 2880, true);  // a superfloppy: no partition table
  t.Disk("sr0", 1400000);
  t.Disk("zram0", 0);      // not set up: left out
  t.Disk("loop0", 0);      // unused loop device: left out
  t.Disk("loop1", 40960);  // a file system without a partition table
  t.Disk("loop10", 2048);  // no file system: a disk only
  t.Disk("dm-0", 204800);
  t.probes["/dev/sda1"] = {true, "System"};
  t.probes["/dev/sr0"] = {true, "Cd_Rom"};
  t.probes["/dev/loop1"] = {true, "data"};
  t.probes["/dev/loop10"] = {false, ""};

  auto items = DriveList(t.Tree());
  std::vector<std::string> want = {
      "DM-0: []",
      "LOOP1: [DATA]",
      "SDA1: [SYSTEM]",
      "SDA2: []",
      "SDB1:",
      "SDC:",
      "SR0: [CD_ROM]",
      "HD0 (.02GB)",
      "HD1 (1.00MB)",
      "HD2 ATA Samsung SSD 860 (465.76GB)",
      "RM3 SanDisk Cruzer (7.50GB)",
      "RM4 (1.41MB)",
  };
  EXPECT_EQ(Texts(items), want);
  ASSERT_EQ(items.size(), want.size());
  EXPECT_EQ(items[2].DevicePath, "/dev/sda1");
  EXPECT_EQ(items[2].Kind, DriveKind::Fixed);
  EXPECT_FALSE(items[2].IsDisk);
  EXPECT_EQ(items[4].Kind, DriveKind::Removable);  // partition of a removable disk
  EXPECT_EQ(items[5].Kind, DriveKind::Removable);
  EXPECT_EQ(items[6].Kind, DriveKind::Optical);
  EXPECT_EQ(items[9].DevicePath, "/dev/sda");
  EXPECT_TRUE(items[9].IsDisk);
  EXPECT_EQ(items[9].Kind, DriveKind::Fixed);
  EXPECT_EQ(items[10].Kind, DriveKind::Removable);
  // A removable drive's label is never read.
  EXPECT_EQ(std::count(t.probed.begin(), t.probed.end(), "/dev/sdb1"), 0);
  EXPECT_EQ(std::count(t.probed.begin(), t.probed.end(), "/dev/sdc"), 0);
}

TEST(DriveList, LowerCaseAndRamDisks) {
  FakeTree t;
  t.Disk("ram0", 8192);
  t.Disk("sda", 2048);
  t.Partition("sda", "sda1", 2000);
  t.probes["/dev/sda1"] = {true, "MiXed"};
  auto items = RebuildDriveItems(t.Tree(), TextCase::LowerCase);
  EXPECT_EQ(Texts(items), (std::vector<std::string>{"ram0: []", "sda1: [mixed]"}));
  EXPECT_EQ(items[0].Kind, DriveKind::Ram);
}

TEST(DriveList, OnlyTwentyDisksAreListed) {
  FakeTree t;
  for (int i = 0; i < 23; ++i) t.Disk("vd" + std::string(1, static_cast<char>('a' + i)), 2048);
  auto disks = PhysicalDiskItems(t.Tree());
  ASSERT_EQ(disks.size(), 20u);
  EXPECT_EQ(disks.back().Text, "HD19 (1.00MB)");
  EXPECT_EQ(disks.back().DevicePath, "/dev/vdt");
}

TEST(DriveList, NetworkItemsAreRemovedFromTheEnd) {
  std::vector<DriveItem> items = {{"A:", "", DriveKind::Network, false},
                                  {"B: [X]", "", DriveKind::Fixed, false},
                                  {"Z: //S/SHARE", "", DriveKind::Network, false}};
  RemoveNetworkDrives(items);
  EXPECT_EQ(Texts(items), (std::vector<std::string>{"B: [X]"}));
}

// The real tree: a loop device holding a labelled FAT file system shows up
// as a volume with its label and as a disk with its size.
TEST(DriveList, LoopDeviceOnThisMachine) {
  if (::geteuid() != 0) GTEST_SKIP() << "loop devices need root";
  if (!test::HaveTool("losetup") || !test::HaveTool("mkfs.vfat"))
    GTEST_SKIP() << "losetup or mkfs.vfat missing";
  test::TempDir dir("drives-loop");
  fs::path img = dir / "vol.img";
  ASSERT_EQ(test::Run("truncate -s 20M " + ShellQuote(img.string()) + " && mkfs.vfat -n TWLABEL " +
                      ShellQuote(img.string()))
                .Status,
            0);
  auto attached = test::Run("losetup -f --show " + ShellQuote(img.string()));
  if (attached.Status != 0) GTEST_SKIP() << "no loop device could be attached: " << attached.Err;
  std::string dev = attached.Out.substr(0, attached.Out.find('\n'));
  std::string name = fs::path(dev).filename().string();
  std::string upper = name;
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

  auto items = DriveList();
  test::Run("losetup -d " + ShellQuote(dev));
  bool volume = false, disk = false;
  for (const auto& i : items) {
    if (i.DevicePath == dev && !i.IsDisk) {
      volume = true;
      EXPECT_EQ(i.Text, upper + ": [TWLABEL]");
      EXPECT_EQ(i.Kind, DriveKind::Fixed);
    }
    if (i.DevicePath == dev && i.IsDisk) {
      disk = true;
      EXPECT_EQ(i.Text.substr(0, 2), "HD");
      EXPECT_NE(i.Text.find(" (.02GB)"), std::string::npos) << i.Text;
    }
  }
  EXPECT_TRUE(volume) << "no volume item for " << dev;
  EXPECT_TRUE(disk) << "no disk item for " << dev;
}

}  // namespace
}  // namespace tarnwick
