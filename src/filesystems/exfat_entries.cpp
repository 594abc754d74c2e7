#include "filesystems/exfat_entries.h"

#include "filesystems/fat_table.h"
#include "source/utf16.h"

namespace tarnwick {

namespace {

constexpr size_t kEntry = 32;
constexpr uint8_t kInUse = 0x80;
constexpr uint8_t kFileType = 0x05;    // 0x85 in use
constexpr uint8_t kStreamType = 0x40;  // 0xC0 in use
constexpr uint8_t kNameType = 0x41;    // 0xC1 in use
constexpr size_t kNameUnitsPerEntry = 15;

}  // namespace

uint16_t ExfatSetChecksum(Bytes set, bool asInUse) {
  uint16_t sum = 0;
  for (size_t i = 0; i < set.size(); ++i) {
    if (i == 2 || i == 3) continue;
    uint8_t b = set[i];
    if (asInUse && i % kEntry == 0) b |= kInUse;
    sum = static_cast<uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + b);
  }
  return sum;
}

std::optional<int64_t> ExfatTime(uint32_t stamp, uint8_t tenMs, uint8_t utcOffset) {
  std::optional<int64_t> t =
      FatDateTime(static_cast<uint16_t>(stamp >> 16), static_cast<uint16_t>(stamp & 0xFFFF));
  if (!t) return t;
  if (tenMs <= 199) *t += tenMs / 100;
  if ((utcOffset & 0x80) != 0) {
    // Seven bits of signed quarter hours east of UTC.
    int offset = utcOffset & 0x7F;
    if (offset >= 64) offset -= 128;
    *t -= int64_t{offset} * 15 * 60;
  }
  return t;
}

std::vector<ExfatEntrySet> ParseExfatEntrySets(Bytes dir) {
  std::vector<ExfatEntrySet> out;
  size_t off = 0;
  while (off + kEntry <= dir.size()) {
    const uint8_t type = U8(dir, off);
    if (type == 0x00) break;
    if ((type & ~kInUse) != kFileType) {
      off += kEntry;
      continue;
    }
    const bool inUse = (type & kInUse) != 0;
    const size_t secondaries = U8(dir, off + 1);
    const size_t setBytes = (secondaries + 1) * kEntry;
    // A stream extension and at least one name, within the directory.
    if (secondaries < 2 || secondaries > 18 || !InBounds(dir, off, setBytes)) {
      off += kEntry;
      continue;
    }
    const Bytes set = dir.subspan(off, setBytes);
    bool shaped = (U8(set, kEntry) & ~kInUse) == kStreamType;
    for (size_t k = 1; k <= secondaries && shaped; ++k) {
      const uint8_t t = U8(set, k * kEntry);
      // Every entry of a set is in use, or none is.
      shaped = ((t & kInUse) != 0) == inUse && (t & 0x40) != 0;
    }
    if (!shaped || ExfatSetChecksum(set, !inUse) != LE16(set, 2)) {
      off += kEntry;
      continue;
    }
    const Bytes stream = set.subspan(kEntry, kEntry);
    const size_t nameUnits = U8(stream, 3);
    std::vector<uint8_t> units;
    for (size_t k = 2; k <= secondaries && units.size() < nameUnits * 2; ++k) {
      const Bytes e = set.subspan(k * kEntry, kEntry);
      if ((U8(e, 0) & ~kInUse) != kNameType) break;
      for (size_t u = 0; u < kNameUnitsPerEntry && units.size() < nameUnits * 2; ++u) {
        units.push_back(U8(e, 2 + 2 * u));
        units.push_back(U8(e, 3 + 2 * u));
      }
    }
    if (nameUnits == 0 || units.size() != nameUnits * 2) {
      off += kEntry;
      continue;
    }
    ExfatEntrySet s;
    s.Offset = off;
    s.InUse = inUse;
    s.Attributes = LE16(set, 4);
    s.Directory = (s.Attributes & 0x10) != 0;
    s.Name = SafeName(Utf16LeToUtf8(units, 0, nameUnits, true));
    s.NoFatChain = (U8(stream, 1) & 0x02) != 0;
    s.ValidDataLength = LE64(stream, 8);
    s.FirstCluster = LE32(stream, 20);
    s.DataLength = LE64(stream, 24);
    s.Created = ExfatTime(LE32(set, 8), U8(set, 20), U8(set, 22));
    s.Modified = ExfatTime(LE32(set, 12), U8(set, 21), U8(set, 23));
    out.push_back(std::move(s));
    off += setBytes;
  }
  return out;
}

}  // namespace tarnwick
