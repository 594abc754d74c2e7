#pragma once
// The cluster grids that files were laid on: the file system's in place,
// former ones told by boot sectors that survived a format, and those that
// the file starts found by the search show by lining up. A file start
// counts only where it lies at a cluster start of one of them; a signature
// anywhere else sits inside a file.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tarnwick {

struct Session;

struct ClusterGrid {
  uint64_t First = 0;  // Source sectors where the grid holds, inclusive
  uint64_t Last = UINT64_MAX;
  uint32_t SectorsPerCluster = 1;
  int32_t Phase = 0;   // Source sector mod SectorsPerCluster of a cluster start
  std::string Origin;  // where it came from, for the user
  double Starts = 0;   // weight of the file starts kept on it
  bool Contains(uint64_t sector) const { return sector >= First && sector <= Last; }
  bool AtStart(uint64_t sector) const;
};

using ClusterGrids = std::vector<ClusterGrid>;

// The grids that starts lying on none of the known ones show, strongest
// first, at most maxGrids. A grid is taken only when clearly more starts lie
// on it than chance puts there, and at the largest cluster that keeps them
// (up to maxSectorsPerCluster).
ClusterGrids GridsFromStarts(std::span<const uint64_t> sectors, std::span<const uint8_t> types,
                             uint32_t maxSectorsPerCluster, size_t maxGrids = 3);

// Every grid of the stretch [first, last]: the known ones, then those the
// starts that none of them explains show. The hint (what the user said) is
// taken only when the starts show nothing of their own; its phase, when
// open (-1), is the one most of those starts lie at.
ClusterGrids ResolveGrids(std::span<const uint64_t> sectors, std::span<const uint8_t> types,
                          uint64_t first, uint64_t last, const ClusterGrids& known,
                          const std::optional<ClusterGrid>& hint,
                          uint32_t maxSectorsPerCluster);

// The grid a start is carved with: of those at whose cluster start it lies,
// the finest (it has every place the coarser one nested in it has). Null
// when none.
const ClusterGrid* GridFor(const ClusterGrids& grids, uint64_t sector);

// After the search over a Source planned as one stretch: the grids found,
// put in Session::Grids, and the FoundList cut to the starts that lie on
// one of them. ScanClusterPhase becomes the phase of the grid most starts
// lie on.
void FindGrids(Session& s);

// One line a grid: "8 sectors per cluster at phase 3, sectors 0-131071:
// the NTFS in place (41 starts)".
std::vector<std::string> DescribeGrids(const ClusterGrids& grids);

}  // namespace tarnwick
