#include "scan/backup.h"

#include <algorithm>
#include <span>
#include <filesystem>
#include <vector>

#include "scan/scan_state.h"
#include "scan/session.h"
#include "scan/session_source.h"
#include "source/file_io.h"
#include "volume/freespace.h"
#include "volume/hexview.h"

namespace tarnwick {

namespace {

enum Slot {
  kSlotError = 17,
  kSlotFailedSave = 28,
  kSlotBadRange = 35,
  kSlotOnSource = 36,
  kSlotBackupCaption = 37,
  kSlotCreating = 38,
  kSlotWait = 39,
  kSlotNoSpace = 40,
  kSlotSector = 41,
  kSlotPercent = 42,
  kSlotErrors = 43,
  kSlotDeletePrompt = 44,
  kSlotPrompt = 45,
  kSlotBadSectors = 46,
  kSlotFinished = 47,
  kSlotPercentZero = 51,
  kSlotCancel = 55,
  kSlotSource = 77,
  kSlotCollecting = 87,
  kSlotNoMemory = 88,
};

bool RangeValid(const Session& s, int64_t first, int64_t last) {
  if (s.Scan.LastSector == UINT64_MAX) return false;  // an empty Source has no sector
  return first >= 0 && first <= last && static_cast<uint64_t>(last) <= s.Scan.LastSector;
}

struct Copier {
  Session& s;
  std::vector<uint8_t> buffer = std::vector<uint8_t>(kBackupBufferBytes);
  uint64_t bad = 0;

  // Reads count sectors from sector into the buffer through the read window,
  // whose failed-read handling leaves the unreadable sectors as zeros; they
  // are counted.
  void Read(uint64_t sector, uint32_t count) {
    const uint32_t bps = s.Scan.BytesPerSector;
    const uint64_t bytes = uint64_t{count} * bps;
    const uint64_t undelivered = ReadCached(s, buffer.data(), bytes, sector * bps);
    bad += (undelivered + bps - 1) / bps;
  }
};

void ShowProgress(Session& s, uint64_t sector, uint64_t first, uint64_t last, uint64_t bad) {
  Frontend& ui = *s.UI;
  ui.SetLabel(Dialog::Search, 1, s.Text(kSlotSector) + std::to_string(sector));
  ui.SetLabel(Dialog::Search, 2,
              s.Text(kSlotPercent) + FormatPercent(last - first + 1, sector - first));
  ui.SetLabel(Dialog::Search, 3, bad > 0 ? s.Text(kSlotErrors) + std::to_string(bad) : "");
  ui.Pump();
}

}  // namespace

int CheckBackupRange(Session& s, const std::string& firstText, const std::string& lastText) {
  if (RangeValid(s, ParseSectorNumber(firstText), ParseSectorNumber(lastText))) return 0;
  s.UI->Ask(s.Text(kSlotBadRange), s.Text(kSlotError), Buttons::Ok);
  return kSlotBadRange;
}

bool ImageTargetOnSource(const Session& s, const std::string& path) {
  namespace fs = std::filesystem;
  if (!s.Source.IsOpen()) return false;
  // The file itself (when it exists: the image Source, or the Source device).
  if (IsOnSource(s, path) || IsDeviceOfSource(s.Source.Identity, path)) return true;
  // The folder it would be made in.
  fs::path folder = fs::absolute(PathOf(path)).parent_path();
  return IsOnSource(s, TextOf(folder));
}

BackupOutcome BackupToImage(Session& s, const BackupRequest& r) {
  BackupOutcome out;
  Frontend& ui = *s.UI;
  if (!s.Source.IsOpen()) return out;

  // Checks.
  out.End = BackupEnd::Refused;
  const int64_t firstSigned = ParseSectorNumber(r.FirstText);
  const int64_t lastSigned = ParseSectorNumber(r.LastText);
  if (!RangeValid(s, firstSigned, lastSigned)) {
    out.MessageSlot = kSlotBadRange;
    ui.Ask(s.Text(kSlotBadRange), s.Text(kSlotError), Buttons::Ok);
    return out;
  }
  if (ImageTargetOnSource(s, r.ImagePath)) {
    out.MessageSlot = kSlotOnSource;
    ui.Ask(s.Text(kSlotOnSource), s.Text(kSlotError), Buttons::Ok);
    return out;
  }
  const uint64_t first = static_cast<uint64_t>(firstSigned);
  const uint64_t last = static_cast<uint64_t>(lastSigned);
  const uint32_t bps = s.Scan.BytesPerSector;
  const uint32_t spc = std::max<uint32_t>(s.Scan.SectorsPerCluster, 1);

  // Set-up.
  s.HiTimer1.SetEnabled(true);
  if (!s.Map.Allocate(s.Scan.LastSector)) {
    out.MessageSlot = kSlotNoMemory;
    ui.Ask(s.Text(kSlotNoMemory), "", Buttons::Ok);
    return out;
  }
  s.FirstScanSector = firstSigned;
  s.LastScanSector = lastSigned;  // ReadCached reads no further
  s.Cache.Drop();
  ui.ShowMainWindow(false);
  ui.SetLabel(Dialog::Search, 4, s.Text(kSlotSource) + s.Source.Name);
  ui.SetLabel(Dialog::Search, 3, "");
  ui.SetButton(Dialog::Search, 0, s.Text(kSlotCancel));
  ui.ShowDialog(Dialog::Search);
  s.Flags.SearchCancel = false;

  if (r.FreeOnly) {
    ui.SetCaption(Dialog::Search, s.Text(kSlotCollecting));
    ui.SetLabel(Dialog::Search, 1, "");
    ui.SetLabel(Dialog::Search, 2, s.Text(kSlotPercentZero) + "0");
    bool freeOnly = false;
    bool cancelled = CollectFreeSpace(s, freeOnly);
    if (!freeOnly) {
      out.UntickFreeOnly = true;
      out.DisableFreeOnly = !cancelled;
      s.Map.Free();  // a partial map must not leave sectors out
      s.Map.Allocate(s.Scan.LastSector);
    }
    out.FreeOnlyApplied = freeOnly;
  }
  ui.SetCaption(Dialog::Search, s.Text(kSlotBackupCaption));
  ui.SetLabel(Dialog::Search, 1, s.Text(kSlotCreating));
  ui.SetLabel(Dialog::Search, 2, s.Text(kSlotWait));

  auto finish = [&] {
    s.Flags.SearchCancel = true;
    ui.CloseDialog(Dialog::Search);
    ui.ShowMainWindow(true);
    s.Map.Free();
  };
  if (s.Flags.SearchCancel) {
    out.End = BackupEnd::Cancelled;
    finish();
    return out;
  }

  OutputFile image;
  bool writeFailed = !image.Open(r.ImagePath);
  ui.Pump();

  // Copy loop: blocks of whole cluster steps up to 1 MiB, each ending
  // before the first marked step; a step larger than 1 MiB goes in 1 MiB pieces.
  Copier copier{s};
  const uint64_t bufferSectors = std::max<uint64_t>(kBackupBufferBytes / bps, 1);
  uint64_t sector = first;
  while (!writeFailed && !s.Flags.SearchCancel && !SourceFaults(s).SourceLost && sector <= last) {
    if (s.Map.IsSectorMarked(sector)) {
      ++sector;
    } else {
      uint64_t v = spc;
      while ((v + spc) * bps <= kBackupBufferBytes && !s.Map.IsSectorMarked(sector + v)) v += spc;
      v = std::min(v, last - sector + 1);
      for (uint64_t done = 0; done < v && !writeFailed;) {
        uint32_t piece = static_cast<uint32_t>(std::min(v - done, bufferSectors));
        copier.Read(sector + done, piece);
        writeFailed = !image.Write(std::span(copier.buffer).first(size_t{piece} * bps));
        done += piece;
        if (!writeFailed) out.SectorsWritten += piece;
      }
      sector += v;
    }
    if (s.RefreshDue()) ShowProgress(s, sector, first, last, copier.bad);
  }
  out.BadSectors = copier.bad;
  const WriteResult written = image.Finish();
  writeFailed = !written.Ok;
  out.SourceLost = SourceFaults(s).SourceLost;
  if (out.SourceLost) out.SystemReason = SourceFaults(s).LostReason;

  // End.
  if (writeFailed) {
    out.End = BackupEnd::WriteFailed;
    out.SystemReason = written.Reason;
    // "No space" only when that is what the system said; otherwise the
    // failed file and the system's reason.
    if (written.NoSpace) {
      out.MessageSlot = kSlotNoSpace;
      ui.Ask(s.Text(kSlotNoSpace), s.Text(kSlotError), Buttons::Ok);
    } else {
      out.MessageSlot = kSlotFailedSave;
      ui.Ask(s.Text(kSlotFailedSave) + r.ImagePath + "\r\n\r\n" + out.SystemReason,
             s.Text(kSlotError), Buttons::Ok);
    }
  } else if (out.SourceLost) {
    // The copy stopped where the device stopped answering; the image holds
    // what was read before.
    out.End = BackupEnd::SourceLost;
    out.MessageSlot = kSlotBadSectors;
    ui.Ask(s.Text(kSlotBadSectors), s.Text(kSlotPrompt), Buttons::Ok);
  } else if (s.Flags.SearchCancel) {
    out.MessageSlot = kSlotDeletePrompt;
    if (ui.Ask(s.Text(kSlotDeletePrompt), s.Text(kSlotPrompt), Buttons::YesNo) == Answer::Yes) {
      RemoveFile(r.ImagePath);
      out.End = BackupEnd::CancelledDeleted;
    } else {
      out.End = BackupEnd::CancelledKept;
    }
  } else if (copier.bad > 0) {
    out.End = BackupEnd::FinishedBadSectors;
    out.MessageSlot = kSlotBadSectors;
    ui.Ask(s.Text(kSlotBadSectors), s.Text(kSlotPrompt), Buttons::Ok);
  } else {
    out.End = BackupEnd::Finished;
    out.MessageSlot = kSlotFinished;
    ui.Ask(s.Text(kSlotFinished), s.Text(kSlotPrompt), Buttons::Ok);
  }
  finish();
  return out;
}

}  // namespace tarnwick
