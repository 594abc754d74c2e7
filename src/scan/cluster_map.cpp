#include "scan/cluster_map.h"

#include <cstddef>
#include <new>

namespace tarnwick {

bool ClusterMap::Allocate(uint64_t lastSector) {
  Free();
  // (LastSector + 8) / 8 bytes; an empty Source (LastSector all bits set) has none.
  uint64_t bytes = lastSector == UINT64_MAX ? 0 : lastSector / 8 + 1;
  try {
    bits_.assign(static_cast<size_t>(bytes), 0);
  } catch (const std::bad_alloc&) {
    Free();
    return false;
  }
  allocated_ = true;
  return true;
}

void ClusterMap::Free() {
  allocated_ = false;
  bits_.clear();
  bits_.shrink_to_fit();
}

void ClusterMap::MarkSector(uint64_t s) {
  uint64_t byte = s >> 3;
  if (byte < bits_.size()) bits_[byte] |= static_cast<uint8_t>(1u << (s & 7));
}

void ClusterMap::UnmarkSector(uint64_t s) {
  uint64_t byte = s >> 3;
  if (byte < bits_.size()) bits_[byte] &= static_cast<uint8_t>(~(1u << (s & 7)));
}

bool ClusterMap::IsSectorMarked(uint64_t s) const {
  uint64_t byte = s >> 3;
  return byte < bits_.size() && (bits_[byte] & (1u << (s & 7))) != 0;
}

void ClusterMap::MarkSectorRun(uint64_t first, int32_t count) {
  if (count <= 0) return;
  uint64_t s = first;
  uint64_t remaining = static_cast<uint64_t>(count);
  while (remaining > 0 && (s & 7) != 0) {
    MarkSector(s++);
    --remaining;
  }
  while (remaining >= 8) {
    uint64_t byte = s >> 3;
    if (byte < bits_.size()) bits_[byte] = 0xFF;
    s += 8;
    remaining -= 8;
  }
  while (remaining > 0) {
    MarkSector(s++);
    --remaining;
  }
}

}  // namespace tarnwick
