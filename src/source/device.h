#pragma once
// The one seam through which the Source is read. The Source is never opened
// for writing anywhere in the program.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace tarnwick {

// Bytes [Begin, End) of a device.
struct ByteSpan {
  uint64_t Begin = 0;
  uint64_t End = 0;
};

class SourceDevice {
 public:
  virtual ~SourceDevice() = default;
  // Length in bytes.
  virtual uint64_t Size() const = 0;
  // Logical sector size that the device reports (0 when it has none, as for
  // an image file).
  virtual uint32_t SectorSize() const { return 0; }
  // Reads out.size() bytes at offset. Returns the number of bytes delivered
  // (short only at the end of the device) or -1 when the read failed. Bytes
  // not delivered are zero-filled, so a caller never sees stale memory.
  virtual int64_t ReadAt(uint64_t offset, std::span<uint8_t> out) = 0;
  // True once a failed read said that the device itself is gone (unplugged,
  // medium removed) rather than that the sector is bad.
  virtual bool Gone() const { return false; }
  // The next stretch at or after offset that may hold data: the bytes from
  // offset to its Begin are a hole of a sparse image and read as zeros. Begin
  // is Size() when only holes follow. A device that cannot tell says that
  // everything from offset to its end may hold data.
  virtual ByteSpan NextData(uint64_t offset) const { return {offset, Size()}; }
};

enum class DeviceKind { Image, Partition, Disk };

// What identifies the Source on this machine, to keep output off it. On
// Linux: the block device number of a device, the file system and inode of
// an image. On Windows: the disk number of a device, the volume serial and
// file index of an image.
struct DeviceIdentity {
  bool isBlock = false;
  uint64_t rdev = 0;  // the device (block devices, disks)
  uint64_t dev = 0;   // the file system holding the file (images)
  uint64_t ino = 0;   // the file within it
};

// A regular file, a block device or a raw disk or volume, opened read-only.
// Each platform has its own (posix_device.h, windows_device.h).
class FileDevice : public SourceDevice {
 public:
  // Opens path read-only. On failure returns null and sets error to the
  // system's reason.
  static std::unique_ptr<FileDevice> Open(const std::string& path, std::string& error);
  FileDevice(const FileDevice&) = delete;
  FileDevice& operator=(const FileDevice&) = delete;

  uint64_t Size() const override { return size_; }
  uint32_t SectorSize() const override { return sectorSize_; }
  bool Gone() const override { return gone_; }

  DeviceKind Kind() const { return kind_; }
  const DeviceIdentity& Identity() const { return identity_; }
  // False when the size or sector-size query of a device failed.
  bool GeometryKnown() const { return geometryKnown_; }

 protected:
  FileDevice() = default;
  uint64_t size_ = 0;
  uint32_t sectorSize_ = 0;
  bool geometryKnown_ = true;
  bool gone_ = false;
  DeviceKind kind_ = DeviceKind::Image;
  DeviceIdentity identity_;
};

// An in-memory Source, for tests and tools.
class MemoryDevice final : public SourceDevice {
 public:
  explicit MemoryDevice(std::vector<uint8_t> bytes, uint32_t sectorSize = 0)
      : bytes_(std::move(bytes)), sectorSize_(sectorSize) {}
  uint64_t Size() const override { return bytes_.size(); }
  uint32_t SectorSize() const override { return sectorSize_; }
  int64_t ReadAt(uint64_t offset, std::span<uint8_t> out) override;
  std::vector<uint8_t>& Bytes() { return bytes_; }
  uint64_t ReadCount() const { return reads_; }

 private:
  std::vector<uint8_t> bytes_;
  uint32_t sectorSize_;
  uint64_t reads_ = 0;
};

// Wraps another device; any read touching one of the chosen 512-byte units
// (offset / unit) fails, as a bad sector does. It can also die: from a
// chosen read on, every read fails (and, if asked, the device says it is gone).
class FaultyDevice final : public SourceDevice {
 public:
  FaultyDevice(std::unique_ptr<SourceDevice> inner, std::set<uint64_t> badUnits,
               uint32_t unit = 512)
      : inner_(std::move(inner)), bad_(std::move(badUnits)), unit_(unit) {}
  uint64_t Size() const override { return inner_->Size(); }
  uint32_t SectorSize() const override { return inner_->SectorSize(); }
  int64_t ReadAt(uint64_t offset, std::span<uint8_t> out) override;
  bool Gone() const override { return saysGone_ && dead_; }

  // Every read from the n-th on (counted from 0) fails.
  void DieAtRead(uint64_t n, bool saysGone = false) {
    dieAt_ = n;
    saysGone_ = saysGone;
  }
  uint64_t Reads() const { return reads_; }
  uint64_t FailedReads() const { return failed_; }
  // Reads that asked for a bad unit, by unit.
  const std::map<uint64_t, uint32_t>& AsksOfBadUnits() const { return asks_; }

 private:
  std::unique_ptr<SourceDevice> inner_;
  std::set<uint64_t> bad_;
  uint32_t unit_;
  uint64_t dieAt_ = UINT64_MAX;
  bool saysGone_ = false;
  bool dead_ = false;
  uint64_t reads_ = 0;
  uint64_t failed_ = 0;
  std::map<uint64_t, uint32_t> asks_;
};

// Classifies a path as DeviceKind without opening it for reading: a device
// that is a partition (or volume), a whole disk, or anything else.
DeviceKind KindOfPath(const std::string& path);

// True when a file or folder at path lies on the Source that identity names:
// on its device, one of its partitions or its disk; for an image Source,
// when path is the image file itself.
bool LiesOnSource(const DeviceIdentity& source, const std::string& path);

// True when path is itself a device of the Source's drive (the Source, one of
// its partitions, or its disk).
bool IsDeviceOfSource(const DeviceIdentity& source, const std::string& path);

}  // namespace tarnwick
