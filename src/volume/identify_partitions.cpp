#include "volume/identify_partitions.h"

#include <array>
#include <span>

#include "source/drives.h"
#include "source/slice_device.h"
#include "volume/identify.h"

namespace tarnwick {

void ProbeLabel(const std::string& devicePath, uint64_t offset, uint64_t length,
                std::string& type, std::string& label) {
  ProbeVolumeAt(devicePath, offset, length, type, label);
}

std::vector<PartitionContents> IdentifyPartitions(SourceDevice& disk, const PartitionTable& table,
                                                  const std::string& devicePath) {
  std::vector<PartitionContents> out;
  for (const PartitionEntry& p : table.Partitions) {
    PartitionContents c;
    c.Entry = p;
    const uint64_t offset = table.ByteOffset(p), length = table.ByteLength(p);
    SliceDevice slice(disk, offset, length);
    std::array<uint8_t, kBootBlockSize> block{};
    bool read = slice.ReadAt(0, block) >= 0;
    if (!read) {
      // A bad sector behind the boot sector must not hide it: sector 0 alone.
      block.fill(0);
      read = slice.ReadAt(0, std::span(block).first(512)) >= 0;
    }
    if (read && IdentifyBlock(block, c.Geometry)) {
      c.Identified = true;
      c.Geometry.LastSector = length / c.Geometry.BytesPerSector - 1;
      c.FsName = std::string(FsKindName(c.Geometry.FsKind));
    } else {
      c.Geometry = VolumeGeometry{};
    }
    std::string blkidType;
    ProbeLabel(devicePath, offset, length, blkidType, c.Label);
    if (c.FsName.empty()) c.FsName = blkidType;
    out.push_back(std::move(c));
  }
  return out;
}

}  // namespace tarnwick
