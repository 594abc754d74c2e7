#include "carvers/zip.h"

#include <cstdint>
#include <set>
#include <vector>

#include "carvers/chunk_walk.h"
#include "carvers/framework.h"
#include "source/bytes.h"

namespace tarnwick {

namespace {

constexpr uint32_t kLocalHeader = 0x04034B50;
constexpr uint32_t kCentralHeader = 0x02014B50;
constexpr uint32_t kEndOfCentralDirectory = 0x06054B50;
constexpr uint64_t kZipEndsAfter = 100;
constexpr uint64_t kLargestPackageRecord = 209'715'200;

// The fixed part of a record with this signature; 0 for an unknown one.
uint64_t FixedLength(uint32_t signature) {
  switch (signature) {
    case kLocalHeader: return 30;
    case kCentralHeader: return 46;
    case kEndOfCentralDirectory: return 22;
    default: return 0;
  }
}

// The whole length of the record at pos, whose fixed part is collected. The
// sum is taken in 64 bits: a wrapped 32-bit sum could be shorter than the
// fixed part, or zero, and the walk would stand still.
uint64_t RecordLength(Bytes d, uint64_t pos, uint32_t signature) {
  const size_t p = static_cast<size_t>(pos);
  switch (signature) {
    case kLocalHeader: return 30 + uint64_t{LE32(d, p + 18)} + LE16(d, p + 26) + LE16(d, p + 28);
    case kCentralHeader: return 46 + uint64_t{LE16(d, p + 28)} + LE16(d, p + 30) + LE16(d, p + 32);
    case kEndOfCentralDirectory: return 22 + uint64_t{LE16(d, p + 20)};
    default: return 0;
  }
}

// The package is held in a 32-bit count; one of 2 GiB or more fails.
bool Reach32(CarveContext& c, uint64_t target) {
  if (target > static_cast<uint64_t>(INT32_MAX)) return false;
  return ReadUntil32(c, static_cast<int32_t>(target));
}

// Where a walk lost its place at an unreadable header and found it again.
struct ZipResumes {
  bool Lost = false;
  uint64_t FirstLoss = 0;          // archive offset of the first header that could not be read
  std::vector<uint64_t> Locals;    // archive offsets of the local headers the walk resumed at
  std::vector<uint64_t> Centrals;  // ... and of the central headers
  std::set<uint64_t> Named;        // local header offsets the central headers give

  // True when the end record's directory ends where the end record lies,
  // every local header resumed at is one the directory names, and every
  // central header resumed at lies in the directory.
  bool Vouched(uint64_t directoryStart, uint64_t directorySize, uint64_t endRecord) const {
    if (directoryStart + directorySize != endRecord) return false;
    for (uint64_t at : Locals)
      if (!Named.count(at)) return false;
    for (uint64_t at : Centrals)
      if (at < directoryStart || at >= endRecord) return false;
    return true;
  }
};

// Moves pos forward, reading as it goes, to the next local or central
// header signature whose fixed part could be read. False when none comes
// within the largest record or before the scan range ends.
bool FindNextHeader(CarveContext& c, uint64_t& pos) {
  for (uint64_t searched = 1; searched <= kLargestPackageRecord; ++searched) {
    ++pos;
    CompactBuffer(c, pos);
    if (!ReadUntil(c, pos + 4)) return false;
    const uint32_t signature = LE32(c.Data(), static_cast<size_t>(pos));
    if (signature != kLocalHeader && signature != kCentralHeader) continue;
    const uint64_t fixed = FixedLength(signature);
    if (!ReadUntil(c, pos + fixed)) return false;
    if (!HoldsUnreadable(c, pos, fixed)) return true;
  }
  return false;
}

}  // namespace

void CarveZip(Session& s, const std::string& /*targetFolder*/, uint64_t carveStart) {
  CarveFrame frame(s, carveStart);
  if (!frame.Begin()) return;
  CarveContext& c = frame.Ctx();
  if (LE32(c.Data(), 0) != kLocalHeader) return;
  uint64_t pos = 0;
  uint64_t skipped = 0;  // bytes claimed unread: Dropped + pos + skipped is an archive offset
  ZipResumes resumes;
  // A header that could not be read ends the walk as an unknown record
  // does, unless the walk finds its way again and the central directory
  // vouches for where it did.
  auto end = [&](uint64_t endsAt) {
    if (!resumes.Lost) {
      if (endsAt > kZipEndsAfter) frame.Succeed();
      return;
    }
    if (resumes.FirstLoss > kZipEndsAfter) {
      GiveBackSurplus(c, resumes.FirstLoss + 4);
      frame.Succeed();
    }
  };
  while (true) {
    if (!ReadUntil(c, pos + 4)) return;
    uint32_t signature = LE32(c.Data(), static_cast<size_t>(pos));
    uint64_t fixed = FixedLength(signature);
    if (HoldsUnreadable(c, pos, 4) ||
        (fixed != 0 && ReadUntil(c, pos + fixed) && HoldsUnreadable(c, pos, fixed))) {
      if (!resumes.Lost) resumes.FirstLoss = c.Dropped + pos + skipped;
      resumes.Lost = true;
      if (!FindNextHeader(c, pos)) return end(0);
      signature = LE32(c.Data(), static_cast<size_t>(pos));
      fixed = FixedLength(signature);
      (signature == kLocalHeader ? resumes.Locals : resumes.Centrals)
          .push_back(c.Dropped + pos + skipped);
    }
    if (fixed == 0) {
      // Whatever follows the archive; a lone header this short is not one.
      return end(pos);
    }
    if (!ReadUntil(c, pos + fixed)) return;
    const Bytes d = c.Data();
    const size_t at = static_cast<size_t>(pos);
    if (signature == kCentralHeader) resumes.Named.insert(LE32(d, at + 42));
    const uint64_t directoryStart = LE32(d, at + 16), directorySize = LE32(d, at + 12);
    const uint64_t offset = c.Dropped + pos + skipped;
    uint64_t length = RecordLength(d, pos, signature);
    uint64_t passedUnread = 0;
    if (!PassRecord(c, pos, length, passedUnread)) return;
    skipped += passedUnread;
    pos += length;
    if (signature == kEndOfCentralDirectory) {
      if (resumes.Lost && !resumes.Vouched(directoryStart, directorySize, offset)) return end(0);
      frame.Succeed();
      return;
    }
  }
}

void CarveOoxml(Session& s, const std::string& /*targetFolder*/, uint64_t carveStart) {
  CarveFrame frame(s, carveStart);
  if (!frame.Begin()) return;
  CarveContext& c = frame.Ctx();
  if (LE32(c.Data(), 0) != kLocalHeader) return;
  uint64_t pos = 0;
  while (true) {
    if (!Reach32(c, pos + 4)) return;
    const uint32_t signature = LE32(c.Data(), static_cast<size_t>(pos));
    const uint64_t fixed = FixedLength(signature);
    if (fixed == 0) return;
    if (!Reach32(c, pos + fixed)) return;
    const uint64_t length = RecordLength(c.Data(), pos, signature);
    if (length > kLargestPackageRecord) return;
    pos += length;
    if (!Reach32(c, pos)) return;
    if (signature == kEndOfCentralDirectory) {
      frame.Succeed();
      return;
    }
  }
}

}  // namespace tarnwick
