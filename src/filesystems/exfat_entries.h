#pragma once
// The entry sets of an exFAT directory: a file entry, its stream extension
// and its name entries, in use or left behind by a deletion.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "source/bytes.h"

namespace tarnwick {

struct ExfatEntrySet {
  size_t Offset = 0;  // of the file entry, in the bytes parsed
  bool InUse = false;
  bool Directory = false;
  uint16_t Attributes = 0;
  std::string Name;         // UTF-8
  bool NoFatChain = false;  // the data lies in consecutive clusters
  uint32_t FirstCluster = 0;
  uint64_t ValidDataLength = 0;
  uint64_t DataLength = 0;
  std::optional<int64_t> Modified;  // UTC where the offset is recorded, else the clock's reading
  std::optional<int64_t> Created;
};

// The entry sets of a directory's bytes, in order, that are whole and whose
// set checksum holds (for a deleted set, over its entries as they were in
// use). The directory ends at the first entry of type 0.
std::vector<ExfatEntrySet> ParseExfatEntrySets(Bytes dir);

// The checksum of an entry set's bytes, the file entry's own checksum field
// left out. With asInUse each entry's in-use bit counts as set.
uint16_t ExfatSetChecksum(Bytes set, bool asInUse);

// Seconds since 1970 of an exFAT timestamp with its 10 ms increment and
// UTC offset byte; nothing for an impossible date.
std::optional<int64_t> ExfatTime(uint32_t stamp, uint8_t tenMs, uint8_t utcOffset);

}  // namespace tarnwick
