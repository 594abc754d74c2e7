#pragma once
// One bit per Source sector: set means in use (allocated by the file system,
// claimed by a carver, or metadata found by the scan).
#include <cstdint>
#include <vector>

namespace tarnwick {

class ClusterMap {
 public:
  // Sizes the map for sectors 0..lastSector, all clear. Returns false when the
  // memory cannot be had. (lastSector + 8) / 8 bytes.
  bool Allocate(uint64_t lastSector);
  void Free();
  bool Allocated() const { return allocated_; }
  uint64_t SizeInBytes() const { return bits_.size(); }

  // Sectors outside the map are ignored (set) or read as clear (test): the
  // map never grows and never touches memory beyond its end.
  void MarkSector(uint64_t s);
  void MarkSectorRun(uint64_t first, int32_t count);
  void UnmarkSector(uint64_t s);
  bool IsSectorMarked(uint64_t s) const;

  const std::vector<uint8_t>& Bits() const { return bits_; }

 private:
  std::vector<uint8_t> bits_;
  bool allocated_ = false;
};

}  // namespace tarnwick
