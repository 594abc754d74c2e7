#include "carvers/rar.h"

#include <zlib.h>

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

// How far past a block whose header could not be read the next one is
// looked for: the lost block's packed data lies in between.
constexpr uint64_t kLongestSearch = 268'435'456;  // 256 MiB

bool Reach(CarveContext& c, uint64_t target) {
  return c.Collected >= target || ReadUntil(c, target);
}

// The header of the block at pos could not be read, so its length is not
// known. The next block is looked for byte by byte after it and taken where
// a header of a known type checks out against its CRC (the low half of the
// CRC-32 of the header from its type byte on). Another archive's marker
// ends the search. On success pos lies on that block; what was read to
// check headers further on is claimed, and given back when the archive
// ends before it.
bool FindBlockAgain(CarveContext& c, uint64_t& pos) {
  const uint64_t lostAt = c.Dropped + pos;
  for (uint64_t q = pos + 1;; ++q) {
    CompactBuffer(c, q);
    if (c.Dropped + q - lostAt > kLongestSearch) return false;
    if (!Reach(c, q + kBlockHeader)) return false;
    if (HoldsUnreadable(c, q, kBlockHeader)) continue;
    if (BytesEqual(c.Data(), static_cast<size_t>(q), Bytes(kMarkerBlock))) return false;
    const size_t at = static_cast<size_t>(q);
    const uint8_t type = U8(c.Data(), at + 2);
    const uint16_t size = LE16(c.Data(), at + 5);
    if (type < kLowestBlockType || type > kEndOfArchive || size < kBlockHeader) continue;
    // A chance header may give a size that runs past the scan range.
    if (!Reach(c, q + size) || HoldsUnreadable(c, q, size)) continue;
    const uint32_t crc = static_cast<uint32_t>(crc32(0, c.Data().data() + at + 2, size - 2u));
    if ((crc & 0xFFFF) == LE16(c.Data(), at)) {
      pos = q;
      return true;
    }
  }
}

}  // namespace

void CarveRar(Session& s, const std::string& /*targetFolder*/, uint64_t carveStart) {
  CarveFrame frame(s, carveStart);
  if (!frame.Begin()) return;
  CarveContext& c = frame.Ctx();
  if (!BytesEqual(c.Data(), 0, Bytes(kMarkerBlock))) return;
  uint64_t pos = kFirstBlock;
  uint64_t skipped = 0;  // bytes claimed unread: Dropped + pos + skipped is an archive offset
  bool foundAgain = false;
  while (true) {
    if (!Reach(c, pos + kBlockHeader)) return;
    if (HoldsUnreadable(c, pos, kBlockHeader) ||
        ((LE16(c.Data(), static_cast<size_t>(pos) + 3) & kAddedSizeFollows) != 0 &&
         Reach(c, pos + kBlockHeaderWithAddedSize) &&
         HoldsUnreadable(c, pos, kBlockHeaderWithAddedSize))) {
      if (!FindBlockAgain(c, pos)) return;
      foundAgain = true;
      continue;
    }
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
    skipped += passedUnread;
    pos += a;
    // The buffer holds only the archive's last stretch, however long it is.
    CompactBuffer(c, pos);
    if (type == kEndOfArchive) {
      if (foundAgain) GiveBackSurplus(c, c.Dropped + pos + skipped);
      frame.Succeed();
      return;
    }
  }
}

}  // namespace tarnwick
