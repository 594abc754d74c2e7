#include "volume/identify.h"

#include <algorithm>
#include <array>
#include <span>

#include "scan/session.h"
#include "source/bytes.h"
#include "scan/session_source.h"

namespace tarnwick {

namespace {

constexpr uint16_t kBootSignature = 0xAA55;  // the bytes 55 AA, read little-endian
constexpr size_t kHfsHeader = 1024;

constexpr int kSlotUnknownFileSystem = 70;

// File-system box items.
enum FsItem : int {
  kItemFat = 0,
  kItemFat32 = 1,
  kItemNtfs = 2,
  kItemExFat = 3,
  kItemHfs = 4,
  kItemHfsPlus = 5,
  kItemOther = 6,
};
constexpr int kClusterItems = 9;  // 0.5K ... 128K

struct ClusterRow {
  uint64_t Limit;  // in 512-byte sectors; the row applies below limit x 512 bytes
  uint32_t ClusterBytes;
};

constexpr std::array kFatRows{
    ClusterRow{65535, 512},     ClusterRow{131071, 1024},   ClusterRow{262143, 2048},
    ClusterRow{524287, 4096},   ClusterRow{1048575, 8192},  ClusterRow{2097151, 16384},
    ClusterRow{4194303, 32768}, ClusterRow{8388607, 65536},
};
constexpr std::array kFat32Rows{
    ClusterRow{131071, 512},       ClusterRow{262143, 1024},   ClusterRow{524287, 2048},
    ClusterRow{16777215, 4096},    ClusterRow{33554431, 8192}, ClusterRow{67108863, 16384},
    ClusterRow{4294967295, 32768},
};
constexpr std::array kNtfsRows{
    ClusterRow{34359738367, 4096},   ClusterRow{68719476735, 8192},
    ClusterRow{137438953471, 16384}, ClusterRow{274877906943, 32768},
    ClusterRow{549755813887, 65536},
};
constexpr std::array kExFatRows{
    ClusterRow{524287, 4096},
    ClusterRow{67108863, 32768},
    ClusterRow{549755813887, 131072},
};

bool HasSignatureAt(Bytes b, size_t off) { return LE16(b, off) == kBootSignature; }

// The last check of the FAT/NTFS/exFAT family: a sane sector size, and the
// signature at the end of the first sector (or at 510 for large sectors
// whose writer put it there only).
bool SectorSizeAccepted(Bytes b, uint32_t bytesPerSector) {
  if (bytesPerSector == 0 || bytesPerSector > 4096 || bytesPerSector % 512 != 0) return false;
  return HasSignatureAt(b, bytesPerSector - 2) || HasSignatureAt(b, 510);
}

// FAT12/16/32 once the label and the FAT size are known.
bool IdentifyFat(Bytes b, uint8_t kind, uint32_t fatSize, uint32_t maxSectorsPerCluster,
                 VolumeGeometry& g) {
  g.FsKind = kind;
  g.SectorsPerCluster = U8(b, 13);
  if (g.SectorsPerCluster == 0 || g.SectorsPerCluster > maxSectorsPerCluster) return false;
  g.BytesPerSector = LE16(b, 11);
  // A zero sector size fails the size check below; never divide by it.
  if (g.BytesPerSector == 0) return false;
  uint32_t rootDirSectors = uint32_t{LE16(b, 17)} * 32 / g.BytesPerSector;
  uint32_t firstDataSector = uint32_t{U8(b, 16)} * fatSize + uint32_t{LE16(b, 14)} + rootDirSectors;
  g.ClusterPhase = static_cast<int32_t>(firstDataSector % g.SectorsPerCluster);
  return SectorSizeAccepted(b, g.BytesPerSector);
}

bool IdentifyNtfs(Bytes b, VolumeGeometry& g) {
  g.FsKind = kNtfs;
  g.BytesPerSector = LE16(b, 11);
  g.SectorsPerCluster = U8(b, 13);
  if (g.SectorsPerCluster == 0 || g.SectorsPerCluster > 128) return false;
  g.ClusterPhase = 0;
  return SectorSizeAccepted(b, g.BytesPerSector);
}

bool IdentifyExFat(Bytes b, VolumeGeometry& g) {
  g.FsKind = kExFat;
  g.BytesPerSector = uint32_t{1} << (U8(b, 108) % 32);
  g.SectorsPerCluster = uint32_t{1} << (U8(b, 109) % 32);
  if (g.SectorsPerCluster > 256) return false;
  g.ClusterPhase = static_cast<int32_t>(LE32(b, 88) % g.SectorsPerCluster);
  return SectorSizeAccepted(b, g.BytesPerSector);
}

bool IdentifyBootSector(Bytes b, VolumeGeometry& g) {
  if (BytesEqual(b, 54, "FAT12   ") || BytesEqual(b, 54, "FAT16   ")) {
    uint8_t kind = BytesEqual(b, 54, "FAT12   ") ? kFat12 : kFat16;
    return IdentifyFat(b, kind, LE16(b, 22), 128, g);
  }
  // FAT32 is taken with clusters of up to 128 sectors too (64 KiB with 512-byte
  // sectors), as mkfs.vfat and Windows make them for large volumes.
  if (BytesEqual(b, 82, "FAT32   ")) return IdentifyFat(b, kFat32, LE32(b, 36), 128, g);
  if (BytesEqual(b, 3, "NTFS    ")) return IdentifyNtfs(b, g);
  if (BytesEqual(b, 3, "EXFAT   ")) return IdentifyExFat(b, g);
  return false;
}

// HFS master directory block or HFS+/HFSX volume header at 1024, big-endian.
bool IdentifyHfsFamily(Bytes b, VolumeGeometry& g) {
  if (BytesEqual(b, kHfsHeader, "BD")) {
    g.FsKind = kHfs;
    g.BytesPerSector = 512;
    uint32_t blockSize = BE32(b, kHfsHeader + 20);
    // A block size of 0 would give clusters of no sectors.
    if (blockSize == 0 || blockSize % 512 != 0) return false;
    g.SectorsPerCluster = blockSize / 512;
    g.ClusterPhase = static_cast<int32_t>(BE16(b, kHfsHeader + 28) % g.SectorsPerCluster);
    return true;
  }
  uint16_t version = BE16(b, kHfsHeader + 2);
  bool plus = BytesEqual(b, kHfsHeader, "H+") && version == 4;
  bool x = BytesEqual(b, kHfsHeader, "HX") && version == 5;
  if (!plus && !x) return false;
  g.FsKind = kHfsPlus;
  g.BytesPerSector = 512;
  uint32_t blockSize = BE32(b, kHfsHeader + 40);
  if (blockSize % 512 != 0) return false;
  g.SectorsPerCluster = blockSize / 512;
  g.ClusterPhase = 0;
  return g.SectorsPerCluster >= 1 && g.SectorsPerCluster <= 128;
}

// The first row of a family whose limit lies beyond the volume size.
std::optional<uint32_t> DefaultClusterBytes(std::span<const ClusterRow> rows,
                                            const VolumeGeometry& g) {
  // The size less one sector; an empty Source (LastSector all bits set)
  // wraps to a negative size, which every row accepts.
  auto size = static_cast<int64_t>(g.LastSector * uint64_t{g.BytesPerSector});
  for (const ClusterRow& row : rows) {
    if (static_cast<int64_t>(row.Limit * 512) > size) return row.ClusterBytes;
  }
  return std::nullopt;
}

// Clusters smaller than a sector cannot exist; the scan divides by this.
uint32_t AtLeastOne(uint32_t sectorsPerCluster) { return std::max<uint32_t>(sectorsPerCluster, 1); }

}  // namespace

bool IdentifyBlock(std::span<const uint8_t> block, VolumeGeometry& g) {
  Bytes b = block.first(std::min<size_t>(block.size(), kBootBlockSize));
  if (HasSignatureAt(b, 510) || HasSignatureAt(b, 4094)) return IdentifyBootSector(b, g);
  return IdentifyHfsFamily(b, g);
}

bool Identify(Session& s) {
  std::array<uint8_t, kBootBlockSize> block{};
  // A Source shorter than 4096 bytes delivers less; the rest reads as zero.
  if (!ReadSource(s, 0, block)) {
    // A bad sector behind the boot sector must not hide it: sector 0 alone.
    block.fill(0);
    if (!ReadSource(s, 0, std::span(block).first(512))) return false;
  }
  return IdentifyBlock(block, s.Detected);
}

int FsIndexForKind(uint8_t kind) {
  switch (kind) {
    case kFat12:
    case kFat16: return kItemFat;
    case kFat32: return kItemFat32;
    case kNtfs: return kItemNtfs;
    case kExFat: return kItemExFat;
    case kHfs: return kItemHfs;
    case kHfsPlus: return kItemHfsPlus;
    default: return kItemOther;
  }
}

int ClusterIndexFor(uint32_t sectorsPerCluster, uint32_t bytesPerSector) {
  uint64_t n = uint64_t{sectorsPerCluster} * bytesPerSector / 512;
  for (int item = 1; item < kClusterItems; ++item) {
    if (n == (uint64_t{1} << item)) return item;
  }
  return 0;
}

void SetClusterBoxFromGeometry(const Session& s, RescueBoxes& boxes, uint32_t sectorsPerCluster) {
  boxes.Cluster = ClusterIndexFor(sectorsPerCluster, s.Scan.BytesPerSector);
}

std::optional<int> ReasonBoxClick(Session& s, RescueBoxes& boxes, int item) {
  boxes.Reason = item;
  if (item == 0) {
    if (s.Detected.FsKind == kFsOther) {
      // Nothing was recognised, so there is no present geometry to keep.
      boxes.Reason = 1;
      ReasonBoxClick(s, boxes, 1);
      return kSlotUnknownFileSystem;
    }
    s.Scan = s.Detected;
    boxes.FsEnabled = false;
  } else {
    boxes.FsEnabled = true;
  }
  boxes.Fs = FsIndexForKind(s.Scan.FsKind);
  FsBoxClick(s, boxes, boxes.Fs);
  return std::nullopt;
}

void FsBoxClick(Session& s, RescueBoxes& boxes, int item) {
  if (item < kItemFat || item > kItemOther) return;
  boxes.Fs = item;
  VolumeGeometry& g = s.Scan;
  g.ClusterPhase = -1;
  std::optional<uint32_t> clusterBytes;
  switch (item) {
    case kItemFat: clusterBytes = DefaultClusterBytes(kFatRows, g); break;
    case kItemFat32: clusterBytes = DefaultClusterBytes(kFat32Rows, g); break;
    case kItemNtfs: clusterBytes = DefaultClusterBytes(kNtfsRows, g); break;
    case kItemExFat: clusterBytes = DefaultClusterBytes(kExFatRows, g); break;
    case kItemHfs:
      g.SectorsPerCluster = AtLeastOne(static_cast<uint32_t>((g.LastSector + 65535) / 65536));
      break;
    case kItemHfsPlus:
      if (g.BytesPerSector != 0) g.SectorsPerCluster = AtLeastOne(4096 / g.BytesPerSector);
      break;
    default: g.SectorsPerCluster = 1; break;
  }
  // Beyond the family's last row the cluster size stays as it was.
  if (clusterBytes && g.BytesPerSector != 0)
    g.SectorsPerCluster = AtLeastOne(*clusterBytes / g.BytesPerSector);
  SetClusterBoxFromGeometry(s, boxes, g.SectorsPerCluster);
}

void ClusterBoxClick(Session& s, RescueBoxes& boxes, int item, bool fromBox) {
  if (item < 0 || item >= kClusterItems) return;
  boxes.Cluster = item;
  VolumeGeometry& g = s.Scan;
  if (fromBox) g.ClusterPhase = -1;
  if (g.BytesPerSector == 0) return;
  // With large sectors the smallest choices are below one sector.
  g.SectorsPerCluster = AtLeastOne((uint32_t{512} << item) / g.BytesPerSector);
}

}  // namespace tarnwick
