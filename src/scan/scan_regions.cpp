#include "scan/scan_regions.h"

#include <algorithm>

namespace tarnwick {

const ScanRegion* RegionOf(const ScanRegions& regions, uint64_t sector) {
  auto it = std::upper_bound(regions.begin(), regions.end(), sector,
                             [](uint64_t s, const ScanRegion& r) { return s < r.First; });
  if (it == regions.begin()) return nullptr;
  --it;
  return sector <= it->Last ? &*it : nullptr;
}

}  // namespace tarnwick
