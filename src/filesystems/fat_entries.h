#pragma once
// The 32-byte entries of a FAT12/16/32 directory, live and deleted, with
// their long names put back together.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "source/bytes.h"

namespace tarnwick {

struct FatEntry {
  size_t Offset = 0;      // of the short entry, in the bytes parsed
  std::string Name;       // the long name where its parts hold together, else ShortName
  std::string ShortName;  // 8.3, a deleted entry's lost first letter as '_'
  bool HasLongName = false;
  bool Deleted = false;
  bool Directory = false;
  uint8_t Attributes = 0;
  // The first cluster's halves: FAT32 keeps the upper one where FAT12 and
  // FAT16 keep other things.
  uint16_t ClusterHigh = 0;
  uint16_t ClusterLow = 0;
  uint32_t Size = 0;
  std::optional<int64_t> Modified;  // local time as the clock showed it
  std::optional<int64_t> Created;
};

// The entries of a directory's bytes from emitFrom on, in order, without
// the volume label, "." and "..". Bytes before emitFrom only lend their
// long-name parts to the first entries. The directory ends at the first
// entry whose first byte is 0 at or after emitFrom. Entries that cannot be
// a file's (bad characters, reserved attribute bits) are passed over.
std::vector<FatEntry> ParseFatEntries(Bytes dir, size_t emitFrom = 0);

// The checksum of an 8.3 name that its long-name parts carry.
uint8_t ShortNameChecksum(Bytes name11);

// True when a cluster's bytes read as directory entries: each slot until
// the end mark is a plausible entry, live or deleted, and at least one is
// there. endSeen tells whether the end mark was met (the directory goes no
// further).
bool LooksLikeDirectory(Bytes cluster, bool& endSeen);

// The cluster a "." entry at the start of these bytes names, when the
// first two entries are "." and ".." directory entries; the second of the
// pair gives the parent's cluster.
std::optional<std::pair<uint32_t, uint32_t>> DotEntries(Bytes dir);

}  // namespace tarnwick
