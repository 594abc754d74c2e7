// The free-space map against real file systems made by their own tools,
// judged by The Sleuth Kit (blkls), dump.exfat and hfsutils, and against
// hand-made allocation structures for what no tool makes.
#include "volume/freespace.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "scan/session.h"
#include "source/bytes.h"
#include "source/device.h"
#include "scan/session_source.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using test::HaveTool;
using test::Run;
using test::ShellQuote;
using test::TempDir;

// ---------------------------------------------------------------------------
// Helpers

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

// Identification is not what these tests are about: the geometry is set from
// the boot sector or volume header as each test reads it itself.
void SetGeometry(Session& s, uint8_t kind, uint32_t bps, uint32_t spc, int32_t phase) {
  uint64_t size = s.Source.Device->Size();
  s.Detected = VolumeGeometry{size / bps - 1, bps, spc, phase, kind};
  s.Scan = s.Detected;
  s.Map.Allocate(s.Scan.LastSector);
  s.Flags.SearchCancel = false;  // as when the search dialog is shown
}

void OpenFile(Session& s, const fs::path& img, uint8_t kind, uint32_t bps, uint32_t spc,
              int32_t phase) {
  ASSERT_TRUE(OpenImage(s, img.string()).Opened);
  SetGeometry(s, kind, bps, spc, phase);
}

void OpenBytes(Session& s, std::vector<uint8_t> bytes, uint8_t kind, uint32_t bps, uint32_t spc,
               int32_t phase = 0) {
  ASSERT_TRUE(OpenImageDevice(s, std::make_unique<MemoryDevice>(std::move(bytes)), "mem").Opened);
  SetGeometry(s, kind, bps, spc, phase);
}

struct Result {
  bool cancelled = true;
  bool freeOnly = true;
};

Result Collect(Session& s) {
  Result r;
  r.cancelled = CollectFreeSpace(s, r.freeOnly);
  return r;
}

std::vector<bool> Marks(const Session& s) {
  std::vector<bool> m(s.Detected.LastSector + 1);
  for (uint64_t i = 0; i < m.size(); ++i) m[i] = s.Map.IsSectorMarked(i);
  return m;
}

std::vector<bool> MarksOf(uint64_t sectors,
                          std::initializer_list<std::pair<uint64_t, uint64_t>> runs) {
  std::vector<bool> m(sectors);
  for (auto [first, last] : runs)
    for (uint64_t i = first; i <= last; ++i) m[i] = true;
  return m;
}

// The first few stretches where two markings differ, as text ("" when equal).
std::string Diff(const std::vector<bool>& want, const std::vector<bool>& got) {
  std::ostringstream out;
  if (want.size() != got.size()) out << "sizes " << want.size() << " vs " << got.size() << "; ";
  size_t n = std::min(want.size(), got.size());
  int shown = 0;
  for (size_t i = 0; i < n && shown < 8;) {
    if (want[i] == got[i]) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < n && want[j] != got[j] && want[j] == want[i]) ++j;
    out << (want[i] ? "want marked " : "want clear ") << i << "-" << (j - 1) << "; ";
    ++shown;
    i = j;
  }
  return out.str();
}

uint64_t Count(const std::vector<bool>& m, uint64_t first = 0, uint64_t end = UINT64_MAX) {
  uint64_t n = 0;
  for (uint64_t i = first; i < std::min<uint64_t>(end, m.size()); ++i) n += m[i];
  return n;
}

// blkls -l -e lists every unit of the file system with "a" (allocated) or
// "f" (free); the units are sectors for FAT and exFAT, clusters for NTFS.
std::vector<bool> TskAllocated(const fs::path& img) {
  auto r = Run("blkls -l -e " + ShellQuote(img.string()));
  std::vector<bool> units;
  std::istringstream in(r.Out);
  std::string line;
  bool body = false;
  while (std::getline(in, line)) {
    if (!body) {
      body = line == "addr|alloc";
      continue;
    }
    auto bar = line.find('|');
    if (bar == std::string::npos) continue;
    uint64_t addr = std::stoull(line.substr(0, bar));
    if (addr >= units.size()) units.resize(addr + 1);
    units[addr] = line.substr(bar + 1) == "a";
  }
  return units;
}

// True when a free sector lies between allocated ones: files were deleted.
bool HasHole(const std::vector<bool>& allocated) {
  auto freeAt = std::find(allocated.begin(), allocated.end(), false);
  return std::find(freeAt, allocated.end(), true) != allocated.end();
}

std::vector<uint8_t> ReadBoot(const fs::path& img) {
  auto bytes = test::ReadFileBytes(img);
  bytes.resize(4096);
  return bytes;
}

bool Sh(const std::string& cmd) { return Run(cmd).Status == 0; }

// Files of a few sizes, some deleted again, so that the volume has holes.
void FillWithMtools(const TempDir& dir, const fs::path& img) {
  for (int i = 1; i <= 6; ++i) {
    fs::path f = dir / ("f" + std::to_string(i) + ".bin");
    ASSERT_TRUE(
        Sh("head -c " + std::to_string(i * 23011) + " /dev/urandom >" + ShellQuote(f.string())));
    ASSERT_TRUE(Sh("mcopy -i " + ShellQuote(img.string()) + " " + ShellQuote(f.string()) + " ::"));
  }
  ASSERT_TRUE(Sh("mdel -i " + ShellQuote(img.string()) + " ::f2.bin ::f5.bin"));
}

class EnglishTexts : public ::testing::Test {
 protected:
  void SetUp() override { setenv("TARNWICK_LANG", "en", 1); }
};

// ---------------------------------------------------------------------------
// FAT12 / FAT16 / FAT32 on images made by mkfs.vfat and filled with mtools.

struct FatCase {
  int bits;
  const char* size;
  int spc;
  int reserved;
  int bps = 512;
};

class FatImages : public ::testing::TestWithParam<FatCase> {};

TEST_P(FatImages, MarksWhatSleuthKitCountsAllocated) {
  for (const char* tool : {"mkfs.vfat", "mcopy", "mdel", "blkls"})
    if (!HaveTool(tool)) GTEST_SKIP() << tool << " is missing";
  const FatCase c = GetParam();
  TempDir dir("fat");
  fs::path img = dir / "fat.img";
  // Both media bytes of FAT12: F8 (mkfs.vfat's own choice) and F0.
  std::string media = c.bits == 12 && c.spc == 2 ? " -M 0xF0" : "";
  ASSERT_TRUE(Sh("truncate -s " + std::string(c.size) + " " + ShellQuote(img.string())));
  ASSERT_TRUE(Sh("mkfs.vfat -F " + std::to_string(c.bits) + " -s " + std::to_string(c.spc) +
                 " -R " + std::to_string(c.reserved) + " -S " + std::to_string(c.bps) + media +
                 " " + ShellQuote(img.string())));
  FillWithMtools(dir, img);
  auto boot = ReadBoot(img);
  uint32_t bps = LE16(boot, 11);
  Session s;
  uint8_t kind = c.bits == 12 ? kFat12 : c.bits == 16 ? kFat16 : kFat32;
  OpenFile(s, img, kind, bps, U8(boot, 13), 0);
  Result r = Collect(s);
  EXPECT_FALSE(r.cancelled);
  ASSERT_TRUE(r.freeOnly);

  std::vector<bool> want = TskAllocated(img);
  ASSERT_FALSE(want.empty());
  want.resize(s.Detected.LastSector + 1);
  EXPECT_TRUE(HasHole(want));
  EXPECT_EQ(Diff(want, Marks(s)), "");
}

// FAT32 stays at 512-byte clusters: mtools refuses a FAT32 volume of fewer
// than 65525 clusters, and larger clusters would need larger images. The
// 2048-byte sectors of one FAT16 volume make its root directory 8 sectors.
INSTANTIATE_TEST_SUITE_P(Volumes, FatImages,
                         ::testing::Values(FatCase{12, "4M", 4, 1}, FatCase{12, "3M", 2, 3},
                                           FatCase{16, "20M", 4, 8}, FatCase{16, "17M", 1, 1},
                                           FatCase{16, "33M", 16, 4},
                                           FatCase{16, "32M", 1, 2, 2048},
                                           FatCase{32, "40M", 1, 32}, FatCase{32, "38M", 1, 7}));

// ---------------------------------------------------------------------------
// NTFS made by mkfs.ntfs, files written with ntfs-3g (FUSE) or ntfscp.

// Writes files into an NTFS image and deletes some again. Returns "" or why
// it could not be done.
std::string FillNtfs(const TempDir& dir, const fs::path& img) {
  std::vector<fs::path> files;
  for (int i = 1; i <= 6; ++i) {
    fs::path f = dir / ("n" + std::to_string(i) + ".bin");
    if (!Sh("head -c " + std::to_string(i * 61001) + " /dev/urandom >" + ShellQuote(f.string())))
      return "cannot make test files";
    files.push_back(f);
  }
  fs::path mnt = dir / "mnt";
  fs::create_directory(mnt);
  if (fs::exists("/dev/fuse") && HaveTool("ntfs-3g") &&
      Sh("ntfs-3g " + ShellQuote(img.string()) + " " + ShellQuote(mnt.string()))) {
    bool ok = true;
    for (auto& f : files)
      ok = ok && Sh("cp " + ShellQuote(f.string()) + " " + ShellQuote(mnt.string()));
    ok = ok && Sh("rm " + ShellQuote((mnt / "n2.bin").string()) + " " +
                  ShellQuote((mnt / "n5.bin").string()));
    bool unmounted = Sh("umount " + ShellQuote(mnt.string()));
    return ok && unmounted ? "" : "writing through ntfs-3g failed";
  }
  // Without FUSE: ntfscp writes into the unmounted image (nothing deleted).
  if (!HaveTool("ntfscp")) return "neither ntfs-3g with FUSE nor ntfscp can write NTFS here";
  for (auto& f : files)
    if (!Sh("ntfscp -f " + ShellQuote(img.string()) + " " + ShellQuote(f.string()) + " " +
            f.filename().string()))
      return "ntfscp failed";
  return "";
}

class NtfsImages : public ::testing::TestWithParam<int> {};

TEST_P(NtfsImages, MarksTheClustersThatSleuthKitCountsAllocated) {
  for (const char* tool : {"mkfs.ntfs", "blkls"})
    if (!HaveTool(tool)) GTEST_SKIP() << tool << " is missing";
  TempDir dir("ntfs");
  fs::path img = dir / "ntfs.img";
  ASSERT_TRUE(Sh("truncate -s 24M " + ShellQuote(img.string())));
  ASSERT_TRUE(
      Sh("mkfs.ntfs -F -f -q -c " + std::to_string(GetParam()) + " " + ShellQuote(img.string())));
  std::string why = FillNtfs(dir, img);
  if (!why.empty()) GTEST_SKIP() << why;

  auto boot = ReadBoot(img);
  uint32_t bps = LE16(boot, 11), spc = U8(boot, 13);
  Session s;
  OpenFile(s, img, kNtfs, bps, spc, 0);
  Result r = Collect(s);
  EXPECT_FALSE(r.cancelled);
  ASSERT_TRUE(r.freeOnly);

  std::vector<bool> clusters = TskAllocated(img);
  ASSERT_FALSE(clusters.empty());
  std::vector<bool> want(s.Detected.LastSector + 1);
  for (uint64_t c = 0; c < clusters.size(); ++c)
    for (uint64_t k = 0; k < spc; ++k) want[c * spc + k] = clusters[c];
  // Past the volume's last cluster lie the sectors that make no whole
  // cluster and the backup boot sector. The Sleuth Kit has no unit for them;
  // mkfs.ntfs sets the bitmap's bits beyond the last cluster, so they are
  // marked in use here.
  uint64_t tail = clusters.size() * spc;
  ASSERT_LE(tail, s.Detected.LastSector);
  for (uint64_t i = tail; i < want.size(); ++i) want[i] = true;
  EXPECT_TRUE(HasHole(want));
  EXPECT_EQ(Diff(want, Marks(s)), "");
}

INSTANTIATE_TEST_SUITE_P(ClusterSizes, NtfsImages, ::testing::Values(4096, 1024, 512));

// 4096-byte sectors: the MFT records are 4096 bytes too, so the bitmap's
// record lies 6 records into the MFT, not 12 sectors.
class NtfsLargeSectors : public ::testing::TestWithParam<int> {};

TEST_P(NtfsLargeSectors, TheBitmapRecordIsFoundByItsRecordSize) {
  for (const char* tool : {"mkfs.ntfs", "blkls"})
    if (!HaveTool(tool)) GTEST_SKIP() << tool << " is missing";
  TempDir dir("ntfs4k");
  fs::path img = dir / "ntfs.img";
  ASSERT_TRUE(Sh("truncate -s 48M " + ShellQuote(img.string())));
  ASSERT_TRUE(Sh("mkfs.ntfs -F -f -q -s 4096 -c " + std::to_string(GetParam()) + " " +
                 ShellQuote(img.string())));
  std::string why = FillNtfs(dir, img);
  if (!why.empty()) GTEST_SKIP() << why;
  auto boot = ReadBoot(img);
  const uint32_t bps = LE16(boot, 11), spc = U8(boot, 13);
  ASSERT_EQ(bps, 4096u);
  Session s;
  OpenFile(s, img, kNtfs, bps, spc, 0);
  Result r = Collect(s);
  EXPECT_FALSE(r.cancelled);
  ASSERT_TRUE(r.freeOnly);
  std::vector<bool> clusters = TskAllocated(img);
  ASSERT_FALSE(clusters.empty());
  std::vector<bool> want(s.Detected.LastSector + 1, true);  // the tail as in NtfsImages
  for (uint64_t c = 0; c < clusters.size(); ++c)
    for (uint64_t k = 0; k < spc; ++k) want[c * spc + k] = clusters[c];
  EXPECT_TRUE(HasHole(want));
  EXPECT_EQ(Diff(want, Marks(s)), "");
}

INSTANTIATE_TEST_SUITE_P(ClusterSizes, NtfsLargeSectors, ::testing::Values(4096, 8192));

// ---------------------------------------------------------------------------
// exFAT made by mkfs.exfat. exfatprogs has no writer and mounting needs the
// kernel's exfat driver, so clusters are allocated by setting bits of the
// fresh volume's bitmap by hand: a byte 05, an FF, an A0 and an 80.

// A field of dump.exfat's report ("Free Clusters: 3837"), or -1.
int64_t DumpExfatField(const fs::path& img, const std::string& name) {
  auto r = Run("dump.exfat " + ShellQuote(img.string()));
  std::istringstream in(r.Out);
  std::string line;
  while (std::getline(in, line)) {
    auto colon = line.find(':');
    if (colon == std::string::npos || line.substr(0, colon) != name) continue;
    return std::stoll(line.substr(colon + 1));
  }
  return -1;
}

class ExFatImages : public ::testing::TestWithParam<const char*> {};

TEST_P(ExFatImages, MarksTheBitmapAndTheAreaBeforeTheClusterHeap) {
  for (const char* tool : {"mkfs.exfat", "dump.exfat", "blkls"})
    if (!HaveTool(tool)) GTEST_SKIP() << tool << " is missing";
  TempDir dir("exfat");
  fs::path img = dir / "exfat.img";
  ASSERT_TRUE(Sh("truncate -s 32M " + ShellQuote(img.string())));
  ASSERT_TRUE(Sh("mkfs.exfat -c " + std::string(GetParam()) + " " + ShellQuote(img.string())));
  int64_t freeBefore = DumpExfatField(img, "Free Clusters");
  int64_t bitmapCluster = DumpExfatField(img, "Bitmap start cluster");
  int64_t heap = DumpExfatField(img, "Cluster Heap Offset (sector offset)");
  int64_t clusterCount = DumpExfatField(img, "Cluster Count");
  ASSERT_GT(freeBefore, 0);
  ASSERT_GE(bitmapCluster, 2);

  auto bytes = test::ReadFileBytes(img);
  uint32_t bps = 1u << bytes[108], spc = 1u << bytes[109];
  uint64_t bitmapAt = (uint64_t(heap) + uint64_t(bitmapCluster - 2) * spc) * bps;
  for (auto [k, v] : {std::pair{10, 0x05}, {11, 0xFF}, {20, 0xA0}, {30, 0x80}})
    bytes[bitmapAt + k] = static_cast<uint8_t>(v);
  test::WriteFileBytes(img, bytes);
  int64_t freeAfter = DumpExfatField(img, "Free Clusters");
  ASSERT_EQ(freeAfter, freeBefore - 13);

  Session s;
  OpenFile(s, img, kExFat, bps, spc, 0);
  Result r = Collect(s);
  EXPECT_FALSE(r.cancelled);
  ASSERT_TRUE(r.freeOnly);
  auto got = Marks(s);

  std::vector<bool> want = TskAllocated(img);
  ASSERT_FALSE(want.empty());
  want.resize(s.Detected.LastSector + 1);
  EXPECT_EQ(Diff(want, got), "");
  uint64_t heapEnd = uint64_t(heap) + uint64_t(clusterCount) * spc;
  EXPECT_EQ(Count(got, 0, heap), uint64_t(heap));
  EXPECT_EQ(heapEnd - heap - Count(got, heap, heapEnd), uint64_t(freeAfter) * spc);
  // Byte 10 of the bitmap is 05: its bits 80 and 82, least significant first.
  uint64_t c80 = heap + 80 * uint64_t(spc);
  EXPECT_TRUE(got[c80]);
  EXPECT_FALSE(got[c80 + spc]);
  EXPECT_TRUE(got[c80 + 2 * spc]);
}

INSTANTIATE_TEST_SUITE_P(ClusterSizes, ExFatImages, ::testing::Values("4K", "8K", "32K"));

// ---------------------------------------------------------------------------
// HFS made by hformat, files copied in with hcopy and one deleted with hdel.

// Every sector of these files begins with "TNWK" and the file's number, so
// that where the data landed can be read back from the image itself.
std::vector<uint8_t> MarkedFile(uint8_t number, size_t sectors) {
  std::vector<uint8_t> f(sectors * 512, number);
  for (size_t i = 0; i < sectors; ++i) {
    std::memcpy(&f[i * 512], "TNWK", 4);
    f[i * 512 + 4] = number;
  }
  return f;
}

class HfsImages : public ::testing::TestWithParam<const char*> {};

TEST_P(HfsImages, LeavesClearExactlyTheFreeBlocksAndTheDeletedFile) {
  for (const char* tool : {"hformat", "hmount", "hcopy", "hdel", "humount"})
    if (!HaveTool(tool)) GTEST_SKIP() << tool << " is missing";
  TempDir dir("hfs");
  fs::path img = dir / "hfs.img";
  // hfsutils keeps its current volume in $HOME; each test gets its own.
  std::string env = "HOME=" + ShellQuote(dir.Path().string()) + " ";
  ASSERT_TRUE(Sh("truncate -s " + std::string(GetParam()) + " " + ShellQuote(img.string())));
  ASSERT_TRUE(Sh(env + "hformat -l T " + ShellQuote(img.string())));
  ASSERT_TRUE(Sh(env + "hmount " + ShellQuote(img.string())));
  for (uint8_t n = 1; n <= 4; ++n) {
    fs::path f = dir / ("h" + std::to_string(n));
    test::WriteFileBytes(f, MarkedFile(n, 60u * n + 7));
    ASSERT_TRUE(Sh(env + "hcopy -r " + ShellQuote(f.string()) + " :"));
  }
  ASSERT_TRUE(Sh(env + "hdel h2"));
  ASSERT_TRUE(Sh(env + "humount"));

  auto bytes = test::ReadFileBytes(img);
  Bytes mdb = Bytes(bytes).subspan(1024, 512);
  ASSERT_TRUE(BytesEqual(mdb, 0, "BD"));
  uint64_t blocks = BE16(mdb, 18), freeBlocks = BE16(mdb, 34), firstSector = BE16(mdb, 28);
  uint32_t spc = BE32(mdb, 20) / 512;
  ASSERT_GT(freeBlocks, 0u);

  Session s;
  // The phase as identification gives it (first block sector mod SPC); the
  // walk itself starts at the first allocation block's own sector.
  OpenFile(s, img, kHfs, 512, spc, static_cast<int32_t>(firstSector % spc));
  Result r = Collect(s);
  EXPECT_FALSE(r.cancelled);
  ASSERT_TRUE(r.freeOnly);
  auto got = Marks(s);

  uint64_t end = firstSector + blocks * spc;
  EXPECT_EQ(Count(got, 0, firstSector), 0u) << "boot blocks, MDB and bitmap are not marked";
  EXPECT_EQ(Count(got, end), 0u) << "nothing past the last allocation block";
  EXPECT_EQ(Count(got, firstSector, end), (blocks - freeBlocks) * spc);
  uint64_t live = 0, deleted = 0;
  for (uint64_t i = 0; i * 512 + 5 <= bytes.size(); ++i) {
    if (!BytesEqual(Bytes(bytes), i * 512, "TNWK")) continue;
    uint8_t n = bytes[i * 512 + 4];
    if (n == 2) {
      ++deleted;
      EXPECT_FALSE(got[i]) << "sector " << i << " of the deleted file";
    } else {
      ++live;
      EXPECT_TRUE(got[i]) << "sector " << i << " of file " << int(n);
    }
  }
  EXPECT_EQ(live, 67u + 187 + 247);
  EXPECT_EQ(deleted, 127u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, HfsImages, ::testing::Values("20M", "40M"));

// ---------------------------------------------------------------------------
// Signatures that the walks insist on, on images made by the real tools.

// The first FAT as mkfs.vfat wrote it, its entries 0 and 1 as given.
struct FatHeadCase {
  const char* what;
  uint32_t entry0, entry1;
  bool taken;
};

TEST(FatSignatures, EntriesZeroAndOneAsVolumesCarryThem) {
  for (const char* tool : {"mkfs.vfat", "mcopy", "mdel", "blkls"})
    if (!HaveTool(tool)) GTEST_SKIP() << tool << " is missing";
  struct Volume {
    const char* options;
    uint8_t kind;
    const char* size;
    std::vector<FatHeadCase> cases;
  };
  const std::vector<Volume> volumes = {
      {"-F 32 -s 1",
       kFat32,
       "40M",
       {{"as mkfs.vfat writes it", 0, 0, true},
        {"as Windows writes it", 0x0FFFFFF8, 0xFFFFFFFF, true},
        {"left dirty by an unclean unmount", 0x0FFFFFF8, 0x07FFFFFF, true},
        {"with a disk error noted", 0x0FFFFFF8, 0xF3FFFFFF, true},
        {"media byte F0", 0x0FFFFFF0, 0x0FFFFFFF, true},
        {"no media byte", 0x0FFFFF00, 0x0FFFFFFF, false},
        {"entry 0 of zeros", 0, 0x0FFFFFFF, false},
        {"entry 1 no end of chain", 0x0FFFFFF8, 0x0FFFFFF0, false},
        {"entry 0 without its high bits", 0x000000F8, 0x0FFFFFFF, false}}},
      {"-F 16",
       kFat16,
       "16M",
       {{"as mkfs.vfat writes it", 0, 0, true},
        {"left dirty", 0xFFF8, 0x7FFF, true},
        {"with a disk error noted", 0xFFF8, 0xBFFF, true},
        {"media byte F0", 0xFFF0, 0xFFFF, true},
        {"entry 1 of zeros", 0xFFF8, 0, false},
        {"media byte 12", 0xFF12, 0xFFFF, false}}},
      {"-F 12", kFat12, "4M", {{"as mkfs.vfat writes it", 0, 0, true}}},
  };
  for (const Volume& v : volumes) {
    TempDir dir("fathead");
    fs::path img = dir / "fat.img";
    ASSERT_TRUE(Sh("truncate -s " + std::string(v.size) + " " + ShellQuote(img.string())));
    ASSERT_TRUE(Sh("mkfs.vfat " + std::string(v.options) + " " + ShellQuote(img.string())));
    FillWithMtools(dir, img);
    const auto made = test::ReadFileBytes(img);
    const size_t fat = LE16(made, 14) * size_t{LE16(made, 11)};
    std::vector<bool> want = TskAllocated(img);
    for (const FatHeadCase& c : v.cases) {
      SCOPED_TRACE(std::string(v.options) + ": " + c.what);
      auto bytes = made;
      if (c.entry0 != 0 || c.entry1 != 0) {
        if (v.kind == kFat32) {
          Put32(bytes, fat, c.entry0);
          Put32(bytes, fat + 4, c.entry1);
        } else {
          Put16(bytes, fat, static_cast<uint16_t>(c.entry0));
          Put16(bytes, fat + 2, static_cast<uint16_t>(c.entry1));
        }
      }
      Session s;
      OpenBytes(s, bytes, v.kind, LE16(bytes, 11), U8(bytes, 13));
      Result r = Collect(s);
      EXPECT_FALSE(r.cancelled);
      EXPECT_EQ(r.freeOnly, c.taken);
      if (!c.taken) continue;
      auto w = want;
      w.resize(s.Detected.LastSector + 1);
      EXPECT_TRUE(HasHole(w));
      EXPECT_EQ(Diff(w, Marks(s)), "");
    }
  }
}

TEST(ExFatSignatures, RootDirectoryWithoutTheBitmapEntryIsRefused) {
  for (const char* tool : {"mkfs.exfat", "dump.exfat"})
    if (!HaveTool(tool)) GTEST_SKIP() << tool << " is missing";
  TempDir dir("exsig");
  fs::path img = dir / "exfat.img";
  ASSERT_TRUE(Sh("truncate -s 16M " + ShellQuote(img.string())));
  ASSERT_TRUE(Sh("mkfs.exfat " + ShellQuote(img.string())));
  auto bytes = test::ReadFileBytes(img);
  uint32_t bps = 1u << bytes[108], spc = 1u << bytes[109];
  uint64_t root = (LE32(bytes, 88) + uint64_t(LE32(bytes, 96) - 2) * spc) * bps;
  ASSERT_EQ(bytes[root + 32], 0x81);
  bytes[root + 32] = 0x82;
  test::WriteFileBytes(img, bytes);
  Session s;
  OpenFile(s, img, kExFat, bps, spc, 0);
  Result r = Collect(s);
  EXPECT_FALSE(r.cancelled);
  EXPECT_FALSE(r.freeOnly);
  EXPECT_EQ(Count(Marks(s)), 0u);
}

// ---------------------------------------------------------------------------
// Hand-made NTFS: a boot sector, the cluster-bitmap file's record 12
// sectors into the MFT (at cluster 1), and the bitmap's own clusters.

struct HandNtfs {
  HandNtfs(uint32_t clusterSectors, uint64_t sectors) : spc(clusterSectors), bytes(sectors * 512) {
    std::memcpy(&bytes[3], "NTFS    ", 8);
    Put16(bytes, 11, 512);
    bytes[13] = static_cast<uint8_t>(spc);
    Put32(bytes, 48, 1);
    record = spc * 512 + 12 * 512;
    Put32(bytes, record + 56, 0x10);  // a standard-information attribute first
    Put32(bytes, record + 60, 0x60);
  }
  size_t Second() const { return record + 56 + 0x60; }
  // The data attribute after the first one, with this run list, then the end marker.
  void DataAttribute(const std::vector<uint8_t>& runs) {
    size_t a = Second();
    Put32(bytes, a, 0x80);
    Put32(bytes, a + 4, 0x48);
    Put32(bytes, a + 32, 0x40);
    std::copy(runs.begin(), runs.end(), bytes.begin() + static_cast<long>(a + 0x40));
    Put32(bytes, a + 0x48, 0xFFFFFFFF);
  }
  void Bitmap(uint64_t cluster, size_t index, uint8_t value) {
    bytes[cluster * spc * 512 + index] = value;
  }
  uint32_t spc;
  std::vector<uint8_t> bytes;
  size_t record = 0;
};

TEST(NtfsBitmap, BitsLeastSignificantFirstAndWholeBytes) {
  HandNtfs v(8, 128);
  v.DataAttribute({0x11, 0x01, 0x04, 0x00});  // one cluster at cluster 4
  v.Bitmap(4, 0, 0x05);
  v.Bitmap(4, 1, 0xFF);
  Session s;
  OpenBytes(s, v.bytes, kNtfs, 512, 8);
  Result r = Collect(s);
  EXPECT_FALSE(r.cancelled);
  EXPECT_TRUE(r.freeOnly);
  EXPECT_EQ(Diff(MarksOf(128, {{0, 7}, {16, 23}, {64, 127}}), Marks(s)), "");
}

TEST(NtfsBitmap, FullByteReachingPastTheLastSectorStopsThere) {
  HandNtfs v(8, 61);  // LastSector 60, inside the map's eighth byte
  v.DataAttribute({0x11, 0x01, 0x04, 0x00});
  v.Bitmap(4, 0, 0xFF);
  Session s;
  OpenBytes(s, v.bytes, kNtfs, 512, 8);
  Result r = Collect(s);
  EXPECT_TRUE(r.freeOnly);
  ASSERT_EQ(s.Map.SizeInBytes(), 8u);
  EXPECT_EQ(s.Map.ByteAt(6), 0xFF);
  EXPECT_EQ(s.Map.ByteAt(7), 0x1F) << "sectors 61 to 63 lie past the Source";
}

TEST(NtfsBitmap, OnlyTheFirstRunOfTheBitmapIsWalked) {
  HandNtfs v(1, 8192);
  // Run 1: one cluster at 100 (clusters 0-4095); run 2: one cluster at 110.
  v.DataAttribute({0x11, 0x01, 0x64, 0x11, 0x01, 0x0A, 0x00});
  v.Bitmap(100, 0, 0x0F);
  v.Bitmap(110, 0, 0xFF);
  Session s;
  OpenBytes(s, v.bytes, kNtfs, 512, 1);
  Result r = Collect(s);
  EXPECT_TRUE(r.freeOnly);
  EXPECT_EQ(Diff(MarksOf(8192, {{0, 3}}), Marks(s)), "");
}

TEST(NtfsBitmap, BrokenRecordsFailWithoutReadingOutsideThem) {
  struct Case {
    const char* what;
    std::function<void(HandNtfs&)> spoil;
  };
  std::vector<Case> cases = {
      {"length 0 before the data attribute", [](HandNtfs& v) { Put32(v.bytes, v.record + 60, 0); }},
      {"end marker before the data attribute",
       [](HandNtfs& v) { Put32(v.bytes, v.Second(), 0xFFFFFFFF); }},
      {"attribute running past the record",
       [](HandNtfs& v) { Put32(v.bytes, v.record + 60, 0x1000); }},
      {"data attribute running past the record",
       [](HandNtfs& v) { Put32(v.bytes, v.Second() + 4, 1024 - 56 - 0x60 + 8); }},
      {"no data attribute up to the record's end",
       [](HandNtfs& v) {
         // Eleven attributes of 0x58 bytes fill the record exactly.
         for (size_t a = v.record + 56; a < v.record + 1024; a += 0x58) {
           Put32(v.bytes, a, 0x30);
           Put32(v.bytes, a + 4, 0x58);
         }
       }},
      {"run list outside the attribute",
       [](HandNtfs& v) { Put32(v.bytes, v.Second() + 32, 0x48); }},
      {"run length of 0 bytes", [](HandNtfs& v) { v.bytes[v.Second() + 0x40] = 0x10; }},
      {"run length of 9 bytes", [](HandNtfs& v) { v.bytes[v.Second() + 0x40] = 0x19; }},
      {"run without an offset", [](HandNtfs& v) { v.bytes[v.Second() + 0x40] = 0x01; }},
      {"run offset of 9 bytes", [](HandNtfs& v) { v.bytes[v.Second() + 0x40] = 0x91; }},
      {"run offset beyond 64 bits of bytes",
       [](HandNtfs& v) {
         std::vector<uint8_t> runs{0x81, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x40, 0x00};
         std::copy(runs.begin(), runs.end(),
                   v.bytes.begin() + static_cast<long>(v.Second() + 0x40));
         Put32(v.bytes, v.Second() + 4, 0x58);
       }},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    HandNtfs v(8, 128);
    v.DataAttribute({0x11, 0x01, 0x04, 0x00});
    v.Bitmap(4, 0, 0xFF);
    c.spoil(v);
    Session s;
    OpenBytes(s, v.bytes, kNtfs, 512, 8);
    Result r = Collect(s);
    EXPECT_FALSE(r.cancelled);
    EXPECT_FALSE(r.freeOnly);
    EXPECT_EQ(Count(Marks(s)), 0u);
  }
}

// A front end that records the percent labels and, when asked to, presses
// Cancel as soon as it is given the chance to process messages.
class Recorder : public SilentFrontend {
 public:
  Recorder(Session& s, bool cancel) : s_(s), cancel_(cancel) {}
  void SetLabel(Dialog d, int label, const std::string& text) override {
    if (d == Dialog::Search && label == 2) labels.push_back(text);
  }
  void Pump() override {
    ++pumps;
    if (cancel_) s_.Flags.SearchCancel = true;
  }
  std::vector<std::string> labels;
  int pumps = 0;

 private:
  Session& s_;
  bool cancel_;
};

class NtfsProgress : public EnglishTexts {
 protected:
  // The percent line: slot 51 and the percent ("Percent: 25.00%" in English).
  static std::string PercentLine(const Session& s, const std::string& percent) {
    std::string label = s.Text(51);
    if (!label.empty()) {
      EXPECT_EQ(label, "Percent: ");
    }
    return label + percent;
  }

  // Four bitmap sectors (clusters 0-16383 at one sector a cluster), the
  // first byte of the first two set.
  static HandNtfs Volume() {
    HandNtfs v(1, 8192);
    v.DataAttribute({0x11, 0x04, 0x64, 0x00});
    v.Bitmap(100, 0, 0xFF);
    v.Bitmap(101, 0, 0xFF);
    return v;
  }
};

TEST_F(NtfsProgress, CancelKeepsTheMarksSoFar) {
  Session s;
  OpenBytes(s, Volume().bytes, kNtfs, 512, 1);
  Recorder ui(s, true);
  s.SetFrontend(&ui);
  s.Flags.ElapsedMs = 200;  // a refresh is due after the first sector
  s.LabelShownMs = 0;
  Result r = Collect(s);
  EXPECT_TRUE(r.cancelled);
  EXPECT_FALSE(r.freeOnly);
  EXPECT_EQ(ui.labels, std::vector<std::string>{PercentLine(s, "25.00%")});
  EXPECT_EQ(ui.pumps, 1);
  EXPECT_EQ(s.LabelShownMs, 200u);
  EXPECT_EQ(Diff(MarksOf(8192, {{0, 7}}), Marks(s)), "");
}

TEST_F(NtfsProgress, WithoutCancelTheWalkEndsAndShowsOnlyWhenTheClockMoved) {
  Session s;
  OpenBytes(s, Volume().bytes, kNtfs, 512, 1);
  Recorder ui(s, false);
  s.SetFrontend(&ui);
  s.Flags.ElapsedMs = 400;
  s.LabelShownMs = 200;
  Result r = Collect(s);
  EXPECT_FALSE(r.cancelled);
  EXPECT_TRUE(r.freeOnly);
  EXPECT_EQ(ui.labels, std::vector<std::string>{PercentLine(s, "25.00%")});
  EXPECT_EQ(ui.pumps, 1);
  EXPECT_EQ(Diff(MarksOf(8192, {{0, 7}, {4096, 4103}}), Marks(s)), "");
}

TEST_F(NtfsProgress, CancelAlreadyPressedReadsNoBitmap) {
  Session s;
  OpenBytes(s, Volume().bytes, kNtfs, 512, 1);
  s.Flags.SearchCancel = true;
  Result r = Collect(s);
  EXPECT_TRUE(r.cancelled);
  EXPECT_FALSE(r.freeOnly);
  EXPECT_EQ(Count(Marks(s)), 0u);
}

// ---------------------------------------------------------------------------
// Hand-made HFS and HFS+: bits most significant first.

TEST(HfsBitmap, MostSignificantBitFirst) {
  std::vector<uint8_t> b(256 * 512);
  std::memcpy(&b[1024], "BD", 2);
  PutBE16(b, 1024 + 14, 3);   // bitmap at sector 3
  PutBE16(b, 1024 + 18, 16);  // 16 allocation blocks
  PutBE32(b, 1024 + 20, 4096);
  PutBE16(b, 1024 + 28, 0);  // block 0 at sector 0
  b[3 * 512] = 0x05;
  b[3 * 512 + 1] = 0x80;
  b[3 * 512 + 2] = 0xFF;  // past the 16 blocks: not part of the bitmap
  Session s;
  OpenBytes(s, b, kHfs, 512, 8);
  Result r = Collect(s);
  EXPECT_TRUE(r.freeOnly);
  EXPECT_EQ(Diff(MarksOf(256, {{40, 47}, {56, 63}, {64, 71}}), Marks(s)), "");
}

TEST(HfsBitmap, HfsPlusBitmapAtByte4096) {
  std::vector<uint8_t> b(256 * 512);
  std::memcpy(&b[1024], "H+\0\4", 4);
  PutBE32(b, 1024 + 40, 4096);
  PutBE32(b, 1024 + 44, 30);  // 30 blocks: 4 bitmap bytes
  b[4096] = 0x05;
  b[4096 + 3] = 0xFF;  // blocks 24-31, of which 30 and 31 exist only as bits
  b[4096 + 4] = 0xFF;  // past the bitmap
  Session s;
  OpenBytes(s, b, kHfsPlus, 512, 8);
  Result r = Collect(s);
  EXPECT_TRUE(r.freeOnly);
  EXPECT_EQ(Diff(MarksOf(256, {{40, 47}, {56, 63}, {192, 255}}), Marks(s)), "");
}

// ---------------------------------------------------------------------------
// Hand-made FAT12: the two 12-bit halves of each 3-byte group, and the group
// cut short at the end of a one-sector FAT (512 is no multiple of 3).

TEST(Fat12Table, TwelveBitHalvesAndTheShortLastGroup) {
  std::vector<uint8_t> b(400 * 512);
  Put16(b, 11, 512);
  b[13] = 1;
  Put16(b, 14, 1);   // reserved sectors
  b[16] = 1;         // one FAT
  Put16(b, 17, 16);  // root entries: one sector
  Put16(b, 22, 1);   // FAT of one sector
  size_t fat = 512;
  b[fat] = 0xF0;
  b[fat + 1] = 0xFF;
  b[fat + 2] = 0xFF;
  b[fat + 3] = 0x01;    // entry 2 in use
  b[fat + 7] = 0x10;    // entry 5 in use (high half of the group at 6)
  b[fat + 510] = 0x01;  // entry 340 in use; 341 would need byte 512
  std::fill(b.begin() + 1024, b.begin() + 1536, uint8_t{0xFF});  // what follows the FAT
  Session s;
  OpenBytes(s, b, kFat12, 512, 1);
  Result r = Collect(s);
  EXPECT_FALSE(r.cancelled);
  EXPECT_TRUE(r.freeOnly);
  // First data sector 3 holds cluster 2.
  EXPECT_EQ(Diff(MarksOf(400, {{0, 2}, {3, 3}, {6, 6}, {341, 341}}), Marks(s)), "");
}

// ---------------------------------------------------------------------------
// What has no allocation map to read.

TEST(NoAllocationMap, OtherKindAndDegenerateGeometryFailWithoutCancel) {
  HandNtfs v(8, 128);
  v.DataAttribute({0x11, 0x01, 0x04, 0x00});
  v.Bitmap(4, 0, 0xFF);
  struct Case {
    const char* what;
    std::function<void(VolumeGeometry&)> set;
  };
  for (Case c : {Case{"kind Other", [](VolumeGeometry& g) { g.FsKind = kFsOther; }},
                 Case{"kind beyond Other", [](VolumeGeometry& g) { g.FsKind = 9; }},
                 Case{"0 sectors per cluster", [](VolumeGeometry& g) { g.SectorsPerCluster = 0; }},
                 Case{"0 bytes per sector", [](VolumeGeometry& g) { g.BytesPerSector = 0; }}}) {
    SCOPED_TRACE(c.what);
    Session s;
    OpenBytes(s, v.bytes, kNtfs, 512, 8);
    c.set(s.Detected);
    Result r = Collect(s);
    EXPECT_FALSE(r.cancelled);
    EXPECT_FALSE(r.freeOnly);
    EXPECT_EQ(Count(Marks(s)), 0u);
  }
}

TEST(NoAllocationMap, UnreadableSourceFails) {
  HandNtfs v(8, 128);
  v.DataAttribute({0x11, 0x01, 0x04, 0x00});
  v.Bitmap(4, 0, 0xFF);
  Session s;
  auto device = std::make_unique<FaultyDevice>(std::make_unique<MemoryDevice>(v.bytes),
                                               std::set<uint64_t>{32});  // the bitmap's sector
  ASSERT_TRUE(OpenImageDevice(s, std::move(device), "faulty").Opened);
  SetGeometry(s, kNtfs, 512, 8, 0);
  Result r = Collect(s);
  EXPECT_FALSE(r.cancelled);
  EXPECT_FALSE(r.freeOnly);
  EXPECT_EQ(Count(Marks(s)), 0u);
}

}  // namespace
}  // namespace tarnwick
