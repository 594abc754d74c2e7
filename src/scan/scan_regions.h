#pragma once
// A Source scanned in parts, each with its own cluster geometry: the
// partitions of a whole disk, the space between them, a surviving volume
// found there. One scan, one FoundList and one ClusterMap cover them all.
#include <cstdint>
#include <string>
#include <vector>

#include "volume/geometry.h"

namespace tarnwick {

struct ScanRegion {
  uint64_t First = 0;  // Source sectors, inclusive
  uint64_t Last = 0;
  uint32_t SectorsPerCluster = 1;
  // Source sector mod SectorsPerCluster at which clusters start; -1: worked
  // out from the file starts found in the region.
  int32_t ClusterPhase = -1;
  // The cluster size too is worked out from the file starts (nothing told it).
  bool InferSize = false;
  // A former volume's clusters that overlap the region (a partition made
  // over an older one): its file starts are kept too. 0: none.
  uint32_t FormerSectorsPerCluster = 0;
  int32_t FormerClusterPhase = 0;
  int Partition = 0;  // its index in the table; 0 outside every partition
  uint8_t FsKind = kFsOther;
  std::string Origin;  // where the geometry came from, for the user
};

using ScanRegions = std::vector<ScanRegion>;

// True when sector lies at a cluster start of the geometry (an open phase
// or one sector per cluster: every sector does).
bool AtClusterStart(uint64_t sector, uint32_t sectorsPerCluster, int32_t phase);
// ... of the region's own geometry or of the former volume's in it.
bool AtRegionClusterStart(const ScanRegion& r, uint64_t sector);

// The region holding a sector, or null. Regions are sorted and do not overlap.
const ScanRegion* RegionOf(const ScanRegions& regions, uint64_t sector);

}  // namespace tarnwick
