#include "carvers/mpeg.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "carvers/chunk_walk.h"
#include "carvers/framework.h"
#include "scan/classify.h"
#include "source/bytes.h"

namespace tarnwick {

namespace {

constexpr uint32_t kPackStartCode = 0x000001BA;
constexpr uint32_t kProgramEndCode = 0x000001B9;
constexpr uint8_t kPackId = 0xBA;
constexpr size_t kMpeg1PackHeader = 12;
constexpr size_t kMpeg2PackHeader = 14;  // and up to 7 stuffing bytes
constexpr size_t kLongestPackHeader = kMpeg2PackHeader + 7;
constexpr size_t kUnitHead = 6;  // start code, stream id, 16-bit length
constexpr uint64_t kLargestClockStep = 800'000;
constexpr uint64_t kClockMask = (uint64_t{1} << 33) - 1;  // the clock reference wraps at 33 bits

constexpr size_t kPacket = 192;
constexpr uint8_t kSync = 0x47;  // 'G'
constexpr uint64_t kFirstWalkedPacket = 3 * kPacket;
constexpr uint32_t kArrivalTimeMask = 0x3FFFFFFF;
constexpr uint32_t kLargestArrivalStep = 3'200'000;
constexpr uint64_t kCompactAbove = 0x2004000;  // 33,570,816 bytes
constexpr uint64_t kCompactDrop = 0x1002000;   // 16,785,408 bytes, kept at the front

constexpr size_t kPlainPacket = 188;
constexpr uint16_t kNullPid = 0x1FFF;

bool AtClusterBoundary(const CarveContext& c, uint64_t length) {
  const uint64_t cluster = static_cast<uint64_t>(c.S.Scan.SectorsPerCluster) * c.Bps;
  return cluster == 0 || length % cluster == 0;
}

// A pack header as the walk needs it: which version, how long, its clock.
struct Pack {
  bool mpeg2 = false;
  size_t length = 0;
  PackScr scr{false, 0};
};

// The pack header at `at`, or nothing (length 0) when none of either
// version is there. The buffer holds kLongestPackHeader bytes from at, or
// all there is.
Pack ReadPack(Bytes b, size_t at) {
  Pack p;
  if (BE32(b, at) != kPackStartCode) return p;
  const uint8_t b4 = U8(b, at + 4);
  if ((b4 & 0xC0) == 0x40) {
    if (!InBounds(b, at, kMpeg2PackHeader)) return p;
    p.mpeg2 = true;
    p.length = kMpeg2PackHeader + (U8(b, at + 13) & 0x07u);
    p.scr = Mpeg2PackScr(b.subspan(at, kMpeg2PackHeader));
  } else if ((b4 & 0xE0) == 0x20 && InBounds(b, at, kMpeg1PackHeader)) {
    p.length = kMpeg1PackHeader;
    p.scr = Mpeg1PackScr(b.subspan(at, kMpeg1PackHeader));
  }
  return p;
}

// How a program stream's walk stopped.
enum class Walk { Ended, Failed };

// How far past bytes the Source could not read the next pack is looked for.
constexpr uint64_t kResyncReach = 65536;

// The next pack header at or after pos whose start code read, within reach:
// the walk goes on there after bytes it could not read. False when none.
bool FindNextPack(CarveContext& c, uint64_t& pos) {
  for (uint64_t p = pos; p < pos + kResyncReach; ++p) {
    if (c.Collected < p + kLongestPackHeader && !ReadUntil(c, p + kLongestPackHeader)) return false;
    if (HoldsUnreadable(c, p, 4) || BE32(c.Data(), static_cast<size_t>(p)) != kPackStartCode)
      continue;
    pos = p;
    return true;
  }
  return false;
}

// Walks the stream from its first pack; length ends as the stream's length
// in bytes from the start sector, unread sectors included. Every pack must
// be of the first one's version. Where a fragment may break off, at a
// cluster boundary, a pack's clock must follow the last readable one: a
// step forward of at most kLargestClockStep. The first pack has nothing to
// follow, so a stream may start at any clock. A header the Source could not
// read is passed over to the next pack; the stream never ends inside what
// could not be read.
Walk WalkProgramStream(CarveContext& c, uint64_t& length) {
  uint64_t pos = 0;
  bool haveClock = false;
  uint64_t lastClock = 0;
  bool first = true;
  bool mpeg2 = false;
  length = 0;
  // Set while the pack at pos was found past bytes that could not be read:
  // the length up to them, where the stream ends if that pack is not its own.
  std::optional<uint64_t> beforeGap;
  // The bytes from pos on could not be read: on at the next pack, if any.
  auto passGap = [&]() {
    uint64_t next = pos;
    if (!FindNextPack(c, next)) return false;
    beforeGap = length;
    length += next - pos;
    pos = next;
    return true;
  };
  auto ended = [&]() {
    if (beforeGap) length = *beforeGap;
    return Walk::Ended;
  };
  while (true) {
    // A pack header starts at pos, its first 12 bytes collected.
    if (c.Collected < pos + kLongestPackHeader) ReadUntil(c, pos + kLongestPackHeader);
    const Pack pack = ReadPack(c.Data(), static_cast<size_t>(pos));
    if (pack.length == 0 && !first && !beforeGap && HoldsUnreadable(c, pos, kLongestPackHeader)) {
      if (!passGap()) return Walk::Ended;
      continue;
    }
    if (pack.length == 0 || (!first && pack.mpeg2 != mpeg2))
      return beforeGap ? ended() : Walk::Failed;
    if (first) mpeg2 = pack.mpeg2;
    first = false;
    if (AtClusterBoundary(c, length) && haveClock && !beforeGap) {
      if (!pack.scr.valid) return Walk::Ended;
      const uint64_t step = (pack.scr.scr - lastClock) & kClockMask;
      if (step == 0 || step > kLargestClockStep) return Walk::Ended;
    }
    if (!haveClock && !pack.scr.valid) return ended();  // nothing to go on from
    if (pack.scr.valid) {
      lastClock = pack.scr.scr;
      haveClock = true;
    }
    if (c.Collected < pos + pack.length) return ended();
    beforeGap.reset();
    pos += pack.length;
    length += pack.length;
    // The units up to the next pack header.
    while (true) {
      if (c.Collected < pos + kMpeg1PackHeader && !ReadUntil(c, pos + kMpeg1PackHeader))
        return Walk::Ended;
      if (HoldsUnreadable(c, pos, kUnitHead)) {
        if (!passGap()) return Walk::Ended;
        break;
      }
      const Bytes u = c.Data();
      const size_t ut = static_cast<size_t>(pos);
      if (BE32(u, ut) >> 8 != 0x000001) return Walk::Ended;
      if (U8(u, ut + 3) == kPackId) break;
      // The end code has no length after it: what follows belongs to
      // something else, so the stream ends with its four bytes.
      if (BE32(u, ut) == kProgramEndCode) {
        length += 4;
        return Walk::Ended;
      }
      uint64_t size = BE16(u, ut + 4) + kUnitHead;
      uint64_t passedUnread = 0;
      const bool passed = PassRecord(c, pos, size, passedUnread);
      length += passedUnread;
      if (!passed) return Walk::Ended;
      pos += size;
      length += size;
      CompactBuffer(c, pos);
    }
  }
}

// Walks the packets from the fourth; length ends as the stream's length. A
// packet whose sync byte the Source could not read is taken as the stream's;
// the stream never ends on such packets.
void WalkTransportStream(CarveContext& c, uint64_t& length) {
  uint32_t lastPrefix = BE32(c.Data(), 2 * kPacket);
  uint64_t pos = kFirstWalkedPacket;
  length = kFirstWalkedPacket;
  uint64_t known = length;
  while (true) {
    if (c.Collected < pos + kPacket && !ReadUntil(c, pos + kPacket)) break;
    const Bytes b = c.Data();
    const size_t at = static_cast<size_t>(pos);
    const bool syncRead = !HoldsUnreadable(c, pos + 4, 1);
    if (syncRead && U8(b, at + 4) != kSync) break;
    if (!HoldsUnreadable(c, pos, 4)) {
      const uint32_t prefix = BE32(b, at);
      if (AtClusterBoundary(c, length) &&
          ((prefix - lastPrefix) & kArrivalTimeMask) > kLargestArrivalStep)
        break;
      lastPrefix = prefix;
    }
    pos += kPacket;
    length += kPacket;
    if (syncRead) known = length;
    if (pos > kCompactAbove) {
      std::memmove(c.Buffer.data() + kCompactDrop, c.Buffer.data() + kCompactAbove,
                   static_cast<size_t>(c.Collected - kCompactAbove));
      pos -= kCompactDrop;
      c.Collected -= kCompactDrop;
      c.Dropped += kCompactDrop;
      ShowCarveProgress(c);
    }
  }
  length = known;
}

// Notes the continuity counter of the 188-byte packet at `at` in `last`
// (one entry a PID, 0xFF before its first packet). With `check`, false when
// the counter does not follow the PID's last one: one more after a packet
// with payload, the same without payload or for a packet sent twice. Null
// packets, packets flagged with an error or a discontinuity, and PIDs not
// seen before always follow.
bool CounterFollows(std::vector<uint8_t>& last, Bytes b, size_t at, bool check) {
  const uint16_t pid = static_cast<uint16_t>(BE16(b, at + 1) & 0x1FFF);
  if (pid == kNullPid) return true;
  const uint8_t control = (U8(b, at + 3) >> 4) & 3;  // 1 payload, 2 adaptation, 3 both
  if (control == 0) return !check;                   // reserved: no packet of a stream
  const uint8_t counter = U8(b, at + 3) & 0x0F;
  const uint8_t previous = last[pid];
  last[pid] = counter;
  const bool discontinuity = (control & 2) != 0 && U8(b, at + 4) > 0 && (U8(b, at + 5) & 0x80);
  if (!check || previous == 0xFF || discontinuity || (U8(b, at + 1) & 0x80) != 0) return true;
  if (control & 1) return counter == ((previous + 1) & 0x0F) || counter == previous;
  return counter == previous;
}

// A packet of a PID not seen before has no counter to follow: the packet
// behind it must then have its sync byte too, unless the scan range ends.
bool SyncAheadHolds(CarveContext& c, const std::vector<uint8_t>& last, uint64_t pos) {
  const size_t at = static_cast<size_t>(pos);
  const uint16_t pid = static_cast<uint16_t>(BE16(c.Data(), at + 1) & 0x1FFF);
  if (pid == kNullPid || last[pid] != 0xFF) return true;
  if (!ReadUntil(c, pos + 2 * kPlainPacket)) return true;
  return U8(c.Data(), at + kPlainPacket) == kSync;
}

// Walks 188-byte packets from the first while their sync byte holds. The
// first packet that starts in a new cluster, where a fragment may have
// broken off, must also continue its PID's counter (or, of a new PID, be
// followed by another packet); when it does not, the stream ends at that
// cluster's start. length ends as the stream's length. A packet whose header
// the Source could not read is taken as the stream's, but the stream never
// ends on such packets.
void WalkPlainTransportStream(CarveContext& c, uint64_t& length) {
  uint64_t cluster = static_cast<uint64_t>(c.S.Scan.SectorsPerCluster) * c.Bps;
  if (cluster == 0) cluster = c.Bps;
  std::vector<uint8_t> last(0x2000, 0xFF);
  uint64_t pos = 0;
  length = 0;
  uint64_t known = 0;  // the length up to the last packet whose header read
  while (true) {
    if (c.Collected < pos + kPlainPacket && !ReadUntil(c, pos + kPlainPacket)) break;
    const Bytes b = c.Data();
    const size_t at = static_cast<size_t>(pos);
    if (HoldsUnreadable(c, pos, 4)) {
      // Taken as the stream's; which counter it carried is not known.
      std::fill(last.begin(), last.end(), uint8_t{0xFF});
      pos += kPlainPacket;
      length += kPlainPacket;
      CompactBuffer(c, pos);
      continue;
    }
    if (U8(b, at) != kSync) break;
    const bool newCluster = length > 0 && length / cluster != (length - kPlainPacket) / cluster;
    if ((newCluster && !SyncAheadHolds(c, last, pos)) ||
        !CounterFollows(last, c.Data(), at, newCluster)) {
      length = length / cluster * cluster;
      break;
    }
    pos += kPlainPacket;
    length += kPlainPacket;
    known = length;
    CompactBuffer(c, pos);
  }
  length = std::min(length, known);
}

// The stream is length bytes long: the claims behind its last sector are
// given back and the rest stay.
void EndStream(CarveFrame& frame, uint64_t length) {
  if (length == 0) return;  // nothing walked: the carve fails
  GiveBackSurplus(frame.Ctx(), length);
  frame.Succeed();
}

}  // namespace

void CarveMpegProgramStream(Session& s, const std::string& /*targetFolder*/, uint64_t carveStart) {
  CarveFrame frame(s, carveStart);
  if (!frame.Begin()) return;
  uint64_t length = 0;
  if (WalkProgramStream(frame.Ctx(), length) == Walk::Failed) return;
  EndStream(frame, length);
}

void CarveTransportStream(Session& s, const std::string& /*targetFolder*/, uint64_t carveStart) {
  CarveFrame frame(s, carveStart);
  if (!frame.Begin()) return;
  CarveContext& c = frame.Ctx();
  const Bytes b = c.Data();
  if (U8(b, 4) != kSync || U8(b, 4 + kPacket) != kSync || U8(b, 4 + 2 * kPacket) != kSync) return;
  uint64_t length = 0;
  WalkTransportStream(c, length);
  EndStream(frame, length);
}

void CarvePlainTransportStream(Session& s, const std::string& /*targetFolder*/,
                               uint64_t carveStart) {
  CarveFrame frame(s, carveStart);
  if (!frame.Begin()) return;
  CarveContext& c = frame.Ctx();
  const Bytes b = c.Data();
  if (U8(b, 0) != kSync || U8(b, kPlainPacket) != kSync || U8(b, 2 * kPlainPacket) != kSync) return;
  uint64_t length = 0;
  WalkPlainTransportStream(c, length);
  EndStream(frame, length);
}

}  // namespace tarnwick
