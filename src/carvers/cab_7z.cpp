#include "carvers/cab_7z.h"

#include <zlib.h>

#include <array>
#include <cstdint>

#include "carvers/framework.h"
#include "source/bytes.h"

namespace tarnwick {

namespace {

// The six signature bytes, then the format version: major 0, any minor.
constexpr std::array<uint8_t, 6> k7zSignature = {0x37, 0x7A, 0xBC, 0xAF, 0x27, 0x1C};
constexpr size_t k7zMajorVersion = 6;
constexpr size_t k7zStartHeaderCrc = 8;
constexpr size_t k7zStartHeaderFields = 12;  // next-header offset, size and CRC
constexpr size_t k7zStartHeaderFieldsBytes = 20;
constexpr size_t k7zNextHeaderCrc = 28;
constexpr uint64_t k7zSignatureHeader = 32;
constexpr uint64_t kLargest7z = 21'474'836'480;  // 20 GiB
// A next header beyond this is claimed on the start header's word alone:
// reading it whole to check its CRC would hold too much in memory.
constexpr uint64_t kLargestCheckedNextHeader = 16 * 1024 * 1024;

uint32_t Crc(Bytes b, size_t at, size_t count) {
  return static_cast<uint32_t>(
      crc32(0L, b.data() + at, static_cast<uInt>(count)));  // callers bound count
}

// Reads the next header, which the start header places at the archive's end,
// and compares its CRC. The sectors before it are claimed unread. Reaching
// the end of the scan range first keeps what was claimed (true): only bytes
// that were read can contradict the start header. A header partly
// unreadable cannot contradict it either: its CRC is not compared.
bool NextHeaderHolds(CarveContext& c, uint64_t at, uint64_t size, uint32_t crc) {
  const uint64_t sectorIndex = at / c.Bps;
  ClaimUnreadUpTo(c, sectorIndex * c.Bps);
  if (c.ClaimList.size() < sectorIndex) return true;  // the scan range ended
  // The first byte's place in the buffer: behind the start sector when the
  // sectors before the header were claimed unread.
  const uint64_t pos = sectorIndex == 0 ? at : c.Bps + at % c.Bps;
  if (!ReadUntil(c, pos + size)) {
    return c.CurrentSector > static_cast<uint64_t>(c.S.LastScanSector);
  }
  return Crc(c.Data(), static_cast<size_t>(pos), static_cast<size_t>(size)) == crc ||
         HoldsUnreadable(c, pos, size);
}

}  // namespace

bool Is7zStartHeader(std::span<const uint8_t> head) {
  if (!BytesEqual(head, 0, Bytes(k7zSignature)) || U8(head, k7zMajorVersion) != 0) return false;
  if (!InBounds(head, 0, k7zSignatureHeader)) return false;
  return Crc(head, k7zStartHeaderFields, k7zStartHeaderFieldsBytes) ==
         LE32(head, k7zStartHeaderCrc);
}

void CarveCab(Session& s, const std::string& /*targetFolder*/, uint64_t carveStart) {
  CarveFrame frame(s, carveStart);
  if (!frame.Begin()) return;
  Bytes head = frame.Ctx().Data();
  if (!BytesEqual(head, 0, "MSCF")) return;
  ClaimUnreadUpTo(frame.Ctx(), LE32(head, 8));
  frame.Succeed();
}

void Carve7z(Session& s, const std::string& /*targetFolder*/, uint64_t carveStart) {
  CarveFrame frame(s, carveStart);
  if (!frame.Begin()) return;
  CarveContext& c = frame.Ctx();
  Bytes head = c.Data();
  if (!Is7zStartHeader(head)) return;
  const uint64_t offset = LE64(head, 12);
  const uint64_t size = LE64(head, 20);
  const uint32_t crc = LE32(head, k7zNextHeaderCrc);
  // Each part is bounded first, so the sum cannot wrap into a small total.
  if (offset > kLargest7z || size > kLargest7z) return;
  const uint64_t total = k7zSignatureHeader + offset + size;
  if (total > kLargest7z) return;
  if (size > 0 && size <= kLargestCheckedNextHeader) {
    // The header is the archive's last part: its sectors end the claim.
    if (!NextHeaderHolds(c, k7zSignatureHeader + offset, size, crc)) return;
  } else {
    ClaimUnreadUpTo(c, total);
  }
  frame.Succeed();
}

}  // namespace tarnwick
