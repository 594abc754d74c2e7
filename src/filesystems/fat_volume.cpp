#include "filesystems/fat_volume.h"

#include <algorithm>
#include <deque>
#include <unordered_set>

#include "filesystems/fat_entries.h"
#include "filesystems/fat_table.h"
#include "source/bytes.h"

namespace tarnwick {

namespace {

constexpr size_t kEntryBytes = 32;
// A FAT directory holds at most 65536 entries.
constexpr uint64_t kMaxDirectoryBytes = 65536 * kEntryBytes;

bool PowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

struct FatBoot {
  FatWidth Width = FatWidth::Fat12;
  uint32_t BytesPerSector = 0;
  uint32_t SectorsPerCluster = 0;
  uint64_t FatByte = 0;  // from the volume's start
  uint64_t FatBytes = 0;
  uint64_t RootByte = 0;  // FAT12/16's fixed root
  uint64_t RootBytes = 0;
  uint64_t DataByte = 0;     // cluster 2
  uint32_t RootCluster = 0;  // FAT32's
  uint32_t ClusterCount = 0;
};

std::optional<FatBoot> ParseFatBoot(Bytes b, std::string& error) {
  const uint8_t jump = U8(b, 0);
  const bool signature = U8(b, 510) == 0x55 && U8(b, 511) == 0xAA;
  if (jump != 0xEB && jump != 0xE9 && !signature) {
    error = "no FAT boot sector (neither a jump nor the 55 AA mark)";
    return std::nullopt;
  }
  FatBoot f;
  f.BytesPerSector = LE16(b, 11);
  f.SectorsPerCluster = U8(b, 13);
  const uint32_t reserved = LE16(b, 14);
  const uint32_t fats = U8(b, 16);
  const uint32_t rootEntries = LE16(b, 17);
  const uint64_t total = LE16(b, 19) != 0 ? LE16(b, 19) : LE32(b, 32);
  const uint8_t media = U8(b, 21);
  const bool fat32Layout = LE16(b, 22) == 0;
  const uint64_t fatSectors = fat32Layout ? LE32(b, 36) : LE16(b, 22);
  if (!PowerOfTwo(f.BytesPerSector) || f.BytesPerSector < 512 || f.BytesPerSector > 4096 ||
      !PowerOfTwo(f.SectorsPerCluster) || reserved == 0 || fats == 0 || fats > 4 ||
      (media != 0xF0 && media < 0xF8) || total == 0 || fatSectors == 0) {
    error = "no FAT boot sector (its parameters are impossible)";
    return std::nullopt;
  }
  const uint64_t bps = f.BytesPerSector;
  f.FatByte = reserved * bps;
  f.FatBytes = fatSectors * bps;
  f.RootByte = f.FatByte + fats * f.FatBytes;
  f.RootBytes = fat32Layout ? 0 : uint64_t{rootEntries} * kEntryBytes;
  f.DataByte = f.RootByte + (f.RootBytes + bps - 1) / bps * bps;
  const uint64_t dataSectors = f.DataByte / bps;
  if (total <= dataSectors) {
    error = "no FAT boot sector (no room for clusters)";
    return std::nullopt;
  }
  uint64_t clusters = (total - dataSectors) / f.SectorsPerCluster;
  if (fat32Layout) {
    f.Width = FatWidth::Fat32;
    f.RootCluster = LE32(b, 44) & 0x0FFFFFFF;
  } else {
    f.Width = clusters < 4085 ? FatWidth::Fat12 : FatWidth::Fat16;
  }
  // The table bounds the clusters as much as the volume's size does.
  const uint64_t bits = f.Width == FatWidth::Fat12 ? 12 : f.Width == FatWidth::Fat16 ? 16 : 32;
  const uint64_t entries = f.FatBytes * 8 / bits;
  clusters = std::min<uint64_t>({clusters, entries > 2 ? entries - 2 : 0, 0x0FFFFFF5});
  if (clusters == 0) {
    error = "no FAT boot sector (no clusters)";
    return std::nullopt;
  }
  f.ClusterCount = static_cast<uint32_t>(clusters);
  return f;
}

// The boot sector, or where it is unreadable or overwritten, FAT32's copy
// six of its sectors further on (which names itself at offset 50).
std::optional<FatBoot> ReadBoot(SectorReader& reader, uint64_t volumeFirstSector,
                                std::string& error) {
  const uint32_t ss = reader.SectorSize();
  if (ss == 0) {
    error = "the boot sector could not be read";
    return std::nullopt;
  }
  std::vector<uint8_t> boot(std::max<uint32_t>(ss, 512));
  const uint64_t volumeByte = volumeFirstSector * ss;
  const bool readable = ReadSourceBytes(reader, volumeByte, boot);
  std::optional<FatBoot> found;
  if (readable) found = ParseFatBoot(boot, error);
  if (found) return found;
  const std::string firstError = readable ? error : "the boot sector could not be read";
  for (const uint64_t bytesPerSector : {512u, 1024u, 2048u, 4096u}) {
    std::vector<uint8_t> copy(bytesPerSector);
    if (!ReadSourceBytes(reader, volumeByte + 6 * bytesPerSector, copy)) continue;
    if (LE16(copy, 11) != bytesPerSector || LE16(copy, 50) != 6 || LE16(copy, 22) != 0) continue;
    std::string ignored;
    found = ParseFatBoot(copy, ignored);
    if (found) return found;
  }
  error = firstError;
  return std::nullopt;
}

std::optional<ClusterGeometry> GeometryOf(const FatBoot& f, uint32_t sectorSize,
                                          uint64_t volumeFirstSector, std::string& error) {
  const uint64_t dataByte = volumeFirstSector * sectorSize + f.DataByte;
  const uint64_t clusterBytes = uint64_t{f.SectorsPerCluster} * f.BytesPerSector;
  if (dataByte % sectorSize != 0 || clusterBytes % sectorSize != 0) {
    error = "the volume's clusters do not fall on whole sectors of the Source";
    return std::nullopt;
  }
  ClusterGeometry g;
  g.SectorSize = sectorSize;
  g.Cluster2Sector = dataByte / sectorSize;
  g.SectorsPerCluster = static_cast<uint32_t>(clusterBytes / sectorSize);
  g.ClusterCount = f.ClusterCount;
  return g;
}

// A directory's bytes, read from stretches of the Source, and where each
// of its bytes lies there.
struct DirectoryBytes {
  std::vector<uint8_t> Bytes;
  std::vector<std::pair<size_t, uint64_t>> Pieces;  // buffer offset, Source byte

  void Append(SectorReader& reader, uint64_t sourceByte, uint64_t length) {
    const size_t at = Bytes.size();
    Bytes.resize(at + length);
    ReadSourceBytes(reader, sourceByte, std::span<uint8_t>(Bytes).subspan(at));
    Pieces.emplace_back(at, sourceByte);
  }
  uint64_t SourceByteOf(size_t offset) const {
    auto it = std::upper_bound(Pieces.begin(), Pieces.end(), std::make_pair(offset, UINT64_MAX));
    if (it == Pieces.begin()) return 0;
    --it;
    return it->second + (offset - it->first);
  }
};

struct PendingDirectory {
  uint32_t FirstCluster = 0;
  std::string Path;
  bool Deleted = false;
  bool HighHalfZero = false;  // FAT32: the entry's upper half of the cluster is 0
  size_t Record = 0;          // the directory's own record
};

class FatWalker {
 public:
  FatWalker(SectorReader& reader, const FatBoot& boot, const ClusterGeometry& g,
            uint64_t volumeByte)
      : reader_(reader),
        boot_(boot),
        g_(g),
        table_(reader, volumeByte + boot.FatByte, boot.FatBytes, boot.Width),
        volumeByte_(volumeByte) {}

  std::vector<FileRecord> Walk() {
    DirectoryBytes root;
    if (boot_.Width == FatWidth::Fat32) {
      ReadChain(boot_.RootCluster, root);
    } else {
      root.Append(reader_, volumeByte_ + boot_.RootByte,
                  std::min(boot_.RootBytes, kMaxDirectoryBytes));
    }
    List(root, "", false);
    // Live directories first, so that a deleted one whose clusters a live
    // one now holds is not read as its own.
    while (!live_.empty() || !deleted_.empty()) {
      std::deque<PendingDirectory>& queue = live_.empty() ? deleted_ : live_;
      const PendingDirectory next = std::move(queue.front());
      queue.pop_front();
      DirectoryBytes dir;
      if (next.Deleted ? ReadDeleted(next, dir) : ReadChain(next.FirstCluster, dir)) {
        List(dir, next.Path, next.Deleted);
      }
    }
    return std::move(records_);
  }

 private:
  uint64_t ClusterByte(uint32_t cluster) const { return g_.SectorOf(cluster) * g_.SectorSize; }
  uint64_t MaxDirectoryClusters() const {
    return std::min<uint64_t>((kMaxDirectoryBytes + g_.ClusterBytes() - 1) / g_.ClusterBytes(),
                              g_.ClusterCount);
  }
  // Takes a cluster for a directory; false when one was read before.
  bool Claim(uint32_t cluster) { return readAsDirectory_.insert(cluster).second; }

  // A live directory along its chain, up to its end or a cluster read before.
  bool ReadChain(uint32_t first, DirectoryBytes& dir) {
    const Chain chain = FollowChain(table_, g_, first, MaxDirectoryClusters());
    for (const ClusterRun& run : chain.Runs) {
      for (uint32_t k = 0; k < run.Count; ++k) {
        if (!Claim(run.First + k)) return !dir.Bytes.empty();
        dir.Append(reader_, ClusterByte(run.First + k), g_.ClusterBytes());
        if (EndsDirectory(Bytes(dir.Bytes).last(g_.ClusterBytes()))) return true;
      }
    }
    return !dir.Bytes.empty();
  }

  // True when the cluster opens with a "." entry that names it.
  bool NamesItself(uint32_t cluster) {
    std::vector<uint8_t> head(2 * kEntryBytes);
    ReadSourceBytes(reader_, ClusterByte(cluster), head);
    const auto dots = DotEntries(head);
    if (!dots) return false;
    return (boot_.Width == FatWidth::Fat32 ? dots->first : dots->first & 0xFFFF) == cluster;
  }

  // Where a deleted directory begins: the cluster its entry names, if that
  // still opens with the "." entry naming it. Some systems clear FAT32's
  // upper half of the cluster on deletion; then the clusters that share
  // the lower half are tried, by their "." entry, which only the right one
  // carries.
  std::optional<uint32_t> DeletedStart(const PendingDirectory& d) {
    auto usable = [&](uint64_t c) {
      return g_.Holds(c) && readAsDirectory_.count(static_cast<uint32_t>(c)) == 0;
    };
    if (usable(d.FirstCluster) && NamesItself(d.FirstCluster)) return d.FirstCluster;
    if (boot_.Width != FatWidth::Fat32 || !d.HighHalfZero) return std::nullopt;
    for (uint64_t c = uint64_t{d.FirstCluster} + 0x10000; g_.Holds(c); c += 0x10000) {
      if (usable(c) && NamesItself(static_cast<uint32_t>(c))) return static_cast<uint32_t>(c);
    }
    return std::nullopt;
  }

  // A deleted directory, from where it begins (DeletedStart). A freed chain
  // is followed as consecutive free clusters that still read as entries,
  // up to the end mark; one that is still allocated, along the chain.
  bool ReadDeleted(const PendingDirectory& d, DirectoryBytes& dir) {
    const std::optional<uint32_t> start = DeletedStart(d);
    if (!start) return false;
    const uint32_t first = *start;
    if (first != d.FirstCluster) records_[d.Record].FirstSector = g_.SectorOf(first);
    std::vector<uint8_t> head(g_.ClusterBytes());
    ReadSourceBytes(reader_, ClusterByte(first), head);
    const std::optional<uint32_t> link = table_.Entry(first);
    if (link && *link != 0) return ReadChain(first, dir);
    const uint64_t most = MaxDirectoryClusters();
    for (uint64_t k = 0; k < most && g_.Holds(uint64_t{first} + k); ++k) {
      const uint32_t cluster = static_cast<uint32_t>(first + k);
      if (readAsDirectory_.count(cluster) != 0) break;
      std::vector<uint8_t> bytes;
      bool endSeen = false;
      if (k == 0) {
        bytes = std::move(head);
        LooksLikeDirectory(bytes, endSeen);
      } else {
        const std::optional<uint32_t> next = table_.Entry(cluster);
        if (!next || *next != 0) break;
        bytes.resize(g_.ClusterBytes());
        ReadSourceBytes(reader_, ClusterByte(cluster), bytes);
        if (!LooksLikeDirectory(bytes, endSeen)) break;
      }
      Claim(cluster);
      const size_t at = dir.Bytes.size();
      dir.Bytes.insert(dir.Bytes.end(), bytes.begin(), bytes.end());
      dir.Pieces.emplace_back(at, ClusterByte(cluster));
      if (endSeen) break;
    }
    return !dir.Bytes.empty();
  }

  uint32_t FirstClusterOf(const FatEntry& e) const {
    if (boot_.Width == FatWidth::Fat32) return (uint32_t{e.ClusterHigh} << 16) | e.ClusterLow;
    return e.ClusterLow;
  }

  void List(const DirectoryBytes& dir, const std::string& path, bool directoryDeleted) {
    for (FatEntry& e : ParseFatEntries(dir.Bytes)) {
      FileRecord r;
      r.Name = std::move(e.Name);
      r.Path = JoinPath(path, r.Name);
      r.Size = e.Size;
      r.Deleted = e.Deleted || directoryDeleted;
      r.Directory = e.Directory;
      r.Modified = e.Modified;
      r.Created = e.Created;
      r.Origin = RecordOrigin::VolumeTree;
      r.Id = dir.SourceByteOf(e.Offset);
      r.RecordSector = r.Id / g_.SectorSize;
      const uint32_t cluster = FirstClusterOf(e);
      if (g_.Holds(cluster)) {
        r.FirstSector = g_.SectorOf(cluster);
        if (r.Directory) {
          (r.Deleted ? deleted_ : live_)
              .push_back({cluster, r.Path, r.Deleted, e.ClusterHigh == 0, records_.size()});
        } else if (!r.Deleted && r.Size != 0) {
          LayOut(r, cluster);
        }
      }
      records_.push_back(std::move(r));
    }
  }

  // A live file's runs, when its chain holds exactly the clusters its size needs.
  void LayOut(FileRecord& r, uint32_t cluster) {
    const uint64_t needed = (r.Size + g_.ClusterBytes() - 1) / g_.ClusterBytes();
    const Chain chain = FollowChain(table_, g_, cluster, needed);
    if (!chain.Whole || chain.Clusters != needed) return;
    r.Runs = SectorRunsOf(chain.Runs, g_, r.Size);
    r.LayoutKnown = !r.Runs.empty();
  }

  SectorReader& reader_;
  FatBoot boot_;
  ClusterGeometry g_;
  FatTable table_;
  uint64_t volumeByte_;
  std::unordered_set<uint32_t> readAsDirectory_;
  std::deque<PendingDirectory> live_;
  std::deque<PendingDirectory> deleted_;
  std::vector<FileRecord> records_;
};

struct BootAndGeometry {
  FatBoot Boot;
  ClusterGeometry Geometry;
};

// The volume's boot sector and where its clusters lie; nothing, and error
// says why, when either cannot be had.
std::optional<BootAndGeometry> ReadBootAndGeometry(SectorReader& reader, uint64_t volumeFirstSector,
                                                   std::string& error) {
  std::optional<FatBoot> boot = ReadBoot(reader, volumeFirstSector, error);
  if (!boot) return std::nullopt;
  std::optional<ClusterGeometry> g = GeometryOf(*boot, reader.SectorSize(), volumeFirstSector, error);
  if (!g) return std::nullopt;
  return BootAndGeometry{std::move(*boot), std::move(*g)};
}

}  // namespace

std::optional<std::vector<FileRecord>> ReadFatFiles(SectorReader& reader,
                                                    uint64_t volumeFirstSector,
                                                    std::string& error) {
  const std::optional<BootAndGeometry> v = ReadBootAndGeometry(reader, volumeFirstSector, error);
  if (!v) return std::nullopt;
  FatWalker walker(reader, v->Boot, v->Geometry, volumeFirstSector * reader.SectorSize());
  return walker.Walk();
}

std::optional<FatClusterLayout> ReadFatClusterLayout(SectorReader& reader,
                                                     uint64_t volumeFirstSector,
                                                     std::string& error) {
  const std::optional<BootAndGeometry> v = ReadBootAndGeometry(reader, volumeFirstSector, error);
  if (!v) return std::nullopt;
  FatClusterLayout layout;
  layout.SectorsPerCluster = v->Geometry.SectorsPerCluster;
  layout.Cluster2Sector = v->Geometry.Cluster2Sector;
  layout.ClusterCount = v->Geometry.ClusterCount;
  return layout;
}

std::vector<FileRecord> ReadLooseFatDirectorySector(SectorReader& reader, uint64_t sector,
                                                    const FatClusterLayout& layout) {
  std::vector<FileRecord> out;
  const uint32_t ss = reader.SectorSize();
  if (ss == 0 || ss % kEntryBytes != 0) return out;
  std::vector<uint8_t> bytes(2 * uint64_t{ss});
  const std::span<uint8_t> own = std::span<uint8_t>(bytes).subspan(ss);
  if (!reader.Read(sector, own)) return out;
  // The search's verdict covers NTFS records too: every slot must read as
  // an entry.
  bool endSeen = false;
  if (!LooksLikeDirectory(own, endSeen)) return out;

  const uint32_t spc = layout.SectorsPerCluster;
  std::optional<uint64_t> cluster2 = layout.Cluster2Sector;
  if (!cluster2 && spc != 0) {
    const auto dots = DotEntries(own);
    if (dots && dots->first >= 2 && (uint64_t{dots->first} - 2) * spc <= sector) {
      cluster2 = sector - (uint64_t{dots->first} - 2) * spc;
    }
  }
  // The sector before lends long-name parts unless it lies in another cluster.
  bool lend = sector > 0;
  if (lend && cluster2 && spc != 0) {
    lend = sector > *cluster2 && (sector - *cluster2) % spc != 0;
  }
  if (lend) reader.Read(sector - 1, std::span<uint8_t>(bytes).first(ss));

  const uint64_t sectors = reader.SectorCount();
  for (FatEntry& e : ParseFatEntries(bytes, ss)) {
    FileRecord r;
    r.Name = std::move(e.Name);
    r.Path = JoinPath(kOrphansFolder, r.Name);
    r.Size = e.Size;
    r.Deleted = true;
    r.Directory = e.Directory;
    r.Modified = e.Modified;
    r.Created = e.Created;
    r.Origin = RecordOrigin::LooseRecord;
    r.RecordSector = sector;
    r.Id = sector * ss + (e.Offset - ss);
    // FAT12 and FAT16 keep other things where FAT32 keeps the upper half;
    // cluster numbers have 28 bits.
    const uint32_t high = e.ClusterHigh <= 0x0FFF ? e.ClusterHigh : 0;
    const uint64_t cluster = (uint64_t{high} << 16) | e.ClusterLow;
    const bool inVolume = layout.ClusterCount == 0 || cluster - 2 < layout.ClusterCount;
    if (cluster2 && spc != 0 && cluster >= 2 && inVolume) {
      const uint64_t first = *cluster2 + (cluster - 2) * spc;
      if (first < sectors) r.FirstSector = first;
    }
    out.push_back(std::move(r));
  }
  return out;
}

}  // namespace tarnwick
