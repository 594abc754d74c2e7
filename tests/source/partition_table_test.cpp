// Partition tables made by sfdisk and sgdisk, judged by their own dumps and by
// The Sleuth Kit's mmls; damaged and hostile tables made by hand.
#include "source/partition_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

#include "scan/session.h"
#include "scan/partition_open.h"
#include "source/slice_device.h"
#include "support/test_support.h"
#include "volume/identify_partitions.h"
#include "volume/identify.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using test::HaveTool;
using test::ShellQuote;
using test::TempDir;

using Extent = std::pair<uint64_t, uint64_t>;  // first and last sector

fs::path SparseFile(const TempDir& dir, const std::string& name, uint64_t mib) {
  fs::path p = dir / name;
  std::ofstream(p, std::ios::binary).close();
  fs::resize_file(p, mib << 20);
  return p;
}

std::unique_ptr<FileDevice> OpenFile(const fs::path& p) {
  std::string error;
  auto d = FileDevice::Open(p.string(), error);
  EXPECT_TRUE(d) << error;
  return d;
}

// The partitions mmls lists (not its table and gap rows).
std::vector<Extent> MmlsExtents(const fs::path& image) {
  auto r = test::Run("mmls " + ShellQuote(image.string()));
  EXPECT_EQ(r.Status, 0) << r.Err;
  std::vector<Extent> out;
  std::istringstream in(r.Out);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream row(line);
    std::string index, slot;
    uint64_t start = 0, end = 0;
    if (!(row >> index >> slot >> start >> end)) continue;
    if (index.size() < 2 || index.back() != ':' || slot == "Meta" || slot == "-------") continue;
    out.emplace_back(start, end);
  }
  return out;
}

std::vector<Extent> Extents(const PartitionTable& t) {
  std::vector<Extent> out;
  for (const PartitionEntry& p : t.Partitions) out.emplace_back(p.FirstSector, p.LastSector);
  return out;
}

std::vector<int> Indexes(const PartitionTable& t) {
  std::vector<int> out;
  for (const PartitionEntry& p : t.Partitions) out.push_back(p.Index);
  return out;
}

// "d.img5 : start=  24576, size=  16384, type=7" -> index, extent (containers skipped).
std::vector<std::pair<int, Extent>> SfdiskDump(const fs::path& image) {
  auto r = test::Run("sfdisk --dump " + ShellQuote(image.string()));
  EXPECT_EQ(r.Status, 0) << r.Err;
  std::vector<std::pair<int, Extent>> out;
  std::istringstream in(r.Out);
  std::string line;
  const std::string name = image.filename().string();
  while (std::getline(in, line)) {
    if (line.rfind(image.string(), 0) != 0) continue;
    int index = std::stoi(line.substr(image.string().size()));
    uint64_t start = std::stoull(line.substr(line.find("start=") + 6));
    uint64_t size = std::stoull(line.substr(line.find("size=") + 5));
    std::string type = line.substr(line.find("type=") + 5);
    if (type.rfind("5", 0) == 0 || type.rfind("f", 0) == 0 || type.rfind("85", 0) == 0) continue;
    out.push_back({index, {start, start + size - 1}});
  }
  return out;
}

class PartitionToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"sfdisk", "sgdisk", "mmls", "mkfs.vfat"})
      if (!HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
  }
  TempDir dir_{"partitions"};
};

TEST_F(PartitionToolsTest, MbrWithLogicalPartitionsAgreesWithSfdiskAndMmls) {
  fs::path img = SparseFile(dir_, "mbr.img", 64);
  auto r = test::Run(
      "printf 'label: dos\\nstart=2048, size=20480, type=c\\nstart=22528, size=100000, "
      "type=5\\nstart=24576, size=16384, type=7\\nstart=43008, size=8192, type=83\\n"
      "start=53248, size=4096, type=6\\n' | sfdisk -q " +
      ShellQuote(img.string()));
  ASSERT_EQ(r.Status, 0) << r.Err;
  auto dev = OpenFile(img);
  PartitionTable t = ReadPartitionTable(*dev);
  EXPECT_EQ(t.Scheme, TableScheme::Mbr);
  EXPECT_TRUE(t.Problems.empty());
  EXPECT_EQ(Extents(t), MmlsExtents(img));
  std::vector<std::pair<int, Extent>> ours;
  for (const PartitionEntry& p : t.Partitions) ours.push_back({p.Index, {p.FirstSector, p.LastSector}});
  EXPECT_EQ(ours, SfdiskDump(img));
  EXPECT_EQ(Indexes(t), (std::vector<int>{1, 5, 6, 7}));
  EXPECT_EQ(t.Find(1)->MbrType, 0x0C);
  EXPECT_TRUE(t.Find(6)->Logical);
  EXPECT_FALSE(t.Find(1)->Logical);
}

TEST_F(PartitionToolsTest, GptAgreesWithSgdiskAndMmlsAndSurvivesALostPrimaryHeader) {
  fs::path img = SparseFile(dir_, "gpt.img", 64);
  auto r = test::Run("sgdisk -n 1:2048:+10M -t 1:0700 -c '1:data one' -n 2:0:+16M -t 2:8300 "
                     "-n 4:0:0 -t 4:0700 " + ShellQuote(img.string()));
  ASSERT_EQ(r.Status, 0) << r.Err;
  auto dev = OpenFile(img);
  PartitionTable t = ReadPartitionTable(*dev);
  ASSERT_EQ(t.Scheme, TableScheme::Gpt);
  EXPECT_FALSE(t.BackupGptUsed);
  EXPECT_EQ(Extents(t), MmlsExtents(img));
  EXPECT_EQ(Indexes(t), (std::vector<int>{1, 2, 4}));  // numbered by their slot
  EXPECT_EQ(t.Find(1)->Name, "data one");
  EXPECT_EQ(t.Find(1)->TypeName, "Microsoft basic data");
  EXPECT_EQ(t.Find(2)->TypeGuid, "0FC63DAF-8483-4772-8E79-3D69D8477DE4");
  auto sg = test::Run("sgdisk -p " + ShellQuote(img.string()));
  EXPECT_NE(sg.Out.find("   1            2048           22527"), std::string::npos) << sg.Out;
  const std::vector<Extent> whole = Extents(t);

  // The primary header overwritten: the backup at the last sector holds.
  {
    std::fstream f(img, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(512);
    std::string junk(512, 'x');
    f.write(junk.data(), 512);
  }
  dev = OpenFile(img);
  PartitionTable fromBackup = ReadPartitionTable(*dev);
  EXPECT_EQ(fromBackup.Scheme, TableScheme::Gpt);
  EXPECT_TRUE(fromBackup.BackupGptUsed);
  EXPECT_EQ(Extents(fromBackup), whole);
  EXPECT_EQ(fromBackup.Problems.size(), 1u);

  // Both headers gone behind a protective MBR: no partition is believed.
  {
    std::fstream f(img, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(fs::file_size(img) - 512));
    std::string junk(512, 'y');
    f.write(junk.data(), 512);
  }
  dev = OpenFile(img);
  PartitionTable none = ReadPartitionTable(*dev);
  EXPECT_EQ(none.Scheme, TableScheme::Gpt);
  EXPECT_TRUE(none.Partitions.empty());
  EXPECT_FALSE(none.Problems.empty());
}

TEST_F(PartitionToolsTest, DamagedGptEntryArrayFallsBackToTheBackupArray) {
  fs::path img = SparseFile(dir_, "gpt2.img", 32);
  ASSERT_EQ(test::Run("sgdisk -n 1:2048:+8M -n 2:0:0 " + ShellQuote(img.string())).Status, 0);
  const std::vector<Extent> before = MmlsExtents(img);
  {
    // One byte of the primary entry array (sector 2) changes: its CRC fails.
    std::fstream f(img, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(2 * 512 + 40);
    f.put('\x7f');
  }
  auto dev = OpenFile(img);
  PartitionTable t = ReadPartitionTable(*dev);
  EXPECT_TRUE(t.BackupGptUsed);
  EXPECT_EQ(Extents(t), before);
  // mmls believes the damaged array (it does not check the CRC).
  EXPECT_NE(MmlsExtents(img), before);
}

TEST_F(PartitionToolsTest, APartitionOpensAsASourceOfItsOwn) {
  fs::path img = SparseFile(dir_, "disk.img", 48);
  ASSERT_EQ(test::Run("printf 'label: dos\\nstart=2048, size=40960, type=c\\n' | sfdisk -q " +
                      ShellQuote(img.string()))
                .Status,
            0);
  auto made = test::Run("mkfs.vfat -F 32 -s 8 -n INSIDE --offset 2048 " +
                        ShellQuote(img.string()) + " 20480");
  ASSERT_EQ(made.Status, 0) << made.Err;

  auto dev = OpenFile(img);
  PartitionTable t = ReadPartitionTable(*dev);
  auto parts = IdentifyPartitions(*dev, t, img.string());
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_TRUE(parts[0].Identified);
  EXPECT_EQ(parts[0].FsName, "FAT32");
  EXPECT_EQ(parts[0].Label, "INSIDE");
  EXPECT_EQ(parts[0].Geometry.SectorsPerCluster, 8u);
  // A bad sector just behind the partition's boot sector does not hide it.
  FaultyDevice faulty(OpenFile(img), {2048 + 3});
  auto damaged = IdentifyPartitions(faulty, t, img.string());
  ASSERT_EQ(damaged.size(), 1u);
  EXPECT_TRUE(damaged[0].Identified);
  EXPECT_EQ(damaged[0].FsName, "FAT32");

  Session s;
  PartitionOpen opened = OpenPartitionOf(s, img.string(), 1);
  ASSERT_TRUE(opened.Outcome.Opened) << opened.Problem;
  EXPECT_EQ(s.Source.Kind, DeviceKind::Partition);
  EXPECT_EQ(s.Detected.FsKind, kFat32);
  EXPECT_EQ(s.Detected.LastSector, 40959u);
  EXPECT_EQ(opened.Outcome.ReasonIndex, 0);
  // The image file itself stays the Source's identity: no output onto it.
  EXPECT_TRUE(IsOnSource(s, img.string()));

  Session other;
  PartitionOpen missing = OpenPartitionOf(other, img.string(), 3);
  EXPECT_FALSE(missing.Outcome.Opened);
  EXPECT_NE(missing.Problem.find("no partition 3"), std::string::npos);
}

// ------------------------------------------------------------ by hand

void PutSlot(std::vector<uint8_t>& d, uint64_t sector, int slot, uint8_t type, uint32_t start,
             uint32_t count) {
  size_t off = static_cast<size_t>(sector * 512 + 446 + 16 * slot);
  d[off + 4] = type;
  for (int k = 0; k < 4; ++k) {
    d[off + 8 + k] = static_cast<uint8_t>(start >> (8 * k));
    d[off + 12 + k] = static_cast<uint8_t>(count >> (8 * k));
  }
  d[sector * 512 + 510] = 0x55;
  d[sector * 512 + 511] = 0xAA;
}

TEST(PartitionTableTest, HostileMbrChainsAndBoundsAreContained) {
  std::vector<uint8_t> d(4096 * 512, 0);
  PutSlot(d, 0, 0, 0x83, 64, 100);
  PutSlot(d, 0, 1, 0x05, 1000, 2000);
  PutSlot(d, 0, 2, 0x07, 4000, 1000);  // runs past the 4096-sector disk
  PutSlot(d, 0, 3, 0x07, 9000, 10);    // starts past it
  // The extended chain points back at itself.
  PutSlot(d, 1000, 0, 0x83, 10, 20);
  PutSlot(d, 1000, 1, 0x05, 0, 500);
  MemoryDevice dev(d);
  PartitionTable t = ReadPartitionTable(dev);
  EXPECT_EQ(t.Scheme, TableScheme::Mbr);
  EXPECT_EQ(Indexes(t), (std::vector<int>{1, 3, 5}));
  EXPECT_EQ(t.Find(3)->LastSector, 4095u);
  EXPECT_EQ(t.Find(5)->FirstSector, 1010u);
  EXPECT_EQ(t.Problems.size(), 3u);  // cut, ignored, loop

  // An extended partition said to start at sector 0 is not followed.
  std::vector<uint8_t> self(1 << 20, 0);
  PutSlot(self, 0, 0, 0x05, 0, 100);
  PutSlot(self, 0, 1, 0x83, 64, 10);
  MemoryDevice selfDev(self);
  PartitionTable selfTable = ReadPartitionTable(selfDev);
  EXPECT_EQ(Indexes(selfTable), (std::vector<int>{2}));
  EXPECT_EQ(selfTable.Problems.size(), 1u);

  // A volume's boot sector is no partition table, though it ends in 55 AA.
  std::vector<uint8_t> vbr(1 << 20, 0);
  std::memcpy(&vbr[3], "NTFS    ", 8);
  vbr[11] = 0x00, vbr[12] = 0x02, vbr[13] = 8;
  PutSlot(vbr, 0, 0, 0x83, 64, 100);
  MemoryDevice volume(vbr);
  EXPECT_EQ(ReadPartitionTable(volume).Scheme, TableScheme::None);

  // A status byte other than 0 or 0x80 means the sector is not a table.
  std::vector<uint8_t> code(1 << 20, 0);
  PutSlot(code, 0, 0, 0x83, 64, 100);
  code[446] = 0x31;
  MemoryDevice notTable(code);
  EXPECT_EQ(ReadPartitionTable(notTable).Scheme, TableScheme::None);
}

TEST(SliceDeviceTest, ReadsNeverLeaveTheSlice) {
  std::vector<uint8_t> bytes(8192);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i / 512 + 1);
  MemoryDevice disk(bytes);
  SliceDevice slice(disk, 1024, 2048);  // sectors 2..5
  EXPECT_EQ(slice.Size(), 2048u);
  std::vector<uint8_t> out(1024, 0xEE);
  EXPECT_EQ(slice.ReadAt(1536, out), 512);  // half lies beyond
  EXPECT_EQ(out[0], 6);
  EXPECT_EQ(out[511], 6);
  EXPECT_EQ(out[512], 0);
  EXPECT_EQ(slice.ReadAt(4096, out), 0);
  EXPECT_EQ(out[0], 0);
  // A slice reaching past its disk is cut to it.
  SliceDevice tail(disk, 7168, 1 << 20);
  EXPECT_EQ(tail.Size(), 1024u);
  SliceDevice beyond(disk, 1 << 20, 512);
  EXPECT_EQ(beyond.Size(), 0u);
}

}  // namespace
}  // namespace tarnwick
