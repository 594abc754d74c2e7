#include "carvers/riff.h"

#include <array>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string_view>

#include "carvers/chunk_walk.h"
#include "carvers/framework.h"
#include "source/bytes.h"

namespace tarnwick {

namespace {

constexpr size_t kHeader = 12;  // identifier, size, and the form type of a "RIFF"
constexpr uint64_t kBufferSlack = 1'048'576;
constexpr std::array<std::string_view, 6> kKnownChunks = {"fmt ", "idx1", "JUNK",
                                                          "LIST", "data", "anih"};

bool IsKnownChunk(Bytes b, size_t pos) {
  for (std::string_view id : kKnownChunks) {
    if (BytesEqual(b, pos, id)) return true;
  }
  return false;
}

// Where the RIFF part whose header is at `at` (at file offset `offset`) ends
// by its size field; 0 when the field holds no size (0, or all ones as a
// writer that could not go back leaves it).
uint64_t PartEnd(Bytes b, size_t at, uint64_t offset) {
  const uint32_t size = LE32(b, at + 4);
  if (size == 0 || size == UINT32_MAX) return 0;
  return offset + 8 + uint64_t{size};
}

// The chunk walk; false when the carve fails. On success fileBytes is the
// file's length.
bool WalkChunks(CarveContext& c, uint64_t& fileBytes) {
  uint64_t pos = kHeader;
  fileBytes = kHeader;
  uint64_t partEnd = PartEnd(c.Data(), 0, 0);
  while (true) {
    if (c.Collected < pos + kHeader && !ReadUntil(c, pos + kHeader)) return false;
    const size_t at = static_cast<size_t>(pos);
    if (HoldsUnreadable(c, pos, 8) && partEnd > fileBytes) {
      // The chunk's header could not be read, so neither can its size: the
      // part's own size says where the chunks inside it end.
      uint64_t rest = partEnd - fileBytes;
      if (!PassRecord(c, pos, rest, fileBytes)) return false;
      pos += rest;
      fileBytes += rest;
      CompactBuffer(c, pos);
      continue;
    }
    if (BytesEqual(c.Data(), at, "RIFF")) {  // the next part of a large AVI
      partEnd = PartEnd(c.Data(), at, fileBytes);
      pos += kHeader;
      fileBytes += kHeader;
      continue;
    }
    if (!IsKnownChunk(c.Data(), at)) return true;
    // The size counts the data only; no pad byte is added after an odd one.
    uint32_t remaining = LE32(c.Data(), at + 4) + 8u;
    if (remaining == 0) return true;
    if (!PassRecord(c, pos, remaining, fileBytes)) return false;
    pos += remaining;
    fileBytes += remaining;
    CompactBuffer(c, pos);
  }
}

}  // namespace

void CarveRiff(Session& s, const std::string& /*targetFolder*/, uint64_t carveStart) {
  CarveFrame frame(s, carveStart);
  if (!frame.Begin()) return;
  CarveContext& c = frame.Ctx();
  if (!BytesEqual(c.Data(), 0, "RIFF")) return;
  uint64_t fileBytes = 0;
  if (!WalkChunks(c, fileBytes)) return;
  GiveBackSurplus(c, fileBytes);
  frame.Succeed();
}

void CarveRiffCdr(Session& s, const std::string& targetFolder, uint64_t carveStart) {
  CarveFrame frame(s, carveStart);
  if (!frame.Begin()) return;
  CarveContext& c = frame.Ctx();
  if (!BytesEqual(c.Data(), 0, "RIFF")) return;
  const uint32_t end = LE32(c.Data(), 4) + 8u;
  // A drawing inside its start sector is not taken; one past 2 GiB cannot be
  // counted in the 32-bit collected length.
  if (end <= c.Bps || end > static_cast<uint32_t>(INT32_MAX)) return;
  try {
    // The whole file is held: ask for its memory before reading anything, so
    // that a size nobody can hold fails at once and gives its claims back. A
    // size larger than what is left of the scan range cannot be read whole.
    const uint64_t left = (static_cast<uint64_t>(c.S.LastScanSector) + 1) * c.Bps - c.CarveStart;
    if (end > left) return;
    c.Buffer.reserve(static_cast<size_t>(end + kBufferSlack));
    if (!ReadUntil32(c, static_cast<int32_t>(end))) return;
  } catch (const std::bad_alloc&) {
    return;
  } catch (const std::length_error&) {
    return;
  }
  frame.Succeed();
  if (!targetFolder.empty()) ++s.RescuedCount;
}

}  // namespace tarnwick
