#include "scan/region_scan.h"

#include <algorithm>
#include <span>
#include <vector>

#include "scan/grid_inference.h"
#include "scan/session.h"
#include "volume/geometry_inference.h"

namespace tarnwick {

namespace {

constexpr uint32_t kLargestClusterBytes = 131072;

// The entries [begin, end) of the FoundList that lie in the region (the list
// is in sector order, as phase 1 appends).
std::pair<uint64_t, uint64_t> EntriesIn(const FoundList& list, const ScanRegion& r) {
  auto first = list.Sectors.begin();
  auto last = first + static_cast<std::ptrdiff_t>(list.Count);
  auto lo = std::lower_bound(first, last, r.First);
  auto hi = std::upper_bound(lo, last, r.Last);
  return {static_cast<uint64_t>(lo - first), static_cast<uint64_t>(hi - first)};
}

// The first sector at or after n at which a cluster of the geometry starts.
uint64_t NextStartOf(uint64_t n, uint32_t sectorsPerCluster, int32_t phase) {
  if (phase < 0 || sectorsPerCluster <= 1) return n;
  const uint64_t spc = sectorsPerCluster;
  const uint64_t step = (static_cast<uint64_t>(phase) % spc + spc - n % spc) % spc;
  return step > UINT64_MAX - n ? UINT64_MAX : n + step;
}

}  // namespace

uint64_t RegionCursor::NextClusterStart(uint64_t n) {
  // Phase 1 asks again for the start it was just given, then for the one
  // after it: one cluster on.
  if (step_ != 0 && n == lastStart_) return n;
  if (step_ != 0 && n > lastStart_ && n - lastStart_ <= step_ && step_ <= stepUntil_ - lastStart_) {
    lastStart_ += step_;
    return lastStart_;
  }
  step_ = 0;
  while (true) {
    while (next_ < regions_.size() && regions_[next_].Last < n) ++next_;
    if (next_ >= regions_.size() || regions_[next_].First > n) {
      // Outside every region the Source's geometry holds, up to the next one.
      const uint64_t m = NextStartOf(n, spc_, phase_);
      const uint64_t until = next_ < regions_.size() ? regions_[next_].First - 1 : UINT64_MAX;
      if (m > until) {
        n = regions_[next_].First;
        continue;
      }
      if (phase_ >= 0 && spc_ > 1) step_ = spc_, stepUntil_ = until;
      return lastStart_ = m;
    }
    const ScanRegion& r = regions_[next_];
    uint64_t m = NextStartOf(n, r.SectorsPerCluster, r.ClusterPhase);
    if (r.FormerSectorsPerCluster != 0)
      m = std::min(m, NextStartOf(n, r.FormerSectorsPerCluster, r.FormerClusterPhase));
    if (m <= r.Last || r.Last == UINT64_MAX) {
      if (r.FormerSectorsPerCluster == 0 && r.ClusterPhase >= 0 && r.SectorsPerCluster > 1)
        step_ = r.SectorsPerCluster, stepUntil_ = r.Last;
      return lastStart_ = m;
    }
    n = r.Last + 1;
  }
}

bool RegionCursor::AtClusterStart(uint64_t n) {
  while (next_ < regions_.size() && regions_[next_].Last < n) ++next_;
  if (next_ >= regions_.size() || regions_[next_].First > n)
    return tarnwick::AtClusterStart(n, spc_, phase_);
  return AtRegionClusterStart(regions_[next_], n);
}

void AlignRegions(Session& s) {
  FoundList& list = s.Found;
  const uint32_t bps = std::max<uint32_t>(s.Scan.BytesPerSector, 1);
  const uint32_t largest = std::max<uint32_t>(kLargestClusterBytes / bps, 1);
  for (ScanRegion& r : s.Regions) {
    auto [begin, end] = EntriesIn(list, r);
    std::span<const uint64_t> sectors(list.Sectors.data() + begin, end - begin);
    std::span<const uint8_t> types(list.Types.data() + begin, end - begin);
    if (r.InferSize) {
      ClusterInference found = InferClusterFromStarts(sectors, types, largest);
      r.SectorsPerCluster = found.SectorsPerCluster;
      r.ClusterPhase = found.Phase;
      r.InferSize = false;
      r.Origin = "file starts (" + std::to_string(static_cast<uint64_t>(found.Weight)) + " of " +
                 std::to_string(static_cast<uint64_t>(found.Total)) + " agree)";
    } else if (r.ClusterPhase == -1) {
      // Only the phase is open: the weighted histogram at the known size.
      std::vector<double> bins(std::max<uint32_t>(r.SectorsPerCluster, 1), 0.0);
      for (size_t i = 0; i < sectors.size(); ++i)
        bins[sectors[i] % bins.size()] += StartWeight(types[i]);
      r.ClusterPhase =
          static_cast<int32_t>(std::max_element(bins.begin(), bins.end()) - bins.begin());
    }
    // The region's own grid (and a former volume's), then any other that the
    // starts it leaves show: files laid by a file system formatted over.
    ClusterGrids known;
    ClusterGrid own;
    own.SectorsPerCluster = std::max<uint32_t>(r.SectorsPerCluster, 1);
    own.Phase = std::max(r.ClusterPhase, 0) % static_cast<int32_t>(own.SectorsPerCluster);
    own.Origin = r.Origin;
    known.push_back(own);
    if (r.FormerSectorsPerCluster != 0) {
      ClusterGrid former;
      former.SectorsPerCluster = r.FormerSectorsPerCluster;
      former.Phase = r.FormerClusterPhase;
      former.Origin = "a former volume's boot sector";
      known.push_back(former);
    }
    for (const ClusterGrid& g :
         ResolveGrids(sectors, types, r.First, r.Last, known, std::nullopt, largest))
      s.Grids.push_back(g);
    for (uint64_t i = begin; i < end; ++i)
      if (GridFor(s.Grids, list.Sectors[i]) == nullptr) list.Types[i] = 0;
  }
  list.Compact();
  if (s.Regions.size() == 1) {
    s.Scan.SectorsPerCluster = s.Regions[0].SectorsPerCluster;
    s.Scan.ClusterPhase = s.Regions[0].ClusterPhase;
    s.ScanClusterPhase = s.Regions[0].ClusterPhase;
  }
}

RegionGeometryScope::RegionGeometryScope(Session& s, uint64_t sector) : s_(s) {
  if (const ClusterGrid* g = GridFor(s.Grids, sector)) {
    active_ = true;
    savedSpc_ = s.Scan.SectorsPerCluster;
    savedPhase_ = s.ScanClusterPhase;
    s.Scan.SectorsPerCluster = g->SectorsPerCluster;
    s.ScanClusterPhase = g->Phase;
    return;
  }
  const ScanRegion* r = RegionOf(s.Regions, sector);
  if (r == nullptr) return;
  active_ = true;
  savedSpc_ = s.Scan.SectorsPerCluster;
  savedPhase_ = s.ScanClusterPhase;
  // A start on the former volume's clusters only is carved with its geometry.
  const bool former = r->FormerSectorsPerCluster != 0 &&
                      !AtClusterStart(sector, r->SectorsPerCluster, r->ClusterPhase);
  s.Scan.SectorsPerCluster =
      std::max<uint32_t>(former ? r->FormerSectorsPerCluster : r->SectorsPerCluster, 1);
  s.ScanClusterPhase = std::max(former ? r->FormerClusterPhase : r->ClusterPhase, 0);
}

RegionGeometryScope::~RegionGeometryScope() {
  if (!active_) return;
  s_.Scan.SectorsPerCluster = savedSpc_;
  s_.ScanClusterPhase = savedPhase_;
}

}  // namespace tarnwick
