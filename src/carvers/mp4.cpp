#include "carvers/mp4.h"

#include <array>
#include <string_view>

#include "carvers/chunk_walk.h"
#include "carvers/framework.h"
#include "source/bytes.h"

namespace tarnwick {

namespace {

constexpr size_t kBoxHeader = 8;
constexpr uint32_t kSmallFirstBox = 256;
constexpr uint32_t kTopBit = 0x80000000u;
// "ftyp" counts only as the first box.
constexpr std::array<std::string_view, 7> kPassedTypes = {"isom", "free", "uuid", "mdat",
                                                          "moov", "wide", "skip"};

bool IsPassedType(Bytes b, size_t pos) {
  for (std::string_view type : kPassedTypes) {
    if (BytesEqual(b, pos, type)) return true;
  }
  return false;
}

bool HeaderMatches(Bytes b) {
  if (BytesEqual(b, 4, "mdat")) return true;
  return U8(b, 0) == 0 && U8(b, 1) == 0 && BytesEqual(b, 4, "ftyp");
}

// Passes the box of `size` bytes at pos; false when the carve fails.
bool PassBox(CarveContext& c, uint64_t& pos, uint32_t size, uint64_t& fileBytes) {
  uint32_t remaining = size;
  if (!PassRecord(c, pos, remaining, fileBytes)) return false;
  pos += remaining;
  fileBytes += remaining;
  CompactBuffer(c, pos);
  return true;
}

// The box walk; false when the carve fails. On success fileBytes is the
// file's length. Only the 32-bit size is read: a box of size 1 (its real
// size in 64 bits after the type) counts as one byte, so the next header is
// read out of place and the walk ends there.
bool WalkBoxes(CarveContext& c, uint64_t& fileBytes) {
  const uint32_t first = BE32(c.Data(), 0);
  if (first & kTopBit) return false;
  uint64_t pos = 0;
  fileBytes = 0;
  if (first < kSmallFirstBox) {
    pos = first;  // inside the start sector, which is collected already
    fileBytes = first;
  } else if (!PassBox(c, pos, first, fileBytes)) {
    return false;
  }
  while (true) {
    if (c.Collected < pos + kBoxHeader && !ReadUntil(c, pos + kBoxHeader)) return false;
    const size_t at = static_cast<size_t>(pos);
    const uint32_t size = BE32(c.Data(), at);
    if (size == 0 || !IsPassedType(c.Data(), at + 4)) return true;
    if (!PassBox(c, pos, size, fileBytes)) return false;
  }
}

}  // namespace

void CarveMp4(Session& s, const std::string& /*targetFolder*/, uint64_t carveStart) {
  CarveFrame frame(s, carveStart);
  if (!frame.Begin()) return;
  CarveContext& c = frame.Ctx();
  if (!HeaderMatches(c.Data())) return;
  uint64_t fileBytes = 0;
  if (!WalkBoxes(c, fileBytes)) return;
  // A file that passed no byte at all holds nothing to claim.
  if (fileBytes == 0) return;
  GiveBackSurplus(c, fileBytes);
  frame.Succeed();
}

}  // namespace tarnwick
