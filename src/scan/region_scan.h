#pragma once
// The deep scan's work over a Source planned in regions: which sectors of a
// region phase 1 reads, the alignment of each region on its own clusters,
// and the region's geometry in place while one of its entries is carved.
#include <cstdint>

#include "scan/scan_regions.h"

namespace tarnwick {

struct Session;

// Walks the regions along increasing sectors (phase 1's order).
class RegionCursor {
 public:
  // Outside every region the given geometry holds.
  RegionCursor(const ScanRegions& regions, uint32_t sectorsPerCluster, int32_t phase)
      : regions_(regions), spc_(sectorsPerCluster), phase_(phase) {}
  // Whether phase 1 reads sector n: it lies at a cluster start of its
  // region (or of a former volume there).
  bool AtClusterStart(uint64_t n);
  // The first sector at or after n at which AtClusterStart holds, so that
  // phase 1 steps from cluster start to cluster start; UINT64_MAX when none
  // can be numbered. Calls must come with n never decreasing.
  uint64_t NextClusterStart(uint64_t n);

 private:
  const ScanRegions& regions_;
  uint32_t spc_;
  int32_t phase_;
  size_t next_ = 0;
  // The last answer of NextClusterStart, and while one geometry holds from
  // it up to stepUntil_, the distance to the next start (0: none known).
  uint64_t lastStart_ = 0;
  uint64_t step_ = 0;
  uint64_t stepUntil_ = 0;
};

// After phase 1: every region whose phase (or size) was left open gets the
// one its file starts show, and the entries that do not lie at a cluster
// start of their region are dropped. A Source planned as one region takes
// the result into ScanGeometry, so that the user sees what was inferred.
void AlignRegions(Session& s);

// Puts the geometry of the region holding a sector in place for a carve and
// restores ScanGeometry afterwards.
class RegionGeometryScope {
 public:
  RegionGeometryScope(Session& s, uint64_t sector);
  ~RegionGeometryScope();
  RegionGeometryScope(const RegionGeometryScope&) = delete;
  RegionGeometryScope& operator=(const RegionGeometryScope&) = delete;

 private:
  Session& s_;
  bool active_ = false;
  uint32_t savedSpc_ = 0;
  int32_t savedPhase_ = 0;
};

}  // namespace tarnwick
