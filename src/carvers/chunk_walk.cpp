#include "carvers/chunk_walk.h"

#include <cstring>
#include <string>

namespace tarnwick {

namespace {

constexpr uint64_t kCompactAfterSectors = 60;

}  // namespace

bool PassRecord(CarveContext& c, uint64_t pos, uint64_t& length, uint64_t& passedUnread) {
  const uint64_t bps = c.Bps;
  // The sector after the collected bytes may only be skipped when the record
  // covers all of it: a header that straddled into the last collected sector
  // leaves less than a sector of the record there, and skipping it then
  // would step over the next record's header.
  while (length >= 2 * bps && pos + length >= c.Collected + bps) {
    if (!ClaimUnreadSector(c)) return false;
    length -= c.Bps;
    passedUnread += bps;
  }
  return ReadUntil(c, pos + length);
}

bool PassRecord(CarveContext& c, uint64_t pos, uint32_t& length, uint64_t& passedUnread) {
  uint64_t wide = length;
  const bool ok = PassRecord(c, pos, wide, passedUnread);
  length = static_cast<uint32_t>(wide);
  return ok;
}

void CompactBuffer(CarveContext& c, uint64_t& pos) {
  if (pos <= kCompactAfterSectors * c.Bps) return;
  const uint64_t drop = c.Bps * (pos / c.Bps);
  std::memmove(c.Buffer.data(), c.Buffer.data() + drop, static_cast<size_t>(c.Collected - drop));
  pos -= drop;
  c.Collected -= drop;
  c.Dropped += drop;
  ShowCarveProgress(c);
}

void GiveBackSurplus(CarveContext& c, uint64_t fileBytes) {
  const uint64_t keep = fileBytes / c.Bps + (fileBytes % c.Bps != 0 ? 1 : 0);
  while (c.ClaimList.size() > keep) {
    const uint64_t sector = c.ClaimList.back();
    c.S.Map.UnmarkSector(sector);
    c.ClaimList.pop_back();
    c.ReadPos = sector * c.Bps;
  }
}

}  // namespace tarnwick
