#include "filesystems/fat_entries.h"

#include <array>

#include "filesystems/fat_table.h"
#include "source/utf16.h"

namespace tarnwick {

namespace {

constexpr size_t kEntry = 32;
constexpr uint8_t kDeletedMark = 0xE5;
constexpr uint8_t kLongNameAttributes = 0x0F;
constexpr uint8_t kDirectoryAttribute = 0x10;
constexpr uint8_t kVolumeLabelAttribute = 0x08;
constexpr size_t kMaxLongNameParts = 20;  // 255 characters, 13 a part
// Where the 13 UTF-16 units of a long-name part lie in its entry.
constexpr std::array<size_t, 13> kLongNameUnits = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

bool IsLongNamePart(Bytes e) { return (U8(e, 11) & 0x3F) == kLongNameAttributes; }

// A long-name part has no cluster and a zero type byte.
bool LongNamePartHolds(Bytes e) { return U8(e, 12) == 0 && LE16(e, 26) == 0; }

bool IsShortNameChar(uint8_t c) {
  if (c < 0x20) return false;
  switch (c) {
    case '"':
    case '*':
    case '+':
    case ',':
    case '.':
    case '/':
    case ':':
    case ';':
    case '<':
    case '=':
    case '>':
    case '?':
    case '[':
    case '\\':
    case ']':
    case '|': return false;
    default: return true;
  }
}

bool IsDotName(Bytes e) {
  static constexpr char kDot[] = ".          ";
  static constexpr char kDotDot[] = "..         ";
  return BytesEqual(e, 0, std::string_view(kDot, 11)) ||
         BytesEqual(e, 0, std::string_view(kDotDot, 11));
}

bool TimeOrZero(uint16_t date, uint16_t time) {
  return (date == 0 && time == 0) || FatDateTime(date == 0 ? 0x21 : date, time).has_value();
}

// The entry could be a file's or a directory's: its name, attributes and
// times are possible. The first byte is not looked at for a deleted entry.
bool ShortEntryHolds(Bytes e, bool deleted) {
  const uint8_t attributes = U8(e, 11);
  if ((attributes & 0xC0) != 0) return false;
  if ((U8(e, 12) & ~0x18) != 0) return false;  // only the two lower-case flags
  if (U8(e, 13) > 199) return false;           // hundredths of the creation time
  if (!TimeOrZero(LE16(e, 16), LE16(e, 14)) || !TimeOrZero(LE16(e, 24), LE16(e, 22))) {
    return false;
  }
  const uint8_t first = U8(e, 0);
  if (!deleted && first != 0x05 && (first == ' ' || !IsShortNameChar(first))) return false;
  for (size_t i = 1; i < 11; ++i) {
    if (!IsShortNameChar(U8(e, i))) return false;
  }
  return true;
}

std::string ShortNameText(Bytes e, bool deleted) {
  auto part = [&](size_t from, size_t count, bool lower) {
    std::string text;
    for (size_t i = from; i < from + count; ++i) {
      uint8_t c = U8(e, i);
      if (i == 0 && deleted) c = '_';
      if (i == 0 && c == 0x05) c = kDeletedMark;
      if (c >= 0x80) c = '_';  // the code page of the writer is not known
      if (lower && c >= 'A' && c <= 'Z') c = static_cast<uint8_t>(c - 'A' + 'a');
      text += static_cast<char>(c);
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
  };
  const uint8_t flags = U8(e, 12);
  std::string name = part(0, 8, (flags & 0x08) != 0);
  const std::string extension = part(8, 3, (flags & 0x10) != 0);
  if (!extension.empty()) name += "." + extension;
  return SafeName(name);
}

uint8_t ChecksumWithFirst(uint8_t first, Bytes name11) {
  uint8_t sum = 0;
  for (size_t i = 0; i < 11; ++i) {
    const uint8_t c = i == 0 ? first : U8(name11, i);
    sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + c);
  }
  return sum;
}

// The name the parts spell, nearest part first; nothing when a unit cannot
// be part of a name. A terminating zero ends it; parts past it are dropped.
std::optional<std::string> SpellLongName(Bytes dir, const std::vector<size_t>& parts) {
  std::vector<uint8_t> units;
  bool ended = false;
  for (size_t part : parts) {
    for (size_t at : kLongNameUnits) {
      const uint16_t u = LE16(dir, part + at);
      if (u == 0) {
        ended = true;
        break;
      }
      if (u < 0x20 || u == 0xFFFF) return std::nullopt;
      units.push_back(static_cast<uint8_t>(u));
      units.push_back(static_cast<uint8_t>(u >> 8));
    }
    if (ended) break;
  }
  if (units.empty()) return std::nullopt;
  return SafeName(Utf16LeToUtf8(units, 0, units.size() / 2, false));
}

// A live entry's long name: the parts before it count 1, 2, ... up to the
// one flagged last, every one with the short name's checksum.
std::optional<std::string> LiveLongName(Bytes dir, const std::vector<size_t>& pending,
                                        Bytes shortEntry) {
  const uint8_t checksum = ShortNameChecksum(shortEntry);
  std::vector<size_t> parts;
  for (size_t k = pending.size(); k-- > 0 && parts.size() < kMaxLongNameParts;) {
    const Bytes e = dir.subspan(pending[k], kEntry);
    const uint8_t sequence = U8(e, 0);
    if ((sequence & 0x1F) != parts.size() + 1 || (sequence & 0xA0) != 0) return std::nullopt;
    if (U8(e, 13) != checksum) return std::nullopt;
    parts.push_back(pending[k]);
    if ((sequence & 0x40) != 0) return SpellLongName(dir, parts);
  }
  return std::nullopt;
}

// A deleted entry's long name. Deletion overwrote each part's sequence
// number, so the parts are taken by position, nearest first, while they are
// deleted and agree on the checksum. The short name lost its first letter,
// so the checksum cannot be compared; it must at least be met by a first
// letter that an 8.3 name can begin with.
std::optional<std::string> DeletedLongName(Bytes dir, const std::vector<size_t>& pending,
                                           Bytes shortEntry) {
  if (pending.empty()) return std::nullopt;
  const uint8_t checksum = U8(dir, pending.back() + 13);
  bool possible = false;
  for (unsigned first = 0; first < 256 && !possible; ++first) {
    const uint8_t c = static_cast<uint8_t>(first);
    possible = ChecksumWithFirst(c, shortEntry) == checksum && c != ' ' &&
               (IsShortNameChar(c) || c == 0x05);
  }
  if (!possible) return std::nullopt;
  std::vector<size_t> parts;
  for (size_t k = pending.size(); k-- > 0 && parts.size() < kMaxLongNameParts;) {
    const Bytes e = dir.subspan(pending[k], kEntry);
    if (U8(e, 0) != kDeletedMark || U8(e, 13) != checksum) break;
    parts.push_back(pending[k]);
  }
  return SpellLongName(dir, parts);
}

}  // namespace

uint8_t ShortNameChecksum(Bytes name11) { return ChecksumWithFirst(U8(name11, 0), name11); }

std::vector<FatEntry> ParseFatEntries(Bytes dir, size_t emitFrom) {
  std::vector<FatEntry> out;
  std::vector<size_t> pending;  // long-name parts just before, in position order
  for (size_t off = 0; off + kEntry <= dir.size(); off += kEntry) {
    const Bytes e = dir.subspan(off, kEntry);
    const uint8_t first = U8(e, 0);
    if (first == 0x00) {
      if (off >= emitFrom) break;
      pending.clear();
      continue;
    }
    if (IsLongNamePart(e)) {
      if (LongNamePartHolds(e)) {
        pending.push_back(off);
      } else {
        pending.clear();
      }
      continue;
    }
    const bool deleted = first == kDeletedMark;
    std::vector<size_t> parts;
    parts.swap(pending);
    if (off < emitFrom || !ShortEntryHolds(e, deleted)) continue;
    const uint8_t attributes = U8(e, 11);
    const bool directory = (attributes & kDirectoryAttribute) != 0;
    if ((attributes & kVolumeLabelAttribute) != 0 && !directory) continue;
    if (IsDotName(e)) continue;

    FatEntry entry;
    entry.Offset = off;
    entry.Deleted = deleted;
    entry.Directory = directory;
    entry.Attributes = attributes;
    entry.ShortName = ShortNameText(e, deleted);
    std::optional<std::string> longName =
        deleted ? DeletedLongName(dir, parts, e) : LiveLongName(dir, parts, e);
    entry.HasLongName = longName.has_value();
    entry.Name = longName ? *longName : entry.ShortName;
    entry.ClusterHigh = LE16(e, 20);
    entry.ClusterLow = LE16(e, 26);
    entry.Size = directory ? 0 : LE32(e, 28);
    entry.Modified = FatDateTime(LE16(e, 24), LE16(e, 22));
    entry.Created = FatDateTime(LE16(e, 16), LE16(e, 14));
    if (entry.Created) *entry.Created += U8(e, 13) / 100;
    out.push_back(std::move(entry));
  }
  return out;
}

bool LooksLikeDirectory(Bytes cluster, bool& endSeen) {
  endSeen = false;
  size_t entries = 0;
  for (size_t off = 0; off + kEntry <= cluster.size(); off += kEntry) {
    const Bytes e = cluster.subspan(off, kEntry);
    const uint8_t first = U8(e, 0);
    if (first == 0x00) {
      endSeen = true;
      break;
    }
    if (IsLongNamePart(e)) {
      if (!LongNamePartHolds(e)) return false;
    } else if (!IsDotName(e) && !ShortEntryHolds(e, first == kDeletedMark)) {
      bool fill = true;  // a formatter's E5 fill
      for (size_t i = 0; i < kEntry && fill; ++i) fill = U8(e, i) == kDeletedMark;
      if (!fill) return false;
    }
    ++entries;
  }
  return entries != 0;
}

std::optional<std::pair<uint32_t, uint32_t>> DotEntries(Bytes dir) {
  static constexpr char kDot[] = ".          ";
  static constexpr char kDotDot[] = "..         ";
  if (!BytesEqual(dir, 0, std::string_view(kDot, 11)) ||
      !BytesEqual(dir, kEntry, std::string_view(kDotDot, 11))) {
    return std::nullopt;
  }
  if ((U8(dir, 11) & kDirectoryAttribute) == 0 ||
      (U8(dir, kEntry + 11) & kDirectoryAttribute) == 0) {
    return std::nullopt;
  }
  auto cluster = [&](size_t e) { return (uint32_t{LE16(dir, e + 20)} << 16) | LE16(dir, e + 26); };
  return std::make_pair(cluster(0), cluster(kEntry));
}

}  // namespace tarnwick
