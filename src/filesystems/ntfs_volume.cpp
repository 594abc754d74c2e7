#include "filesystems/ntfs_volume.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

#include "filesystems/ntfs_record.h"
#include "source/bytes.h"

namespace tarnwick {

namespace {

constexpr uint64_t kRootRecord = 5;
constexpr uint64_t kFirstUserRecord = 16;  // before it, the volume's own files
constexpr uint64_t kReadChunk = 1 << 20;        // bytes of the MFT read at a time
constexpr uint64_t kLargestList = 16 << 20;     // an attribute list beyond this is garbage
constexpr size_t kDeepestPath = 1024;           // folders above a file, at most
constexpr uint64_t kLargestMft = uint64_t{64} << 30;  // 64 GiB of records is more than any volume

// What is kept of one parsed record: enough to join, name and place it.
struct Entry {
  uint64_t Number = 0;
  uint64_t Sector = 0;  // the Source sector the record starts in
  NtfsRecord Record;    // without its names (one is kept) and resident bytes
  bool HasName = false;
  NtfsName Name;
};

uint16_t NextSequence(uint16_t s) { return s == 0xFFFF ? 1 : static_cast<uint16_t>(s + 1); }

// A reference with sequence ref names the record: the same sequence, or the
// next one when the record has been freed since (freeing counts it up).
bool SequenceFits(const NtfsRecord& r, uint16_t ref) {
  return ref == 0 || r.Sequence == ref || (!r.InUse && r.Sequence == NextSequence(ref));
}

// Reads bytes of an attribute laid out in extents (cluster units of the
// volume) through the Source's sectors. Sparse clusters read as zeros; so do
// unreadable sectors (the records they spoil then fail their fix-ups).
class ClusterReader {
 public:
  ClusterReader(SectorReader& reader, const NtfsVolume& volume)
      : reader_(reader), volume_(volume), bps_(reader.SectorSize()) {}

  // False when the range is not wholly mapped or lies past the volume.
  bool Read(const std::vector<NtfsExtent>& extents, uint64_t offset, std::span<uint8_t> out) {
    std::fill(out.begin(), out.end(), uint8_t{0});
    const uint64_t cb = volume_.ClusterBytes;
    uint64_t vcnByte = 0;
    uint64_t done = 0;
    for (const NtfsExtent& e : extents) {
      if (done == out.size()) break;
      const uint64_t bytes = e.Count * cb;
      const uint64_t want = offset + done;
      if (want >= vcnByte + bytes) {
        vcnByte += bytes;
        continue;
      }
      const uint64_t within = want - vcnByte;
      const uint64_t n = std::min<uint64_t>(bytes - within, out.size() - done);
      if (!e.Sparse) {
        if (e.Cluster + e.Count > volume_.Clusters()) return false;
        if (!ReadBytes(e.Cluster * cb + within, out.subspan(done, n))) failed_ = true;
      }
      done += n;
      vcnByte += bytes;
    }
    return done == out.size();
  }

  // The Source sector that holds a byte of the attribute.
  uint64_t SectorOf(const std::vector<NtfsExtent>& extents, uint64_t offset) const {
    uint64_t vcnByte = 0;
    for (const NtfsExtent& e : extents) {
      const uint64_t bytes = e.Count * volume_.ClusterBytes;
      if (offset < vcnByte + bytes)
        return volume_.FirstSector + (e.Cluster * volume_.ClusterBytes + offset - vcnByte) / bps_;
      vcnByte += bytes;
    }
    return 0;
  }

  bool AnyFailed() const { return failed_; }

 private:
  // Bytes at a volume byte offset.
  bool ReadBytes(uint64_t volumeByte, std::span<uint8_t> out) {
    const uint64_t startByte = volume_.FirstSector * bps_ + volumeByte;
    const uint64_t first = startByte / bps_;
    const uint64_t skip = startByte % bps_;
    const uint64_t sectors = (skip + out.size() + bps_ - 1) / bps_;
    if (skip == 0 && out.size() % bps_ == 0) return reader_.Read(first, out);
    buffer_.assign(sectors * bps_, 0);
    const bool ok = reader_.Read(first, buffer_);
    std::copy_n(buffer_.begin() + static_cast<std::ptrdiff_t>(skip), out.size(), out.begin());
    return ok;
  }

  SectorReader& reader_;
  const NtfsVolume& volume_;
  uint32_t bps_;
  std::vector<uint8_t> buffer_;
  bool failed_ = false;
};

// The records of one set (an MFT, or the loose ones of one volume), joined
// and named.
class RecordSet {
 public:
  RecordSet(SectorReader& reader, const NtfsVolume& volume, RecordOrigin origin)
      : reader_(reader), volume_(volume), clusters_(reader, volume), origin_(origin) {}

  void Add(uint64_t number, uint64_t sector, NtfsRecord&& r) {
    if (!r.Valid) return;
    Entry e;
    e.Number = number;
    e.Sector = sector;
    if (const NtfsName* best = r.BestName()) {
      e.HasName = true;
      e.Name = *best;
    }
    r.Names.clear();
    r.Names.shrink_to_fit();
    r.ResidentData.clear();
    r.ResidentData.shrink_to_fit();
    std::erase_if(r.AttributeList,
                  [](const NtfsListEntry& l) { return l.Type != 0x80 || l.Named; });
    e.Record = std::move(r);
    // The first of several copies of a number is the one kept (loose records).
    if (index_.emplace(number, entries_.size()).second) {
      if (e.Record.BaseRecord != 0) extensions_.emplace(e.Record.BaseRecord, entries_.size());
      entries_.push_back(std::move(e));
    }
  }

  std::vector<FileRecord> Files(NtfsReadStats* stats) {
    JoinNames();
    std::vector<FileRecord> out;
    for (Entry& e : entries_) {
      if (e.Record.BaseRecord != 0 || e.Number == kRootRecord) continue;
      if (!e.HasName) {
        // Its name is gone (the first records are reserved and nameless):
        // the file is still there, under the orphans, by its number.
        const NtfsRecord& r = e.Record;
        if (e.Number < kFirstUserRecord) continue;
        if (!r.HasData && !r.HasAttributeList && !r.Created) continue;  // never used
        e.Name = NtfsName{};
        e.Name.ParentRecord = UINT64_MAX;
        e.Name.Name = "OrphanFile-" + std::to_string(e.Number);
      }
      out.push_back(MakeFile(e, stats));
    }
    return out;
  }

  const Entry* Find(uint64_t number) const {
    auto it = index_.find(number);
    return it == index_.end() ? nullptr : &entries_[it->second];
  }

 private:
  // A record grown past an attribute list may keep its $FILE_NAME in an
  // extension record: the base takes the name from there.
  void JoinNames() {
    for (Entry& base : entries_) {
      if (base.HasName || base.Record.BaseRecord != 0) continue;
      auto [lo, hi] = extensions_.equal_range(base.Number);
      for (auto it = lo; it != hi; ++it) {
        const Entry& x = entries_[it->second];
        if (!x.HasName || !ExtendsBase(x, base)) continue;
        base.HasName = true;
        base.Name = x.Name;
        break;
      }
    }
  }

  static bool ExtendsBase(const Entry& x, const Entry& base) {
    const uint16_t ref = x.Record.BaseSequence;
    return x.Record.BaseRecord == base.Number &&
           (ref == 0 || ref == base.Record.Sequence ||
            (!base.Record.InUse && NextSequence(ref) == base.Record.Sequence));
  }

  // The extension records that hold more of e's data: those its attribute
  // list names (when it can be read) and every record that says e is its
  // base. Each is taken once and only when it names e, at e's sequence.
  std::vector<const Entry*> ExtensionsOf(const Entry& e) {
    std::vector<uint64_t> numbers;
    const NtfsRecord& r = e.Record;
    if (r.HasAttributeList) {
      std::vector<NtfsListEntry> list = r.AttributeList;
      if (!r.AttributeListRuns.empty() && r.AttributeListSize <= kLargestList) {
        std::vector<uint8_t> bytes(static_cast<size_t>(r.AttributeListSize));
        if (clusters_.Read(r.AttributeListRuns, 0, bytes)) list = ParseNtfsAttributeList(bytes);
        std::erase_if(list, [](const NtfsListEntry& l) { return l.Type != 0x80 || l.Named; });
      }
      for (const NtfsListEntry& l : list) {
        if (l.Record != e.Number) numbers.push_back(l.Record);
      }
    }
    // The list on disk may be older than the records (a freed file's list is
    // not always brought up to date): the records that name e count too.
    {
      auto [lo, hi] = extensions_.equal_range(e.Number);
      for (auto it = lo; it != hi; ++it) numbers.push_back(entries_[it->second].Number);
    }
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    std::vector<const Entry*> out;
    for (uint64_t n : numbers) {
      const Entry* x = Find(n);
      if (x != nullptr && ExtendsBase(*x, e)) out.push_back(x);
    }
    return out;
  }

  // The folder path above a record ("" at the root), and whether it reaches
  // the root; otherwise it starts at the highest folder still known.
  std::pair<std::string, bool> FolderPath(uint64_t parent, uint16_t parentSequence) {
    std::vector<const Entry*> chain;
    bool rooted = false;
    std::string above;
    for (uint64_t p = parent; chain.size() < kDeepestPath;) {
      if (p == kRootRecord) {
        rooted = true;
        break;
      }
      if (auto it = folders_.find(p); it != folders_.end()) {
        const Entry* f = Find(p);
        if (f && SequenceFits(f->Record, parentSequence)) {
          above = it->second.first;
          rooted = it->second.second;
          chain.push_back(nullptr);  // the cached folder's own part is in `above`
          break;
        }
      }
      const Entry* f = Find(p);
      if (f == nullptr || !f->HasName || !f->Record.IsDirectory ||
          !SequenceFits(f->Record, parentSequence))
        break;
      if (std::find(chain.begin(), chain.end(), f) != chain.end()) break;  // a loop
      chain.push_back(f);
      p = f->Name.ParentRecord;
      parentSequence = f->Name.ParentSequence;
    }
    if (!chain.empty() && chain.back() == nullptr) {
      chain.pop_back();
    } else if (!rooted) {
      above = kOrphansFolder;
    }
    std::string path = above;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
      path = path.empty() ? (*it)->Name.Name : path + "/" + (*it)->Name.Name;
      folders_.emplace((*it)->Number, std::make_pair(path, rooted));
    }
    return {path, rooted};
  }

  FileRecord MakeFile(const Entry& e, NtfsReadStats* stats) {
    const NtfsRecord& r = e.Record;
    FileRecord f;
    f.Name = e.Name.Name;
    const std::string folder = FolderPath(e.Name.ParentRecord, e.Name.ParentSequence).first;
    f.Path = folder.empty() ? f.Name : folder + "/" + f.Name;
    f.Deleted = !r.InUse;
    f.Directory = r.IsDirectory;
    f.Created = r.Created ? r.Created : std::optional<int64_t>(e.Name.Created);
    f.Modified = r.Modified ? r.Modified : std::optional<int64_t>(e.Name.Modified);
    f.Origin = origin_;
    f.RecordSector = e.Sector;
    f.Id = e.Number;
    if (!r.HasData && !r.HasAttributeList) return f;

    std::vector<NtfsDataPiece> pieces = r.DataPieces;
    bool resident = r.DataResident;
    uint64_t size = r.DataSize;
    bool sizeKnown = r.DataSizeKnown;
    bool compressed = r.Compressed, encrypted = r.Encrypted;
    if (r.HasAttributeList) {
      for (const Entry* x : ExtensionsOf(e)) {
        if (stats) ++stats->Extensions;
        const NtfsRecord& xr = x->Record;
        pieces.insert(pieces.end(), xr.DataPieces.begin(), xr.DataPieces.end());
        compressed = compressed || xr.Compressed;
        encrypted = encrypted || xr.Encrypted;
        if (!sizeKnown && xr.DataSizeKnown) size = xr.DataSize, sizeKnown = true;
        resident = resident || xr.DataResident;
      }
    }
    f.Size = size;
    f.Resident = resident;
    f.Compressed = compressed;
    f.Encrypted = encrypted;
    if (resident || pieces.empty()) return f;
    PlaceRuns(pieces, sizeKnown, f);
    return f;
  }

  // The file's runs in Source sectors, trimmed to its size; the layout is
  // known when the pieces join up from VCN 0, cover the size and lie within
  // the volume.
  void PlaceRuns(std::vector<NtfsDataPiece>& pieces, bool sizeKnown, FileRecord& f) {
    std::sort(pieces.begin(), pieces.end(), [](const NtfsDataPiece& a, const NtfsDataPiece& b) {
      return a.LowestVcn < b.LowestVcn;
    });
    bool joined = sizeKnown;
    uint64_t nextVcn = 0;
    std::vector<NtfsExtent> extents;
    for (const NtfsDataPiece& p : pieces) {
      if (!p.RunsValid || p.LowestVcn != nextVcn) {
        joined = false;
        break;
      }
      extents.insert(extents.end(), p.Extents.begin(), p.Extents.end());
      nextVcn = p.HighestVcn + 1;
    }
    const uint32_t bps = reader_.SectorSize();
    const uint64_t perCluster = volume_.ClusterBytes / bps;
    uint64_t remaining = (f.Size + bps - 1) / bps;
    bool inside = true;
    for (const NtfsExtent& x : extents) {
      if (remaining == 0) break;
      if (!x.Sparse && x.Cluster + x.Count > volume_.Clusters()) {
        inside = false;
        break;
      }
      FileRun run;
      run.Sparse = x.Sparse;
      run.FirstSector = x.Sparse ? 0 : volume_.FirstSector + x.Cluster * perCluster;
      run.Sectors = std::min(remaining, x.Count * perCluster);
      remaining -= run.Sectors;
      if (!f.Runs.empty() && !run.Sparse && !f.Runs.back().Sparse &&
          f.Runs.back().FirstSector + f.Runs.back().Sectors == run.FirstSector) {
        f.Runs.back().Sectors += run.Sectors;
      } else {
        f.Runs.push_back(run);
      }
    }
    if (!inside) f.Runs.clear();
    for (const FileRun& run : f.Runs) {
      if (!run.Sparse) {
        f.FirstSector = run.FirstSector;
        break;
      }
    }
    f.LayoutKnown = joined && inside && remaining == 0 && !f.Compressed && !f.Encrypted;
  }

  SectorReader& reader_;
  const NtfsVolume& volume_;
  ClusterReader clusters_;
  RecordOrigin origin_;
  std::vector<Entry> entries_;
  std::unordered_map<uint64_t, size_t> index_;
  std::unordered_multimap<uint64_t, size_t> extensions_;  // base number -> extension entry
  std::unordered_map<uint64_t, std::pair<std::string, bool>> folders_;
};

// The $MFT's own data runs: record 0's, with the pieces its extension
// records hold (a very fragmented MFT), read through what is known so far.
bool MftExtents(SectorReader& reader, const NtfsVolume& v, std::vector<NtfsExtent>& extents,
                uint64_t& size, std::string& error) {
  ClusterReader clusters(reader, v);
  std::vector<uint8_t> bytes(v.RecordBytes);
  const std::vector<NtfsExtent> first = {{v.MftCluster, (v.RecordBytes + v.ClusterBytes - 1) / v.ClusterBytes, false}};
  if (!clusters.Read(first, 0, bytes) || clusters.AnyFailed()) {
    error = "the MFT's first record could not be read";
    return false;
  }
  NtfsRecord zero = ParseNtfsRecord(bytes);
  if (!zero.Valid || zero.DataPieces.empty() || !zero.DataSizeKnown) {
    error = "the MFT's first record is not a sound file record";
    return false;
  }
  std::vector<NtfsDataPiece> pieces = zero.DataPieces;
  size = zero.DataSize;
  auto joinedExtents = [&]() {
    std::sort(pieces.begin(), pieces.end(), [](const NtfsDataPiece& a, const NtfsDataPiece& b) {
      return a.LowestVcn < b.LowestVcn;
    });
    std::vector<NtfsExtent> out;
    uint64_t next = 0;
    for (const NtfsDataPiece& p : pieces) {
      if (!p.RunsValid || p.LowestVcn != next) break;
      out.insert(out.end(), p.Extents.begin(), p.Extents.end());
      next = p.HighestVcn + 1;
    }
    return out;
  };
  extents = joinedExtents();
  if (zero.HasAttributeList) {
    std::vector<NtfsListEntry> list = zero.AttributeList;
    if (!zero.AttributeListRuns.empty() && zero.AttributeListSize <= kLargestList) {
      std::vector<uint8_t> listBytes(static_cast<size_t>(zero.AttributeListSize));
      if (clusters.Read(zero.AttributeListRuns, 0, listBytes))
        list = ParseNtfsAttributeList(listBytes);
    }
    std::vector<uint64_t> seen;
    for (const NtfsListEntry& l : list) {
      if (l.Type != 0x80 || l.Named || l.Record == 0) continue;
      if (std::find(seen.begin(), seen.end(), l.Record) != seen.end()) continue;
      seen.push_back(l.Record);
      if (!clusters.Read(extents, l.Record * v.RecordBytes, bytes)) continue;
      NtfsRecord x = ParseNtfsRecord(bytes);
      if (!x.Valid || x.BaseRecord != 0) continue;
      pieces.insert(pieces.end(), x.DataPieces.begin(), x.DataPieces.end());
      extents = joinedExtents();
    }
  }
  if (extents.empty()) {
    error = "the MFT's run list is broken";
    return false;
  }
  return true;
}

}  // namespace

std::optional<NtfsVolume> ParseNtfsBootSector(std::span<const uint8_t> boot,
                                              uint64_t firstSector) {
  if (boot.size() < 512 || !BytesEqual(boot, 3, "NTFS    ")) return std::nullopt;
  NtfsVolume v;
  v.FirstSector = firstSector;
  v.BytesPerSector = LE16(boot, 11);
  const uint8_t spcCode = U8(boot, 13);
  if (v.BytesPerSector < 512 || v.BytesPerSector > 4096 ||
      (v.BytesPerSector & (v.BytesPerSector - 1)) != 0)
    return std::nullopt;
  uint64_t spc = spcCode <= 0x80 ? spcCode : uint64_t{1} << (256 - spcCode);
  if (spc == 0 || spc > 4096 || (spc & (spc - 1)) != 0) return std::nullopt;
  const uint64_t clusterBytes = spc * v.BytesPerSector;
  if (clusterBytes > (2u << 20)) return std::nullopt;
  v.ClusterBytes = static_cast<uint32_t>(clusterBytes);
  const int8_t recordCode = static_cast<int8_t>(U8(boot, 64));
  uint64_t recordBytes = 0;
  if (recordCode > 0)
    recordBytes = static_cast<uint64_t>(recordCode) * clusterBytes;
  else if (recordCode >= -31 && recordCode < 0)
    recordBytes = uint64_t{1} << (-recordCode);
  if (recordBytes != 1024 && recordBytes != 4096) return std::nullopt;
  v.RecordBytes = static_cast<uint32_t>(recordBytes);
  v.TotalSectors = LE64(boot, 40);
  v.MftCluster = LE64(boot, 48);
  if (v.TotalSectors == 0 || v.TotalSectors > (uint64_t{1} << 48)) return std::nullopt;
  if (v.MftCluster >= v.Clusters()) return std::nullopt;
  return v;
}

std::optional<NtfsVolume> FindNtfsVolume(SectorReader& reader, uint64_t firstSector,
                                         uint64_t lastSector, std::string& error) {
  const uint32_t bps = reader.SectorSize();
  if (bps < 512 || bps > 4096) {
    error = "sectors of " + std::to_string(bps) + " bytes are not read";
    return std::nullopt;
  }
  std::vector<uint8_t> sector(bps);
  // The volume's unit must be whole Source sectors, its clusters too.
  auto fits = [&](const NtfsVolume& v) {
    return v.ClusterBytes % bps == 0 && (uint64_t{v.TotalSectors} * v.BytesPerSector) % bps == 0;
  };
  if (reader.Read(firstSector, sector)) {
    if (auto v = ParseNtfsBootSector(sector, firstSector); v && fits(*v)) return v;
  }
  if (lastSector > firstSector && reader.Read(lastSector, sector)) {
    auto v = ParseNtfsBootSector(sector, 0);
    if (v && fits(*v)) {
      // The backup lies in the volume's last sector, one past what it counts.
      const uint64_t counted = v->TotalSectors * v->BytesPerSector / bps;
      if (counted <= lastSector) {
        v->FirstSector = lastSector - counted;
        return v;
      }
    }
  }
  error = "no NTFS boot sector at sector " + std::to_string(firstSector) + " nor a backup at " +
          std::to_string(lastSector);
  return std::nullopt;
}

std::optional<std::vector<FileRecord>> ReadNtfsFiles(SectorReader& reader, uint64_t firstSector,
                                                     uint64_t lastSector, std::string& error,
                                                     NtfsReadStats* stats) {
  std::optional<NtfsVolume> found = FindNtfsVolume(reader, firstSector, lastSector, error);
  if (!found) return std::nullopt;
  const NtfsVolume v = *found;
  std::vector<NtfsExtent> extents;
  uint64_t mftSize = 0;
  if (!MftExtents(reader, v, extents, mftSize, error)) return std::nullopt;
  uint64_t mapped = 0;
  for (const NtfsExtent& e : extents) mapped += e.Count * v.ClusterBytes;
  mftSize = std::min({mftSize, mapped, kLargestMft});
  const uint64_t records = mftSize / v.RecordBytes;
  if (stats) stats->MftBytes = mftSize;

  ClusterReader clusters(reader, v);
  RecordSet set(reader, v, RecordOrigin::VolumeTree);
  const uint64_t perChunk = std::max<uint64_t>(kReadChunk / v.RecordBytes, 1);
  std::vector<uint8_t> chunk;
  for (uint64_t first = 0; first < records; first += perChunk) {
    const uint64_t n = std::min(perChunk, records - first);
    chunk.resize(static_cast<size_t>(n * v.RecordBytes));
    clusters.Read(extents, first * v.RecordBytes, chunk);
    for (uint64_t i = 0; i < n; ++i) {
      std::span<uint8_t> bytes(chunk.data() + i * v.RecordBytes, v.RecordBytes);
      if (stats) ++stats->Records;
      NtfsRecord r = ParseNtfsRecord(bytes);
      if (!r.Valid) continue;
      if (stats) ++stats->ValidRecords;
      const uint64_t number = first + i;
      set.Add(number, clusters.SectorOf(extents, number * v.RecordBytes), std::move(r));
    }
  }
  return set.Files(stats);
}

std::vector<FileRecord> ReadLooseNtfsRecords(SectorReader& reader, const NtfsVolume& volume,
                                             std::span<const uint64_t> recordSectors) {
  RecordSet set(reader, volume, RecordOrigin::LooseRecord);
  const uint32_t bps = reader.SectorSize();
  if (bps == 0 || volume.RecordBytes % bps != 0) return {};
  std::vector<uint8_t> bytes(volume.RecordBytes);
  for (uint64_t sector : recordSectors) {
    if (!reader.Read(sector, bytes)) continue;
    NtfsRecord r = ParseNtfsRecord(bytes);
    if (!r.Valid || !r.NumberKnown) continue;
    set.Add(r.Number, sector, std::move(r));
  }
  return set.Files(nullptr);
}

}  // namespace tarnwick
