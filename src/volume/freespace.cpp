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
#include "scan/session_source.h"

namespace tarnwick {
namespace {

constexpr int kSlotPercent = 51;
constexpr int kPercentLabel = 2;

// The first two FAT entries, which describe no cluster. Entry 0 is the
// media byte with every higher bit of the entry set; entry 1 is an
// end-of-chain mark whose top bits the file system may clear: on FAT16 and
// FAT32 the two highest bits it uses are the clean-shutdown and no-error
// flags (FAT12 has none, but its two highest are taken alike), and the top
// four bits of a FAT32 entry are reserved. 0F, F8 and the like can thus
// differ between formatters, and after an unclean unmount.
struct FatHead {
  unsigned entryBits;  // 12, 16 or 32 bits an entry in the table
  uint32_t fill;       // entry 0 above the media byte
  uint32_t mark;       // entry 1 bits that must be set
};
constexpr FatHead kFat12Head{12, 0xF00, 0x3FF};
constexpr FatHead kFat16Head{16, 0xFF00, 0x3FFF};
constexpr FatHead kFat32Head{32, 0x0FFFFF00, 0x03FFFFFF};

// The media bytes a FAT may carry: F0 and F8 to FF.
bool IsMediaByte(uint32_t b) { return b == 0xF0 || (b >= 0xF8 && b <= 0xFF); }

bool FatHeadHolds(Bytes t, const FatHead& h) {
  uint32_t entry0 = 0;
  uint32_t entry1 = 0;
  if (h.entryBits == 12) {
    if (!InBounds(t, 0, 3)) return false;
    const uint32_t group = U8(t, 0) | (U8(t, 1) << 8) | (U8(t, 2) << 16);
    entry0 = group & 0xFFF;
    entry1 = group >> 12;
  } else if (h.entryBits == 16) {
    if (!InBounds(t, 0, 4)) return false;
    entry0 = LE16(t, 0);
    entry1 = LE16(t, 2);
  } else {
    if (!InBounds(t, 0, 8)) return false;
    entry0 = LE32(t, 0);
    entry1 = LE32(t, 4);
  }
  return IsMediaByte(entry0 & 0xFF) && (entry0 & h.fill) == h.fill && (entry1 & h.mark) == h.mark;
}

constexpr uint32_t kNtfsDataAttribute = 0x80;
constexpr uint32_t kNtfsEndMarker = 0xFFFFFFFF;
constexpr size_t kNtfsFirstAttribute = 56;
constexpr uint64_t kNtfsBitmapRecord = 6;  // the cluster-bitmap file's MFT record
constexpr uint64_t kNtfsUsualRecordBytes = 1024;
constexpr uint64_t kNtfsLargestRecordBytes = 65536;
constexpr uint32_t kNtfsStride = 512;  // the update sequence guards each 512 bytes

constexpr uint8_t kExFatBitmapEntry = 0x81;

constexpr size_t kHfsHeaderBytes = 4096;
constexpr uint64_t kHfsPlusBitmapOffset = 4096;

enum class Outcome { Complete, Failed, Cancelled };

// The size of an MFT record from the boot sector's byte at 64: a positive
// value counts clusters, a negative one n gives 2^-n bytes. A value that
// gives no record size from 512 bytes to 64 KiB is taken as the usual 1024.
uint64_t NtfsRecordBytes(Bytes boot, uint64_t clusterBytes) {
  const auto v = static_cast<int8_t>(U8(boot, 64));
  uint64_t bytes = 0;
  if (v > 0) bytes = clusterBytes * static_cast<uint64_t>(v);
  if (v < 0 && v >= -31) bytes = uint64_t{1} << -v;
  if (bytes < 512 || bytes > kNtfsLargestRecordBytes) return kNtfsUsualRecordBytes;
  return bytes;
}

// Where a record's attributes start: the header says so in a FILE record
// (after an update sequence that is longer with larger records); 56 where
// that field is not plausible.
size_t FirstAttribute(Bytes record) {
  const size_t at = LE16(record, 20);
  if (!BytesEqual(record, 0, "FILE") || at < 24 || at % 8 != 0 || at >= record.size()) {
    return kNtfsFirstAttribute;
  }
  return at;
}

// Puts back the last two bytes of every 512-byte stride of a FILE record,
// which the update sequence replaced. A record whose sequence does not hold
// is left as read.
void ApplyFixup(std::vector<uint8_t>& record) {
  Bytes r(record);
  if (!BytesEqual(r, 0, "FILE")) return;
  const size_t offset = LE16(r, 4);
  const size_t count = LE16(r, 6);
  if (count < 2 || !InBounds(r, offset, 2 * count)) return;
  if ((count - 1) * size_t{kNtfsStride} > r.size()) return;
  const uint16_t number = LE16(r, offset);
  for (size_t k = 1; k < count; ++k) {
    if (LE16(r, k * kNtfsStride - 2) != number) return;
  }
  for (size_t k = 1; k < count; ++k) {
    record[k * kNtfsStride - 2] = record[offset + 2 * k];
    record[k * kNtfsStride - 1] = record[offset + 2 * k + 1];
  }
}

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
    if (!FatHeadHolds(t, kFat12Head)) return Outcome::Failed;
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
    if (!FatHeadHolds(t, kFat16Head)) return Outcome::Failed;
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
      if (!FatHeadHolds(bytes, kFat32Head)) return false;
      pos = 8;  // entries 0 and 1
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
  const uint64_t recordBytes = NtfsRecordBytes(boot, w.bps * uint64_t{w.spc});
  const uint64_t skip = kNtfsBitmapRecord * recordBytes;
  if (!mft || *mft > UINT64_MAX - skip) return Outcome::Failed;

  std::vector<uint8_t> record(static_cast<size_t>(recordBytes), 0);
  if (!w.Read(*mft + skip, record)) return Outcome::Failed;
  ApplyFixup(record);
  Bytes r(record);

  // The attribute walk ends at the end marker, at a length of 0 and at an
  // attribute that would run past the record, not only at the record's end.
  std::optional<size_t> data;
  size_t dataLength = 0;
  for (size_t off = FirstAttribute(r); off < r.size() && InBounds(r, off, 8);) {
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
