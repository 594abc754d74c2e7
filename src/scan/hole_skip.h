#pragma once
// Phase 1 over a sparse image: a hole reads as zeros, and a sector of zeros
// starts no file, so the sectors of a hole need not be read at all. A 4 TiB
// image that holds a few gigabytes is searched in the time of those.
#include <cstdint>

namespace tarnwick {

class SourceDevice;

class HoleSkip {
 public:
  // A null device has no holes.
  HoleSkip(const SourceDevice* device, uint32_t bytesPerSector)
      : device_(device), bps_(bytesPerSector) {}
  // The first sector at or after n that may hold data: n itself, or the
  // sector holding the first data byte after a hole, or a sector past the
  // device's last one when only holes follow.
  uint64_t NextDataSector(uint64_t n) {
    if (n < UINT64_MAX / 4096 && n * bps_ >= dataBegin_ && n * bps_ < dataEnd_) return n;
    return Look(n);
  }

 private:
  uint64_t Look(uint64_t n);
  const SourceDevice* device_;
  uint32_t bps_;
  // The stretch [dataBegin_, dataEnd_) in bytes last found to hold data.
  uint64_t dataBegin_ = 0;
  uint64_t dataEnd_ = 0;
};

}  // namespace tarnwick
