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

bool AtClusterStart(uint64_t sector, uint32_t sectorsPerCluster, int32_t phase) {
  if (phase < 0 || sectorsPerCluster <= 1) return true;
  return sector % sectorsPerCluster == static_cast<uint64_t>(phase) % sectorsPerCluster;
}

bool AtRegionClusterStart(const ScanRegion& r, uint64_t sector) {
  if (AtClusterStart(sector, r.SectorsPerCluster, r.ClusterPhase)) return true;
  return r.FormerSectorsPerCluster != 0 &&
         AtClusterStart(sector, r.FormerSectorsPerCluster, r.FormerClusterPhase);
}

}  // namespace tarnwick
