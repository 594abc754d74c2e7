#include "carvers/rar.h"

#include <array>
#include <cstdint>

#include "carvers/chunk_walk.h"
#include "carvers/framework.h"
#include "source/bytes.h"

namespace tarnwick {

namespace {

constexpr std::array<uint8_t, 7> kMarkerBlock = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
constexpr uint64_t kFirstBlock = 7;
constexpr uint64_t kBlockHeader = 7;
constexpr uint64_t kBlockHeaderWithAddedSize = 11;
constexpr uint8_t kLowestBlockType = 0x73;
constexpr uint8_t kEndOfArchive = 0x7B;
constexpr uint16_t kAddedSizeFollows = 0x8000;

bool Reach(CarveContext& c, uint64_t target) {
  return c.Collected >= target || ReadUntil(c, target);
}

}  // namespace

void CarveRar(Session& s, const std::string& /*targetFolder*/, uint64_t carveStart) {
  CarveFrame frame(s, carveStart);
  if (!frame.Begin()) return;
  CarveContext& c = frame.Ctx();
  if (!BytesEqual(c.Data(), 0, Bytes(kMarkerBlock))) return;
  uint64_t pos = kFirstBlock;
  while (true) {
    if (!Reach(c, pos + kBlockHeader)) return;
    const size_t p = static_cast<size_t>(pos);
    const uint8_t type = U8(c.Data(), p + 2);
    const uint16_t flags = LE16(c.Data(), p + 3);
    uint64_t a = LE16(c.Data(), p + 5);
    if (flags & kAddedSizeFollows) {
      if (!Reach(c, pos + kBlockHeaderWithAddedSize)) return;
      a += LE32(c.Data(), p + 7);
    }
    // A length beyond a signed 32-bit count is no RAR 4 block we can walk;
    // taken as such it would turn negative and lead the walk backwards.
    if (a == 0 || a > static_cast<uint64_t>(INT32_MAX)) return;
    if (type < kLowestBlockType || type > kEndOfArchive) return;
    uint64_t passedUnread = 0;
    if (!PassRecord(c, pos, a, passedUnread)) return;
    pos += a;
    // The buffer holds only the archive's last stretch, however long it is.
    CompactBuffer(c, pos);
    if (type == kEndOfArchive) {
      frame.Succeed();
      return;
    }
  }
}

}  // namespace tarnwick
