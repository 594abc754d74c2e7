#pragma once
// Opening one partition of a whole disk or whole-disk image as the Source:
// a Source over a slice of the disk, identified like any partition.
#include <string>

#include "scan/session_source.h"
#include "source/partition_table.h"

namespace tarnwick {

struct Session;

struct PartitionOpen {
  OpenOutcome Outcome;
  // Why no partition was opened when the disk itself opened fine (no
  // table, no such partition); empty otherwise.
  std::string Problem;
  PartitionTable Table;
};

// Opens partition `index` (numbered as ReadPartitionTable numbers them) of
// the disk or image at path. The Source keeps the disk's identity, so that
// nothing is written onto the disk the partition lies on.
PartitionOpen OpenPartitionOf(Session& s, const std::string& path, int index);

// The same over a device already made (tests, tools).
PartitionOpen OpenPartitionOfDevice(Session& s, std::unique_ptr<SourceDevice> disk,
                                    const std::string& name, int index);

}  // namespace tarnwick
