#pragma once
#include <cstdint>
#include <vector>

namespace tarnwick {

// File starts found by phase 1. Sector numbers are kept whole (64 bits): the
// low 32 bits alone would carve the wrong sectors on disks over 2 TiB.
// The arrays grow with what is found: from kFirstCapacity entries they double,
// by at most kMaxGrowth entries a step, so that a scan that finds little takes
// little and a scan of a large disk still reallocates rarely.
struct FoundList {
  static constexpr uint64_t kFirstCapacity = 4096;
  static constexpr uint64_t kMaxGrowth = 1'000'000;

  std::vector<uint64_t> Sectors;
  std::vector<uint8_t> Types;
  uint64_t Count = 0;
  uint64_t Capacity = 0;

  // Grows both arrays when they are full, then appends.
  void Append(uint64_t sector, uint8_t type);
  // Drops the entries whose type is 0, keeping the order of the others.
  void Compact();
  void Reset();
};

}  // namespace tarnwick
