#include "carvers/mp3.h"

#include <algorithm>

#include "carvers/chunk_walk.h"
#include "carvers/framework.h"
#include "scan/classify.h"
#include "source/bytes.h"

namespace tarnwick {

namespace {

constexpr size_t kId3v2Header = 10;
constexpr size_t kId3v2Footer = 10;
constexpr int kMostLeadingTags = 8;
constexpr uint64_t kFewestFrames = 4;
constexpr size_t kApeHeader = 32;
constexpr uint32_t kApeHasHeader = 0x80000000;
constexpr uint32_t kApeIsHeader = 0x20000000;
constexpr uint32_t kLargestApeTag = 16u << 20;
constexpr uint64_t kId3v1 = 128;
// The longest frame: layer II at 160 kbit/s and 8 kHz, with its padding byte.
constexpr uint64_t kLongestFrame = 2881;

// The length of the ID3v2 tag at `at`, footer included; 0 when none is there.
uint64_t Id3v2Length(Bytes b, size_t at) {
  if (!BytesEqual(b, at, "ID3")) return 0;
  const uint8_t version = U8(b, at + 3);
  const uint8_t flags = U8(b, at + 5);
  if (version < 2 || version > 4 || U8(b, at + 4) == 0xFF) return 0;
  const uint8_t undefinedFlags = version == 2 ? 0x3F : version == 3 ? 0x1F : 0x0F;
  if ((flags & undefinedFlags) != 0) return 0;
  uint64_t size = 0;
  for (size_t i = 6; i < 10; ++i) {
    const uint8_t v = U8(b, at + i);
    if (v & 0x80) return 0;  // sizes are stored in 7-bit bytes
    size = (size << 7) | v;
  }
  // The size counts the tag as stored, unsynchronised or not; a version 4
  // tag may end with a 10-byte footer that it does not count.
  const bool footer = version == 4 && (flags & 0x10) != 0;
  return kId3v2Header + size + (footer ? kId3v2Footer : 0);
}

// The length of an APE tag that starts with its header at `at`; 0 otherwise.
// A tag with only a footer cannot be told from the frames' side.
uint64_t ApeTagLength(Bytes b, size_t at) {
  if (!BytesEqual(b, at, "APETAGEX")) return 0;
  const uint32_t version = LE32(b, at + 8);
  const uint32_t size = LE32(b, at + 12);  // items and footer, not the header
  const uint32_t flags = LE32(b, at + 20);
  if (version != 1000 && version != 2000) return 0;
  if ((flags & (kApeHasHeader | kApeIsHeader)) != (kApeHasHeader | kApeIsHeader)) return 0;
  if (size < kApeHeader || size > kLargestApeTag) return 0;
  return kApeHeader + size;
}

// MPEG audio frames are also the payload of program streams (DVD, .mpg)
// and of AVI audio chunks, in runs that a sector may start. Such a run ends
// where the container's next header cuts into its last frame or follows it:
// a start code of a pack or stream (00 00 01 B9 .. FF), or a chunk ID of
// an AVI stream ("01wb", "00dc", ...). A file's own last frame holds one
// by chance in some millions.
bool InsideContainer(Bytes b, uint64_t from, uint64_t to) {
  const size_t end = static_cast<size_t>(std::min<uint64_t>(to + 4, b.size()));
  for (size_t i = static_cast<size_t>(from); i + 4 <= end; ++i) {
    if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1 && b[i + 3] >= 0xB9) return true;
    const bool digits = b[i] >= '0' && b[i] <= '9' && b[i + 1] >= '0' && b[i + 1] <= '9';
    if (digits &&
        (BytesEqual(b, i + 2, "wb") || BytesEqual(b, i + 2, "dc") || BytesEqual(b, i + 2, "db")))
      return true;
  }
  return false;
}

// Passes a record of `size` bytes at pos; length and pos move past it.
bool PassWhole(CarveContext& c, uint64_t& pos, uint64_t& length, uint64_t size) {
  uint64_t passedUnread = 0;
  uint64_t rest = size;
  const bool passed = PassRecord(c, pos, rest, passedUnread);
  if (!passed) return false;
  pos += rest;
  length += size;
  return true;
}

// True when a tag begins at p.
bool EndsAtTag(CarveContext& c, uint64_t p) {
  if (!ReadUntil(c, p + 8) || HoldsUnreadable(c, p, 8)) return false;
  return BytesEqual(c.Data(), static_cast<size_t>(p), "TAG") ||
         BytesEqual(c.Data(), static_cast<size_t>(p), "APETAGEX");
}

// True when frames of the stream follow one another from q: two of them at
// least (the second header where the first frame's length puts it), or one
// that ends where a tag begins. Every header must have been read.
bool FramesFollow(CarveContext& c, uint64_t q, const MpegAudioFrame& first) {
  uint64_t p = q;
  for (uint64_t n = 0; n < 2; ++n) {
    if (!ReadUntil(c, p + 4) || HoldsUnreadable(c, p, 4)) return n > 0 && EndsAtTag(c, p);
    const MpegAudioFrame f = ReadMpegAudioFrame(c.Data(), static_cast<size_t>(p));
    if (!first.SameStream(f)) return n > 0 && EndsAtTag(c, p);
    p += f.length;
  }
  return true;
}

// The frame header at pos could not be read. The first frame that starts
// after the unreadable stretch does so within one frame's length of its
// end: the earliest place there from which frames of the stream follow is
// taken, and the bytes up to it counted as the frames the stretch hid.
bool FindFramesAgain(CarveContext& c, uint64_t& pos, uint64_t& length,
                     const MpegAudioFrame& first) {
  uint64_t end = 0;
  if (!PastUnreadable(c, pos, end)) return false;
  for (uint64_t q = end; q < end + kLongestFrame; ++q) {
    if (FramesFollow(c, q, first)) {
      length += q - pos;
      pos = q;
      return true;
    }
  }
  return false;
}

// Walks the file; length ends as its length in bytes. False when the walk
// found no file there.
bool WalkMp3(CarveContext& c, uint64_t& length) {
  uint64_t pos = 0;
  length = 0;
  for (int tags = 0; tags < kMostLeadingTags; ++tags) {
    if (!ReadUntil(c, pos + kId3v2Header)) return false;
    const uint64_t tag = Id3v2Length(c.Data(), static_cast<size_t>(pos));
    if (tag == 0) break;
    if (!PassWhole(c, pos, length, tag)) return false;
    CompactBuffer(c, pos);
  }
  MpegAudioFrame first;
  uint64_t frames = 0;
  uint64_t lastFrame = pos;  // kept in the buffer until the next header is judged
  while (ReadUntil(c, pos + 4)) {
    const MpegAudioFrame f = ReadMpegAudioFrame(c.Data(), static_cast<size_t>(pos));
    if (frames == 0) first = f;
    if (!first.SameStream(f)) {
      if (frames == 0 || !HoldsUnreadable(c, pos, 4)) break;
      if (!FindFramesAgain(c, pos, length, first)) break;
      continue;
    }
    ++frames;
    CompactBuffer(c, pos);  // drops whole sectors before this frame only
    lastFrame = pos;
    length += f.length;
    pos += f.length;
    // The frame's own bytes: a file cut short by the end of the range ends
    // with what could be read.
    if (!ReadUntil(c, pos)) break;
  }
  if (frames < kFewestFrames) return false;
  if (InsideContainer(c.Data(), lastFrame, pos)) return false;
  if (frames < kFewestFrames) return false;
  // The tags a file may end with, in the order they are written.
  if (ReadUntil(c, pos + kApeHeader)) {
    const uint64_t ape = ApeTagLength(c.Data(), static_cast<size_t>(pos));
    if (ape != 0 && !PassWhole(c, pos, length, ape)) return true;
  }
  if (ReadUntil(c, pos + 3) && BytesEqual(c.Data(), static_cast<size_t>(pos), "TAG"))
    length += kId3v1;
  return true;
}

}  // namespace

void CarveMp3(Session& s, const std::string& /*targetFolder*/, uint64_t carveStart) {
  CarveFrame frame(s, carveStart);
  if (!frame.Begin()) return;
  CarveContext& c = frame.Ctx();
  uint64_t length = 0;
  if (!WalkMp3(c, length)) return;
  // An ID3v1 tag is counted from its first three bytes: the sector holding
  // its end may not have been claimed yet.
  const uint64_t sectors = (length + c.Bps - 1) / c.Bps;
  while (c.ClaimList.size() < sectors && ClaimUnreadSector(c)) {
  }
  GiveBackSurplus(c, length);
  frame.Succeed();
}

}  // namespace tarnwick
