#include "volume/identify_partitions.h"

#ifndef _WIN32
#include <blkid/blkid.h>
#include <fcntl.h>
#include <unistd.h>
#endif

#include <array>
#include <span>

#include "source/slice_device.h"
#include "volume/identify.h"

namespace tarnwick {

void ProbeLabel(const std::string& devicePath, uint64_t offset, uint64_t length,
                std::string& type, std::string& label) {
  type.clear();
  label.clear();
  if (devicePath.empty() || length == 0) return;
#ifdef _WIN32
  // No probing library there: the partition's own boot sector is all there is.
  static_cast<void>(offset);
#else
  int fd = ::open(devicePath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  blkid_probe pr = blkid_new_probe();
  if (pr && blkid_probe_set_device(pr, fd, static_cast<blkid_loff_t>(offset),
                                   static_cast<blkid_loff_t>(length)) == 0) {
    blkid_probe_enable_superblocks(pr, 1);
    blkid_probe_set_superblocks_flags(pr, BLKID_SUBLKS_LABEL | BLKID_SUBLKS_TYPE);
    if (blkid_do_safeprobe(pr) == 0) {
      const char* value = nullptr;
      size_t len = 0;
      if (blkid_probe_lookup_value(pr, "TYPE", &value, &len) == 0 && value) type = value;
      if (blkid_probe_lookup_value(pr, "LABEL", &value, &len) == 0 && value) label = value;
    }
  }
  if (pr) blkid_free_probe(pr);
  ::close(fd);
#endif
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
