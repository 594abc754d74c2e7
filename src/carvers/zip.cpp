#include "carvers/zip.h"

#include <cstdint>

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

}  // namespace

void CarveZip(Session& s, const std::string& /*targetFolder*/, uint64_t carveStart) {
  CarveFrame frame(s, carveStart);
  if (!frame.Begin()) return;
  CarveContext& c = frame.Ctx();
  if (LE32(c.Data(), 0) != kLocalHeader) return;
  uint64_t pos = 0;
  while (true) {
    if (!ReadUntil(c, pos + 4)) return;
    const uint32_t signature = LE32(c.Data(), static_cast<size_t>(pos));
    const uint64_t fixed = FixedLength(signature);
    if (fixed == 0) {
      // Whatever follows the archive; a lone header this short is not one.
      if (pos > kZipEndsAfter) frame.Succeed();
      return;
    }
    if (!ReadUntil(c, pos + fixed)) return;
    uint64_t length = RecordLength(c.Data(), pos, signature);
    uint64_t passedUnread = 0;
    if (!PassRecord(c, pos, length, passedUnread)) return;
    pos += length;
    if (signature == kEndOfCentralDirectory) {
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
