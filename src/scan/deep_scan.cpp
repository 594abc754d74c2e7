#include "scan/deep_scan.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "app/results_texts.h"
#include "carvers/database_rounds.h"
#include "carvers/framework.h"
#include "carvers/recorded_databases.h"
#include "scan/classify.h"
#include "scan/dispatch.h"
#include "scan/grid_inference.h"
#include "scan/hole_skip.h"
#include "scan/region_scan.h"
#include "scan/scan_state.h"
#include "scan/session.h"
#include "volume/freespace.h"
#include "volume/hexview.h"
#include "source/file_io.h"

namespace tarnwick {

namespace {

enum Slot {
  kSlotTidying = 10,
  kSlotNoType = 20,
  kSlotNoFolder = 21,
  kSlotFolderOnSource = 22,
  kSlotBadRange = 23,
  kSlotRescuing = 24,
  kSlotSuccess = 25,
  kSlotRescuedFile = 27,
  kSlotSectorColon = 41,
  kSlotSearching = 49,
  kSlotSector = 50,
  kSlotPercent = 51,
  kSlotFound = 52,
  kSlotPause = 53,
  kSlotStop = 54,
  kSlotCancel = 55,
  kSlotProgress = 65,
  kSlotSource = 77,
  kSlotCollecting = 87,
  kSlotNoMemory = 88,
};

constexpr uint32_t kOle2CountMask = 0x70000;
// Phase 1 takes this many bytes of sectors from the read window at a time.
constexpr uint64_t kBatchBytes = 65536;

// Codes that describe the middle of a stream: never a place to start a carve.
bool MidStream(uint8_t c) { return c == 29 || c == 30 || c == 32 || c == 34 || c == 35; }

int StartChecks(Session& s, RescueBoxes& boxes, const ScanRequest& r, ScanOutcome& out) {
  if (s.TypeMask == 0) return kSlotNoType;
  if (r.NeedFolder) {
    std::error_code ec;
    if (r.FolderText.empty() || !std::filesystem::is_directory(PathOf(r.FolderText), ec)) {
      out.FocusFolder = true;
      return kSlotNoFolder;
    }
    if (IsOnSource(s, r.FolderText)) {
      out.FocusFolder = true;
      return kSlotFolderOnSource;
    }
  }
  ClusterBoxClick(s, boxes, boxes.Cluster, false);
  s.TargetFolder = r.NeedFolder ? TargetFolderForm(r.FolderText) : std::string();
  int64_t first = ParseSectorNumber(r.FirstText);
  int64_t last = ParseSectorNumber(r.LastText);
  if (!s.Source.IsOpen() || s.Scan.LastSector == UINT64_MAX) return kSlotBadRange;
  if (first < 0 || first > last || static_cast<uint64_t>(last) > s.Scan.LastSector)
    return kSlotBadRange;
  s.FirstScanSector = first;
  s.LastScanSector = last;
  return 0;
}

void ShowSearchDialog(Session& s) {
  Frontend& ui = *s.UI;
  ui.ShowMainWindow(false);
  ui.SetLabel(Dialog::Search, 4, s.Text(kSlotSource) + s.Source.Name);
  ui.SetLabel(Dialog::Search, 3, "");
  ui.SetButton(Dialog::Search, 0, s.Text(kSlotCancel));
  s.Flags.SearchCancel = false;
  ui.ShowDialog(Dialog::Search);
}

// One sector's bytes for the classifier, in the read window where they
// can be, else copied to the sector buffer; empty when the sector could not
// be read. The read window handles failures; skipped says whether a sector
// it skipped after a run of failures is asked for now or left for later.
std::span<const uint8_t> ScanSector(Session& s, uint64_t sector, SkippedSectors skipped) {
  const uint32_t bps = s.Scan.BytesPerSector;
  const uint64_t offset = sector * bps;
  std::span<const uint8_t> bytes = CachedBytesAt(s, offset, bps, ReadCache::kSearchWindow);
  if (!bytes.empty()) return bytes;
  std::span<uint8_t> buffer(s.SectorBuffer.data(), bps);
  if (ReadCached(s, buffer.data(), bps, offset, skipped, ReadCache::kSearchWindow) != 0) return {};
  return buffer;
}

// Puts entries found out of order (by the return to skipped sectors) into
// their places among the others.
void MergeFound(FoundList& list, std::vector<std::pair<uint64_t, uint8_t>> late) {
  if (late.empty()) return;
  std::vector<std::pair<uint64_t, uint8_t>> all;
  all.reserve(list.Count + late.size());
  for (uint64_t i = 0; i < list.Count; ++i) all.emplace_back(list.Sectors[i], list.Types[i]);
  all.insert(all.end(), late.begin(), late.end());
  std::stable_sort(all.begin(), all.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  list.Reset();
  for (const auto& [sector, type] : all) list.Append(sector, type);
}

// Returns the first sector left unsearched when the user cancelled, or
// nothing when the whole range was searched.
std::optional<uint64_t> PhaseOne(Session& s, bool freeOnly) {
  Frontend& ui = *s.UI;
  const uint64_t first = static_cast<uint64_t>(s.FirstScanSector);
  const uint64_t last = static_cast<uint64_t>(s.LastScanSector);
  const uint64_t total = last - first + 1;
  uint64_t found = 0;
  const ReadFaults& faults = SourceFaults(s);
  std::vector<uint64_t> later;  // skipped after failures, asked for at the end
  HoleSkip holes(s.Source.Device.get(), s.Scan.BytesPerSector);
  ui.Pump();
  const uint32_t bps = s.Scan.BytesPerSector;
  const uint64_t batchSectors = std::max<uint64_t>(kBatchBytes / std::max<uint32_t>(bps, 1), 1);
  uint64_t n = first;
  std::optional<ReadingAhead> ahead(std::in_place, s.Cache);  // for the pass from start to end only
  while (n <= last && !s.Flags.SearchCancel && !faults.SourceLost) {
    // Every sector is looked at: a file may lie on the clusters of a file
    // system that is no longer there. Only holes are passed over.
    n = holes.NextDataSector(n);
    if (n > last) break;
    // The sectors up to the next batch boundary, taken from the read window
    // in one piece where it holds them all; else one by one.
    const uint64_t count = std::min(batchSectors - n % batchSectors, last - n + 1);
    std::span<const uint8_t> run;
    if (count > 1)
      run = CachedBytesAt(s, n * bps, static_cast<uint32_t>(count * bps), ReadCache::kSearchWindow);
    const uint64_t end = run.empty() ? n : n + count - 1;
    for (; n <= end; ++n) {
      if (!(freeOnly && s.Map.IsSectorMarked(n))) {
        const std::span<const uint8_t> bytes =
            run.empty() ? ScanSector(s, n, SkippedSectors::LeaveForLater)
                        : run.subspan((n - (end + 1 - count)) * bps, bps);
        if (!bytes.empty()) {
          const uint8_t c = Classify(bytes, bps);
          if (c == kOle2RootDirectory)
            s.RootDirectorySectors.push_back(n);
          else if (c > 0 && !MidStream(c))
            s.Found.Append(n, c);
          if (c == kOle2 && (s.TypeMask & kOle2CountMask) != 0) ++found;
        } else if (faults.Skipped.Contains(n)) {
          later.push_back(n);
        }
      }
      if (s.RefreshDue()) {
        ui.SetLabel(Dialog::Search, 1, s.Text(kSlotSector) + std::to_string(n));
        ui.SetLabel(Dialog::Search, 2, s.Text(kSlotPercent) + FormatPercent(total, n - first));
        ui.SetLabel(Dialog::Search, 3, s.Text(kSlotFound) + std::to_string(found));
        ui.Pump();
        // A cancel takes effect at once, not at the end of the batch.
        if (s.Flags.SearchCancel) {
          ++n;
          break;
        }
      }
    }
  }
  ahead.reset();
  std::optional<uint64_t> stoppedAt;
  if (s.Flags.SearchCancel && n <= last) stoppedAt = n;
  // The sectors passed over after failures, each asked for once now that
  // the readable rest is done.
  std::vector<std::pair<uint64_t, uint8_t>> late;
  for (uint64_t k : later) {
    if (faults.SourceLost) break;
    if (s.Flags.SearchCancel) {
      if (!stoppedAt) stoppedAt = k;
      break;
    }
    const std::span<const uint8_t> bytes = ScanSector(s, k, SkippedSectors::ReadNow);
    if (bytes.empty()) continue;
    const uint8_t c = Classify(bytes, s.Scan.BytesPerSector);
    if (c == kOle2RootDirectory)
      s.RootDirectorySectors.push_back(k);
    else if (c > 0 && !MidStream(c))
      late.emplace_back(k, c);
    if (s.RefreshDue()) ui.Pump();
  }
  MergeFound(s.Found, std::move(late));
  std::sort(s.RootDirectorySectors.begin(), s.RootDirectorySectors.end());
  return stoppedAt;
}

void ShowTidying(Session& s) {
  s.UI->SetCaption(Dialog::Search, s.Text(kSlotTidying));
  s.UI->SetLabel(Dialog::Search, 3, "");
}

// Metadata: the sector and the rest of its cluster are in use.
void MarkMetadataCluster(Session& s, uint64_t sector) {
  const uint32_t spc = s.Scan.SectorsPerCluster;
  s.Map.MarkSector(sector);
  if (spc <= 1) return;
  const uint64_t phase = static_cast<uint64_t>(s.ScanClusterPhase) % spc;
  for (uint64_t t = sector + 1; t <= s.Scan.LastSector; ++t) {
    if ((t + spc - phase) % spc == 0) break;
    s.Map.MarkSector(t);
  }
}

// Processes messages until the dialog lets the pass go on; false on Stop.
bool WaitWhilePaused(Session& s) {
  while (true) {
    s.UI->Pump();
    uint8_t state = s.Flags.RunState;
    if (state == kStop) return false;
    if (state != kPaused) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// "Damaged file N (in damaged/)", in the interface's language.
std::string DamagedLine(const Session& s) {
  return FillIn(ResultsTextFor(s.Texts->language, ResultsText::DamagedFiles),
                std::to_string(s.DamagedCount));
}

// Whether phase 2 hands an entry to a carver, and in which pass.
bool Carvable(uint8_t type) {
  const DispatchRow* row = type == kMetadata ? nullptr : DispatchRowFor(type);
  return row && row->Carver;
}
bool InPass(uint8_t type, bool jpegPass) { return jpegPass == (type == kJpegOther); }

// The file start that phase 2 would carve next after entry `from` of the
// pass (itself included), looking on into the second pass; false when none is left.
bool NextToCarve(const FoundList& list, uint64_t from, bool jpegPass, uint64_t& sector) {
  for (bool pass : {jpegPass, true}) {
    for (uint64_t i = from + 1; i-- > 0;) {
      if (Carvable(list.Types[i]) && InPass(list.Types[i], pass)) {
        sector = list.Sectors[i];
        return true;
      }
    }
    if (pass) break;
    from = list.Count - 1;
  }
  return false;
}

void CarvePass(Session& s, bool jpegPass, ScanStop& stop) {
  Frontend& ui = *s.UI;
  FoundList& list = s.Found;
  const uint64_t count = list.Count;
  for (uint64_t i = count; i-- > 0;) {
    if (SourceFaults(s).SourceLost) return;
    if (!WaitWhilePaused(s)) {
      if (stop.Phase == StopPhase::None && NextToCarve(list, i, jpegPass, stop.AtSector)) {
        stop.Phase = StopPhase::Rescue;
        stop.ByUser = !s.SaveAborted;
      }
      return;
    }
    const uint64_t sector = list.Sectors[i];
    const uint8_t type = list.Types[i];
    ui.SetLabel(Dialog::Rescue, 2,
                s.Text(kSlotProgress) + std::to_string((count - 1 - i) * 100 / count) + "%");
    ui.SetLabel(Dialog::Rescue, 3, s.Text(kSlotSectorColon) + std::to_string(sector));
    ui.Pump();
    if (InPass(type, jpegPass)) {
      RegionGeometryScope geometry(s, sector);
      if (type == kMetadata) {
        MarkMetadataCluster(s, sector);
      } else if (const DispatchRow* row = DispatchRowFor(type); row && row->Carver) {
        row->Carver(s, row->WithFolder ? s.TargetFolder : std::string(),
                    sector * s.Scan.BytesPerSector);
        ++stop.Carved;
      }
    }
    ui.SetLabel(Dialog::Rescue, 1, s.Text(kSlotSuccess) + std::to_string(s.RescuedCount));
    ui.Pump();
  }
}

// Directories of compound files, each where no database found by its header
// lies: after every other carve, so that every file found by its start has
// claimed its sectors and every database written has named its directory.
// A directory is no file start: it is kept out of the FoundList, the
// counts and the cluster alignment, and a stop before this pass skips it.
void RootDirectoryPass(Session& s, ScanStop& stop) {
  const DispatchRow* row = DispatchRowFor(kOle2RootDirectory);
  if (!row || !row->Carver || stop.Phase != StopPhase::None) return;
  for (uint64_t sector : s.RootDirectorySectors) {
    // The directory of a database carved already, or inside another file:
    // nothing to carve, and nothing left to name in a stop.
    if (s.Map.IsSectorMarked(sector) || s.WrittenDatabaseDirectories.count(sector)) continue;
    if (SourceFaults(s).SourceLost) return;
    if (!WaitWhilePaused(s)) {
      stop.Phase = StopPhase::Rescue;
      stop.AtSector = sector;
      stop.ByUser = !s.SaveAborted;
      return;
    }
    s.UI->SetLabel(Dialog::Rescue, 3, s.Text(kSlotSectorColon) + std::to_string(sector));
    RegionGeometryScope geometry(s, sector);
    row->Carver(s, row->WithFolder ? s.TargetFolder : std::string(),
                sector * s.Scan.BytesPerSector);
    s.UI->SetLabel(Dialog::Rescue, 1, s.Text(kSlotSuccess) + std::to_string(s.RescuedCount));
    s.UI->Pump();
  }
}

void NoteSearchStop(const Session& s, uint64_t at, ScanStop& stop) {
  const uint64_t first = static_cast<uint64_t>(s.FirstScanSector);
  const uint64_t last = static_cast<uint64_t>(s.LastScanSector);
  stop.Phase = StopPhase::Search;
  stop.AtSector = at;
  stop.LastSector = last;
  stop.Percent = FormatPercent(last - first + 1, at - first);
}

}  // namespace

ScanOutcome SearchPhase(Session& s, RescueBoxes& boxes, const ScanRequest& request) {
  ScanOutcome out;
  out.ErrorSlot = StartChecks(s, boxes, request, out);
  if (out.ErrorSlot != 0) return out;

  s.HiTimer1.SetEnabled(true);
  if (!s.Map.Allocate(s.Scan.LastSector)) {
    out.ErrorSlot = kSlotNoMemory;
    return out;
  }
  ShowSearchDialog(s);
  Frontend& ui = *s.UI;

  bool freeOnly = false;
  if (request.FreeOnly) {
    ui.SetCaption(Dialog::Search, s.Text(kSlotCollecting));
    ui.SetLabel(Dialog::Search, 1, "");
    ui.SetLabel(Dialog::Search, 2, s.Text(kSlotPercent) + "0");
    bool cancelled = CollectFreeSpace(s, freeOnly);
    if (!freeOnly) {
      out.UntickFreeOnly = true;
      out.DisableFreeOnly = !cancelled;
    }
  }
  out.FreeOnlyApplied = freeOnly;

  ui.SetCaption(Dialog::Search, s.Text(kSlotSearching));
  ui.SetLabel(Dialog::Search, 1, s.Text(kSlotSector) + "0");
  ui.SetLabel(Dialog::Search, 2, s.Text(kSlotPercent) + "0");
  s.Found.Reset();
  s.RootDirectorySectors.clear();

  s.ScanClusterPhase = s.Scan.ClusterPhase == -1 ? 0 : s.Scan.ClusterPhase;
  s.Grids.clear();
  std::optional<uint64_t> stoppedAt;
  if (!s.Flags.SearchCancel) {
    stoppedAt = PhaseOne(s, freeOnly);
    if (s.Scan.ClusterPhase == -1 && s.Scan.SectorsPerCluster > 1) ShowTidying(s);
    if (!s.Regions.empty())
      AlignRegions(s);
    else
      FindGrids(s);
  } else {
    stoppedAt = static_cast<uint64_t>(s.FirstScanSector);  // cancelled before the search began
  }
  if (stoppedAt) NoteSearchStop(s, *stoppedAt, out.SearchStop);
  out.FoundCount = s.Found.Count;
  out.SourceLost = SourceFaults(s).SourceLost;
  return out;
}

void RescuePhase(Session& s, ScanOutcome& out) {
  Frontend& ui = *s.UI;
  s.Flags.SearchCancel = true;
  ui.CloseDialog(Dialog::Search);
  ui.SetCaption(Dialog::Rescue, s.Text(kSlotRescuing));
  ui.SetLabel(Dialog::Rescue, 4, s.Text(kSlotSource) + s.Source.Name);
  ui.SetLabel(Dialog::Rescue, 1, s.Text(kSlotSuccess));
  ui.SetLabel(Dialog::Rescue, 2, s.Text(kSlotProgress));
  ui.SetLabel(Dialog::Rescue, 3, s.Text(kSlotSectorColon));
  ui.SetButton(Dialog::Rescue, 1, s.Text(kSlotPause));
  ui.SetButton(Dialog::Rescue, 0, s.Text(kSlotStop));
  ui.ShowDialog(Dialog::Rescue);
  s.Flags.RescueDone = false;
  s.Flags.RunState = kRunning;
  s.RescuedCount = 0;
  s.UnsavedCount = 0;
  s.SaveError.clear();
  s.DamagedCount = 0;

  s.AlreadyThereCount = 0;
  s.SaveAborted = false;
  s.WrittenDatabaseDirectories.clear();
  RescueRecordedDatabases(s);
  uint64_t starts = 0, compoundStarts = 0;
  for (uint64_t i = 0; i < s.Found.Count; ++i) {
    starts += Carvable(s.Found.Types[i]) ? 1 : 0;
    compoundStarts += s.Found.Types[i] == kOle2 ? 1 : 0;
  }
  out.RescueStop = ScanStop{};
  BeginDatabaseRounds(s, compoundStarts);
  CarvePass(s, false, out.RescueStop);
  CarvePass(s, true, out.RescueStop);
  out.RescueStop.Starts = starts;
  // The databases held back are carved again beside each other unless the
  // run was cut short; written either way.
  if (s.Rounds) {
    CarveHeldDatabases(s, [&] {
      return out.RescueStop.Phase == StopPhase::None && !SourceFaults(s).SourceLost &&
             WaitWhilePaused(s);
    });
    ui.SetLabel(Dialog::Rescue, 1, s.Text(kSlotSuccess) + std::to_string(s.RescuedCount));
  }
  // After the held databases are written, so that their directories are named.
  RootDirectoryPass(s, out.RescueStop);

  s.Flags.RescueDone = true;
  ui.CloseDialog(Dialog::Rescue);
  s.Map.Free();
  out.Rescued = s.RescuedCount;
  out.Unsaved = s.UnsavedCount;
  out.SaveError = s.SaveError;
  out.SourceLost = SourceFaults(s).SourceLost;
  out.EndText = s.Text(kSlotRescuedFile) + std::to_string(s.RescuedCount);
  out.Damaged = s.DamagedCount;
  if (s.DamagedCount > 0) out.DamagedText = DamagedLine(s);
  out.AlreadyThere = s.AlreadyThereCount;
  ui.ShowMainWindow(true);
  s.Found.Reset();
  s.RootDirectorySectors.clear();
}

void EndSearchOnly(Session& s) {
  s.Flags.SearchCancel = true;
  s.UI->CloseDialog(Dialog::Search);
  s.Map.Free();
  s.UI->ShowMainWindow(true);
  s.Found.Reset();
  s.RootDirectorySectors.clear();
}

ScanOutcome DeepScan(Session& s, RescueBoxes& boxes, const ScanRequest& request) {
  ScanOutcome out = SearchPhase(s, boxes, request);
  if (out.ErrorSlot != 0) return out;
  RescuePhase(s, out);
  return out;
}

}  // namespace tarnwick
