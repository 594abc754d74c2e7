#include "scan/found_list.h"

#include <algorithm>

namespace tarnwick {

void FoundList::Append(uint64_t sector, uint8_t type) {
  if (Count == Capacity) {
    Capacity += std::clamp(Capacity, kFirstCapacity, kMaxGrowth);
    Sectors.resize(Capacity);
    Types.resize(Capacity);
  }
  Sectors[Count] = sector;
  Types[Count] = type;
  ++Count;
}

void FoundList::Compact() {
  uint64_t kept = 0;
  for (uint64_t i = 0; i < Count; ++i) {
    if (Types[i] == 0) continue;
    Sectors[kept] = Sectors[i];
    Types[kept] = Types[i];
    ++kept;
  }
  Count = kept;
  Capacity = kept;
  Sectors.resize(kept);
  Types.resize(kept);
}

void FoundList::Reset() {
  Sectors.clear();
  Sectors.shrink_to_fit();
  Types.clear();
  Types.shrink_to_fit();
  Count = 0;
  Capacity = 0;
}

}  // namespace tarnwick
