#include "carvers/recorded_databases.h"

#include <algorithm>
#include <functional>
#include <optional>

#include "carvers/framework.h"
#include "carvers/qq_database.h"
#include "compound/compound_file.h"
#include "filesystems/sector_reader.h"
#include "source/bytes.h"
#include "scan/recorded_files.h"
#include "scan/session.h"
#include "scan/session_source.h"

namespace tarnwick {

namespace {

constexpr uint64_t kChunkSectors = 2048;
constexpr int kSlotSectorColon = 41;  // "Sector: "
constexpr uint32_t kCompoundSector = 512;

// A database read along its runs: its bytes, the Source sector of each of
// its sectors (UINT64_MAX for a hole), and the sectors that failed.
struct Laid {
  std::vector<uint8_t> Bytes;
  std::vector<uint64_t> Sectors;
  std::vector<uint64_t> Unreadable;
};

// tick is called between pieces of the read, for the window to stay live.
bool ReadAlongRuns(SectorReader& reader, const FileRecord& f, Laid& out,
                   const std::function<void()>& tick) {
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
      tick();
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

// How each compound-file sector of a file read along its runs was placed:
// the record gives the layout, so every sector is the file's own but those
// holding one of the given Source sectors (written over, unreadable).
std::vector<Placement> PlacementsOf(const Laid& laid, const std::vector<uint64_t>& wrong,
                                    uint32_t bps) {
  std::vector<Placement> out;
  for (size_t k = 0; k < laid.Sectors.size(); ++k) {
    if (!std::binary_search(wrong.begin(), wrong.end(), laid.Sectors[k])) continue;
    const uint64_t first = k * bps, last = first + bps - 1;
    for (uint64_t n = first / kCompoundSector; n <= last / kCompoundSector; ++n) {
      if (n == 0 || n - 1 > UINT32_MAX) continue;
      if (out.size() < n) out.resize(n, Placement::Sure);
      out[n - 1] = Placement::Wrong;
    }
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

// A record's database as read along its runs, judged: why it is not whole
// (empty when it is), and the Source sectors that speak against it.
struct Judged {
  Laid Read;
  CompoundCheck Check;
  std::string Reason;
  std::vector<uint64_t> Bad;
};

// False when the record's bytes are no database of ours at all.
bool Judge(Session& s, SectorReader& reader, const FileRecord& f, const RecordedScan& scan,
           Judged& out) {
  auto tick = [&s] {
    if (s.RefreshDue()) s.UI->Pump();
  };
  if (!ReadAlongRuns(reader, f, out.Read, tick)) return false;
  out.Check = CheckCompoundFile(out.Read.Bytes);
  if (!out.Check.IsCompound || !HasQQNames(out.Check)) return false;
  const Laid& laid = out.Read;
  if (f.Deleted) out.Bad = TakenSince(laid, scan.LiveRuns);
  if (!out.Bad.empty()) out.Reason = "sectors " + SectorList(out.Bad) + " are a live file's now";
  if (!laid.Unreadable.empty()) {
    if (!out.Reason.empty()) out.Reason += "; ";
    out.Reason +=
        "sectors " + SectorList(laid.Unreadable) + " could not be read (zeros in their place)";
  }
  if (out.Reason.empty() && !out.Check.Whole) out.Reason = out.Check.Problem;
  out.Bad.insert(out.Bad.end(), laid.Unreadable.begin(), laid.Unreadable.end());
  std::sort(out.Bad.begin(), out.Bad.end());
  return true;
}

// A deleted file's record that holds far fewer bytes than the FAT sectors
// its header counts cover: another, smaller file that lay there before the
// database grew over its clusters (or an earlier size of it). Its runs are
// not the database's; the carve puts the database together instead.
bool SmallerThanItsTables(const FileRecord& f, const Laid& laid) {
  if (!f.Deleted || laid.Bytes.size() < 512) return false;
  const uint64_t fatSectors = LE32(laid.Bytes, 44);
  if (fatSectors < 2) return false;
  const uint64_t covered = (fatSectors - 1) * 128 * 512;  // the FAT but its last sector
  return laid.Bytes.size() < covered - covered / 10;
}

// The records naming one start are tried in turn: the first whole database
// is written; when none is, the first that is a database goes to damaged/,
// unless it is a deleted record smaller than the database it starts.
void RescueAt(Session& s, SectorReader& reader, uint64_t start, RecordedStart& recorded,
              const RecordedScan& scan) {
  std::vector<FileRecord> records = {recorded.File};
  records.insert(records.end(), recorded.Alternatives.begin(), recorded.Alternatives.end());
  std::optional<Judged> damaged;
  size_t damagedIndex = 0;
  for (size_t i = 0; i < records.size(); ++i) {
    if (!records[i].LayoutKnown) continue;
    Judged j;
    if (!Judge(s, reader, records[i], scan, j)) continue;
    if (j.Reason.empty()) {
      recorded.File = records[i];  // the report names this one
      ClaimRecordedRuns(s, records[i]);
      SaveWhole(s, start, j.Read, j.Check);
      return;
    }
    if (!damaged && !SmallerThanItsTables(records[i], j.Read)) {
      damaged = std::move(j);
      damagedIndex = i;
    }
  }
  if (!damaged) return;
  recorded.File = records[damagedIndex];
  ClaimRecordedRuns(s, records[damagedIndex]);
  const uint32_t bps = s.Scan.BytesPerSector;
  std::vector<uint64_t> sectors;
  for (uint64_t sector : damaged->Read.Sectors)
    if (sector != UINT64_MAX) sectors.push_back(sector);
  SaveDamagedDatabase(s, s.TargetFolder, start * bps, damaged->Read.Bytes, sectors,
                      damaged->Reason, PlacementsOf(damaged->Read, damaged->Bad, bps),
                      damaged->Read.Unreadable);
}

}  // namespace

void RescueRecordedDatabases(Session& s) {
  const RecordedScan scan = CollectRecordedFiles(s);
  if (s.TargetFolder.empty()) return;
  DeviceSectorReader reader(*s.Source.Device, s.Cache, s.Scan.BytesPerSector,
                            s.Scan.LastSector + 1);
  for (auto& [start, recorded] : s.RecordedStarts) {
    if (!recorded.ReadAlongRuns) continue;
    s.UI->SetLabel(Dialog::Rescue, 3, s.Text(kSlotSectorColon) + std::to_string(start));
    s.UI->Pump();
    if (s.Flags.RunState == kStop || SourceFaults(s).SourceLost) return;
    RescueAt(s, reader, start, recorded, scan);
  }
}

}  // namespace tarnwick
