#pragma once
// What lies inside each partition of a disk: the file system that boot-sector
// identification finds there, and the label and type that libblkid reads.
#include <string>
#include <vector>

#include "source/partition_table.h"
#include "volume/geometry.h"

namespace tarnwick {

struct PartitionContents {
  PartitionEntry Entry;
  bool Identified = false;
  VolumeGeometry Geometry;  // relative to the partition's first sector
  std::string FsName;       // ours when identified, else libblkid's type, else empty
  std::string Label;
};

// Identifies the file system of every partition of the table. devicePath,
// when not empty, is the disk or image the device reads, for libblkid's
// labels; an in-memory device has none.
std::vector<PartitionContents> IdentifyPartitions(SourceDevice& disk, const PartitionTable& table,
                                                  const std::string& devicePath);

// libblkid's type and label of the bytes [offset, offset + length) of a file
// or block device; empty strings when it finds nothing.
void ProbeLabel(const std::string& devicePath, uint64_t offset, uint64_t length,
                std::string& type, std::string& label);

}  // namespace tarnwick
