#include "carvers/zip_drawing.h"

#include "carvers/chunk_walk.h"
#include "carvers/framework.h"
#include "source/bytes.h"

namespace tarnwick {

namespace {

constexpr uint32_t kLocalHeader = 0x04034B50;
constexpr uint32_t kCentralHeader = 0x02014B50;
constexpr uint32_t kEndRecord = 0x06054B50;
constexpr uint64_t kLocalFixed = 30;
constexpr uint64_t kCentralFixed = 46;
constexpr uint64_t kEndFixed = 22;

// The record walk; false when the carve fails. The sizes in local headers are
// trusted as they stand, so an entry followed by a data descriptor puts the
// next signature out of place and fails the walk; the central directory's
// own offsets are not used.
bool WalkRecords(CarveContext& c) {
  uint64_t pos = 0;
  uint64_t passedUnread = 0;  // not needed here: the walk ends at an end record
  while (true) {
    if (!ReadUntil(c, pos + 4)) return false;
    const uint32_t signature = LE32(c.Data(), static_cast<size_t>(pos));
    uint32_t length = 0;
    bool last = false;
    if (signature == kLocalHeader) {
      if (!ReadUntil(c, pos + kLocalFixed)) return false;
      const size_t at = static_cast<size_t>(pos);
      length = static_cast<uint32_t>(kLocalFixed) + LE16(c.Data(), at + 26) +
               LE16(c.Data(), at + 28) + LE32(c.Data(), at + 18);
    } else if (signature == kCentralHeader) {
      if (!ReadUntil(c, pos + kCentralFixed)) return false;
      const size_t at = static_cast<size_t>(pos);
      length = static_cast<uint32_t>(kCentralFixed) + LE16(c.Data(), at + 28) +
               LE16(c.Data(), at + 30) + LE16(c.Data(), at + 32);
    } else if (signature == kEndRecord) {
      if (!ReadUntil(c, pos + kEndFixed)) return false;
      length = static_cast<uint32_t>(kEndFixed) + LE16(c.Data(), static_cast<size_t>(pos) + 20);
      last = true;
    } else {
      return false;  // a data descriptor, a ZIP64 record, or no record at all
    }
    if (!PassRecord(c, pos, length, passedUnread)) return false;
    pos += length;
    if (last) return true;
  }
}

}  // namespace

void CarveZipDrawing(Session& s, const std::string& targetFolder, uint64_t carveStart) {
  CarveFrame frame(s, carveStart);
  if (!frame.Begin()) return;
  CarveContext& c = frame.Ctx();
  if (LE32(c.Data(), 0) != kLocalHeader) return;
  if (!WalkRecords(c)) return;
  frame.Succeed();
  if (!targetFolder.empty()) ++s.RescuedCount;
}

}  // namespace tarnwick
