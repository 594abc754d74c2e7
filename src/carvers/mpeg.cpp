#include "carvers/mpeg.h"

#include <cstring>

#include "carvers/chunk_walk.h"
#include "carvers/framework.h"
#include "scan/classify.h"
#include "source/bytes.h"

namespace tarnwick {

namespace {

constexpr uint32_t kPackStartCode = 0x000001BA;
constexpr uint32_t kProgramEndCode = 0x000001B9;
constexpr uint8_t kPackId = 0xBA;
constexpr size_t kPackHeader = 12;
constexpr size_t kUnitHead = 6;  // start code, stream id, 16-bit length
constexpr int64_t kLargestClockStep = 800'000;

constexpr size_t kPacket = 192;
constexpr uint8_t kSync = 0x47;  // 'G'
constexpr uint64_t kFirstWalkedPacket = 3 * kPacket;
constexpr uint32_t kArrivalTimeMask = 0x3FFFFFFF;
constexpr uint32_t kLargestArrivalStep = 3'200'000;
constexpr uint64_t kCompactAbove = 0x2004000;  // 33,570,816 bytes
constexpr uint64_t kCompactDrop = 0x1002000;   // 16,785,408 bytes, kept at the front

bool IsMpeg1Pack(Bytes b, size_t at) {
  return BE32(b, at) == kPackStartCode && (U8(b, at + 4) & 0xE0) == 0x20;
}

bool AtClusterBoundary(const CarveContext& c, uint64_t length) {
  const uint64_t cluster = static_cast<uint64_t>(c.S.Scan.SectorsPerCluster) * c.Bps;
  return cluster == 0 || length % cluster == 0;
}

// How a program stream's walk stopped.
enum class Walk { Ended, Failed };

// Walks the stream from its first pack; length ends as the stream's length
// in bytes from the start sector, unread sectors included.
Walk WalkProgramStream(CarveContext& c, uint64_t& length) {
  uint64_t pos = 0;
  int64_t lastClock = -1;
  length = 0;
  while (true) {
    // A pack header lies at pos, collected whole.
    const Bytes b = c.Data();
    const size_t at = static_cast<size_t>(pos);
    if (!InBounds(b, at, kPackHeader) || !IsMpeg1Pack(b, at)) return Walk::Failed;
    const PackScr pack = Mpeg1PackScr(b.subspan(at, kPackHeader));
    if (AtClusterBoundary(c, length)) {
      // Where a fragment may break off, a pack whose clock cannot be read
      // (a marker bit clear) cannot show that the stream goes on.
      if (!pack.valid) return Walk::Ended;
      const int64_t scr = static_cast<int64_t>(pack.scr);
      if (scr <= lastClock || scr - lastClock > kLargestClockStep) return Walk::Ended;
    }
    if (pack.valid) lastClock = static_cast<int64_t>(pack.scr);
    pos += kPackHeader;
    length += kPackHeader;
    // The units up to the next pack header.
    while (true) {
      if (c.Collected < pos + kPackHeader && !ReadUntil(c, pos + kPackHeader)) return Walk::Ended;
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

// Walks the packets from the fourth; length ends as the stream's length.
void WalkTransportStream(CarveContext& c, uint64_t& length) {
  uint32_t lastPrefix = BE32(c.Data(), 2 * kPacket);
  uint64_t pos = kFirstWalkedPacket;
  length = kFirstWalkedPacket;
  while (true) {
    if (c.Collected < pos + kPacket && !ReadUntil(c, pos + kPacket)) return;
    const Bytes b = c.Data();
    const size_t at = static_cast<size_t>(pos);
    if (U8(b, at + 4) != kSync) return;
    const uint32_t prefix = BE32(b, at);
    if (AtClusterBoundary(c, length) &&
        ((prefix - lastPrefix) & kArrivalTimeMask) > kLargestArrivalStep)
      return;
    lastPrefix = prefix;
    pos += kPacket;
    length += kPacket;
    if (pos > kCompactAbove) {
      std::memmove(c.Buffer.data() + kCompactDrop, c.Buffer.data() + kCompactAbove,
                   static_cast<size_t>(c.Collected - kCompactAbove));
      pos -= kCompactDrop;
      c.Collected -= kCompactDrop;
      ShowCarveProgress(c);
    }
  }
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

}  // namespace tarnwick
