#pragma once
// Partition tables of a whole disk or a whole-disk image: MBR with its
// extended and logical partitions, and GPT (protective MBR, primary header
// and entries, the backup header when the primary is damaged). Every entry is
// checked against the disk before it is believed: disk contents are hostile.
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "source/device.h"

namespace tarnwick {

enum class TableScheme { None, Mbr, Gpt };

struct PartitionEntry {
  // The number a user gives to --partition: MBR primaries 1 to 4 by their
  // slot, logical partitions from 5 in chain order, GPT entries by slot from 1
  // (as the system numbers the partitions of a disk).
  int Index = 0;
  uint64_t FirstSector = 0;  // in the table's sectors
  uint64_t LastSector = 0;   // inclusive
  uint8_t MbrType = 0;       // MBR only
  bool Logical = false;      // inside the extended partition
  std::string TypeGuid;      // GPT only, in its usual text form
  std::string TypeName;      // what the type says, e.g. "FAT32 (LBA)"
  std::string Name;          // the GPT partition name, UTF-8
  uint64_t SectorCount() const { return LastSector - FirstSector + 1; }
};

struct PartitionTable {
  TableScheme Scheme = TableScheme::None;
  uint32_t SectorSize = 512;
  uint64_t DiskSectors = 0;  // whole sectors the device holds
  std::vector<PartitionEntry> Partitions;  // in the order of their index
  bool BackupGptUsed = false;
  // Things a user should know: refused entries, a damaged header.
  std::vector<std::string> Problems;

  const PartitionEntry* Find(int index) const;
  uint64_t ByteOffset(const PartitionEntry& p) const { return p.FirstSector * SectorSize; }
  uint64_t ByteLength(const PartitionEntry& p) const { return p.SectorCount() * SectorSize; }
};

// Reads the table of a device. Sector size: the device's own, or for an
// image 512 unless a GPT header is found only at 4096. A device whose first
// sector is a volume's boot sector has no table (Scheme None): isVolumeBoot
// tells one (the first 4096 bytes of the device, zero beyond its end).
using VolumeBootTest = std::function<bool(std::span<const uint8_t> head)>;
PartitionTable ReadPartitionTable(SourceDevice& device, const VolumeBootTest& isVolumeBoot);

const char* SchemeName(TableScheme scheme);

// The CRC-32 that GPT uses (zlib's), exposed for the tests that damage one.
uint32_t GptCrc32(const uint8_t* data, size_t size);

}  // namespace tarnwick
