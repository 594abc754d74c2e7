#pragma once
// What FAT12/16/32 and exFAT share: clusters laid out from cluster 2 on, a
// table of next-cluster links, chains followed through it with loop and
// range checks, and the byte-level reads both need of the Source.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "filesystems/file_record.h"
#include "filesystems/sector_reader.h"
#include "source/bytes.h"

namespace tarnwick {

// Reads any byte range of the Source through whole sectors. False when a
// byte could not be delivered; those bytes are zero.
bool ReadSourceBytes(SectorReader& reader, uint64_t position, std::span<uint8_t> out);

// Where the clusters of a volume lie, in Source sectors.
struct ClusterGeometry {
  uint32_t SectorSize = 512;       // the reader's
  uint64_t Cluster2Sector = 0;     // first Source sector of cluster 2
  uint32_t SectorsPerCluster = 1;  // in the reader's sectors
  uint32_t ClusterCount = 0;       // clusters 2 .. ClusterCount + 1 exist

  bool Holds(uint64_t cluster) const { return cluster >= 2 && cluster - 2 < ClusterCount; }
  uint64_t ClusterBytes() const { return uint64_t{SectorsPerCluster} * SectorSize; }
  uint64_t SectorOf(uint64_t cluster) const {
    return Cluster2Sector + (cluster - 2) * SectorsPerCluster;
  }
};

// A stretch of consecutive clusters.
struct ClusterRun {
  uint32_t First = 0;
  uint32_t Count = 0;
};

enum class FatWidth : uint8_t { Fat12, Fat16, Fat32, Exfat };

// The first FAT of a volume, read on demand in pieces: a directory walk
// touches little of it, and a FAT32 table of a large volume runs to
// megabytes.
class FatTable {
 public:
  FatTable(SectorReader& reader, uint64_t firstByte, uint64_t bytes, FatWidth width)
      : reader_(reader), firstByte_(firstByte), bytes_(bytes), width_(width) {}

  // The link stored for a cluster: the next cluster, an end mark or 0 for
  // a free cluster. Nothing when the entry lies past the table or could not
  // be read.
  std::optional<uint32_t> Entry(uint32_t cluster);
  bool IsEndMark(uint32_t value) const;
  // A link that marks a bad cluster.
  bool IsBadMark(uint32_t value) const;

 private:
  static constexpr uint64_t kPiece = 65536;
  static constexpr size_t kPiecesKept = 256;  // 16 MiB of table at most
  const std::vector<uint8_t>* Piece(uint64_t index);

  SectorReader& reader_;
  uint64_t firstByte_;
  uint64_t bytes_;
  FatWidth width_;
  std::map<uint64_t, std::optional<std::vector<uint8_t>>> pieces_;
};

// A chain followed from its first cluster.
struct Chain {
  std::vector<ClusterRun> Runs;
  uint64_t Clusters = 0;
  // The chain reached an end mark, or the wanted number of clusters, with
  // every link in range and no cluster twice.
  bool Whole = false;
};

// Follows the links from first for at most maxClusters clusters. It stops
// early, not Whole, at a free, bad or out-of-range link, an unreadable
// table entry, or a cluster met twice (a loop).
Chain FollowChain(FatTable& table, const ClusterGeometry& g, uint32_t first, uint64_t maxClusters);

// The clusters' Source sectors as file runs, cut to the sectors that bytes
// bytes fill. Empty when the runs hold fewer.
std::vector<FileRun> SectorRunsOf(const std::vector<ClusterRun>& runs, const ClusterGeometry& g,
                                  uint64_t bytes);

// True when one of the 32-byte slots begins with 0: in FAT and exFAT alike
// the directory ends there, and its further clusters need not be read.
bool EndsDirectory(Bytes cluster);

// parent + "/" + name, or name alone at the root.
std::string JoinPath(const std::string& parent, const std::string& name);
// A name as a path element: '/' and control characters, which no FAT or
// exFAT name may hold, become '_'; an empty name becomes "_".
std::string SafeName(std::string name);

// Seconds since 1970 of a FAT date and time (two-second steps), as the
// clock showed them; nothing for an impossible date or time.
std::optional<int64_t> FatDateTime(uint16_t date, uint16_t time);

}  // namespace tarnwick
