#pragma once
// The read window through which the scan, the carvers and the backup read
// the Source, and what it does when the device fails a read.
//
// A failing disk is read the way a careful copier reads it: a window that
// fails is split into pieces, each asked for once; only a piece that fails is
// read sector by sector. Near a failure (bad sectors come in clusters on a
// real disk) windows are read in pieces from the start, so that a further
// bad sector costs its piece and itself rather than also a whole window. A
// run of failing sectors is passed over in growing steps (the passed-over
// sectors are "skipped", to be asked for later), so a dead stretch costs a
// handful of slow reads rather than one per sector. No sector that failed is
// asked for again. Unreadable bytes reach the caller as zeros and are
// reported as undelivered.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "source/device.h"
#include "source/page_aligned.h"
#include "source/read_ahead.h"

namespace tarnwick {

// First and last sector of a run, both inclusive.
using SectorInterval = std::pair<uint64_t, uint64_t>;

// A set of sectors kept as sorted, disjoint, non-adjacent runs.
class SectorRuns {
 public:
  void Add(uint64_t first, uint64_t last);
  void Remove(uint64_t sector);
  bool Contains(uint64_t sector) const;
  // True when any sector of first .. last is in the set.
  bool Overlaps(uint64_t first, uint64_t last) const;
  uint64_t CountIn(uint64_t first, uint64_t last) const;
  uint64_t Count() const;
  bool Empty() const { return runs_.empty(); }
  void Clear() { runs_.clear(); }
  const std::vector<SectorInterval>& Runs() const { return runs_; }

 private:
  std::vector<SectorInterval> runs_;
};

// Why the device counts as lost.
enum class SourceLoss : uint8_t {
  None,
  Gone,           // the device says it is no longer there
  NoLongerReads,  // a sector that read before fails now
  NeverRead,      // not one read has succeeded, here or at the middle and end
};

// Everything the read path learnt about the device's failures.
struct ReadFaults {
  uint32_t SectorBytes = 0;  // the unit of the runs below
  SectorRuns Unreadable;     // asked for and failed
  SectorRuns Skipped;        // passed over after failures, not asked for yet
  uint64_t Reads = 0;        // device reads made through the window
  uint64_t FailedReads = 0;
  bool SourceLost = false;  // the device stopped answering: nothing more is read
  std::string LostReason;   // the loss in words, for logs and the backup's message
  SourceLoss Loss = SourceLoss::None;

  // The skip state: consecutive failed sector reads, and the sectors
  // SkipFrom .. SkipUntil - 1 that the current streak passes over.
  uint32_t Streak = 0;
  uint64_t SkipFrom = 0;
  uint64_t SkipUntil = 0;
  bool AnyDelivered = false;  // a read through the window has ever succeeded
  uint64_t LastGoodSector = 0;
  uint32_t NextProbeAt = 0;  // the streak length at which the device is probed
  bool AnyFailed = false;    // a sector has failed: LastFailedSector is one
  uint64_t LastFailedSector = 0;

  void Reset(uint32_t sectorBytes) {
    *this = ReadFaults();
    SectorBytes = sectorBytes;
  }
};

// What a read does with sectors an earlier failure skipped.
enum class SkippedSectors {
  ReadNow,        // ask for them now, one by one: the caller needs their bytes
  LeaveForLater,  // leave them undelivered; the caller comes back to them
};

// The read-ahead window, and the fault record of the open Source.
struct ReadCache {
  // How far a read reaches ahead of what was asked for, by default: a carve
  // jumps about the Source and reads little at each place.
  static constexpr uint32_t kWindow = 65536;
  // How far the search reaches: it reads from start to end, and fewer,
  // larger reads cost the kernel less per byte (measured with dd on a
  // page-cached image: 0.23 s of CPU per 2 GiB in 64 KiB reads, 0.18 s in
  // 256 KiB reads and larger).
  static constexpr uint32_t kSearchWindow = 262144;
  static constexpr uint32_t kLargestWindow = kSearchWindow;
  static constexpr uint32_t kMinSector = 128;
  // Bytes of a piece that a failed window is split into. Pieces lie at
  // multiples of their size on the device.
  static constexpr uint32_t kPiece = 8192;
  // Within this many bytes of the last failed sector, windows are read in
  // pieces.
  static constexpr uint64_t kCarefulSpan = 4 * 1048576;

  PageAlignedBytes Window{kLargestWindow};
  uint64_t WindowBase = 0;
  uint32_t WindowFill = 0;  // bytes of the window that lie within the device
  bool WindowValid = false;
  // Sectors of the window that were not delivered (unreadable or skipped).
  std::array<bool, kLargestWindow / kMinSector> Missing{};
  uint32_t MissingCount = 0;
  uint64_t WindowFills = 0;
  ReadFaults Faults;
  // While a reader goes from start to end through windows of the same
  // reach (the search), each fill starts reading the window after it.
  bool ReadsAhead = false;
  ReadAhead Ahead{kLargestWindow};

  void Drop() {
    Ahead.Discard();
    WindowValid = false;
  }
  // A new Source: the window and the fault record start empty.
  void Reset() {
    Ahead.Discard();
    WindowValid = false;
    Faults.Reset(0);
  }
};

// Turns the cache's read ahead on for as long as it lives, for a reader that
// goes from start to end; what is read ahead and not asked for is dropped at
// its end.
class ReadingAhead {
 public:
  explicit ReadingAhead(ReadCache& rc) : rc_(rc) { rc_.ReadsAhead = true; }
  ~ReadingAhead() {
    rc_.ReadsAhead = false;
    rc_.Ahead.Discard();
  }
  ReadingAhead(const ReadingAhead&) = delete;
  ReadingAhead& operator=(const ReadingAhead&) = delete;

 private:
  ReadCache& rc_;
};

// Copies count bytes of the device at position into dest through the
// window. No byte at or past end is read. sectorBytes is the unit in which
// failures are handled and recorded; reach is how many bytes the window is
// filled with when position lies outside it (at most kLargestWindow).
// Returns how many bytes could not be delivered (0: all of them); those
// bytes are zero in dest.
uint64_t ReadThroughWindow(SourceDevice& device, ReadCache& rc, uint64_t end, uint32_t sectorBytes,
                           uint8_t* dest, uint64_t count, uint64_t position,
                           SkippedSectors skipped = SkippedSectors::ReadNow,
                           uint32_t reach = ReadCache::kWindow);

// The count bytes at position where they lie in the window, filled as
// ReadThroughWindow fills it, so that they are read without a copy. Null
// when they do not lie whole in one window, or when a sector of the window
// was not delivered: ReadThroughWindow then tells what can be had.
const uint8_t* WindowBytesAt(SourceDevice& device, ReadCache& rc, uint64_t end,
                             uint32_t sectorBytes, uint64_t position, uint32_t count,
                             uint32_t reach = ReadCache::kWindow);

}  // namespace tarnwick
