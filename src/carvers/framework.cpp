#include "carvers/framework.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tarnwick {

namespace {

constexpr uint64_t kBufferStep = 1'048'576;
constexpr int kSlotSector = 41;
constexpr int kSlotFailedSave = 28;
constexpr int kSlotSaveCaption = 61;

uint64_t SourceEnd(const Session& s) {
  if (s.LastScanSector < 0) return 0;
  return (static_cast<uint64_t>(s.LastScanSector) + 1) * s.Scan.BytesPerSector;
}

bool WriteWhole(const std::string& path, std::span<const uint8_t> buffer) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  bool ok = true;
  while (done < buffer.size()) {
    ssize_t n = ::write(fd, buffer.data() + done, buffer.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (::close(fd) != 0) ok = false;
  return ok;
}

}  // namespace

uint64_t ReadCached(Session& s, uint8_t* dest, uint64_t count, uint64_t position) {
  ReadCache& rc = s.Cache;
  const uint64_t end = SourceEnd(s);
  while (true) {
    if (rc.WindowValid && position >= rc.WindowBase && position < rc.WindowBase + rc.WindowFill &&
        position < end) {
      uint64_t avail = std::min<uint64_t>(rc.WindowBase + rc.WindowFill, end) - position;
      uint64_t n = std::min(count, avail);
      std::memcpy(dest, rc.Window.data() + (position - rc.WindowBase), static_cast<size_t>(n));
      position += n;
      dest += n;
      count -= n;
    }
    if (count == 0) return 0;
    if (position >= end) return count;
    uint64_t base = position;
    if (end >= ReadCache::kWindow && base > end - ReadCache::kWindow)
      base = end - ReadCache::kWindow;
    if (end < ReadCache::kWindow) base = 0;
    uint64_t delivered = 0;
    if (!ReadSource(s, base, rc.Window, &delivered)) {
      rc.WindowValid = false;
      return count;
    }
    s.Source.Position += ReadCache::kWindow;
    rc.WindowBase = base;
    rc.WindowFill = static_cast<uint32_t>(delivered);
    rc.WindowValid = true;
    if (position >= base + delivered) return count;  // the device ended early
  }
}

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
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) ::chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR);
    if (WriteWhole(path, buffer)) return true;
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
  c.CurrentSector = c.ReadPos / c.Bps;
  while (c.CurrentSector <= last && s.Map.IsSectorMarked(c.CurrentSector)) {
    c.ReadPos += c.Bps;
    c.CurrentSector = c.ReadPos / c.Bps;
  }
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
  if (ReadCached(s, c.Buffer.data() + c.Collected, c.Bps, c.ReadPos) > 0) return false;
  c.ReadPos += c.Bps;
  c.Collected += c.Bps;
  if (s.RefreshDue()) ShowCarveProgress(c);
  return true;
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
  c.Buffer.resize(kBufferStep);
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
    ++s.RescuedCount;
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
