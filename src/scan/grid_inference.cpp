#include "scan/grid_inference.h"

#include <algorithm>
#include <cmath>

#include "scan/scan_regions.h"
#include "scan/session.h"
#include "volume/geometry_inference.h"
#include "volume/identify.h"

namespace tarnwick {

namespace {

constexpr uint32_t kLargestClusterBytes = 131072;
// Fewer starts than this do not make a grid of their own.
constexpr double kMinGridStarts = 4;
// Starts lined up by chance as well as those on a grid must be rarer than
// one in 2^kChanceBits.
constexpr double kChanceBits = 10;
// A larger cluster is taken while it keeps this share of the best excess.
constexpr double kKeptExcess = 0.9;
// A split between a grid and the other half of one twice as fine that is
// rarer than one in 2^kSplitBits, were the finer one true, keeps the grid.
constexpr double kSplitBits = 7;

struct Start {
  uint64_t Sector;
  double Weight;
};

// How unlikely it is (in bits) that `on` of `total` places spread at random
// lie on one residue of spc: -log2 of the binomial term, which for a
// tail this thin is close to the whole tail.
double ChanceBits(double total, double on, uint32_t spc) {
  const double n = std::floor(total), k = std::min(std::floor(on), n);
  const double p = 1.0 / spc;
  const double logChoose = std::lgamma(n + 1) - std::lgamma(k + 1) - std::lgamma(n - k + 1);
  const double logP = logChoose + k * std::log(p) + (n - k) * std::log1p(-p);
  return -logP / std::log(2.0);
}

// How unlikely (in bits) a split of `more` against `less` or more uneven is
// when each start falls on either half alike: two-sided binomial tail,
// exact for a few hundred starts and by the normal curve beyond.
double SplitBits(double more, double less) {
  const double n = std::floor(more + less), k = std::floor(more);
  if (n <= 0 || k * 2 <= n) return 0;
  double tail = 0;
  if (n <= 400) {
    for (double i = k; i <= n; ++i)
      tail += std::exp(std::lgamma(n + 1) - std::lgamma(i + 1) - std::lgamma(n - i + 1) -
                       n * std::log(2.0));
  } else {
    const double z = (k - n / 2) / std::sqrt(n / 4);
    tail = 0.5 * std::erfc(z / std::sqrt(2.0));
  }
  return -std::log2(std::min(1.0, 2 * tail));
}

// The strongest grid of the starts. Cluster sizes are walked upwards, each
// time keeping the one of the two nested residues that holds more weight.
// Random places spread evenly, so what lies on a residue beyond the share
// chance gives it (the excess) stays whole up to the true cluster size and
// halves past it.
std::optional<ClusterGrid> StrongestGrid(const std::vector<Start>& starts, uint32_t maxSpc) {
  double total = 0;
  for (const Start& st : starts) total += st.Weight;
  if (total < kMinGridStarts) return std::nullopt;
  struct Level {
    uint32_t Spc;
    uint32_t Phase;
    double Weight;
    double Excess;
  };
  std::vector<Level> levels;
  uint32_t phase = 0;
  for (uint64_t c = 2; c <= maxSpc; c *= 2) {
    const uint64_t half = c / 2;
    double low = 0, high = 0;
    for (const Start& st : starts) {
      const uint64_t r = st.Sector % c;
      if (r == phase)
        low += st.Weight;
      else if (r == phase + half)
        high += st.Weight;
    }
    if (high > low) phase += static_cast<uint32_t>(half);
    const double w = std::max(low, high);
    levels.push_back({static_cast<uint32_t>(c), phase, w, w - total / static_cast<double>(c)});
  }
  if (levels.empty()) return std::nullopt;
  double best = 0;
  for (const Level& l : levels) best = std::max(best, l.Excess);
  const Level* chosen = nullptr;
  for (const Level& l : levels)
    if (l.Excess >= kKeptExcess * best) chosen = &l;
  if (chosen == nullptr || chosen->Weight < kMinGridStarts) return std::nullopt;
  if (ChanceBits(total, chosen->Weight, chosen->Spc) < kChanceBits) return std::nullopt;
  ClusterGrid g;
  g.SectorsPerCluster = chosen->Spc;
  g.Phase = static_cast<int32_t>(chosen->Phase);
  g.Starts = chosen->Weight;
  return g;
}

bool OnAny(const ClusterGrids& grids, uint64_t sector) {
  return std::any_of(grids.begin(), grids.end(), [sector](const ClusterGrid& g) {
    return g.Contains(sector) && g.AtStart(sector);
  });
}

// Every cluster start of g, over [first, last], is one of a grid already there.
bool Covered(const ClusterGrids& grids, const ClusterGrid& g, uint64_t first, uint64_t last) {
  return std::any_of(grids.begin(), grids.end(), [&](const ClusterGrid& k) {
    const uint32_t spc = std::max<uint32_t>(k.SectorsPerCluster, 1);
    return k.First <= first && k.Last >= last && g.SectorsPerCluster % spc == 0 &&
           static_cast<uint32_t>(g.Phase) % spc == static_cast<uint32_t>(k.Phase) % spc;
  });
}

std::string Plural(double weight) {
  const auto n = static_cast<uint64_t>(std::llround(weight));
  return std::to_string(n) + (n == 1 ? " start" : " starts");
}

uint32_t LargestSpc(uint32_t bytesPerSector) {
  return std::max<uint32_t>(kLargestClusterBytes / std::max<uint32_t>(bytesPerSector, 1), 1);
}

}  // namespace

bool ClusterGrid::AtStart(uint64_t sector) const {
  return AtClusterStart(sector, SectorsPerCluster, Phase);
}

ClusterGrids GridsFromStarts(std::span<const uint64_t> sectors, std::span<const uint8_t> types,
                             uint32_t maxSectorsPerCluster, size_t maxGrids) {
  std::vector<Start> left;
  const size_t n = std::min(sectors.size(), types.size());
  for (size_t i = 0; i < n; ++i) {
    const double w = StartWeight(types[i]);
    if (w > 0) left.push_back({sectors[i], w});
  }
  ClusterGrids out;
  while (out.size() < maxGrids) {
    std::optional<ClusterGrid> g = StrongestGrid(left, maxSectorsPerCluster);
    if (!g) break;
    g->Origin = "file starts";
    std::erase_if(left, [&](const Start& st) { return g->AtStart(st.Sector); });
    out.push_back(*g);
  }
  return out;
}

ClusterGrids ResolveGrids(std::span<const uint64_t> sectors, std::span<const uint8_t> types,
                          uint64_t first, uint64_t last, const ClusterGrids& known,
                          const std::optional<ClusterGrid>& hint,
                          uint32_t maxSectorsPerCluster) {
  ClusterGrids out;
  for (ClusterGrid g : known) {
    g.First = std::max(g.First, first);
    g.Last = std::min(g.Last, last);
    if (g.First <= g.Last) out.push_back(g);
  }
  std::vector<uint64_t> restSectors;
  std::vector<uint8_t> restTypes;
  const size_t n = std::min(sectors.size(), types.size());
  for (size_t i = 0; i < n; ++i) {
    if (sectors[i] < first || sectors[i] > last || OnAny(out, sectors[i])) continue;
    restSectors.push_back(sectors[i]);
    restTypes.push_back(types[i]);
  }
  const ClusterGrids given(out);
  ClusterGrids inferred = GridsFromStarts(restSectors, restTypes, maxSectorsPerCluster);
  // The known grids may hold so many of the old files' starts that too few
  // are left to show the old grid: it is then looked for among all of them.
  if (inferred.empty()) {
    std::vector<uint64_t> stretchSectors;
    std::vector<uint8_t> stretchTypes;
    for (size_t i = 0; i < n; ++i) {
      if (sectors[i] < first || sectors[i] > last) continue;
      stretchSectors.push_back(sectors[i]);
      stretchTypes.push_back(types[i]);
    }
    inferred = GridsFromStarts(stretchSectors, stretchTypes, maxSectorsPerCluster);
  }
  size_t added = 0;
  for (ClusterGrid g : inferred) {
    g.First = first;
    g.Last = last;
    if (Covered(out, g, first, last)) continue;  // a known grid found again
    // Files on a grid start at even and odd clusters alike, but a few starts
    // (or a known grid taking its share of them) may leave one half fuller.
    // The other half of a cluster twice as fine makes the finer one the grid
    // the files were laid on where a known grid as fine holds a start there
    // (taking it costs nothing), or where a start left over lies there and
    // the split is one that chance gives a finer grid's files: a start on a
    // coarser known grid may be that grid's own file, and a stray start
    // beside many on the grid sits inside a file.
    while (g.SectorsPerCluster >= 4) {
      const uint32_t half = g.SectorsPerCluster / 2;
      const uint64_t sibling = (static_cast<uint64_t>(g.Phase) + half) % g.SectorsPerCluster;
      double asFine = 0, leftOver = 0, coarser = 0, own = 0;
      for (size_t i = 0; i < n; ++i) {
        if (sectors[i] < first || sectors[i] > last) continue;
        const uint64_t r = sectors[i] % g.SectorsPerCluster;
        if (r == static_cast<uint64_t>(g.Phase)) own += StartWeight(types[i]);
        if (r != sibling) continue;
        const ClusterGrid* on = GridFor(given, sectors[i]);
        double& into = on == nullptr ? leftOver
                       : on->SectorsPerCluster <= g.SectorsPerCluster ? asFine
                                                                      : coarser;
        into += StartWeight(types[i]);
      }
      if (asFine < 1 && (leftOver < 1 || SplitBits(own, leftOver + coarser) >= kSplitBits)) break;
      g.SectorsPerCluster = half;
      g.Phase = static_cast<int32_t>(static_cast<uint32_t>(g.Phase) % half);
    }
    if (Covered(out, g, first, last)) continue;
    out.push_back(g);
    ++added;
  }
  if (hint && added == 0) {
    // Where the starts show no grid of their own, what the known grids
    // leave is left to the user's word.
    ClusterGrid g = *hint;
    g.First = std::max(g.First, first);
    g.Last = std::min(g.Last, last);
    const uint32_t spc = std::max<uint32_t>(g.SectorsPerCluster, 1);
    std::vector<double> bins(spc, 0.0);
    double rest = 0;
    for (size_t i = 0; i < restSectors.size(); ++i) {
      if (OnAny(out, restSectors[i])) continue;
      bins[restSectors[i] % spc] += StartWeight(restTypes[i]);
      rest += StartWeight(restTypes[i]);
    }
    if (g.Phase < 0)
      g.Phase = static_cast<int32_t>(std::max_element(bins.begin(), bins.end()) - bins.begin());
    if (rest > 0 && g.First <= g.Last) out.push_back(g);
  }
  // Each start is counted on the grid it is carved with.
  for (ClusterGrid& g : out) g.Starts = 0;
  for (size_t i = 0; i < n; ++i) {
    if (const ClusterGrid* g = GridFor(out, sectors[i]))
      out[static_cast<size_t>(g - out.data())].Starts += StartWeight(types[i]);
  }
  return out;
}

const ClusterGrid* GridFor(const ClusterGrids& grids, uint64_t sector) {
  const ClusterGrid* best = nullptr;
  for (const ClusterGrid& g : grids) {
    if (!g.Contains(sector) || !g.AtStart(sector)) continue;
    if (best == nullptr || g.SectorsPerCluster < best->SectorsPerCluster) best = &g;
  }
  return best;
}

void FindGrids(Session& s) {
  FoundList& list = s.Found;
  const uint32_t bps = s.Scan.BytesPerSector;
  ClusterGrids known;
  std::optional<VolumeGeometry> present;
  if (s.Source.Kind != DeviceKind::Disk && s.Detected.FsKind != kFsOther) {
    present = s.Detected;
    ClusterGrid g;
    g.SectorsPerCluster = std::max<uint32_t>(s.Detected.SectorsPerCluster, 1);
    g.Phase = std::max(s.Detected.ClusterPhase, 0) % static_cast<int32_t>(g.SectorsPerCluster);
    g.Origin = "the " + std::string(FsKindName(s.Detected.FsKind)) + " in place";
    known.push_back(g);
  }
  if (s.Source.Device) {
    for (const SurvivingVolume& v :
         FindFormerVolumes(*s.Source.Device, bps, s.Scan.LastSector, present)) {
      ClusterGrid g;
      g.First = v.First;
      g.Last = v.Last;
      g.SectorsPerCluster = std::max<uint32_t>(v.Geometry.SectorsPerCluster, 1);
      g.Phase = v.SourcePhase();
      g.Origin = "a former " + std::string(FsKindName(v.Geometry.FsKind)) + " (" + v.Describe() + ")";
      known.push_back(g);
    }
  }
  std::optional<ClusterGrid> hint;
  const uint32_t spc = std::max<uint32_t>(s.Scan.SectorsPerCluster, 1);
  const bool same = std::any_of(known.begin(), known.end(), [&](const ClusterGrid& g) {
    return g.SectorsPerCluster == spc && g.Phase == s.Scan.ClusterPhase;
  });
  if (!same) {
    hint = ClusterGrid{};
    hint->SectorsPerCluster = spc;
    hint->Phase = s.Scan.ClusterPhase < 0 ? -1 : s.Scan.ClusterPhase % static_cast<int32_t>(spc);
    hint->Origin = "the geometry chosen";
  }
  const uint64_t first = static_cast<uint64_t>(s.FirstScanSector);
  const uint64_t last = static_cast<uint64_t>(s.LastScanSector);
  std::span<const uint64_t> sectors(list.Sectors.data(), list.Count);
  std::span<const uint8_t> types(list.Types.data(), list.Count);
  s.Grids = ResolveGrids(sectors, types, first, last, known, hint, LargestSpc(bps));
  for (uint64_t i = 0; i < list.Count; ++i)
    if (GridFor(s.Grids, list.Sectors[i]) == nullptr) list.Types[i] = 0;
  list.Compact();
  const ClusterGrid* main = nullptr;
  for (const ClusterGrid& g : s.Grids)
    if (main == nullptr || g.Starts > main->Starts) main = &g;
  if (main != nullptr) s.ScanClusterPhase = main->Phase;
}

std::vector<std::string> DescribeGrids(const ClusterGrids& grids) {
  std::vector<std::string> out;
  for (const ClusterGrid& g : grids) {
    std::string text = std::to_string(g.SectorsPerCluster) + " sectors per cluster at phase " +
                       std::to_string(g.Phase) + ", sectors " + std::to_string(g.First) + "-" +
                       std::to_string(g.Last) + ": " + g.Origin + " (" + Plural(g.Starts) + ")";
    out.push_back(text);
  }
  return out;
}

}  // namespace tarnwick
