#include "carvers/framework.h"

#include <algorithm>
#include <cstring>

#include "source/file_io.h"

namespace tarnwick {

namespace {

constexpr uint64_t kBufferStep = 1'048'576;
// Most carves end within their first sectors: their buffer starts small, so
// that a failed carve does not touch a whole step of fresh memory.
constexpr uint64_t kFirstBuffer = 65'536;
constexpr int kSlotSector = 41;
constexpr int kSlotFailedSave = 28;
constexpr int kSlotSaveCaption = 61;

// Writes under a temporary name beside path and moves it into place when
// whole, so that a failure never leaves a truncated file under the real name.
// Something at path that is not a regular file (a device, a pipe) is
// written to as it is: moving over it would replace it.
WriteResult WriteAtomically(const std::string& path, std::span<const uint8_t> buffer) {
  const PathType there = TypeOfPath(path);
  if (there != PathType::None && there != PathType::Regular)
    return WriteWholeFile(path, buffer, OutputFile::Mode::Truncate);
  const std::string temporary = path + ".part";
  // A leftover of an interrupted save goes; anything else of that name stays.
  if (TypeOfPath(temporary) == PathType::Regular) RemoveFile(temporary);
  // A rescued file is only counted once it is on the disk.
  WriteResult r = WriteWholeFile(temporary, buffer, OutputFile::Mode::Exclusive);
  if (!r.Ok) {
    if (!r.Exists) RemoveFile(temporary);
    return r;
  }
  r = MoveIntoPlace(temporary, path);
  if (!r.Ok) RemoveFile(temporary);
  return r;
}

}  // namespace

std::string LetterName(int count, uint64_t value) {
  std::string name(static_cast<size_t>(std::max(count, 0)), 'A');
  for (int i = count - 1; i >= 0; --i) {
    name[static_cast<size_t>(i)] = static_cast<char>('A' + value % 26);
    value /= 26;
  }
  return name;
}

bool SaveBufferToFile(Session& s, std::span<const uint8_t> buffer, const std::string& path) {
  while (true) {
    MakeWritable(path);
    const WriteResult r = WriteAtomically(path, buffer);
    if (r.Ok) return true;
    s.SaveError = r.Reason;
    Answer a = s.UI->Ask(s.Text(kSlotFailedSave) + path, s.Text(kSlotSaveCaption),
                         Buttons::AbortRetryIgnore);
    if (a == Answer::Retry) continue;
    if (a == Answer::Abort) s.Flags.RunState = kStop;
    return false;
  }
}

std::string OutputName(const std::string& folder, uint64_t carveStart,
                       const std::string& extension) {
  return folder + "FILE_" + LetterName(8, carveStart / 512) + extension;
}

CarveContext::CarveContext(Session& session, uint64_t carveStart)
    : S(session), Bps(session.Scan.BytesPerSector), CarveStart(carveStart), ReadPos(carveStart) {}

namespace {

// Steps over claimed sectors from ReadPos on and claims the first free one;
// ReadPos is left on it. False past the end of the scan range.
bool ClaimNextFree(CarveContext& c) {
  Session& s = c.S;
  if (c.Bps == 0 || s.LastScanSector < 0) return false;
  const uint64_t last = static_cast<uint64_t>(s.LastScanSector);
  const uint64_t here = c.ReadPos / c.Bps;
  c.CurrentSector = here;
  if (here > last) return false;
  c.CurrentSector = s.Map.NextClear(here, last);
  c.ReadPos += (c.CurrentSector - here) * c.Bps;
  if (c.CurrentSector > last) return false;
  c.ClaimList.push_back(c.CurrentSector);
  s.Map.MarkSector(c.CurrentSector);
  return true;
}

}  // namespace

void ShowCarveProgress(CarveContext& c) {
  Session& s = c.S;
  s.UI->SetLabel(Dialog::Rescue, 3,
                 s.Text(kSlotSector) + std::to_string(c.CarveStart / c.Bps) + ", " +
                     std::to_string(c.ReadPos / c.Bps));
  s.UI->Pump();
}

bool ClaimUnreadSector(CarveContext& c) {
  if (!ClaimNextFree(c)) return false;
  c.ReadPos += c.Bps;
  if (c.S.RefreshDue()) ShowCarveProgress(c);
  return true;
}

void ClaimUnreadUpTo(CarveContext& c, uint64_t total) {
  for (uint64_t claimed = c.Bps; claimed < total; claimed += c.Bps) {
    if (!ClaimUnreadSector(c)) return;
  }
}

bool FetchSector(CarveContext& c) {
  Session& s = c.S;
  if (!ClaimNextFree(c)) return false;
  if (c.Buffer.size() < c.Collected + c.Bps) c.Buffer.resize(c.Collected + kBufferStep);
  if (ReadCached(s, c.Buffer.data() + c.Collected, c.Bps, c.ReadPos) > 0) {
    // An unreadable sector is zeros in a carve that takes them; the sector
    // was asked for and failed, so it is not a place the Source ended.
    const ReadFaults& faults = SourceFaults(s);
    if (!c.ZeroUnreadable || faults.SourceLost || !faults.Unreadable.Contains(c.CurrentSector))
      return false;
    c.UnreadableSectors.push_back(c.CurrentSector);
    c.ZeroedAt.push_back(c.Dropped + c.Collected);
  }
  c.ReadPos += c.Bps;
  c.Collected += c.Bps;
  if (s.RefreshDue()) ShowCarveProgress(c);
  return true;
}

std::vector<uint64_t> UnreadableInFile(const CarveContext& c) {
  const size_t sectors = static_cast<size_t>((c.Collected + c.Bps - 1) / c.Bps);
  std::vector<uint64_t> out;
  for (uint64_t n : c.UnreadableSectors) {
    auto it = std::find(c.ClaimList.begin(), c.ClaimList.end(), n);
    if (it != c.ClaimList.end() && static_cast<size_t>(it - c.ClaimList.begin()) < sectors)
      out.push_back(n);
  }
  return out;
}

bool ZeroedBetween(const CarveContext& c, uint64_t first, uint64_t end) {
  for (uint64_t at : c.ZeroedAt) {
    if (at < end && first < at + c.Bps) return true;
  }
  return false;
}

bool HoldsUnreadable(const CarveContext& c, uint64_t pos, uint64_t count) {
  return ZeroedBetween(c, c.Dropped + pos, c.Dropped + pos + count);
}

bool PastUnreadable(CarveContext& c, uint64_t pos, uint64_t& end) {
  end = (pos / c.Bps + 1) * c.Bps;
  while (true) {
    if (!ReadUntil(c, end + 1)) return false;
    if (!HoldsUnreadable(c, end, 1)) return true;
    end += c.Bps;
  }
}

bool ReadUntil(CarveContext& c, uint64_t target) {
  while (c.Collected < target) {
    if (!FetchSector(c)) return false;
  }
  return true;
}

bool ReadUntil32(CarveContext& c, int32_t target) {
  if (target <= 0) return true;
  if (!ReadUntil(c, static_cast<uint64_t>(target))) return false;
  return c.Collected <= static_cast<uint64_t>(INT32_MAX);
}

bool CarveFrame::Begin() {
  CarveContext& c = ctx_;
  Session& s = c.S;
  if (c.Bps == 0 || c.Bps > kMaxSectorSize) return false;
  const uint64_t start = c.StartSector();
  if (s.Map.IsSectorMarked(start)) return false;
  begun_ = true;
  c.ClaimList.push_back(start);
  s.Map.MarkSector(start);
  if (s.LastScanSector < 0 || start > static_cast<uint64_t>(s.LastScanSector)) return false;
  c.Buffer.resize(kFirstBuffer);
  if (ReadCached(s, c.Buffer.data(), c.Bps, c.CarveStart) > 0) return false;
  c.ReadPos = c.CarveStart + c.Bps;
  c.Collected = c.Bps;
  return true;
}

void CarveFrame::Succeed() {
  ctx_.Buffer.resize(static_cast<size_t>(ctx_.Collected));
  ctx_.ClaimList.clear();
}

void CarveFrame::SucceedAndSave(const std::string& folder, const std::string& extension) {
  CarveContext& c = ctx_;
  Session& s = c.S;
  c.Buffer.resize(static_cast<size_t>(c.Collected));
  if (!folder.empty()) {
    SavedFile saved;
    saved.Path = OutputName(folder, c.CarveStart, extension);
    saved.StartSector = c.StartSector();
    saved.Bytes = c.Collected;
    saved.Sectors = c.ClaimList;
    saved.Written = SaveBufferToFile(s, c.Buffer, saved.Path);
    saved.UnreadableSectors = UnreadableInFile(c);
    // A file that could not be saved is not rescued.
    if (saved.Written)
      ++s.RescuedCount;
    else
      ++s.UnsavedCount;
    if (s.OnFileSaved) s.OnFileSaved(saved);
  }
  c.ClaimList.clear();
}

void CarveFrame::ClaimClusterRest() {
  CarveContext& c = ctx_;
  Session& s = c.S;
  const uint32_t spc = s.Scan.SectorsPerCluster;
  if (spc <= 1) return;
  const uint64_t lastSector = s.Scan.LastSector;
  const int64_t phase = s.ScanClusterPhase;
  for (uint64_t t = c.ReadPos / c.Bps; t <= lastSector && lastSector != UINT64_MAX; ++t) {
    int64_t r = (static_cast<int64_t>(t % spc) - phase % static_cast<int64_t>(spc)) % spc;
    if (r < 0) r += spc;
    if (r == 0) break;
    s.Map.MarkSector(t);
  }
}

CarveFrame::~CarveFrame() {
  if (!begun_) return;
  Session& s = ctx_.S;
  if (!ctx_.ClaimList.empty()) {
    for (uint64_t sector : ctx_.ClaimList) s.Map.UnmarkSector(sector);
  } else {
    ClaimClusterRest();
  }
}

}  // namespace tarnwick
