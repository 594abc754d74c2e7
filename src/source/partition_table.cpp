#include "source/partition_table.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
#include <set>

#include "source/bytes.h"
#include "source/utf16.h"

namespace tarnwick {

namespace {

constexpr uint16_t kBootSignature = 0xAA55;
constexpr size_t kMbrEntries = 446;
constexpr uint8_t kProtectiveType = 0xEE;
constexpr int kMaxLogical = 128;          // longer chains are damaged or hostile
constexpr uint32_t kMaxGptEntries = 4096;  // the usual array holds 128
constexpr uint32_t kMaxGptEntryBytes = 4096;

bool IsExtendedType(uint8_t t) { return t == 0x05 || t == 0x0F || t == 0x85; }

struct MbrSlot {
  uint8_t Status = 0;
  uint8_t Type = 0;
  uint32_t Start = 0;  // relative to the table's reference sector
  uint32_t Count = 0;
};

MbrSlot SlotAt(Bytes sector, int i) {
  const size_t off = kMbrEntries + 16 * static_cast<size_t>(i);
  return MbrSlot{U8(sector, off), U8(sector, off + 4), LE32(sector, off + 8),
                 LE32(sector, off + 12)};
}

const char* MbrTypeName(uint8_t t) {
  switch (t) {
    case 0x01: return "FAT12";
    case 0x04: return "FAT16 <32M";
    case 0x05: return "Extended";
    case 0x06: return "FAT16";
    case 0x07: return "NTFS/exFAT";
    case 0x0B: return "FAT32";
    case 0x0C: return "FAT32 (LBA)";
    case 0x0E: return "FAT16 (LBA)";
    case 0x0F: return "Extended (LBA)";
    case 0x11: return "Hidden FAT12";
    case 0x14: return "Hidden FAT16 <32M";
    case 0x16: return "Hidden FAT16";
    case 0x17: return "Hidden NTFS/exFAT";
    case 0x1B: return "Hidden FAT32";
    case 0x1C: return "Hidden FAT32 (LBA)";
    case 0x1E: return "Hidden FAT16 (LBA)";
    case 0x27: return "Windows recovery";
    case 0x82: return "Linux swap";
    case 0x83: return "Linux";
    case 0x85: return "Linux extended";
    case 0x8E: return "Linux LVM";
    case 0xA5: return "FreeBSD";
    case 0xA8: return "Apple UFS";
    case 0xAF: return "HFS/HFS+";
    case 0xEE: return "GPT protective";
    case 0xEF: return "EFI system";
    case 0xFD: return "Linux RAID";
    default: return "Unknown";
  }
}

struct GuidName {
  const char* Guid;
  const char* Name;
};

constexpr std::array kGptTypes{
    GuidName{"C12A7328-F81F-11D2-BA4B-00A0C93EC93B", "EFI system"},
    GuidName{"21686148-6449-6E6F-744E-656564454649", "BIOS boot"},
    GuidName{"E3C9E316-0B5C-4DB8-817D-F92DF00215AE", "Microsoft reserved"},
    GuidName{"EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", "Microsoft basic data"},
    GuidName{"DE94BBA4-06D1-4D40-A16A-BFD50179D6AC", "Windows recovery"},
    GuidName{"5808C8AA-7E8F-42E0-85D2-E1E90434CFB3", "Windows LDM metadata"},
    GuidName{"AF9B60A0-1431-4F62-BC68-3311714A69AD", "Windows LDM data"},
    GuidName{"0FC63DAF-8483-4772-8E79-3D69D8477DE4", "Linux filesystem"},
    GuidName{"0657FD6D-A4AB-4C49-84E5-0929246D8FAC", "Linux swap"},
    GuidName{"E6D6D379-F507-44C2-A23C-238F2A3DF928", "Linux LVM"},
    GuidName{"A19D880F-05FC-4D3B-A006-743F0F84911E", "Linux RAID"},
    GuidName{"933AC7E1-2EB4-4F13-B844-0E14E2AEF915", "Linux home"},
    GuidName{"48465300-0000-11AA-AA11-00306543ECAC", "Apple HFS/HFS+"},
    GuidName{"7C3457EF-0000-11AA-AA11-00306543ECAC", "Apple APFS"},
};

// The text form of a GUID: the first three fields are stored little-endian.
std::string GuidText(Bytes b, size_t off) {
  char text[40];
  std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                LE32(b, off), LE16(b, off + 4), LE16(b, off + 6), U8(b, off + 8), U8(b, off + 9),
                U8(b, off + 10), U8(b, off + 11), U8(b, off + 12), U8(b, off + 13),
                U8(b, off + 14), U8(b, off + 15));
  return text;
}

std::string GptTypeName(const std::string& guid) {
  for (const GuidName& g : kGptTypes)
    if (guid == g.Guid) return g.Name;
  return "Unknown";
}

// The 36 UTF-16LE units of a GPT name, up to the first zero; a broken
// surrogate becomes U+FFFD.
std::string GptName(Bytes entry) { return Utf16LeToUtf8(entry, 56, 36, true); }

class TableReader {
 public:
  TableReader(SourceDevice& d, PartitionTable& t) : dev_(d), t_(t) {}

  // Reads whole sectors; false when the device fails or they lie beyond it.
  bool ReadSectors(uint64_t sector, uint64_t count, std::vector<uint8_t>& out) {
    if (count == 0 || sector >= t_.DiskSectors || count > t_.DiskSectors - sector) return false;
    out.assign(static_cast<size_t>(count * t_.SectorSize), 0);
    return dev_.ReadAt(sector * t_.SectorSize, out) == static_cast<int64_t>(out.size());
  }

  void Problem(std::string text) { t_.Problems.push_back(std::move(text)); }

  // Keeps an entry that lies on the disk, cutting one that runs past its end.
  bool Admit(PartitionEntry p, uint64_t lowest, uint64_t highest) {
    const std::string name = "partition " + std::to_string(p.Index);
    if (p.FirstSector < lowest || p.FirstSector > highest) {
      Problem(name + " starts outside the disk's usable sectors; it is ignored");
      return false;
    }
    if (p.LastSector > highest) {
      Problem(name + " runs past the end of the disk; it is cut at sector " +
              std::to_string(highest));
      p.LastSector = highest;
    }
    t_.Partitions.push_back(std::move(p));
    return true;
  }

  void ReadMbr(Bytes mbr) {
    t_.Scheme = TableScheme::Mbr;
    const uint64_t last = t_.DiskSectors - 1;
    for (int i = 0; i < 4; ++i) {
      MbrSlot slot = SlotAt(mbr, i);
      if (slot.Type == 0 || slot.Count == 0) continue;
      if (IsExtendedType(slot.Type)) {
        // An extended partition at sector 0 would read the MBR as its own chain.
        if (slot.Start == 0 || slot.Start > last) {
          Problem("the extended partition lies outside the disk; it is ignored");
        } else {
          ReadLogical(slot.Start, uint64_t{slot.Start} + slot.Count - 1);
        }
        continue;
      }
      PartitionEntry p;
      p.Index = i + 1;
      p.FirstSector = slot.Start;
      p.LastSector = uint64_t{slot.Start} + slot.Count - 1;
      p.MbrType = slot.Type;
      p.TypeName = MbrTypeName(slot.Type);
      Admit(std::move(p), 1, last);
    }
    std::sort(t_.Partitions.begin(), t_.Partitions.end(),
              [](const PartitionEntry& a, const PartitionEntry& b) { return a.Index < b.Index; });
  }

  // Follows the chain of extended boot records. Each one describes a logical
  // partition relative to itself and the next record relative to the start
  // of the extended partition.
  void ReadLogical(uint64_t extFirst, uint64_t extLast) {
    std::set<uint64_t> seen;
    uint64_t ebr = extFirst;
    int index = 5;
    std::vector<uint8_t> sector;
    while (index < 5 + kMaxLogical) {
      if (!seen.insert(ebr).second) {
        Problem("the chain of logical partitions loops; it is followed no further");
        return;
      }
      if (!ReadSectors(ebr, 1, sector) || LE16(sector, 510) != kBootSignature) {
        if (ebr != extFirst) Problem("a logical partition's table at sector " +
                                     std::to_string(ebr) + " is unreadable");
        return;
      }
      MbrSlot data = SlotAt(sector, 0);
      MbrSlot next = SlotAt(sector, 1);
      if (data.Type != 0 && data.Count != 0 && !IsExtendedType(data.Type)) {
        PartitionEntry p;
        p.Index = index++;
        p.FirstSector = ebr + data.Start;
        p.LastSector = p.FirstSector + data.Count - 1;
        p.MbrType = data.Type;
        p.Logical = true;
        p.TypeName = MbrTypeName(data.Type);
        if (p.LastSector > extLast) {
          Problem("partition " + std::to_string(p.Index) +
                  " runs past the end of its extended partition");
        }
        Admit(std::move(p), ebr + 1, t_.DiskSectors - 1);
      }
      if (!IsExtendedType(next.Type) || next.Count == 0) return;
      ebr = extFirst + next.Start;
      if (ebr > extLast) {
        Problem("a logical partition's table lies outside the extended partition");
        return;
      }
    }
  }

  struct GptHeader {
    uint64_t MyLba = 0, AlternateLba = 0, FirstUsable = 0, LastUsable = 0, EntriesLba = 0;
    uint32_t EntryCount = 0, EntrySize = 0, EntriesCrc = 0;
  };

  // A header that is whole (its CRC holds) and describes this disk.
  std::optional<GptHeader> GptHeaderAt(uint64_t lba) {
    std::vector<uint8_t> sector;
    if (!ReadSectors(lba, 1, sector)) return std::nullopt;
    Bytes b(sector);
    if (!BytesEqual(b, 0, "EFI PART")) return std::nullopt;
    const uint32_t size = LE32(b, 12);
    if (size < 92 || size > t_.SectorSize) return std::nullopt;
    const uint32_t stored = LE32(b, 16);
    std::fill(sector.begin() + 16, sector.begin() + 20, uint8_t{0});
    if (GptCrc32(sector.data(), size) != stored) return std::nullopt;
    GptHeader h;
    h.MyLba = LE64(b, 24);
    h.AlternateLba = LE64(b, 32);
    h.FirstUsable = LE64(b, 40);
    h.LastUsable = LE64(b, 48);
    h.EntriesLba = LE64(b, 72);
    h.EntryCount = LE32(b, 80);
    h.EntrySize = LE32(b, 84);
    h.EntriesCrc = LE32(b, 88);
    const uint64_t last = t_.DiskSectors - 1;
    if (h.MyLba != lba || h.FirstUsable > h.LastUsable || h.LastUsable > last) return std::nullopt;
    if (h.EntrySize < 128 || h.EntrySize > kMaxGptEntryBytes || h.EntrySize % 8 != 0)
      return std::nullopt;
    if (h.EntryCount == 0 || h.EntryCount > kMaxGptEntries) return std::nullopt;
    return h;
  }

  bool GptEntries(const GptHeader& h, std::vector<uint8_t>& array) {
    const uint64_t bytes = uint64_t{h.EntryCount} * h.EntrySize;
    const uint64_t sectors = (bytes + t_.SectorSize - 1) / t_.SectorSize;
    if (!ReadSectors(h.EntriesLba, sectors, array)) return false;
    return GptCrc32(array.data(), static_cast<size_t>(bytes)) == h.EntriesCrc;
  }

  bool ReadGpt() {
    std::vector<uint8_t> array;
    std::optional<GptHeader> primary = GptHeaderAt(1);
    if (primary && GptEntries(*primary, array)) {
      ListGpt(*primary, array);
      return true;
    }
    // The backup lies where the primary says, or else at the last sector.
    std::vector<uint64_t> places;
    if (primary) places.push_back(primary->AlternateLba);
    places.push_back(t_.DiskSectors - 1);
    for (uint64_t lba : places) {
      std::optional<GptHeader> backup = GptHeaderAt(lba);
      if (backup && GptEntries(*backup, array)) {
        Problem(std::string(primary ? "the primary GPT entries are damaged"
                                    : "the primary GPT header is damaged") +
                "; the backup header at sector " + std::to_string(lba) + " was used");
        t_.BackupGptUsed = true;
        ListGpt(*backup, array);
        return true;
      }
    }
    return false;
  }

  void ListGpt(const GptHeader& h, const std::vector<uint8_t>& array) {
    t_.Scheme = TableScheme::Gpt;
    Bytes all(array);
    for (uint32_t i = 0; i < h.EntryCount; ++i) {
      Bytes e = all.subspan(static_cast<size_t>(i) * h.EntrySize, h.EntrySize);
      std::string type = GuidText(e, 0);
      if (type == "00000000-0000-0000-0000-000000000000") continue;
      PartitionEntry p;
      p.Index = static_cast<int>(i) + 1;
      p.FirstSector = LE64(e, 32);
      p.LastSector = LE64(e, 40);
      p.TypeGuid = type;
      p.TypeName = GptTypeName(type);
      p.Name = GptName(e);
      if (p.FirstSector > p.LastSector) {
        Problem("partition " + std::to_string(p.Index) + " ends before it starts; it is ignored");
        continue;
      }
      Admit(std::move(p), h.FirstUsable, h.LastUsable);
    }
  }

 private:
  SourceDevice& dev_;
  PartitionTable& t_;
};

// Which sector size the table was written for: the device's own, else 512,
// unless an image holds a GPT header at 4096 and none at 512.
uint32_t TableSectorSize(SourceDevice& d) {
  uint32_t own = d.SectorSize();
  if (own >= 512 && own <= 4096 && own % 512 == 0) return own;
  std::array<uint8_t, 8> sig{};
  if (d.ReadAt(512, sig) == 8 && BytesEqual(sig, 0, "EFI PART")) return 512;
  if (d.ReadAt(4096, sig) == 8 && BytesEqual(sig, 0, "EFI PART")) return 4096;
  return 512;
}

}  // namespace

uint32_t GptCrc32(const uint8_t* data, size_t size) {
  uLong crc = crc32(0L, Z_NULL, 0);
  while (size > 0) {
    const uInt n = static_cast<uInt>(std::min<size_t>(size, 1u << 30));
    crc = crc32(crc, data, n);
    data += n;
    size -= n;
  }
  return static_cast<uint32_t>(crc);
}

const PartitionEntry* PartitionTable::Find(int index) const {
  for (const PartitionEntry& p : Partitions)
    if (p.Index == index) return &p;
  return nullptr;
}

const char* SchemeName(TableScheme scheme) {
  switch (scheme) {
    case TableScheme::Mbr: return "MBR";
    case TableScheme::Gpt: return "GPT";
    case TableScheme::None: break;
  }
  return "none";
}

PartitionTable ReadPartitionTable(SourceDevice& device, const VolumeBootTest& isVolumeBoot) {
  PartitionTable t;
  t.SectorSize = TableSectorSize(device);
  t.DiskSectors = device.Size() / t.SectorSize;
  if (t.DiskSectors < 2) return t;
  TableReader reader(device, t);

  std::array<uint8_t, 4096> head{};  // as much as a boot-sector check reads
  if (device.ReadAt(0, head) < 0) return t;
  Bytes mbr = Bytes(head).first(t.SectorSize);
  // A volume's own boot sector also ends in 55 AA; its code is no table.
  if (isVolumeBoot && isVolumeBoot(head)) return t;

  bool protective = false;
  bool plausibleMbr = LE16(mbr, 510) == kBootSignature;
  for (int i = 0; i < 4 && plausibleMbr; ++i) {
    MbrSlot slot = SlotAt(mbr, i);
    if (slot.Status != 0x00 && slot.Status != 0x80) plausibleMbr = false;
    if (slot.Type == kProtectiveType) protective = true;
  }
  // A GPT is looked for behind a protective MBR, and also when the MBR is
  // gone: its headers may still be whole.
  if (protective || !plausibleMbr) {
    if (reader.ReadGpt()) return t;
    if (protective) {
      t.Scheme = TableScheme::Gpt;
      reader.Problem("the disk has a protective MBR but neither GPT header is valid");
      return t;
    }
  }
  if (plausibleMbr) reader.ReadMbr(mbr);
  return t;
}

}  // namespace tarnwick
