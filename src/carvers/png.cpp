#include "carvers/png.h"

#include <zlib.h>

#include <algorithm>
#include <array>

#include "carvers/chunk_walk.h"
#include "carvers/framework.h"
#include "source/bytes.h"

namespace tarnwick {

namespace {

constexpr std::array<uint8_t, 8> kSignature = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr uint64_t kChunkHeader = 8;
constexpr uint64_t kCrcSize = 4;
constexpr uint32_t kLargestChunk = 0x7FFFFFFF;  // chunk lengths have 31 bits
constexpr uint32_t kHeaderChunkLength = 13;
constexpr uint64_t kLargestPng = 104'857'600;  // 100 MiB
// A chunk found again after an unreadable header is checked by its CRC, so
// it is read whole: one longer than this is not taken.
constexpr uint32_t kLongestCheckedChunk = 1'048'576;

bool IsLetter(uint8_t b) { return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z'); }

bool IsChunkType(Bytes b, size_t at) {
  for (size_t i = 0; i < 4; ++i) {
    if (!IsLetter(U8(b, at + i))) return false;
  }
  return true;
}

uint32_t CrcUpdate(uint32_t crc, Bytes b, uint64_t at, uint64_t count) {
  return static_cast<uint32_t>(
      crc32(crc, b.data() + at, static_cast<uInt>(count)));  // callers pass at most a sector
}

// Runs the CRC over `length` bytes from buffer position pos, fetching the
// sectors they lie in one by one; the bytes already passed are dropped from
// the buffer now and then, so a long chunk never sits in memory whole.
bool CrcOver(CarveContext& c, uint64_t& pos, uint64_t length, uint32_t& crc) {
  while (length > 0) {
    if (c.Collected <= pos && !FetchSector(c)) return false;
    const uint64_t n = std::min<uint64_t>({length, c.Collected - pos, c.Bps});
    crc = CrcUpdate(crc, c.Data(), pos, n);
    pos += n;
    length -= n;
    CompactBuffer(c, pos);
  }
  return true;
}

// True when the chunk of `length` bytes at buffer position q was read whole
// and its CRC matches.
bool ChunkHolds(CarveContext& c, uint64_t q, uint32_t length) {
  const uint64_t end = q + kChunkHeader + length + kCrcSize;
  if (!ReadUntil(c, end) || HoldsUnreadable(c, q, end - q)) return false;
  const Bytes d = c.Data();
  const uint32_t crc = static_cast<uint32_t>(
      crc32(0, d.data() + q + 4, static_cast<uInt>(4 + length)));  // bounded above
  return BE32(d, static_cast<size_t>(end - kCrcSize)) == crc;
}

// The header of the chunk at pos could not be read: neither its length nor
// its type is known. The next chunk is looked for byte by byte after it, no
// further than the longest chunk met so far (or 1 MiB) would reach, and
// taken when its CRC checks out. Another picture's signature or header
// chunk ends the search. On success pos lies on that chunk and fileBytes
// counts up to it.
bool FindChunkAgain(CarveContext& c, uint64_t& pos, uint64_t& fileBytes, uint64_t longest) {
  const uint64_t lostAt = c.Dropped + pos;
  const uint64_t reach =
      kChunkHeader + std::max<uint64_t>(longest, kLongestCheckedChunk) + kCrcSize;
  for (uint64_t q = pos + kChunkHeader + kCrcSize;; ++q) {
    CompactBuffer(c, q);
    const uint64_t distance = c.Dropped + q - lostAt;
    if (distance > reach || fileBytes + distance > kLargestPng) return false;
    if (!ReadUntil(c, q + kChunkHeader)) return false;
    if (HoldsUnreadable(c, q, kChunkHeader)) continue;
    const Bytes d = c.Data();
    const size_t at = static_cast<size_t>(q);
    if (BytesEqual(d, at, Bytes(kSignature)) || BytesEqual(d, at + 4, "IHDR")) return false;
    const uint32_t length = BE32(d, at);
    if (!IsChunkType(d, at + 4) || length > kLongestCheckedChunk) continue;
    if (ChunkHolds(c, q, length)) {
      fileBytes += distance;
      pos = q;
      return true;
    }
  }
}

// The chunk walk: length, type, data and CRC, chunk after chunk to IEND.
// pos indexes the buffer, whose front is dropped as the walk goes on;
// fileBytes counts the file's bytes passed.
bool WalkChunks(CarveContext& c) {
  if (!BytesEqual(c.Data(), 0, Bytes(kSignature))) return false;
  uint64_t pos = kSignature.size();
  uint64_t fileBytes = kSignature.size();
  bool first = true;
  uint64_t longest = 0;
  bool foundAgain = false;
  while (true) {
    if (!ReadUntil(c, pos + kChunkHeader)) return false;
    if (!first && HoldsUnreadable(c, pos, kChunkHeader)) {
      if (!FindChunkAgain(c, pos, fileBytes, longest)) return false;
      foundAgain = true;
      continue;
    }
    const Bytes head = c.Data();
    const uint32_t length = BE32(head, pos);
    if (length > kLargestChunk || !IsChunkType(head, pos + 4)) return false;
    const bool isHeader = BytesEqual(head, pos + 4, "IHDR");
    const bool isEnd = BytesEqual(head, pos + 4, "IEND");
    // A picture starts with its header; the end chunk is empty.
    if (first && (!isHeader || length != kHeaderChunkLength)) return false;
    if (isEnd && length != 0) return false;
    first = false;
    longest = std::max<uint64_t>(longest, length);
    fileBytes += kChunkHeader + length + kCrcSize;
    if (fileBytes > kLargestPng) return false;
    uint32_t crc = CrcUpdate(0, head, pos + 4, 4);
    const uint64_t chunkStart = c.Dropped + pos;
    pos += kChunkHeader;
    if (!CrcOver(c, pos, length, crc)) return false;
    if (!ReadUntil(c, pos + kCrcSize)) return false;
    // A chunk the Source could not read whole cannot be judged by its CRC.
    if (BE32(c.Data(), pos) != crc && !ZeroedBetween(c, chunkStart, c.Dropped + pos + kCrcSize))
      return false;
    pos += kCrcSize;
    if (isEnd) {
      // Chunks tried and refused on the way may have been read past the end.
      if (foundAgain) GiveBackSurplus(c, fileBytes);
      return true;
    }
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
