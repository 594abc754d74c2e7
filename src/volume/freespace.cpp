#include "volume/freespace.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <vector>

#include "scan/scan_state.h"
#include "scan/session.h"
#include "source/bytes.h"
#include "source/source.h"

namespace tarnwick {
namespace {

constexpr int kSlotPercent = 51;
constexpr int kPercentLabel = 2;

// Signatures at the start of the first FAT: media byte, then the rest of
// entries 0 and 1 as a formatter writes them.
constexpr std::array<uint8_t, 3> kFat12Head{0xF0, 0xFF, 0xFF};
constexpr std::array<uint8_t, 4> kFat16Head{0xF8, 0xFF, 0xFF, 0xFF};
constexpr std::array<uint8_t, 8> kFat32Head{0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF};

constexpr uint32_t kNtfsDataAttribute = 0x80;
constexpr uint32_t kNtfsEndMarker = 0xFFFFFFFF;
constexpr size_t kNtfsFirstAttribute = 56;
constexpr uint32_t kNtfsBitmapRecordSectors = 12;  // record 6 of 1024 bytes with 512-byte sectors

constexpr uint8_t kExFatBitmapEntry = 0x81;

constexpr size_t kHfsHeaderBytes = 4096;
constexpr uint64_t kHfsPlusBitmapOffset = 4096;

enum class Outcome { Complete, Failed, Cancelled };

std::optional<uint64_t> Mul(uint64_t a, uint64_t b) {
  uint64_t r = 0;
  if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
  return r;
}

std::optional<uint64_t> Mul3(uint64_t a, uint64_t b, uint64_t c) {
  auto ab = Mul(a, b);
  return ab ? Mul(*ab, c) : std::nullopt;
}

// An unsigned little-endian number of 1 to 8 bytes.
uint64_t LEn(Bytes b, size_t off, unsigned count) {
  uint64_t v = 0;
  for (unsigned i = 0; i < count; ++i) v |= static_cast<uint64_t>(U8(b, off + i)) << (8 * i);
  return v;
}

// What every walk needs: the Session it reads and marks, and the geometry
// found when the Source was opened.
struct Walker {
  Session& s;
  uint64_t last;  // LastSector
  uint32_t bps;
  uint32_t spc;

  // Marks count sectors from first on, never past LastSector.
  void MarkRange(uint64_t first, uint64_t count) {
    if (count == 0 || first > last) return;
    uint64_t left = std::min(count - 1, last - first) + 1;
    constexpr uint64_t kChunk = uint64_t{INT32_MAX} & ~uint64_t{7};
    while (left > 0) {
      uint64_t step = std::min(left, kChunk);
      s.Map.MarkSectorRun(first, static_cast<int32_t>(step));
      first += step;
      left -= step;
    }
  }

  void MarkCluster(uint64_t counter) { MarkRange(counter, spc); }

  // A direct read of the Source, past the ReadCache.
  bool Read(uint64_t offset, std::span<uint8_t> out) {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
    if (SeekSource(s, kFileBegin, static_cast<int64_t>(offset)) < 0) return false;
    s.Source.Position = offset;
    if (!ReadSource(s, offset, out)) return false;
    s.Source.Position = offset + out.size();
    return true;
  }

  bool ReadBootSector(std::vector<uint8_t>& buffer) {
    buffer.assign(bps, 0);
    return Read(0, buffer);
  }

  void ShowProgress(uint64_t total, uint64_t remaining) {
    if (!s.RefreshDue()) return;
    s.UI->SetLabel(Dialog::Search, kPercentLabel,
                   s.Text(kSlotPercent) + FormatPercent(total, total - remaining));
    s.UI->Pump();
  }
};

// Reads length bytes from offset one sector at a time and hands each sector's
// share to step, with the Cancel check before every read and the percent
// label after it. step returns false to end the walk as failed. Once counter
// lies past LastSector nothing more can be marked, so the walk ends there as
// complete: a hostile length can then not keep us reading for ages.
template <class Step>
Outcome SectorWalk(Walker& w, uint64_t offset, uint64_t length, uint64_t& counter, Step step) {
  std::vector<uint8_t> buffer(w.bps);
  const uint64_t total = length;
  uint64_t remaining = length;
  while (remaining > 0) {
    if (w.s.Flags.SearchCancel.load(std::memory_order_relaxed)) return Outcome::Cancelled;
    if (!w.Read(offset, buffer)) return Outcome::Failed;
    uint64_t n = std::min<uint64_t>(remaining, w.bps);
    if (!step(Bytes(buffer).first(static_cast<size_t>(n)), counter)) return Outcome::Failed;
    offset += w.bps;  // cannot wrap: the read above held it below 2^63
    remaining -= n;
    w.ShowProgress(total, remaining);
    if (counter > w.last) break;
  }
  return Outcome::Complete;
}

// A cluster bitmap: bit 0 describes the cluster at counter, one bit per
// cluster, least or most significant bit of each byte first.
Outcome BitmapWalk(Walker& w, uint64_t offset, uint64_t length, uint64_t counter, bool msbFirst) {
  const uint64_t group = uint64_t{8} * w.spc;
  auto step = [&](Bytes bytes, uint64_t& at) {
    for (uint8_t b : bytes) {
      if (b == 0x00) {
        at += group;
      } else if (b == 0xFF && at + group <= w.last + 1) {
        w.MarkRange(at, group);
        at += group;
      } else {
        for (unsigned bit = 0; bit < 8; ++bit) {
          unsigned mask = msbFirst ? (0x80u >> bit) : (1u << bit);
          if (b & mask) w.MarkCluster(at);
          at += w.spc;
        }
      }
    }
    return true;
  };
  return SectorWalk(w, offset, length, counter, step);
}

struct FatLayout {
  uint64_t fatOffset = 0;  // bytes
  uint64_t fatBytes = 0;
  uint64_t firstDataSector = 0;
};

// The whole first FAT in one buffer. Bytes that lie past the end of the Source
// are not held; they read as 0, as a short read at the end would give them.
std::optional<std::vector<uint8_t>> ReadWholeFat(Walker& w, const FatLayout& fat) {
  uint64_t size = w.s.Source.IsOpen() ? w.s.Source.Device->Size() : 0;
  uint64_t held = fat.fatOffset < size ? std::min(fat.fatBytes, size - fat.fatOffset) : 0;
  std::vector<uint8_t> table;
  try {
    table.assign(static_cast<size_t>(held), 0);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  if (!table.empty() && !w.Read(fat.fatOffset, table)) return std::nullopt;
  return table;
}

// FAT12 and FAT16: the table is read in one piece, without progress or Cancel.
Outcome CollectFat1216(Walker& w, bool fat12) {
  std::vector<uint8_t> boot;
  if (!w.ReadBootSector(boot)) return Outcome::Failed;
  uint64_t fatSectors = LE16(boot, 22);
  uint64_t reserved = LE16(boot, 14);
  uint64_t rootEntries = LE16(boot, 17);
  FatLayout fat;
  // The root directory's sectors: 32 bytes an entry, in whole sectors of BPS.
  fat.firstDataSector = fatSectors * U8(boot, 16) + reserved + rootEntries * 32 / w.bps;
  fat.fatOffset = reserved * w.bps;
  fat.fatBytes = fatSectors * w.bps;
  w.MarkRange(0, fat.firstDataSector);

  auto table = ReadWholeFat(w, fat);
  if (!table) return Outcome::Failed;
  Bytes t(*table);
  uint64_t counter = fat.firstDataSector;
  if (fat12) {
    if (!BytesEqual(t, 0, Bytes(kFat12Head))) return Outcome::Failed;
    // Two 12-bit entries in every 3 bytes; a group cut short by the end of
    // the table has 0 for its missing bytes (U8 reads them as 0).
    for (uint64_t o = 3; o < fat.fatBytes && o < t.size() && counter <= w.last; o += 3) {
      uint32_t group = U8(t, o) | (U8(t, o + 1) << 8) | (U8(t, o + 2) << 16);
      if (group & 0xFFF) w.MarkCluster(counter);
      counter += w.spc;
      if (group >> 12) w.MarkCluster(counter);
      counter += w.spc;
    }
  } else {
    if (!BytesEqual(t, 0, Bytes(kFat16Head))) return Outcome::Failed;
    for (uint64_t o = 4; o + 2 <= t.size() && counter <= w.last; o += 2) {
      if (LE16(t, o) != 0) w.MarkCluster(counter);
      counter += w.spc;
    }
  }
  return Outcome::Complete;
}

Outcome CollectFat32(Walker& w) {
  std::vector<uint8_t> boot;
  if (!w.ReadBootSector(boot)) return Outcome::Failed;
  uint64_t fatSectors = LE32(boot, 36);
  uint64_t reserved = LE16(boot, 14);
  uint64_t first = fatSectors * U8(boot, 16) + reserved;
  w.MarkRange(0, first);

  bool firstSector = true;
  auto step = [&](Bytes bytes, uint64_t& counter) {
    size_t pos = 0;
    if (firstSector) {
      firstSector = false;
      if (!BytesEqual(bytes, 0, Bytes(kFat32Head))) return false;
      pos = kFat32Head.size();
    }
    for (; pos + 4 <= bytes.size(); pos += 4) {
      if (LE32(bytes, pos) != 0) w.MarkCluster(counter);
      counter += w.spc;
    }
    return true;
  };
  uint64_t counter = first;
  return SectorWalk(w, reserved * w.bps, fatSectors * w.bps, counter, step);
}

// The record of the cluster-bitmap file and the first run of its data
// attribute. Later runs of a fragmented bitmap are not looked at.
Outcome CollectNtfs(Walker& w) {
  std::vector<uint8_t> boot;
  if (!w.ReadBootSector(boot)) return Outcome::Failed;
  uint64_t mftCluster = static_cast<uint32_t>(LE64(boot, 48));
  auto mft = Mul3(mftCluster, w.spc, w.bps);
  auto skip = Mul(kNtfsBitmapRecordSectors, w.bps);
  if (!mft || !skip || *mft > UINT64_MAX - *skip) return Outcome::Failed;

  // No update-sequence fix-up: the fields used lie well before its words.
  std::vector<uint8_t> record(size_t{2} * w.bps, 0);
  if (!w.Read(*mft + *skip, record)) return Outcome::Failed;
  Bytes r(record);

  // The attribute walk ends at the end marker, at a length of 0 and at an
  // attribute that would run past the record, not only at the record's end.
  std::optional<size_t> data;
  size_t dataLength = 0;
  for (size_t off = kNtfsFirstAttribute; off < r.size() && InBounds(r, off, 8);) {
    uint32_t type = LE32(r, off);
    if (type == kNtfsEndMarker) break;
    uint32_t length = LE32(r, off + 4);
    if (length == 0 || length > r.size() - off) break;
    if (type == kNtfsDataAttribute) {
      data = off;
      dataLength = length;
      break;
    }
    off += length;
  }
  if (!data) return Outcome::Failed;

  Bytes attribute = r.subspan(*data, dataLength);
  uint32_t runs = LE32(attribute, 32);
  if (runs >= attribute.size()) return Outcome::Failed;
  uint8_t header = U8(attribute, runs);
  unsigned lengthBytes = header & 0x0F;
  unsigned offsetBytes = header >> 4;
  // A run without an offset is sparse: the bitmap would have no place.
  if (lengthBytes == 0 || lengthBytes > 8 || offsetBytes == 0 || offsetBytes > 8) {
    return Outcome::Failed;
  }
  if (!InBounds(attribute, size_t{runs} + 1, lengthBytes + offsetBytes)) return Outcome::Failed;
  uint64_t runLength = LEn(attribute, runs + 1, lengthBytes);
  uint64_t runOffset = LEn(attribute, runs + 1 + lengthBytes, offsetBytes);

  auto offset = Mul3(runOffset, w.spc, w.bps);
  auto length = Mul3(runLength, w.spc, w.bps);
  if (!offset || !length) return Outcome::Failed;
  return BitmapWalk(w, *offset, *length, 0, false);
}

Outcome CollectExFat(Walker& w) {
  std::vector<uint8_t> boot;
  if (!w.ReadBootSector(boot)) return Outcome::Failed;
  uint64_t heap = LE32(boot, 88);
  uint64_t clusterSectors = uint64_t{1} << (U8(boot, 109) & 31);
  uint32_t rootCluster = LE32(boot, 96);
  // Byte offset of a cluster of the heap; clusters are numbered from 2.
  auto clusterOffset = [&](uint32_t cluster) -> std::optional<uint64_t> {
    if (cluster < 2) return std::nullopt;
    uint64_t sector = clusterSectors * (cluster - 2) + heap;  // below 2^64: 2^31 x 2^32 + 2^32
    return Mul(sector, w.bps);
  };
  auto root = clusterOffset(rootCluster);
  if (!root) return Outcome::Failed;
  std::vector<uint8_t> directory(w.bps, 0);
  if (!w.Read(*root, directory)) return Outcome::Failed;
  Bytes d(directory);
  if (U8(d, 32) != kExFatBitmapEntry) return Outcome::Failed;
  w.MarkRange(0, heap);

  auto bitmap = clusterOffset(LE32(d, 52));
  if (!bitmap) return Outcome::Failed;
  return BitmapWalk(w, *bitmap, LE64(d, 56), heap, false);
}

Outcome CollectHfs(Walker& w, bool plus) {
  std::vector<uint8_t> header(kHfsHeaderBytes, 0);
  if (!w.Read(0, header)) return Outcome::Failed;
  Bytes h(header);
  if (!plus) {
    uint64_t blocks = BE16(h, 1024 + 18);        // drNmAlBlks
    uint64_t bitmapSector = BE16(h, 1024 + 14);  // drVBMSt
    // Allocation block 0 starts at drAlBlSt, in 512-byte sectors.
    uint64_t firstBlockSector = BE16(h, 1024 + 28);
    return BitmapWalk(w, bitmapSector * w.bps, (blocks + 7) / 8, firstBlockSector, true);
  }
  uint64_t blocks = BE32(h, 1024 + 44);  // totalBlocks
  uint64_t counter = static_cast<uint64_t>(std::max(w.s.Detected.ClusterPhase, 0));
  return BitmapWalk(w, kHfsPlusBitmapOffset, (blocks + 7) / 8, counter, true);
}

}  // namespace

bool CollectFreeSpace(Session& s, bool& freeOnly) {
  freeOnly = false;
  const VolumeGeometry& g = s.Detected;
  if (g.FsKind >= kFsOther) return false;
  if (g.BytesPerSector == 0 || g.BytesPerSector > kMaxSectorSize) return false;
  if (g.SectorsPerCluster == 0) return false;
  if (g.LastSector == UINT64_MAX) return false;  // an empty Source
  Walker w{s, g.LastSector, g.BytesPerSector, g.SectorsPerCluster};

  Outcome outcome = Outcome::Failed;
  switch (g.FsKind) {
    case kFat12: outcome = CollectFat1216(w, true); break;
    case kFat16: outcome = CollectFat1216(w, false); break;
    case kFat32: outcome = CollectFat32(w); break;
    case kNtfs: outcome = CollectNtfs(w); break;
    case kExFat: outcome = CollectExFat(w); break;
    case kHfs: outcome = CollectHfs(w, false); break;
    case kHfsPlus: outcome = CollectHfs(w, true); break;
    default: return false;
  }
  if (outcome == Outcome::Cancelled) return true;
  freeOnly = outcome == Outcome::Complete;
  return false;
}

}  // namespace tarnwick
