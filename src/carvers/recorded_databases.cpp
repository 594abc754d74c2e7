#include "carvers/recorded_databases.h"

#include <algorithm>

#include "carvers/framework.h"
#include "carvers/qq_database.h"
#include "compound/compound_file.h"
#include "filesystems/sector_reader.h"
#include "scan/recorded_files.h"
#include "scan/session.h"

namespace tarnwick {

namespace {

constexpr uint64_t kChunkSectors = 2048;
constexpr uint32_t kCompoundSector = 512;

// A database read along its runs: its bytes, the Source sector of each of
// its sectors (UINT64_MAX for a hole), and the sectors that failed.
struct Laid {
  std::vector<uint8_t> Bytes;
  std::vector<uint64_t> Sectors;
  std::vector<uint64_t> Unreadable;
};

bool ReadAlongRuns(SectorReader& reader, const FileRecord& f, Laid& out) {
  const uint32_t bps = reader.SectorSize();
  uint64_t total = 0;
  for (const FileRun& r : f.Runs) total += r.Sectors;
  if (f.Size > kLargestRecordedDatabase || total * bps < f.Size) return false;
  out.Bytes.assign(static_cast<size_t>(total * bps), 0);
  out.Sectors.reserve(static_cast<size_t>(total));
  uint64_t at = 0;
  for (const FileRun& r : f.Runs) {
    if (r.Sparse) {
      out.Sectors.insert(out.Sectors.end(), static_cast<size_t>(r.Sectors), UINT64_MAX);
      at += r.Sectors;
      continue;
    }
    if (r.FirstSector + r.Sectors > reader.SectorCount()) return false;
    for (uint64_t k = 0; k < r.Sectors; k += kChunkSectors) {
      const uint64_t n = std::min(kChunkSectors, r.Sectors - k);
      std::span<uint8_t> dest(out.Bytes.data() + (at + k) * bps, static_cast<size_t>(n * bps));
      if (!reader.Read(r.FirstSector + k, dest)) {
        // Sector by sector, to name the ones that failed.
        for (uint64_t j = 0; j < n; ++j) {
          if (!reader.Read(r.FirstSector + k + j, dest.subspan(static_cast<size_t>(j * bps), bps)))
            out.Unreadable.push_back(r.FirstSector + k + j);
        }
      }
    }
    for (uint64_t k = 0; k < r.Sectors; ++k) out.Sectors.push_back(r.FirstSector + k);
    at += r.Sectors;
  }
  out.Bytes.resize(static_cast<size_t>(f.Size));
  out.Sectors.resize(static_cast<size_t>((f.Size + bps - 1) / bps));
  return true;
}

// The compound-file sectors that hold any of the given Source sectors.
std::vector<uint32_t> CompoundSectorsOf(const Laid& laid, const std::vector<uint64_t>& sectors,
                                        uint32_t bps) {
  std::vector<uint32_t> out;
  for (size_t k = 0; k < laid.Sectors.size(); ++k) {
    if (!std::binary_search(sectors.begin(), sectors.end(), laid.Sectors[k])) continue;
    const uint64_t first = k * bps, last = first + bps - 1;
    for (uint64_t n = first / kCompoundSector; n <= last / kCompoundSector; ++n)
      if (n > 0 && n - 1 <= UINT32_MAX) out.push_back(static_cast<uint32_t>(n - 1));
  }
  return out;
}

// The sectors of a deleted file that a live file's runs hold now.
std::vector<uint64_t> TakenSince(const Laid& laid,
                                 const std::vector<std::pair<uint64_t, uint64_t>>& live) {
  std::vector<uint64_t> out;
  for (uint64_t sector : laid.Sectors) {
    if (sector == UINT64_MAX) continue;
    auto it = std::upper_bound(live.begin(), live.end(),
                               std::make_pair(sector, UINT64_MAX));
    // Runs may overlap one another (files that share clusters): look back a few.
    for (int back = 0; back < 4 && it != live.begin(); ++back) {
      --it;
      if (sector >= it->first && sector <= it->second) {
        out.push_back(sector);
        break;
      }
    }
  }
  return out;
}

std::string SectorList(std::vector<uint64_t> sectors) {
  std::sort(sectors.begin(), sectors.end());
  std::string text;
  for (size_t i = 0; i < sectors.size();) {
    size_t j = i;
    while (j + 1 < sectors.size() && sectors[j + 1] == sectors[j] + 1) ++j;
    if (!text.empty()) text += ", ";
    text += std::to_string(sectors[i]);
    if (j > i) text += "-" + std::to_string(sectors[j]);
    i = j + 1;
  }
  return text;
}

void SaveWhole(Session& s, uint64_t start, const Laid& laid, const CompoundCheck& check) {
  SavedFile saved;
  saved.Path = OutputName(s.TargetFolder, start * s.Scan.BytesPerSector, ".DB");
  saved.StartSector = start;
  saved.Bytes = laid.Bytes.size();
  for (uint64_t sector : laid.Sectors)
    if (sector != UINT64_MAX) saved.Sectors.push_back(sector);
  saved.Written = SaveBufferToFile(s, laid.Bytes, saved.Path);
  if (saved.Written)
    ++s.RescuedCount;
  else
    ++s.UnsavedCount;
  saved.IntactStreams = check.IntactStreams;
  saved.BrokenStreams = check.BrokenStreams;
  DescribeSavedDatabase(s, saved);
  if (s.OnFileSaved) s.OnFileSaved(saved);
}

void RescueOne(Session& s, SectorReader& reader, uint64_t start, const FileRecord& f,
               const RecordedScan& scan) {
  Laid laid;
  if (!ReadAlongRuns(reader, f, laid)) return;
  CompoundCheck check = CheckCompoundFile(laid.Bytes);
  if (!check.IsCompound || !HasQQNames(check)) return;  // not a database, or not one of ours
  const uint32_t bps = s.Scan.BytesPerSector;
  std::vector<uint64_t> bad = f.Deleted ? TakenSince(laid, scan.LiveRuns) : std::vector<uint64_t>{};
  std::string reason;
  if (!bad.empty()) reason = "sectors " + SectorList(bad) + " are a live file's now";
  if (!laid.Unreadable.empty()) {
    if (!reason.empty()) reason += "; ";
    reason += "sectors " + SectorList(laid.Unreadable) + " could not be read (zeros in their place)";
  }
  if (reason.empty() && check.Whole) {
    SaveWhole(s, start, laid, check);
    return;
  }
  if (reason.empty()) reason = check.Problem;
  bad.insert(bad.end(), laid.Unreadable.begin(), laid.Unreadable.end());
  std::sort(bad.begin(), bad.end());
  std::vector<uint64_t> sectors;
  for (uint64_t sector : laid.Sectors)
    if (sector != UINT64_MAX) sectors.push_back(sector);
  SaveDamagedDatabase(s, s.TargetFolder, start * bps, laid.Bytes, sectors, reason,
                      CompoundSectorsOf(laid, bad, bps), laid.Unreadable);
}

}  // namespace

void RescueRecordedDatabases(Session& s) {
  const RecordedScan scan = CollectRecordedFiles(s);
  if (s.TargetFolder.empty()) return;
  DeviceSectorReader reader(*s.Source.Device, s.Cache, s.Scan.BytesPerSector,
                            s.Scan.LastSector + 1);
  for (const auto& [start, recorded] : s.RecordedStarts) {
    if (!recorded.ReadAlongRuns) continue;
    s.UI->Pump();
    if (s.Flags.RunState == kStop) return;
    RescueOne(s, reader, start, recorded.File, scan);
  }
}

}  // namespace tarnwick
