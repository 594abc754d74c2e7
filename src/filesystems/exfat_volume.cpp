#include "filesystems/exfat_volume.h"

#include <algorithm>
#include <deque>
#include <unordered_set>

#include "filesystems/exfat_entries.h"
#include "filesystems/fat_table.h"
#include "source/bytes.h"

namespace tarnwick {

namespace {

// A directory of exFAT holds at most 256 MiB of entries.
constexpr uint64_t kMaxDirectoryBytes = 256ull << 20;

struct ExfatBoot {
  uint32_t BytesPerSectorShift = 9;
  uint32_t SectorsPerClusterShift = 0;
  uint64_t FatByte = 0;  // from the volume's start
  uint64_t FatBytes = 0;
  uint64_t HeapByte = 0;
  uint32_t ClusterCount = 0;
  uint32_t RootCluster = 0;
};

std::optional<ExfatBoot> ParseExfatBoot(Bytes b, std::string& error) {
  if (!BytesEqual(b, 3, "EXFAT   ")) {
    error = "no exFAT boot sector (no EXFAT name)";
    return std::nullopt;
  }
  ExfatBoot f;
  f.BytesPerSectorShift = U8(b, 108);
  f.SectorsPerClusterShift = U8(b, 109);
  const uint64_t volumeSectors = LE64(b, 72);
  const uint64_t fatOffset = LE32(b, 80);
  const uint64_t fatLength = LE32(b, 84);
  const uint64_t heapOffset = LE32(b, 88);
  const uint64_t clusters = LE32(b, 92);
  f.RootCluster = LE32(b, 96);
  if (f.BytesPerSectorShift < 9 || f.BytesPerSectorShift > 12 ||
      f.SectorsPerClusterShift > 25 - f.BytesPerSectorShift || fatOffset == 0 || fatLength == 0 ||
      heapOffset < fatOffset + fatLength || clusters == 0 || heapOffset > volumeSectors) {
    error = "no exFAT boot sector (its parameters are impossible)";
    return std::nullopt;
  }
  const uint64_t bps = uint64_t{1} << f.BytesPerSectorShift;
  f.FatByte = fatOffset * bps;
  f.FatBytes = fatLength * bps;
  f.HeapByte = heapOffset * bps;
  // The table and the volume's length bound the clusters as much as the count does.
  const uint64_t fitting = (volumeSectors - heapOffset) >> f.SectorsPerClusterShift;
  const uint64_t entries = f.FatBytes / 4;
  f.ClusterCount = static_cast<uint32_t>(
      std::min<uint64_t>({clusters, fitting, entries > 2 ? entries - 2 : 0, 0xFFFFFFF5}));
  if (f.ClusterCount == 0) {
    error = "no exFAT boot sector (no clusters)";
    return std::nullopt;
  }
  return f;
}

struct PendingDirectory {
  uint32_t FirstCluster = 0;
  bool NoFatChain = false;
  uint64_t Bytes = 0;
  std::string Path;
  bool Deleted = false;
};

class ExfatWalker {
 public:
  ExfatWalker(SectorReader& reader, const ExfatBoot& boot, const ClusterGeometry& g,
              uint64_t volumeByte)
      : reader_(reader),
        g_(g),
        table_(reader, volumeByte + boot.FatByte, boot.FatBytes, FatWidth::Exfat),
        rootCluster_(boot.RootCluster) {}

  std::vector<FileRecord> Walk() {
    live_.push_back({rootCluster_, false, kMaxDirectoryBytes, "", false});
    // Live directories first, so that a deleted one whose clusters a live
    // one now holds is not read as its own.
    while (!live_.empty() || !deleted_.empty()) {
      std::deque<PendingDirectory>& queue = live_.empty() ? deleted_ : live_;
      const PendingDirectory next = std::move(queue.front());
      queue.pop_front();
      std::vector<uint8_t> bytes;
      std::vector<uint32_t> clusters;
      if (Read(next, bytes, clusters)) List(bytes, clusters, next.Path, next.Deleted);
    }
    return std::move(records_);
  }

 private:
  uint64_t ClustersFor(uint64_t bytes) const {
    return (bytes + g_.ClusterBytes() - 1) / g_.ClusterBytes();
  }

  bool Read(const PendingDirectory& d, std::vector<uint8_t>& bytes,
            std::vector<uint32_t>& clusters) {
    const uint64_t most =
        std::min<uint64_t>(ClustersFor(std::min(d.Bytes, kMaxDirectoryBytes)), g_.ClusterCount);
    if (most == 0) return false;
    std::vector<ClusterRun> runs;
    if (d.NoFatChain) {
      if (!g_.Holds(d.FirstCluster) || !g_.Holds(uint64_t{d.FirstCluster} + most - 1)) return false;
      runs.push_back({d.FirstCluster, static_cast<uint32_t>(most)});
    } else {
      runs = FollowChain(table_, g_, d.FirstCluster, most).Runs;
    }
    for (const ClusterRun& run : runs) {
      for (uint32_t k = 0; k < run.Count; ++k) {
        const uint32_t cluster = run.First + k;
        if (!readAsDirectory_.insert(cluster).second) return !bytes.empty();
        const size_t at = bytes.size();
        bytes.resize(at + g_.ClusterBytes());
        ReadSourceBytes(reader_, g_.SectorOf(cluster) * g_.SectorSize,
                        std::span<uint8_t>(bytes).subspan(at));
        clusters.push_back(cluster);
        if (EndsDirectory(Bytes(bytes).subspan(at))) return true;
      }
    }
    return !bytes.empty();
  }

  void List(const std::vector<uint8_t>& bytes, const std::vector<uint32_t>& clusters,
            const std::string& path, bool directoryDeleted) {
    for (ExfatEntrySet& e : ParseExfatEntrySets(bytes)) {
      FileRecord r;
      r.Name = std::move(e.Name);
      r.Path = JoinPath(path, r.Name);
      r.Size = e.Directory ? 0 : std::min(e.ValidDataLength, e.DataLength);
      r.Deleted = !e.InUse || directoryDeleted;
      r.Directory = e.Directory;
      r.Modified = e.Modified;
      r.Created = e.Created;
      r.Origin = RecordOrigin::VolumeTree;
      const uint64_t cluster = clusters[e.Offset / g_.ClusterBytes()];
      r.Id = g_.SectorOf(cluster) * g_.SectorSize + e.Offset % g_.ClusterBytes();
      r.RecordSector = r.Id / g_.SectorSize;
      if (g_.Holds(e.FirstCluster) && e.DataLength != 0) {
        r.FirstSector = g_.SectorOf(e.FirstCluster);
        if (r.Directory) {
          (r.Deleted ? deleted_ : live_)
              .push_back({e.FirstCluster, e.NoFatChain, e.DataLength, r.Path, r.Deleted});
        } else if (r.Size != 0) {
          LayOut(r, e);
        }
      }
      records_.push_back(std::move(r));
    }
  }

  // The runs of a file in consecutive clusters, or of a live one along its
  // whole chain.
  void LayOut(FileRecord& r, const ExfatEntrySet& e) {
    const uint64_t needed = ClustersFor(e.DataLength);
    std::vector<ClusterRun> runs;
    if (e.NoFatChain) {
      if (needed > g_.ClusterCount || !g_.Holds(uint64_t{e.FirstCluster} + needed - 1)) return;
      runs.push_back({e.FirstCluster, static_cast<uint32_t>(needed)});
    } else {
      if (r.Deleted) return;
      const Chain chain = FollowChain(table_, g_, e.FirstCluster, needed);
      if (!chain.Whole || chain.Clusters != needed) return;
      runs = chain.Runs;
    }
    r.Runs = SectorRunsOf(runs, g_, r.Size);
    r.LayoutKnown = !r.Runs.empty();
  }

  SectorReader& reader_;
  ClusterGeometry g_;
  FatTable table_;
  uint32_t rootCluster_;
  std::unordered_set<uint32_t> readAsDirectory_;
  std::deque<PendingDirectory> live_;
  std::deque<PendingDirectory> deleted_;
  std::vector<FileRecord> records_;
};

}  // namespace

std::optional<std::vector<FileRecord>> ReadExfatFiles(SectorReader& reader,
                                                      uint64_t volumeFirstSector,
                                                      std::string& error) {
  const uint32_t ss = reader.SectorSize();
  std::vector<uint8_t> boot(std::max<uint32_t>(ss, 512));
  if (ss == 0 || !reader.Read(volumeFirstSector, boot)) {
    error = "the boot sector could not be read";
    return std::nullopt;
  }
  const std::optional<ExfatBoot> f = ParseExfatBoot(boot, error);
  if (!f) return std::nullopt;
  const uint64_t volumeByte = volumeFirstSector * ss;
  const uint64_t heapByte = volumeByte + f->HeapByte;
  const uint64_t clusterBytes = uint64_t{1} << (f->BytesPerSectorShift + f->SectorsPerClusterShift);
  if (heapByte % ss != 0 || clusterBytes % ss != 0) {
    error = "the volume's clusters do not fall on whole sectors of the Source";
    return std::nullopt;
  }
  ClusterGeometry g;
  g.SectorSize = ss;
  g.Cluster2Sector = heapByte / ss;
  g.SectorsPerCluster = static_cast<uint32_t>(clusterBytes / ss);
  g.ClusterCount = f->ClusterCount;
  ExfatWalker walker(reader, *f, g, volumeByte);
  return walker.Walk();
}

}  // namespace tarnwick
