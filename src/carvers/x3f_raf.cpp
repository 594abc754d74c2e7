#include "carvers/x3f_raf.h"

#include <algorithm>

#include "carvers/framework.h"
#include "source/bytes.h"

namespace tarnwick {

namespace {

constexpr uint64_t kLargestEnd = 209'715'200;

// A pointer at t back to a section directory at d: a 12-byte head and 1 to
// 18 entries of 12 bytes lie between them. A directory the Source could not
// read is taken on trust.
bool IsX3fTrailer(const CarveContext& c, uint64_t t) {
  const Bytes file = c.Data();
  const uint32_t d = LE32(file, static_cast<size_t>(t));
  if (d > t) return false;
  const uint64_t h = t - d;
  return h % 12 == 0 && h >= 13 && h < 240 &&
         (BytesEqual(file, d, "SECd") || HoldsUnreadable(c, d, 4));
}

}  // namespace

void CarveX3f(Session& s, const std::string& /*targetFolder*/, uint64_t carveStart) {
  CarveFrame frame(s, carveStart);
  if (!frame.Begin()) return;
  CarveContext& c = frame.Ctx();
  if (!BytesEqual(c.Data(), 0, "FOVb")) return;
  // The first sector is never searched: a trailer needs a directory before it.
  uint64_t fileEnd = 0;
  while (fileEnd == 0 && c.Collected < kLargestEnd) {
    if (!ReadUntil32(c, static_cast<int32_t>(c.Collected + c.Bps))) return;
    for (uint64_t t = c.Collected - c.Bps; t < c.Collected; t += 4) {
      if (IsX3fTrailer(c, t)) {
        fileEnd = t + 4;
        break;
      }
    }
  }
  if (c.Collected >= kLargestEnd) return;
  c.Collected = fileEnd;
  frame.Succeed();
}

void CarveRaf(Session& s, const std::string& /*targetFolder*/, uint64_t carveStart) {
  CarveFrame frame(s, carveStart);
  if (!frame.Begin()) return;
  CarveContext& c = frame.Ctx();
  Bytes head = c.Data();
  if (!BytesEqual(head, 0, "FUJIFILMCCD-RAW ")) return;
  // 64-bit sums: an end that wraps past 4 GiB is far beyond the limit, not small.
  uint64_t fileEnd = uint64_t{BE32(head, 100)} + BE32(head, 104);
  if (BE32(head, 84) == 148)
    fileEnd = std::max(fileEnd, uint64_t{BE32(head, 128)} + BE32(head, 132));
  if (fileEnd > kLargestEnd) return;
  ClaimUnreadUpTo(c, fileEnd);
  frame.Succeed();
}

}  // namespace tarnwick
