#include "carvers/png.h"

#include <array>
#include <string_view>

#include "carvers/framework.h"
#include "source/bytes.h"

namespace tarnwick {

namespace {

constexpr std::array<uint8_t, 4> kSignature = {0x89, 'P', 'N', 'G'};
constexpr std::array<std::string_view, 7> kPlainChunks = {"IHDR", "sRGB", "gAMA", "cHRM",
                                                          "PLTE", "IDAT", "IEND"};
constexpr int32_t kFirstChunk = 8;
constexpr uint32_t kChunkHeader = 8;
constexpr uint32_t kCrcSize = 4;
constexpr uint32_t kLargestChunkRest = 1'000'000;  // data and CRC
constexpr int64_t kLargestPos = 104'857'600;

bool IsPlainChunk(Bytes file, size_t at) {
  for (std::string_view type : kPlainChunks) {
    if (BytesEqual(file, at, type)) return true;
  }
  return false;
}

// Collects the buffer up to target. Running out of scan range only stops
// the collecting (true); an unreadable sector fails.
bool FetchChunkBytes(CarveContext& c, uint64_t target) {
  const uint64_t last = static_cast<uint64_t>(c.S.LastScanSector);
  while (c.Collected < target) {
    if (FetchSector(c)) continue;
    return c.CurrentSector > last;
  }
  return true;
}

// The chunk walk. pos indexes the collected bytes, which lack the sectors
// that were claimed unread, so it is not a file offset.
bool WalkChunks(CarveContext& c) {
  if (!BytesEqual(c.Data(), 0, Bytes(kSignature))) return false;
  const uint32_t skipFrom = 2 * c.Bps;
  int32_t pos = kFirstChunk;
  while (true) {
    if (c.Collected < static_cast<uint64_t>(pos) + kChunkHeader && !FetchSector(c)) return false;
    const Bytes file = c.Data();
    const size_t at = static_cast<size_t>(pos);
    const uint32_t length = BE32(file, at);
    const bool plain = IsPlainChunk(file, at + 4);
    const bool last = BytesEqual(file, at + 4, "IEND");
    pos += static_cast<int32_t>(kChunkHeader);
    if (!plain) return false;
    // Tested before adding the CRC, so that a length near 4 GiB cannot wrap.
    if (length > kLargestChunkRest - kCrcSize) return false;
    uint32_t rest = length + kCrcSize;
    // Whole sectors inside the chunk are claimed without a read; the
    // collected bytes before them are fewer than one sector, so the chunk's
    // tail still lies beyond them.
    while (rest >= skipFrom) {
      if (!ClaimUnreadSector(c)) return false;
      rest -= c.Bps;
    }
    const int64_t end = static_cast<int64_t>(pos) + rest;
    if (end > kLargestPos) return false;
    if (!FetchChunkBytes(c, static_cast<uint64_t>(end))) return false;
    pos = static_cast<int32_t>(end);
    if (last) return true;
  }
}

}  // namespace

void CarvePng(Session& s, const std::string& /*targetFolder*/, uint64_t carveStart) {
  CarveFrame frame(s, carveStart);
  if (!frame.Begin()) return;
  if (!WalkChunks(frame.Ctx())) return;
  frame.Succeed();
}

}  // namespace tarnwick
