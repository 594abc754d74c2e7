#include "volume/identify.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "scan/session.h"
#include "source/device.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

using test::HaveTool;
using test::ShellQuote;
using test::TempDir;

// ---------------------------------------------------------------- helpers

// The number after "key" in a tool's report (spaces and tabs skipped).
std::optional<uint64_t> NumberAfter(const std::string& text, const std::string& key) {
  size_t at = text.find(key);
  if (at == std::string::npos) return std::nullopt;
  at += key.size();
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
  if (at >= text.size() || text[at] < '0' || text[at] > '9') return std::nullopt;
  return std::stoull(text.substr(at));
}

std::string WordAfter(const std::string& text, const std::string& key) {
  size_t at = text.find(key);
  if (at == std::string::npos) return {};
  at += key.size();
  while (at < text.size() && text[at] == ' ') ++at;
  size_t end = text.find_first_of(" \n", at);
  return text.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

std::filesystem::path BlankImage(const TempDir& dir, const std::string& name, int mib) {
  auto path = dir / name;
  std::filesystem::remove(path);
  std::ofstream(path, std::ios::binary).close();
  std::filesystem::resize_file(path, static_cast<uintmax_t>(mib) << 20);
  return path;
}

// Identifies a file through the Session's Source, as an open does.
// What `tarnwick-cli identify --json` reports for an image, as the command
// line's users see it.
std::optional<int64_t> JsonNumber(const std::string& json, const std::string& key) {
  size_t at = json.find("\"" + key + "\": ");
  if (at == std::string::npos) return std::nullopt;
  return std::stoll(json.substr(at + key.size() + 4));
}

bool IdentifyFile(const std::filesystem::path& path, VolumeGeometry& g) {
  auto r = test::Run(std::string(TARNWICK_CLI) + " identify --json " + ShellQuote(path.string()));
  if (r.Status != 0) {
    ADD_FAILURE() << "identify failed on " << path << ": " << r.Err;
    return false;
  }
  auto kind = JsonNumber(r.Out, "fs_kind"), bps = JsonNumber(r.Out, "bytes_per_sector");
  auto spc = JsonNumber(r.Out, "sectors_per_cluster"), phase = JsonNumber(r.Out, "cluster_phase");
  auto last = JsonNumber(r.Out, "last_sector");
  if (!kind || !bps || !spc || !phase || !last) {
    ADD_FAILURE() << "unexpected output: " << r.Out;
    return false;
  }
  g.FsKind = static_cast<uint8_t>(*kind);
  g.BytesPerSector = static_cast<uint32_t>(*bps);
  g.SectorsPerCluster = static_cast<uint32_t>(*spc);
  g.ClusterPhase = static_cast<int32_t>(*phase);
  g.LastSector = static_cast<uint64_t>(*last);
  EXPECT_EQ(g.LastSector, std::filesystem::file_size(path) / g.BytesPerSector - 1);
  return r.Out.find("\"identified\": true") != std::string::npos;
}

void Put16(std::vector<uint8_t>& b, size_t off, uint16_t v) {
  b[off] = static_cast<uint8_t>(v);
  b[off + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(std::vector<uint8_t>& b, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[off + i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutBE16(std::vector<uint8_t>& b, size_t off, uint16_t v) {
  b[off] = static_cast<uint8_t>(v >> 8);
  b[off + 1] = static_cast<uint8_t>(v);
}
void PutBE32(std::vector<uint8_t>& b, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[off + i] = static_cast<uint8_t>(v >> (8 * (3 - i)));
}
void PutText(std::vector<uint8_t>& b, size_t off, const char* text) {
  std::memcpy(b.data() + off, text, std::strlen(text));
}
void Sign(std::vector<uint8_t>& b, size_t off) { Put16(b, off, 0xAA55); }

// A FAT12/16 boot sector: 512-byte sectors, 4 per cluster, 1 reserved
// sector, 2 FATs of 9 sectors, 512 root entries (32 sectors): data at 51.
std::vector<uint8_t> Fat16Sector() {
  std::vector<uint8_t> b(kBootBlockSize, 0);
  b[0] = 0xEB;
  b[1] = 0x3C;
  b[2] = 0x90;
  Put16(b, 11, 512);
  b[13] = 4;
  Put16(b, 14, 1);
  b[16] = 2;
  Put16(b, 17, 512);
  Put16(b, 22, 9);
  PutText(b, 54, "FAT16   ");
  Sign(b, 510);
  return b;
}

// FAT32: 8 sectors per cluster, 32 reserved, 2 FATs of 1000 sectors: data at 2032.
std::vector<uint8_t> Fat32Sector() {
  std::vector<uint8_t> b(kBootBlockSize, 0);
  Put16(b, 11, 512);
  b[13] = 8;
  Put16(b, 14, 32);
  b[16] = 2;
  Put32(b, 36, 1000);
  PutText(b, 82, "FAT32   ");
  Sign(b, 510);
  return b;
}

std::vector<uint8_t> NtfsSector(uint16_t bytesPerSector, uint8_t sectorsPerCluster) {
  std::vector<uint8_t> b(kBootBlockSize, 0);
  PutText(b, 3, "NTFS    ");
  Put16(b, 11, bytesPerSector);
  b[13] = sectorsPerCluster;
  Sign(b, 510);
  return b;
}

std::vector<uint8_t> ExFatSector(uint8_t sectorShift, uint8_t clusterShift, uint32_t heap) {
  std::vector<uint8_t> b(kBootBlockSize, 0);
  PutText(b, 3, "EXFAT   ");
  Put32(b, 88, heap);
  b[108] = sectorShift;
  b[109] = clusterShift;
  Sign(b, 510);
  return b;
}

std::vector<uint8_t> HfsBlock(uint32_t blockSize, uint16_t firstBlockSector) {
  std::vector<uint8_t> b(kBootBlockSize, 0);
  PutText(b, 1024, "BD");
  PutBE32(b, 1044, blockSize);
  PutBE16(b, 1052, firstBlockSector);
  return b;
}

std::vector<uint8_t> HfsPlusBlock(const char* sig, uint16_t version, uint32_t blockSize) {
  std::vector<uint8_t> b(kBootBlockSize, 0);
  PutText(b, 1024, sig);
  PutBE16(b, 1026, version);
  PutBE32(b, 1064, blockSize);
  return b;
}

bool Identifies(const std::vector<uint8_t>& block, VolumeGeometry* out = nullptr) {
  VolumeGeometry g;
  bool ok = IdentifyBlock(block, g);
  if (out) *out = g;
  return ok;
}

// ------------------------------------------------ images made by real tools

struct FatCase {
  int Mib;
  const char* Args;
  const char* TskType;  // fsstat -f: small FAT32 volumes are not guessed
};

TEST(IdentifyImages, FatMatchesFsstat) {
  if (!HaveTool("mkfs.vfat") || !HaveTool("fsstat")) GTEST_SKIP() << "needs mkfs.vfat and fsstat";
  const FatCase cases[] = {
      {2, "-F 12 -s 1", "fat12"},
      {4, "-a -F 12 -s 2 -R 1", "fat12"},
      {8, "-a -F 12 -s 8 -R 5", "fat12"},
      {40, "-a -F 12 -s 128 -R 3", "fat12"},
      {16, "-F 16 -s 4", "fat16"},
      {16, "-a -F 16 -s 4 -R 3", "fat16"},
      {40, "-a -F 16 -s 16 -R 7", "fat16"},
      {16, "-S 4096 -s 1", "fat16"},  // 4096-byte sectors, signature only at 510
      {34, "-F 32 -s 1 -R 37", "fat32"},
      {40, "-a -F 32 -s 8 -R 33", "fat32"},
      {40, "-a -F 32 -s 4 -R 9", "fat32"},
      {40, "-a -F 32 -s 64 -R 11", "fat32"},
  };
  TempDir dir("identify-fat");
  int nonZeroPhases = 0;
  for (const FatCase& c : cases) {
    SCOPED_TRACE(c.Args);
    auto img = BlankImage(dir, "fat.img", c.Mib);
    auto made = test::Run(std::string("mkfs.vfat ") + c.Args + " " + ShellQuote(img.string()));
    ASSERT_EQ(made.Status, 0) << made.Err;
    auto stat = test::Run(std::string("fsstat -f ") + c.TskType + " " + ShellQuote(img.string()));
    ASSERT_EQ(stat.Status, 0) << stat.Err;
    auto sectorSize = NumberAfter(stat.Out, "Sector Size:");
    auto clusterSize = NumberAfter(stat.Out, "Cluster Size:");
    auto clusterArea = NumberAfter(stat.Out, "Cluster Area:");
    std::string type = WordAfter(stat.Out, "File System Type:");
    ASSERT_TRUE(sectorSize && clusterSize && clusterArea) << stat.Out;
    uint64_t sectorsPerCluster = *clusterSize / *sectorSize;
    uint8_t kind = type == "FAT12" ? kFat12 : type == "FAT16" ? kFat16 : kFat32;

    VolumeGeometry g;
    ASSERT_TRUE(IdentifyFile(img, g));
    EXPECT_EQ(g.FsKind, kind) << type;
    EXPECT_EQ(g.BytesPerSector, *sectorSize);
    EXPECT_EQ(g.SectorsPerCluster, sectorsPerCluster);
    EXPECT_EQ(static_cast<uint64_t>(g.ClusterPhase), *clusterArea % sectorsPerCluster);
    if (g.ClusterPhase != 0) ++nonZeroPhases;
  }
  EXPECT_GE(nonZeroPhases, 6);  // the cases are meant to exercise the phase
}

TEST(IdentifyImages, NtfsMatchesFsstat) {
  if (!HaveTool("mkfs.ntfs") || !HaveTool("fsstat")) GTEST_SKIP() << "needs mkfs.ntfs and fsstat";
  struct NtfsCase {
    int Mib;
    const char* Args;
  };
  const NtfsCase cases[] = {
      {8, "-c 512"},   {8, "-c 2048"},          {8, "-c 4096"},           {8, "-c 16384"},
      {8, "-c 65536"}, {16, "-s 4096 -c 4096"}, {16, "-s 4096 -c 16384"},
  };
  TempDir dir("identify-ntfs");
  for (const NtfsCase& c : cases) {
    SCOPED_TRACE(c.Args);
    auto img = BlankImage(dir, "ntfs.img", c.Mib);
    auto made =
        test::Run(std::string("mkfs.ntfs -F -q -f ") + c.Args + " " + ShellQuote(img.string()));
    ASSERT_EQ(made.Status, 0) << made.Err;
    auto stat = test::Run("fsstat -f ntfs " + ShellQuote(img.string()));
    ASSERT_EQ(stat.Status, 0) << stat.Err;
    auto sectorSize = NumberAfter(stat.Out, "Sector Size:");
    auto clusterSize = NumberAfter(stat.Out, "Cluster Size:");
    ASSERT_TRUE(sectorSize && clusterSize) << stat.Out;

    VolumeGeometry g;
    ASSERT_TRUE(IdentifyFile(img, g));
    EXPECT_EQ(g.FsKind, kNtfs);
    EXPECT_EQ(g.BytesPerSector, *sectorSize);
    EXPECT_EQ(g.SectorsPerCluster, *clusterSize / *sectorSize);
    EXPECT_EQ(g.ClusterPhase, 0);  // NTFS clusters are counted from the boot sector
  }
}

TEST(IdentifyImages, ExFatMatchesDumpExfat) {
  if (!HaveTool("mkfs.exfat") || !HaveTool("dump.exfat"))
    GTEST_SKIP() << "needs mkfs.exfat and dump.exfat";
  struct ExFatCase {
    int Mib;
    const char* Args;
  };
  const ExFatCase cases[] = {
      {8, "-c 4K"}, {8, "-c 32K -b 512"}, {16, "-c 128K"}, {8, "-c 512"}, {8, "-c 16K -b 4K"},
  };
  TempDir dir("identify-exfat");
  int nonZeroPhases = 0;
  for (const ExFatCase& c : cases) {
    SCOPED_TRACE(c.Args);
    auto img = BlankImage(dir, "exfat.img", c.Mib);
    auto made = test::Run(std::string("mkfs.exfat ") + c.Args + " " + ShellQuote(img.string()));
    ASSERT_EQ(made.Status, 0) << made.Err;
    auto dump = test::Run("dump.exfat " + ShellQuote(img.string()));
    ASSERT_EQ(dump.Status, 0) << dump.Err;
    auto sectorBits = NumberAfter(dump.Out, "Sector Size Bits:");
    auto clusterBits = NumberAfter(dump.Out, "Sector per Cluster bits:");
    auto heap = NumberAfter(dump.Out, "Cluster Heap Offset (sector offset):");
    ASSERT_TRUE(sectorBits && clusterBits && heap) << dump.Out;

    VolumeGeometry g;
    ASSERT_TRUE(IdentifyFile(img, g));
    EXPECT_EQ(g.FsKind, kExFat);
    EXPECT_EQ(g.BytesPerSector, 1u << *sectorBits);
    EXPECT_EQ(g.SectorsPerCluster, 1u << *clusterBits);
    EXPECT_EQ(static_cast<uint64_t>(g.ClusterPhase), *heap % (1u << *clusterBits));
    if (g.ClusterPhase != 0) ++nonZeroPhases;
  }
  EXPECT_GE(nonZeroPhases, 1);
}

TEST(IdentifyImages, HfsMatchesMasterDirectoryBlockAndHvol) {
  if (!HaveTool("hformat") || !HaveTool("hmount") || !HaveTool("hvol"))
    GTEST_SKIP() << "needs hfsutils";
  TempDir dir("identify-hfs");
  for (int mib : {4, 40}) {
    SCOPED_TRACE(mib);
    auto img = BlankImage(dir, "hfs.img", mib);
    auto made = test::Run("hformat -l Tarn " + ShellQuote(img.string()));
    ASSERT_EQ(made.Status, 0) << made.Err;
    // hfsutils keep their current volume in $HOME/.hcwd.
    std::string env = "HOME=" + ShellQuote(dir.Path().string()) + " ";
    auto vol = test::Run(env + "hmount " + ShellQuote(img.string()) + " && " + env + "hvol; " +
                         env + "humount");
    ASSERT_EQ(vol.Status, 0) << vol.Err;
    auto freeBytes = NumberAfter(vol.Out, "Volume has");
    ASSERT_TRUE(freeBytes) << vol.Out;

    // The master directory block, read here field by field.
    std::ifstream in(img, std::ios::binary);
    std::array<unsigned char, 64> mdb{};
    in.seekg(1024);
    in.read(reinterpret_cast<char*>(mdb.data()), mdb.size());
    ASSERT_EQ(mdb[0], 'B');
    ASSERT_EQ(mdb[1], 'D');
    uint32_t blockSize =
        (uint32_t{mdb[20]} << 24) | (uint32_t{mdb[21]} << 16) | (uint32_t{mdb[22]} << 8) | mdb[23];
    uint32_t firstBlockSector = (uint32_t{mdb[28]} << 8) | mdb[29];
    uint32_t freeBlocks = (uint32_t{mdb[34]} << 8) | mdb[35];
    ASSERT_GT(freeBlocks, 0u);
    // hvol reports free bytes = free blocks x block size.
    EXPECT_EQ(*freeBytes, uint64_t{freeBlocks} * blockSize);

    VolumeGeometry g;
    ASSERT_TRUE(IdentifyFile(img, g));
    EXPECT_EQ(g.FsKind, kHfs);
    EXPECT_EQ(g.BytesPerSector, 512u);
    EXPECT_EQ(g.SectorsPerCluster, blockSize / 512);
    EXPECT_EQ(static_cast<uint32_t>(g.ClusterPhase), firstBlockSector % (blockSize / 512));
    if (mib == 40) {
      // A 40 MiB volume needs blocks above 512 bytes, so the phase is not trivial.
      EXPECT_GT(g.SectorsPerCluster, 1u);
    }
  }
}

// -------------------------------------------- boot sectors no tool makes

TEST(IdentifyBlock, FatLayoutGivesPhase) {
  VolumeGeometry g;
  ASSERT_TRUE(Identifies(Fat16Sector(), &g));
  EXPECT_EQ(g.FsKind, kFat16);
  EXPECT_EQ(g.BytesPerSector, 512u);
  EXPECT_EQ(g.SectorsPerCluster, 4u);
  EXPECT_EQ(g.ClusterPhase, 51 % 4);

  auto fat12 = Fat16Sector();
  PutText(fat12, 54, "FAT12   ");
  ASSERT_TRUE(Identifies(fat12, &g));
  EXPECT_EQ(g.FsKind, kFat12);

  ASSERT_TRUE(Identifies(Fat32Sector(), &g));
  EXPECT_EQ(g.FsKind, kFat32);
  EXPECT_EQ(g.SectorsPerCluster, 8u);
  EXPECT_EQ(g.ClusterPhase, 2032 % 8);

  // The first data sector is a 32-bit sum: 2 x 0x80000000 wraps to 0.
  auto wrap = Fat32Sector();
  Put32(wrap, 36, 0x80000000u);
  Put16(wrap, 14, 35);
  ASSERT_TRUE(Identifies(wrap, &g));
  EXPECT_EQ(g.ClusterPhase, 35 % 8);
}

TEST(IdentifyBlock, SignaturePlacement) {
  // 4096-byte sectors with the signature only at the end of the sector.
  auto big = Fat16Sector();
  Put16(big, 11, 4096);
  Put16(big, 510, 0);
  Sign(big, 4094);
  VolumeGeometry g;
  ASSERT_TRUE(Identifies(big, &g));
  EXPECT_EQ(g.BytesPerSector, 4096u);
  EXPECT_EQ(g.ClusterPhase, (1 + 18 + 512 * 32 / 4096) % 4);

  // The same signature with 512-byte sectors lets the family in, but
  // neither the end of the sector nor 510 carries it.
  auto small = Fat16Sector();
  Put16(small, 510, 0);
  Sign(small, 4094);
  EXPECT_FALSE(Identifies(small));

  // NTFS with 4096-byte sectors signed only at 510.
  ASSERT_TRUE(Identifies(NtfsSector(4096, 1), &g));
  EXPECT_EQ(g.BytesPerSector, 4096u);

  // No signature anywhere: a valid BPB is not enough.
  auto unsigned16 = Fat16Sector();
  Put16(unsigned16, 510, 0);
  EXPECT_FALSE(Identifies(unsigned16));

  // The bytes AA 55 (the word read the other way round) do not count.
  auto swapped = Fat16Sector();
  Put16(swapped, 510, 0x55AA);
  EXPECT_FALSE(Identifies(swapped));
}

TEST(IdentifyBlock, RefusesBadSectorSizes) {
  for (uint16_t size : std::initializer_list<uint16_t>{0, 256, 520, 1000, 8192}) {
    SCOPED_TRACE(size);
    auto fat = Fat16Sector();
    Put16(fat, 11, size);
    EXPECT_FALSE(Identifies(fat));
    EXPECT_FALSE(Identifies(NtfsSector(size, 8)));
  }
  for (uint16_t size : std::initializer_list<uint16_t>{512, 1024, 2048, 4096}) {
    SCOPED_TRACE(size);
    EXPECT_TRUE(Identifies(NtfsSector(size, 8)));
  }
  // exFAT sector shifts: 12 is 4096, 13 is 8192; shifts are taken modulo 32.
  EXPECT_TRUE(Identifies(ExFatSector(12, 0, 0)));
  EXPECT_FALSE(Identifies(ExFatSector(13, 0, 0)));
  EXPECT_FALSE(Identifies(ExFatSector(8, 0, 0)));
  VolumeGeometry g;
  ASSERT_TRUE(Identifies(ExFatSector(9 + 32, 3 + 64, 24), &g));
  EXPECT_EQ(g.BytesPerSector, 512u);
  EXPECT_EQ(g.SectorsPerCluster, 8u);
}

TEST(IdentifyBlock, LabelsCompareExactly) {
  for (const char* label : {"FAT     ", "        ", "fat16   ", "FAT16\0\0\0", "FAT1    "}) {
    auto fat = Fat16Sector();
    std::memcpy(fat.data() + 54, label, 8);
    EXPECT_FALSE(Identifies(fat)) << label;
  }
  auto fat32 = Fat32Sector();
  PutText(fat32, 82, "FAT32  X");
  EXPECT_FALSE(Identifies(fat32));
  auto ntfs = NtfsSector(512, 8);
  PutText(ntfs, 3, "NTFS   \t");
  EXPECT_FALSE(Identifies(ntfs));
  auto exfat = ExFatSector(9, 3, 0);
  PutText(exfat, 3, "exFAT   ");
  EXPECT_FALSE(Identifies(exfat));
}

TEST(IdentifyBlock, SectorsPerClusterLimits) {
  auto fat16 = [](uint8_t spc) {
    auto b = Fat16Sector();
    b[13] = spc;
    return b;
  };
  auto fat32 = [](uint8_t spc) {
    auto b = Fat32Sector();
    b[13] = spc;
    return b;
  };
  EXPECT_TRUE(Identifies(fat16(128)));
  EXPECT_FALSE(Identifies(fat16(0)));
  EXPECT_FALSE(Identifies(fat16(129)));
  EXPECT_TRUE(Identifies(fat32(64)));
  EXPECT_TRUE(Identifies(fat32(128)));  // 64 KiB clusters
  EXPECT_FALSE(Identifies(fat32(129)));
  EXPECT_FALSE(Identifies(fat32(0)));
  EXPECT_TRUE(Identifies(NtfsSector(512, 128)));
  EXPECT_FALSE(Identifies(NtfsSector(512, 0)));
  EXPECT_FALSE(Identifies(NtfsSector(512, 0xF4)));  // the large-cluster encoding

  VolumeGeometry g;
  ASSERT_TRUE(Identifies(ExFatSector(9, 8, 1000), &g));
  EXPECT_EQ(g.SectorsPerCluster, 256u);
  EXPECT_EQ(g.ClusterPhase, 1000 % 256);
  EXPECT_FALSE(Identifies(ExFatSector(9, 9, 0)));
  ASSERT_TRUE(Identifies(ExFatSector(9, 32, 7), &g));  // 1 << (32 mod 32)
  EXPECT_EQ(g.SectorsPerCluster, 1u);
  EXPECT_EQ(g.ClusterPhase, 0);
}

TEST(IdentifyBlock, HfsFamily) {
  VolumeGeometry g;
  ASSERT_TRUE(Identifies(HfsBlock(4096, 0x0105), &g));
  EXPECT_EQ(g.FsKind, kHfs);
  EXPECT_EQ(g.BytesPerSector, 512u);
  EXPECT_EQ(g.SectorsPerCluster, 8u);
  EXPECT_EQ(g.ClusterPhase, 0x105 % 8);
  EXPECT_FALSE(Identifies(HfsBlock(0, 16)));     // would give clusters of no sectors
  EXPECT_FALSE(Identifies(HfsBlock(1000, 16)));  // not a multiple of 512
  // Read little-endian, 0x00000200 would be 0x00020000; big-endian it is 512.
  ASSERT_TRUE(Identifies(HfsBlock(512, 3), &g));
  EXPECT_EQ(g.SectorsPerCluster, 1u);

  ASSERT_TRUE(Identifies(HfsPlusBlock("H+", 4, 4096), &g));
  EXPECT_EQ(g.FsKind, kHfsPlus);
  EXPECT_EQ(g.SectorsPerCluster, 8u);
  EXPECT_EQ(g.ClusterPhase, 0);
  ASSERT_TRUE(Identifies(HfsPlusBlock("HX", 5, 65536), &g));
  EXPECT_EQ(g.SectorsPerCluster, 128u);
  EXPECT_FALSE(Identifies(HfsPlusBlock("H+", 5, 4096)));
  EXPECT_FALSE(Identifies(HfsPlusBlock("HX", 4, 4096)));
  EXPECT_FALSE(Identifies(HfsPlusBlock("H+", 4, 131072)));
  EXPECT_FALSE(Identifies(HfsPlusBlock("H+", 4, 0)));
  EXPECT_FALSE(Identifies(HfsPlusBlock("H+", 4, 4000)));

  // An HFS header is looked for only when both signature words are missing.
  auto signedHfs = HfsBlock(4096, 0);
  Sign(signedHfs, 510);
  EXPECT_FALSE(Identifies(signedHfs));
  auto signedAt4094 = HfsPlusBlock("H+", 4, 4096);
  Sign(signedAt4094, 4094);
  EXPECT_FALSE(Identifies(signedAt4094));
}

TEST(IdentifyBlock, ShortAndEmptyBlocks) {
  auto fat = Fat16Sector();
  VolumeGeometry g;
  EXPECT_TRUE(IdentifyBlock(std::span(fat).first(512), g));
  EXPECT_FALSE(IdentifyBlock(std::span(fat).first(511), g));  // signature cut off
  EXPECT_FALSE(IdentifyBlock({}, g));
  std::vector<uint8_t> zeros(kBootBlockSize, 0);
  EXPECT_FALSE(IdentifyBlock(zeros, g));
}

TEST(Identify, ReadsThroughTheSource) {
  Session s;
  auto fat = Fat16Sector();
  fat.resize(700);  // a Source shorter than 4096 bytes: the rest reads as zero
  s.Source.Device = std::make_unique<MemoryDevice>(fat);
  EXPECT_TRUE(Identify(s));
  EXPECT_EQ(s.Detected.FsKind, kFat16);
  EXPECT_EQ(s.Detected.SectorsPerCluster, 4u);

  // A bad sector in the 4096 bytes read does not hide a readable boot sector.
  Session failing;
  failing.Source.Device = std::make_unique<FaultyDevice>(
      std::make_unique<MemoryDevice>(Fat16Sector()), std::set<uint64_t>{7});
  EXPECT_TRUE(Identify(failing));
  EXPECT_EQ(failing.Detected.FsKind, kFat16);
  Session dead;
  dead.Source.Device = std::make_unique<FaultyDevice>(std::make_unique<MemoryDevice>(Fat16Sector()),
                                                      std::set<uint64_t>{0});
  EXPECT_FALSE(Identify(dead));

  Session closed;
  EXPECT_FALSE(Identify(closed));
}

// ------------------------------------------------------------------ boxes

// A Session whose ScanGeometry is a volume of `sectors` sectors.
void SetVolume(Session& s, uint64_t sectors, uint32_t bytesPerSector) {
  s.Scan.LastSector = sectors - 1;
  s.Scan.BytesPerSector = bytesPerSector;
  s.Scan.SectorsPerCluster = 3;
  s.Scan.ClusterPhase = 2;
}

TEST(Boxes, IndexMappings) {
  EXPECT_EQ(FsIndexForKind(kFat12), 0);
  EXPECT_EQ(FsIndexForKind(kFat16), 0);
  EXPECT_EQ(FsIndexForKind(kFat32), 1);
  EXPECT_EQ(FsIndexForKind(kNtfs), 2);
  EXPECT_EQ(FsIndexForKind(kExFat), 3);
  EXPECT_EQ(FsIndexForKind(kHfs), 4);
  EXPECT_EQ(FsIndexForKind(kHfsPlus), 5);
  EXPECT_EQ(FsIndexForKind(kFsOther), 6);
  EXPECT_EQ(FsIndexForKind(200), 6);

  EXPECT_EQ(ClusterIndexFor(1, 512), 0);
  EXPECT_EQ(ClusterIndexFor(2, 512), 1);
  EXPECT_EQ(ClusterIndexFor(8, 512), 3);
  EXPECT_EQ(ClusterIndexFor(1, 4096), 3);
  EXPECT_EQ(ClusterIndexFor(256, 512), 8);
  EXPECT_EQ(ClusterIndexFor(32, 4096), 8);
  EXPECT_EQ(ClusterIndexFor(512, 512), 0);  // 256K has no item
  EXPECT_EQ(ClusterIndexFor(3, 512), 0);
  EXPECT_EQ(ClusterIndexFor(0, 512), 0);
  EXPECT_EQ(ClusterIndexFor(0x80000000u, 4096), 0);  // no overflow into a small value

  EXPECT_EQ(CtlCode(7, 0x17, 0, 1), 0x7405Cu);  // IOCTL_DISK_GET_LENGTH_INFO
  EXPECT_EQ(CtlCode(7, 0x28, 0, 0), 0x700A0u);  // IOCTL_DISK_GET_DRIVE_GEOMETRY_EX
}

TEST(Boxes, DefaultClusterSizesFor100MiB) {
  struct Expect {
    int item;
    uint32_t clusterBytes;
    int clusterItem;
  };
  for (Expect e :
       {Expect{0, 2048, 2}, Expect{1, 1024, 1}, Expect{2, 4096, 3}, Expect{3, 4096, 3}}) {
    SCOPED_TRACE(e.item);
    Session s;
    SetVolume(s, 204800, 512);
    RescueBoxes boxes;
    FsBoxClick(s, boxes, e.item);
    EXPECT_EQ(s.Scan.SectorsPerCluster * 512, e.clusterBytes);
    EXPECT_EQ(s.Scan.ClusterPhase, -1);
    EXPECT_EQ(boxes.Fs, e.item);
    EXPECT_EQ(boxes.Cluster, e.clusterItem);
    EXPECT_EQ(s.Scan.FsKind, kFsOther);  // the box never changes the kind
  }
}

TEST(Boxes, DefaultTableRowBoundaries) {
  Session s;
  RescueBoxes boxes;
  // Size = LastSector x 512; the first FAT row applies strictly below 65535 x 512.
  SetVolume(s, 65535, 512);  // LastSector 65534
  FsBoxClick(s, boxes, 0);
  EXPECT_EQ(s.Scan.SectorsPerCluster, 1u);
  SetVolume(s, 65536, 512);  // LastSector 65535
  FsBoxClick(s, boxes, 0);
  EXPECT_EQ(s.Scan.SectorsPerCluster, 2u);
  // Last FAT row (limit 8388607) and beyond it: the old value stays.
  SetVolume(s, 8388607, 512);
  FsBoxClick(s, boxes, 0);
  EXPECT_EQ(s.Scan.SectorsPerCluster, 128u);
  SetVolume(s, 8388608, 512);
  FsBoxClick(s, boxes, 0);
  EXPECT_EQ(s.Scan.SectorsPerCluster, 3u);
  EXPECT_EQ(s.Scan.ClusterPhase, -1);
  EXPECT_EQ(boxes.Cluster, 0);  // 3 sectors is no box item
  // FAT32 beyond 4294967295 x 512 (2 TiB), exFAT beyond 256 TiB.
  SetVolume(s, 4294967296ull, 512);  // LastSector equals the limit: not below it
  FsBoxClick(s, boxes, 1);
  EXPECT_EQ(s.Scan.SectorsPerCluster, 3u);
  SetVolume(s, 4294967295ull, 512);
  FsBoxClick(s, boxes, 1);
  EXPECT_EQ(s.Scan.SectorsPerCluster, 64u);
  SetVolume(s, 549755813889ull, 512);
  FsBoxClick(s, boxes, 3);
  EXPECT_EQ(s.Scan.SectorsPerCluster, 3u);
  SetVolume(s, 549755813887ull, 512);
  FsBoxClick(s, boxes, 2);
  EXPECT_EQ(s.Scan.SectorsPerCluster, 128u);  // NTFS last row: 64K
  // The size counts bytes: 4096-byte sectors reach the rows eight times sooner.
  SetVolume(s, 204800, 4096);  // 800 MiB
  FsBoxClick(s, boxes, 0);
  EXPECT_EQ(s.Scan.SectorsPerCluster, 16384u / 4096);  // row 2097151
  // An empty Source (LastSector all bits set) takes the first row.
  s.Scan.LastSector = ~uint64_t{0};
  s.Scan.BytesPerSector = 512;
  FsBoxClick(s, boxes, 3);
  EXPECT_EQ(s.Scan.SectorsPerCluster, 8u);
}

TEST(Boxes, HfsOtherAndLargeSectors) {
  Session s;
  RescueBoxes boxes;
  SetVolume(s, 204800, 512);
  FsBoxClick(s, boxes, 4);  // HFS: (LastSector + 65535) / 65536
  EXPECT_EQ(s.Scan.SectorsPerCluster, (204799u + 65535) / 65536);
  EXPECT_EQ(boxes.Cluster, ClusterIndexFor(s.Scan.SectorsPerCluster, 512));
  SetVolume(s, 65536 * 16 + 2, 512);
  FsBoxClick(s, boxes, 4);
  EXPECT_EQ(s.Scan.SectorsPerCluster, 17u);
  SetVolume(s, 1, 512);  // LastSector 0 would give 0 sectors per cluster
  FsBoxClick(s, boxes, 4);
  EXPECT_EQ(s.Scan.SectorsPerCluster, 1u);

  SetVolume(s, 204800, 512);
  FsBoxClick(s, boxes, 5);  // HFS+: 4096-byte blocks
  EXPECT_EQ(s.Scan.SectorsPerCluster, 8u);
  EXPECT_EQ(boxes.Cluster, 3);
  SetVolume(s, 204800, 4096);
  FsBoxClick(s, boxes, 5);
  EXPECT_EQ(s.Scan.SectorsPerCluster, 1u);

  SetVolume(s, 204800, 512);
  FsBoxClick(s, boxes, 6);
  EXPECT_EQ(s.Scan.SectorsPerCluster, 1u);
  EXPECT_EQ(boxes.Cluster, 0);
  EXPECT_EQ(s.Scan.ClusterPhase, -1);

  // 4096-byte sectors: the 512-byte FAT row would give 0 sectors per cluster.
  SetVolume(s, 1000, 4096);
  FsBoxClick(s, boxes, 0);
  EXPECT_EQ(s.Scan.SectorsPerCluster, 1u);
}

TEST(Boxes, ClusterBoxClick) {
  Session s;
  RescueBoxes boxes;
  SetVolume(s, 204800, 512);
  ClusterBoxClick(s, boxes, 4, true);  // 8K
  EXPECT_EQ(s.Scan.SectorsPerCluster, 16u);
  EXPECT_EQ(s.Scan.ClusterPhase, -1);
  EXPECT_EQ(boxes.Cluster, 4);
  s.Scan.ClusterPhase = 5;
  ClusterBoxClick(s, boxes, 8, false);  // the deep scan applying its choice
  EXPECT_EQ(s.Scan.SectorsPerCluster, 256u);
  EXPECT_EQ(s.Scan.ClusterPhase, 5);

  SetVolume(s, 204800, 4096);
  for (int item : {0, 1, 2, 3}) {
    ClusterBoxClick(s, boxes, item, true);
    EXPECT_EQ(s.Scan.SectorsPerCluster, 1u) << item;  // "0.5K" gives 1, never 0
  }
  ClusterBoxClick(s, boxes, 8, true);
  EXPECT_EQ(s.Scan.SectorsPerCluster, 32u);
  ClusterBoxClick(s, boxes, 9, true);  // no such item: nothing changes
  EXPECT_EQ(s.Scan.SectorsPerCluster, 32u);
  EXPECT_EQ(boxes.Cluster, 8);
}

TEST(Boxes, SetClusterBoxFromGeometryUsesScanSectorSize) {
  Session s;
  RescueBoxes boxes;
  s.Scan.BytesPerSector = 4096;
  SetClusterBoxFromGeometry(s, boxes, 4);
  EXPECT_EQ(boxes.Cluster, 5);  // 16K
  s.Scan.BytesPerSector = 512;
  SetClusterBoxFromGeometry(s, boxes, 4);
  EXPECT_EQ(boxes.Cluster, 2);
  EXPECT_EQ(s.Scan.SectorsPerCluster, 0u);  // selecting does not change the geometry
}

TEST(Boxes, ReasonDeletedRestoresDetectedKindThenDefaults) {
  Session s;
  s.Detected = {204799, 512, 16, 0, kNtfs};
  s.Scan = {204799, 512, 1, -1, kFsOther};  // what the user had chosen
  RescueBoxes boxes;
  boxes.FsEnabled = true;
  EXPECT_FALSE(ReasonBoxClick(s, boxes, 0).has_value());
  EXPECT_EQ(boxes.Reason, 0);
  EXPECT_FALSE(boxes.FsEnabled);
  EXPECT_EQ(boxes.Fs, 2);
  EXPECT_EQ(s.Scan.FsKind, kNtfs);
  // The file-system handler ran: NTFS default for 100 MiB, phase undetermined.
  EXPECT_EQ(s.Scan.SectorsPerCluster, 8u);
  EXPECT_EQ(s.Scan.ClusterPhase, -1);
  EXPECT_EQ(boxes.Cluster, 3);
  EXPECT_EQ(s.Detected.SectorsPerCluster, 16u);  // DetectedGeometry is left alone
}

TEST(Boxes, ReasonFormattedKeepsScanKind) {
  Session s;
  s.Detected = {204799, 512, 8, 0, kNtfs};
  s.Scan = {204799, 512, 8, 0, kFat32};
  RescueBoxes boxes;
  boxes.FsEnabled = false;
  for (int item : {1, 2}) {
    EXPECT_FALSE(ReasonBoxClick(s, boxes, item).has_value());
    EXPECT_EQ(boxes.Reason, item);
    EXPECT_TRUE(boxes.FsEnabled);
    EXPECT_EQ(s.Scan.FsKind, kFat32);
    EXPECT_EQ(boxes.Fs, 1);
    EXPECT_EQ(s.Scan.SectorsPerCluster, 2u);  // FAT32 default for 100 MiB
    EXPECT_EQ(s.Scan.ClusterPhase, -1);
  }
}

TEST(Boxes, ReasonDeletedOnUnknownSwitchesToFormatted) {
  Session s;
  s.Detected = {204799, 512, 1, -1, kFsOther};
  s.Scan = {204799, 512, 4, 3, kFsOther};
  RescueBoxes boxes;
  boxes.FsEnabled = false;
  std::optional<int> slot = ReasonBoxClick(s, boxes, 0);
  ASSERT_TRUE(slot.has_value());
  EXPECT_EQ(*slot, 70);
  EXPECT_EQ(boxes.Reason, 1);
  EXPECT_TRUE(boxes.FsEnabled);
  EXPECT_EQ(boxes.Fs, 6);
  EXPECT_EQ(s.Scan.SectorsPerCluster, 1u);
  EXPECT_EQ(s.Scan.ClusterPhase, -1);
  EXPECT_EQ(boxes.Cluster, 0);
}

}  // namespace
}  // namespace tarnwick
