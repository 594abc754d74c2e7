#pragma once
// The Source on Linux and other POSIX systems: a regular file or a block
// device, read with pread on a read-only descriptor.
#ifndef _WIN32
#include <sys/types.h>

#include <optional>
#include <vector>

#include "source/device.h"

namespace tarnwick {

class PosixDevice final : public FileDevice {
 public:
  static std::unique_ptr<PosixDevice> Open(const std::string& path, std::string& error);
  ~PosixDevice() override;

  int64_t ReadAt(uint64_t offset, std::span<uint8_t> out) override;
  // An image file's holes, as the file system reports them.
  ByteSpan NextData(uint64_t offset) const override;

 private:
  PosixDevice() = default;
  void DropBehind(uint64_t offset, uint64_t length);
  int fd_ = -1;
  // A Source larger than half the memory cannot stay in the page cache: what
  // was read of it is dropped from the cache, [dropFrom_, dropTo_) pending.
  bool dropBehind_ = false;
  uint64_t dropFrom_ = 0;
  uint64_t dropTo_ = 0;
};

// The block device numbers that count as "the same drive" as the Source:
// the device itself, its partitions and, for a partition, its disk.
std::vector<dev_t> RelatedBlockDevices(dev_t rdev);

// The block device that the file system holding path was mounted from, as
// /proc/self/mountinfo names it (also for FUSE file systems such as
// ntfs-3g, whose own device number is not the disk's).
std::optional<dev_t> MountSourceDevice(const std::string& path);

}  // namespace tarnwick
#endif  // _WIN32
