#pragma once
// The narrow way the file-system readers reach the Source: whole sectors,
// through the read window, so that slices, fault-injecting devices and
// unreadable sectors behave as everywhere else.
#include <cstdint>
#include <span>

#include "source/device.h"
#include "source/read_cache.h"

namespace tarnwick {

class SectorReader {
 public:
  virtual ~SectorReader() = default;
  virtual uint32_t SectorSize() const = 0;
  virtual uint64_t SectorCount() const = 0;
  // Reads out.size() / SectorSize() sectors from sector on. False when any
  // byte could not be delivered (past the end, or unreadable): those bytes
  // are zero.
  virtual bool Read(uint64_t sector, std::span<uint8_t> out) = 0;
};

// Reads a device through a read window and its fault record.
class DeviceSectorReader final : public SectorReader {
 public:
  DeviceSectorReader(SourceDevice& device, ReadCache& cache, uint32_t sectorSize,
                     uint64_t sectorCount)
      : device_(device), cache_(cache), sectorSize_(sectorSize), sectorCount_(sectorCount) {}
  uint32_t SectorSize() const override { return sectorSize_; }
  uint64_t SectorCount() const override { return sectorCount_; }
  bool Read(uint64_t sector, std::span<uint8_t> out) override;

 private:
  SourceDevice& device_;
  ReadCache& cache_;
  uint32_t sectorSize_;
  uint64_t sectorCount_;
};

}  // namespace tarnwick
