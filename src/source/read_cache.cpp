#include "source/read_cache.h"

#include <algorithm>
#include <cstring>
#include <span>

namespace tarnwick {

// ---- SectorRuns ----

namespace {

// The first run whose last sector is at or after sector.
std::vector<SectorInterval>::const_iterator FirstEndingAtOrAfter(
    const std::vector<SectorInterval>& runs, uint64_t sector) {
  return std::lower_bound(runs.begin(), runs.end(), sector,
                          [](const SectorInterval& r, uint64_t v) { return r.second < v; });
}

}  // namespace

void SectorRuns::Add(uint64_t first, uint64_t last) {
  if (first > last) return;
  // Runs that touch or overlap first .. last are merged into it.
  auto lo =
      std::lower_bound(runs_.begin(), runs_.end(), first, [](const SectorInterval& r, uint64_t v) {
        return r.second != UINT64_MAX && r.second + 1 < v;
      });
  auto hi = lo;
  while (hi != runs_.end() && (last == UINT64_MAX || hi->first <= last + 1)) {
    first = std::min(first, hi->first);
    last = std::max(last, hi->second);
    ++hi;
  }
  lo = runs_.erase(lo, hi);
  runs_.insert(lo, {first, last});
}

void SectorRuns::Remove(uint64_t sector) {
  auto it = FirstEndingAtOrAfter(runs_, sector);
  if (it == runs_.end() || it->first > sector) return;
  auto at = runs_.begin() + (it - runs_.cbegin());
  const SectorInterval run = *at;
  if (run.first == run.second) {
    runs_.erase(at);
  } else if (sector == run.first) {
    at->first = sector + 1;
  } else if (sector == run.second) {
    at->second = sector - 1;
  } else {
    at->second = sector - 1;
    runs_.insert(at + 1, {sector + 1, run.second});
  }
}

bool SectorRuns::Contains(uint64_t sector) const { return Overlaps(sector, sector); }

bool SectorRuns::Overlaps(uint64_t first, uint64_t last) const {
  auto it = FirstEndingAtOrAfter(runs_, first);
  return it != runs_.end() && it->first <= last;
}

uint64_t SectorRuns::CountIn(uint64_t first, uint64_t last) const {
  uint64_t n = 0;
  for (auto it = FirstEndingAtOrAfter(runs_, first); it != runs_.end() && it->first <= last; ++it)
    n += std::min(it->second, last) - std::max(it->first, first) + 1;
  return n;
}

uint64_t SectorRuns::Count() const {
  uint64_t n = 0;
  for (const auto& [first, last] : runs_) n += last - first + 1;
  return n;
}

// ---- the read path ----

namespace {

// A streak this long makes the read path check that the device still
// answers at all, again at each doubling of the streak.
constexpr uint32_t kFirstProbe = 8;
// Failed reads, with none ever succeeding, after which the device counts as
// unreadable as a whole.
constexpr uint64_t kFailuresWithoutSuccess = 16;
// The largest step a streak of failures skips, in sectors.
constexpr uint32_t kMaxSkipShift = 16;

class Reader {
 public:
  Reader(SourceDevice& device, ReadCache& rc, uint32_t sectorBytes)
      : dev_(device), rc_(rc), f_(rc.Faults), sb_(sectorBytes) {}

  // Fills the window with the sectors first .. first + count - 1.
  void Fill(uint64_t first, uint64_t count) {
    rc_.WindowBase = first * sb_;
    rc_.Missing.fill(false);
    rc_.MissingCount = 0;
    rc_.WindowValid = true;
    if (Clean(first, count)) {
      ReadSpan(first, first + count);
      return;
    }
    // Known failures and skipped sectors are left out; what lies between
    // them is read in as few reads as it takes.
    for (uint64_t t = first; t < first + count;) {
      if (Excluded(t)) {
        ++t;
        continue;
      }
      uint64_t e = t + 1;
      while (e < first + count && !Excluded(e)) ++e;
      ReadSpan(t, e);
      t = e;
    }
  }

  // A sector of the window that a caller needs and that an earlier streak
  // skipped: asked for now, once.
  void ComeBack(uint64_t t) {
    if (f_.SourceLost || !f_.Skipped.Contains(t)) return;
    f_.Skipped.Remove(t);
    if (Ask(t, 1)) {
      rc_.Missing[Index(t)] = false;
      --rc_.MissingCount;
    } else {
      Failed(t, false);
    }
  }

  // Starts reading the window of sectors first .. first + count - 1 ahead,
  // when the read Fill makes of it would be that one read: the window
  // filled now was delivered whole, and nothing known about failures lies
  // near the next one.
  void ReadAhead(uint64_t first, uint64_t count) {
    if (f_.SourceLost || rc_.MissingCount != 0 || count == 0 || !Clean(first, count) ||
        (count > 1 && NearFailure(first, first + count)))
      return;
    rc_.Ahead.Start(dev_, first * sb_, static_cast<size_t>(count * sb_));
  }

 private:
  // No sector of first .. first + count - 1 is known unreadable, skipped,
  // or in the current streak's skip: the window is read as one span.
  bool Clean(uint64_t first, uint64_t count) const {
    const uint64_t last = first + count - 1;
    return !f_.Unreadable.Overlaps(first, last) && !f_.Skipped.Overlaps(first, last) &&
           !(f_.SkipUntil > first && f_.SkipFrom <= last);
  }
  size_t Index(uint64_t t) const { return static_cast<size_t>(t - rc_.WindowBase / sb_); }
  uint8_t* At(uint64_t t) { return rc_.Window.data() + (t * sb_ - rc_.WindowBase); }
  bool InSkip(uint64_t t) const { return t >= f_.SkipFrom && t < f_.SkipUntil; }

  void MarkMissing(uint64_t t) {
    std::memset(At(t), 0, sb_);
    if (!rc_.Missing[Index(t)]) ++rc_.MissingCount;
    rc_.Missing[Index(t)] = true;
  }

  // A sector left out of the reads: known unreadable, skipped before, or in
  // the current streak's skip (then it is skipped now).
  bool Excluded(uint64_t t) {
    if (f_.Unreadable.Contains(t) || f_.Skipped.Contains(t)) {
      MarkMissing(t);
      return true;
    }
    if (InSkip(t)) {
      Skip(t);
      return true;
    }
    return false;
  }

  void Skip(uint64_t t) {
    f_.Skipped.Add(t, t);
    MarkMissing(t);
  }

  void Lose(SourceLoss loss, const std::string& reason) {
    f_.SourceLost = true;
    f_.Loss = loss;
    f_.LostReason = reason;
  }

  // One device read of sectors first .. first + count - 1 into the window.
  bool Ask(uint64_t first, uint64_t count) {
    if (f_.SourceLost) return false;
    ++f_.Reads;
    std::span<uint8_t> out(At(first), static_cast<size_t>(count * sb_));
    if (Read(first * sb_, out) >= 0) {
      f_.AnyDelivered = true;
      f_.LastGoodSector = first;
      f_.Streak = 0;
      f_.SkipFrom = f_.SkipUntil = 0;
      f_.NextProbeAt = kFirstProbe;
      return true;
    }
    ++f_.FailedReads;
    if (dev_.Gone()) {
      Lose(SourceLoss::Gone, "the device is gone");
    } else if (!f_.AnyDelivered && f_.FailedReads >= kFailuresWithoutSuccess) {
      ProbeElsewhere();
    }
    return false;
  }

  // One device read: the read ahead's bytes when it read exactly these into
  // the other buffer (the buffers then change places), else a read made
  // now, once nothing else reads the device.
  int64_t Read(uint64_t offset, std::span<uint8_t> out) {
    if (out.data() == rc_.Window.data() && rc_.Ahead.Holds(dev_, offset, out.size()))
      return rc_.Ahead.Take(rc_.Window);
    rc_.Ahead.Discard();
    return dev_.ReadAt(offset, out);
  }

  // Nothing has read yet: a dead start of a disk that reads further on is
  // told from a dead disk by its middle and its end.
  void ProbeElsewhere() {
    const uint64_t sectors = dev_.Size() / sb_;
    std::vector<uint8_t> one(sb_);
    for (uint64_t t : {sectors / 2, sectors > 0 ? sectors - 1 : 0}) {
      ++f_.Reads;
      if (Read(t * sb_, one) >= 0) {
        f_.AnyDelivered = true;
        f_.LastGoodSector = t;
        return;
      }
      ++f_.FailedReads;
    }
    Lose(SourceLoss::NeverRead, "not one read of it has succeeded");
  }

  // A sector whose own read failed. A streak of them opens a skip that
  // doubles with each further failure.
  void Failed(uint64_t t, bool extendsStreak = true) {
    MarkMissing(t);
    if (f_.SourceLost) return;  // not the sector's fault
    f_.Unreadable.Add(t, t);
    f_.AnyFailed = true;
    f_.LastFailedSector = t;
    if (!extendsStreak) return;
    ++f_.Streak;
    if (f_.Streak >= 2) {
      const uint64_t step = uint64_t{1} << std::min(f_.Streak - 2, kMaxSkipShift);
      f_.SkipFrom = t + 1;
      f_.SkipUntil = t + 1 + step;
    }
    if (f_.NextProbeAt == 0) f_.NextProbeAt = kFirstProbe;
    if (f_.Streak >= f_.NextProbeAt) {
      f_.NextProbeAt *= 2;
      Probe();
    }
  }

  // Reads the last sector that read well; when it fails too, the device is
  // gone rather than damaged here.
  void Probe() {
    if (!f_.AnyDelivered) return;
    std::vector<uint8_t> one(sb_);
    ++f_.Reads;
    if (Read(f_.LastGoodSector * sb_, one) >= 0) return;
    ++f_.FailedReads;
    Lose(SourceLoss::NoLongerReads, "a sector that read before no longer reads");
  }

  void OneByOne(uint64_t a, uint64_t b) {
    for (uint64_t t = a; t < b; ++t) {
      if (InSkip(t)) {
        Skip(t);
      } else if (!Ask(t, 1)) {
        Failed(t);
      }
    }
  }

  uint64_t PieceSectors() const { return std::max<uint64_t>(2, ReadCache::kPiece / sb_); }

  // Near the last failure, where more are likely.
  bool NearFailure(uint64_t a, uint64_t b) const {
    if (!f_.AnyFailed) return false;
    const uint64_t span = ReadCache::kCarefulSpan / sb_;
    const uint64_t t = f_.LastFailedSector;
    return (t >= a ? t - a : a - t) < span || (t >= b ? t - b : b - t) < span;
  }

  // Sectors a .. b - 1: one read, or pieces near a failure.
  void ReadSpan(uint64_t a, uint64_t b) {
    if (b - a > 1 && NearFailure(a, b)) {
      Pieces(a, b, false);
    } else if (!Ask(a, b - a)) {
      Recover(a, b);
    }
  }

  // Sectors a .. b - 1 whose read as one block failed: split into pieces,
  // each asked for once, and only a failing piece read sector by sector.
  void Recover(uint64_t a, uint64_t b) {
    if (b - a == 1) {
      Failed(a);
      return;
    }
    if (b - a <= PieceSectors()) {
      OneByOne(a, b);
      return;
    }
    Pieces(a, b, true);
  }

  // Sectors a .. b - 1 read piece by piece. When the block as a whole is
  // known to fail and every piece but the last read well, the last holds
  // the failure: it is read sector by sector straight away.
  void Pieces(uint64_t a, uint64_t b, bool blockFailed) {
    const uint64_t piece = PieceSectors();
    bool pieceFailed = false;
    bool passedOver = false;
    for (uint64_t p = a; p < b;) {
      const uint64_t q = std::min((p / piece + 1) * piece, b);
      while (p < q && InSkip(p)) {
        Skip(p++);
        passedOver = true;
      }
      if (p == q) continue;
      if (q - p == 1) {
        if (!Ask(p, 1)) {
          Failed(p);
          pieceFailed = true;
        }
      } else if (q == b && blockFailed && !pieceFailed && !passedOver) {
        OneByOne(p, q);
      } else if (!Ask(p, q - p)) {
        OneByOne(p, q);
        pieceFailed = true;
      }
      p = q;
    }
  }

  SourceDevice& dev_;
  ReadCache& rc_;
  ReadFaults& f_;
  uint32_t sb_;
};

// Whether sectors of sectorBytes can be read through a window of reach
// bytes; a new unit starts a new fault record.
bool UseUnit(ReadCache& rc, uint32_t sectorBytes, uint32_t reach) {
  if (sectorBytes < ReadCache::kMinSector || sectorBytes > reach) return false;
  if (rc.Faults.SectorBytes != sectorBytes) {
    rc.Faults.Reset(sectorBytes);
    rc.WindowValid = false;
  }
  return true;
}

bool InWindow(const ReadCache& rc, uint64_t position, uint64_t end) {
  return rc.WindowValid && position >= rc.WindowBase && position < rc.WindowBase + rc.WindowFill &&
         position < end;
}

// The window FillAround fills for position: its first byte and its length.
// Empty when position lies at or past the end.
ByteSpan WindowAround(uint64_t end, uint64_t size, uint32_t sb, uint64_t windowBytes,
                      uint64_t position) {
  if (position >= end || position >= size) return {};
  uint64_t base = 0;
  if (end > windowBytes) {
    const uint64_t last = (end - windowBytes + sb - 1) / sb * sb;  // holds the end
    base = std::min(position - position % sb, last);
  }
  const uint64_t limit = std::min(end, size);
  return {base, base + std::min(windowBytes, limit - base)};
}

// Fills the window with up to windowBytes from the sector that holds
// position; near the end it lies whole before the end instead. False when
// position lies at or past the end. While the cache reads ahead, the next
// window is then asked for.
bool FillAround(Reader& reader, ReadCache& rc, uint64_t end, uint64_t size, uint32_t sb,
                uint64_t windowBytes, uint64_t position) {
  const ByteSpan window = WindowAround(end, size, sb, windowBytes, position);
  if (window.End == window.Begin) return false;
  const uint64_t bytes = window.End - window.Begin;
  reader.Fill(window.Begin / sb, (bytes + sb - 1) / sb);
  rc.WindowFill = static_cast<uint32_t>(bytes);
  ++rc.WindowFills;
  if (rc.ReadsAhead) {
    const ByteSpan next = WindowAround(end, size, sb, windowBytes, window.End);
    if (next.Begin == window.End)
      reader.ReadAhead(next.Begin / sb, (next.End - next.Begin + sb - 1) / sb);
  }
  return true;
}

}  // namespace

uint64_t ReadThroughWindow(SourceDevice& device, ReadCache& rc, uint64_t end, uint32_t sectorBytes,
                           uint8_t* dest, uint64_t count, uint64_t position,
                           SkippedSectors skipped, uint32_t reach) {
  reach = std::min(reach, ReadCache::kLargestWindow);
  if (!UseUnit(rc, sectorBytes, reach)) {
    std::memset(dest, 0, static_cast<size_t>(count));
    return count;
  }
  const uint32_t sb = sectorBytes;
  const uint64_t windowBytes = reach / sb * sb;
  const uint64_t size = device.Size();
  Reader reader(device, rc, sb);
  uint64_t undelivered = 0;
  while (count > 0) {
    if (!InWindow(rc, position, end)) {
      if (!FillAround(reader, rc, end, size, sb, windowBytes, position)) break;
      continue;
    }
    const uint64_t stop = std::min<uint64_t>(rc.WindowBase + rc.WindowFill, end);
    const uint64_t n = std::min(count, stop - position);
    if (rc.MissingCount == 0) {
      std::memcpy(dest, rc.Window.data() + (position - rc.WindowBase), static_cast<size_t>(n));
    } else {
      // Sector by sector: a skipped one may be asked for now; what stays
      // missing is zero and undelivered.
      for (uint64_t p = position; p < position + n;) {
        const uint64_t t = p / sb;
        const uint64_t chunk = std::min(position + n, (t + 1) * sb) - p;
        const size_t index = static_cast<size_t>(t - rc.WindowBase / sb);
        if (rc.Missing[index] && skipped == SkippedSectors::ReadNow) reader.ComeBack(t);
        if (rc.Missing[index]) undelivered += chunk;
        std::memcpy(dest + (p - position), rc.Window.data() + (p - rc.WindowBase),
                    static_cast<size_t>(chunk));
        p += chunk;
      }
    }
    position += n;
    dest += n;
    count -= n;
  }
  if (count > 0) std::memset(dest, 0, static_cast<size_t>(count));
  return undelivered + count;
}

const uint8_t* WindowBytesAt(SourceDevice& device, ReadCache& rc, uint64_t end,
                             uint32_t sectorBytes, uint64_t position, uint32_t count,
                             uint32_t reach) {
  reach = std::min(reach, ReadCache::kLargestWindow);
  if (!UseUnit(rc, sectorBytes, reach)) return nullptr;
  if (!InWindow(rc, position, end)) {
    Reader reader(device, rc, sectorBytes);
    if (!FillAround(reader, rc, end, device.Size(), sectorBytes, reach / sectorBytes * sectorBytes,
                    position))
      return nullptr;
  }
  const uint64_t stop = std::min<uint64_t>(rc.WindowBase + rc.WindowFill, end);
  if (rc.MissingCount != 0 || count > stop - position) return nullptr;
  return rc.Window.data() + (position - rc.WindowBase);
}

}  // namespace tarnwick
