#include "scan/recorded_files.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <unordered_set>

#include "filesystems/fat_volume.h"
#include "filesystems/ntfs_volume.h"
#include "filesystems/sector_reader.h"
#include "filesystems/volume_files.h"
#include "scan/classify.h"
#include "scan/session.h"
#include "source/bytes.h"
#include "source/partition_table.h"
#include "scan/session_source.h"
#include "volume/identify.h"
#include "volume/geometry_inference.h"
#include "volume/identify_partitions.h"

namespace tarnwick {

namespace {

bool Readable(uint8_t kind) { return VolumeFilesReadable(kind); }

DeviceSectorReader ReaderOf(Session& s) {
  return DeviceSectorReader(*s.Source.Device, s.Cache, s.Scan.BytesPerSector,
                            s.Scan.LastSector + 1);
}

struct Place {
  uint64_t First, Last;
  uint8_t Kind;
  int Partition;
  std::string Origin;
};

void AddPlace(std::vector<Place>& places, Place p) {
  for (const Place& q : places) {
    if (q.First == p.First && q.Kind == p.Kind) return;
  }
  places.push_back(std::move(p));
}

std::vector<Place> PlacesOf(Session& s) {
  std::vector<Place> places;
  SourceDevice& dev = *s.Source.Device;
  const uint32_t bps = s.Scan.BytesPerSector;
  const uint64_t last = s.Scan.LastSector;
  const bool volume = s.Source.Kind != DeviceKind::Disk && s.Detected.FsKind != kFsOther;
  // The open volume, whatever the plan made of it (a formatted one is
  // scanned as unknown space, but its present MFT still tells of files).
  if (volume && Readable(s.Detected.FsKind))
    AddPlace(places, {0, last, s.Detected.FsKind, 0, "the open volume"});
  bool wholeDisk = false;
  for (const ScanRegion& r : s.Regions) {
    wholeDisk = wholeDisk || r.Partition != 0;
    if (!Readable(r.FsKind)) continue;
    AddPlace(places, {r.First, r.Last, r.FsKind, r.Partition,
                      r.Partition ? "partition " + std::to_string(r.Partition) : r.Origin});
  }
  if (!volume && s.Regions.empty()) {
    PartitionTable table = ReadPartitionTable(dev);
    if (table.Scheme != TableScheme::None && table.SectorSize == bps) {
      wholeDisk = true;
      for (const PartitionContents& c : IdentifyPartitions(dev, table, std::string())) {
        if (!c.Identified || !Readable(c.Geometry.FsKind)) continue;
        AddPlace(places, {c.Entry.FirstSector, std::min(c.Entry.LastSector, last),
                          c.Geometry.FsKind, c.Entry.Index,
                          "partition " + std::to_string(c.Entry.Index)});
      }
    }
  }
  // A volume-sized Source may hold a former volume whose backup boot sector survived.
  if (!wholeDisk) {
    std::optional<VolumeGeometry> present;
    if (volume) present = s.Detected;
    for (const SurvivingVolume& v : FindFormerVolumes(dev, bps, last, present)) {
      if (!Readable(v.Geometry.FsKind)) continue;
      AddPlace(places, {v.First, std::min(v.Last, last), v.Geometry.FsKind, 0,
                        "former " + std::string(FsKindName(v.Geometry.FsKind)) + " volume (" +
                            v.Describe() + ")"});
    }
  }
  return places;
}

bool EndsWithDb(const std::string& name) {
  if (name.size() < 3) return false;
  const std::string_view end(name.data() + name.size() - 3, 3);
  return end[0] == '.' && (end[1] | 0x20) == 'd' && (end[2] | 0x20) == 'b';
}

// The record slots of the clusters where the search found NTFS file records
// of the volume, outside its live MFT.
std::vector<uint64_t> LooseRecordSectors(const Session& s, const NtfsVolume& v,
                                         const RecordedVolume& rv, uint64_t last) {
  std::vector<std::pair<uint64_t, uint64_t>> mft;
  for (const FileRecord& f : rv.Files) {
    if (f.Id != 0 || f.Origin != RecordOrigin::VolumeTree) continue;
    for (const FileRun& r : f.Runs)
      if (!r.Sparse) mft.emplace_back(r.FirstSector, r.FirstSector + r.Sectors - 1);
  }
  auto inMft = [&](uint64_t sector) {
    for (const auto& [a, b] : mft)
      if (sector >= a && sector <= b) return true;
    return false;
  };
  const uint32_t bps = s.Scan.BytesPerSector;
  const uint64_t perRecord = std::max<uint64_t>(v.RecordBytes / bps, 1);
  const uint64_t perCluster = std::max<uint64_t>(v.ClusterBytes / bps, 1);
  std::vector<uint64_t> out;
  const FoundList& list = s.Found;
  for (uint64_t i = 0; i < list.Count; ++i) {
    const uint64_t at = list.Sectors[i];
    if (list.Types[i] != kMetadata || at < rv.First || at > last || inMft(at)) continue;
    for (uint64_t k = 0; k < perCluster; k += perRecord) {
      if (at + k <= last) out.push_back(at + k);
    }
  }
  return out;
}

bool FatKind(uint8_t kind) { return kind == kFat12 || kind == kFat16 || kind == kFat32; }

// The directory sectors the search found in a FAT volume outside its tree
// (an earlier volume's directories, left after a quick format): their
// entries, read with the volume's own cluster layout, which a format with
// the same geometry keeps.
std::vector<FileRecord> LooseFatRecords(const Session& s, SectorReader& reader,
                                        const RecordedVolume& v) {
  std::vector<FileRecord> out;
  std::string error;
  const std::optional<FatClusterLayout> layout = ReadFatClusterLayout(reader, v.First, error);
  if (!layout) return out;
  std::unordered_set<uint64_t> tree;
  for (const FileRecord& f : v.Files) tree.insert(f.RecordSector);
  const FoundList& list = s.Found;
  for (uint64_t i = 0; i < list.Count; ++i) {
    const uint64_t at = list.Sectors[i];
    if (list.Types[i] != kMetadata || at < v.First || at > v.Last || tree.count(at)) continue;
    for (FileRecord& f : ReadLooseFatDirectorySector(reader, at, *layout)) {
      if (!tree.count(f.RecordSector)) out.push_back(std::move(f));
    }
  }
  return out;
}

// Several records may name one start: a file deleted, its clusters taken by
// another since. The one whose layout is known wins, then a live one, then
// the one written last (it wrote over the other).
bool Newer(const FileRecord& a, const FileRecord& b) {
  if (a.LayoutKnown != b.LayoutKnown) return a.LayoutKnown;
  if (a.Deleted != b.Deleted) return !a.Deleted;
  return a.Modified.value_or(INT64_MIN) > b.Modified.value_or(INT64_MIN);
}

// Whether a file's sectors are those its record's runs give, in order (the
// runs may reach on into the last cluster's slack). A database put together
// another way, where the record's layout did not check, does not.
bool LiesAlongRuns(const std::vector<uint64_t>& sectors, const std::vector<FileRun>& runs) {
  size_t n = 0;
  for (const FileRun& r : runs) {
    if (r.Sparse) continue;
    for (uint64_t k = 0; k < r.Sectors && n < sectors.size(); ++k, ++n) {
      if (sectors[n] != r.FirstSector + k) return false;
    }
  }
  return n == sectors.size();
}

}  // namespace

void ClaimRecordedRuns(Session& s, const FileRecord& f, bool deletedNeighbour) {
  for (const FileRun& r : f.Runs) {
    if (r.Sparse) continue;
    const uint64_t end = std::min(r.FirstSector + r.Sectors, s.Scan.LastSector + 1);
    if (end <= r.FirstSector) continue;
    if (deletedNeighbour) {
      s.DeletedClaims.Add(r.FirstSector, end - r.FirstSector);
    } else if (!s.DeletedClaims.Empty()) {
      for (uint64_t at = r.FirstSector; at < end; ++at) s.DeletedClaims.Take(at);
    }
    for (uint64_t at = r.FirstSector; at < end;) {
      const uint64_t n = std::min<uint64_t>(end - at, INT32_MAX);
      s.Map.MarkSectorRun(at, static_cast<int32_t>(n));
      at += n;
    }
  }
}


std::vector<RecordedVolume> ReadRecordedVolumes(Session& s, int only) {
  std::vector<RecordedVolume> out;
  if (!s.Source.IsOpen() || s.Scan.LastSector == UINT64_MAX) return out;
  DeviceSectorReader reader = ReaderOf(s);
  for (const Place& p : PlacesOf(s)) {
    if (only != 0 && p.Partition != only) continue;
    RecordedVolume v;
    v.First = p.First;
    v.Last = p.Last;
    v.FsKind = p.Kind;
    v.Partition = p.Partition;
    v.Origin = p.Origin;
    v.Files = ReadVolumeFiles(reader, p.First, p.Last, p.Kind, v.Error);
    out.push_back(std::move(v));
  }
  return out;
}

RecordedScan CollectRecordedFiles(Session& s) {
  RecordedScan scan;
  s.RecordedStarts.clear();
  s.DeletedClaims.Clear();
  // A Source that stopped answering is asked nothing more.
  if (!s.Source.IsOpen() || !s.Map.Allocated() || SourceFaults(s).SourceLost) return scan;
  scan.Volumes = ReadRecordedVolumes(s);
  DeviceSectorReader reader = ReaderOf(s);
  for (RecordedVolume& v : scan.Volumes) {
    if (FatKind(v.FsKind)) {
      std::vector<FileRecord> found = LooseFatRecords(s, reader, v);
      v.Files.insert(v.Files.end(), std::make_move_iterator(found.begin()),
                     std::make_move_iterator(found.end()));
      continue;
    }
    if (v.FsKind != kNtfs) continue;
    std::string error;
    std::optional<NtfsVolume> ntfs = FindNtfsVolume(reader, v.First, v.Last, error);
    if (!ntfs) continue;
    const std::vector<uint64_t> loose = LooseRecordSectors(s, *ntfs, v, v.Last);
    if (loose.empty()) continue;
    std::vector<FileRecord> found = ReadLooseNtfsRecords(reader, *ntfs, loose);
    v.Files.insert(v.Files.end(), std::make_move_iterator(found.begin()),
                   std::make_move_iterator(found.end()));
  }

  // The compound files' starts, and the other files' (a picture, a clip,
  // an archive). A deleted file whose first sector still holds one of the
  // latter still has its bytes there: a database that grew since did not
  // take its clusters, and the reassembly does not look through them.
  std::unordered_set<uint64_t> compoundStarts, otherStarts;
  std::vector<uint64_t> sortedStarts;
  for (uint64_t i = 0; i < s.Found.Count; ++i) {
    const uint64_t at = s.Found.Sectors[i];
    if (s.Found.Types[i] == kOle2) {
      compoundStarts.insert(at);
      sortedStarts.push_back(at);
    } else if (s.Found.Types[i] != kMetadata) {
      otherStarts.insert(at);
    }
  }
  std::sort(sortedStarts.begin(), sortedStarts.end());
  // A deleted file whose clusters hold a compound file's start now was
  // written over since, perhaps by a database whose own record is gone: its
  // runs are not claimed, so that the carve may still have that database.
  auto holdsCompoundStart = [&](const FileRecord& f) {
    for (const FileRun& r : f.Runs) {
      if (r.Sparse) continue;
      auto it = std::lower_bound(sortedStarts.begin(), sortedStarts.end(), r.FirstSector);
      if (it != sortedStarts.end() && *it < r.FirstSector + r.Sectors) return true;
    }
    return false;
  };
  const uint64_t first = static_cast<uint64_t>(std::max<int64_t>(s.FirstScanSector, 0));
  const uint64_t last = static_cast<uint64_t>(std::max<int64_t>(s.LastScanSector, 0));
  for (const RecordedVolume& v : scan.Volumes) {
    for (const FileRecord& f : v.Files) {
      if (f.Directory) continue;
      const bool candidate =
          f.FirstSector && (EndsWithDb(f.Name) || compoundStarts.count(*f.FirstSector) != 0);
      // A deleted neighbour whose layout is known is claimed, so that the
      // databases around it step over it; a deleted database is claimed once
      // it is written from its runs. A live file is not: it may have been
      // written over a database since, whose carve must then see the loss
      // where it lies (--free-only claims what the file system holds).
      if (f.LayoutKnown && f.Deleted && !candidate && !holdsCompoundStart(f)) {
        const bool stillThere = f.FirstSector && otherStarts.count(*f.FirstSector) != 0;
        ClaimRecordedRuns(s, f, !stillThere);
      }
      if (f.LayoutKnown && !f.Deleted) {
        for (const FileRun& r : f.Runs)
          if (!r.Sparse) scan.LiveRuns.emplace_back(r.FirstSector, r.FirstSector + r.Sectors - 1);
      }
      if (!f.FirstSector || *f.FirstSector < first || *f.FirstSector > last) continue;
      if (!candidate) continue;
      auto [it, added] = s.RecordedStarts.try_emplace(*f.FirstSector);
      RecordedStart& kept = it->second;
      if (added) {
        kept = RecordedStart{f, f.LayoutKnown, {}};
      } else if (Newer(f, kept.File)) {
        if (kept.File.LayoutKnown) kept.Alternatives.push_back(std::move(kept.File));
        kept.File = f;
        kept.ReadAlongRuns = f.LayoutKnown;
      } else if (f.LayoutKnown) {
        kept.Alternatives.push_back(f);
      }
    }
  }
  std::sort(scan.LiveRuns.begin(), scan.LiveRuns.end());
  return scan;
}

const FileRecord* RecordedFileStartingAt(const Session& s, uint64_t sector) {
  auto it = s.RecordedStarts.find(sector);
  return it == s.RecordedStarts.end() ? nullptr : &it->second.File;
}

void DescribeSavedDatabase(const Session& s, SavedFile& saved) {
  auto it = s.RecordedStarts.find(saved.StartSector);
  if (it != s.RecordedStarts.end()) {
    const FileRecord& f = it->second.File;
    saved.OriginalPath = f.Path;
    saved.RecordedDeleted = f.Deleted;
    saved.Modified = f.Modified;
    saved.Created = f.Created;
    if (it->second.ReadAlongRuns && LiesAlongRuns(saved.Sectors, f.Runs)) {
      saved.LayoutFrom = "file system record";
      return;
    }
  }
  if (!saved.LayoutFrom.empty()) return;
  // The plain carve steps only over sectors claimed before it; a gap of
  // sectors nobody claimed was stepped over by the reassembly.
  for (size_t i = 1; i < saved.Sectors.size(); ++i) {
    for (uint64_t at = saved.Sectors[i - 1] + 1; at < saved.Sectors[i]; ++at) {
      if (!s.Map.IsSectorMarked(at)) {
        saved.LayoutFrom = "reassembly";
        return;
      }
    }
  }
}

}  // namespace tarnwick
