#include "carvers/asf.h"

#include <array>

#include "carvers/chunk_walk.h"
#include "carvers/framework.h"
#include "source/bytes.h"

namespace tarnwick {

namespace {

// GUIDs in their stored byte order. Each pattern ends with the first zero
// byte of the GUID; the bytes after it are not compared.
constexpr std::array<uint8_t, 16> kFilePropertiesGuid = {
    0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11, 0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
// The header object, from byte 0.
constexpr std::array<uint8_t, 11> kHeaderObject = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66,
                                                   0xCF, 0x11, 0xA6, 0xD9, 0x00};
// The two GUID families of the later top-level objects, from byte 1.
constexpr std::array<uint8_t, 10> kObjectFamily75B226 = {0x26, 0xB2, 0x75, 0x8E, 0x66,
                                                         0xCF, 0x11, 0xA6, 0xD9, 0x00};
constexpr std::array<uint8_t, 10> kObjectFamilyD2D0A4 = {0xA4, 0xD0, 0xD2, 0x07, 0xE3,
                                                         0xD2, 0x11, 0x97, 0xF0, 0x00};
// The data object's first GUID byte: the walk ends after that object.
constexpr uint8_t kDataObjectFirstByte = 0x36;

constexpr size_t kFilePropertiesAt = 30;
constexpr size_t kFileSizeAt = 70;
constexpr size_t kObjectHeader = 24;
constexpr uint64_t kLargestFile = 5ull << 32;  // 20 GiB

// Walks the objects from the header object on; true once the data object
// has been passed whole.
bool WalkObjects(CarveContext& c) {
  uint64_t pos = 0;
  bool first = true;
  while (true) {
    if (!ReadUntil(c, pos + kObjectHeader)) return false;
    const Bytes b = c.Data();
    const size_t at = static_cast<size_t>(pos);
    // The first object was checked by the caller. A flag rather than pos = 0
    // tells it apart: compaction can bring a later object to position 0.
    if (!first && !BytesEqual(b, at + 1, Bytes(kObjectFamily75B226)) &&
        !BytesEqual(b, at + 1, Bytes(kObjectFamilyD2D0A4)))
      return false;
    first = false;
    const uint8_t guidFirstByte = U8(b, at);
    uint64_t size = LE64(b, at + 16);
    if (size <= kObjectHeader || size > kLargestFile) return false;
    uint64_t passedUnread = 0;
    if (!PassRecord(c, pos, size, passedUnread)) return false;
    pos += size;
    CompactBuffer(c, pos);
    if (guidFirstByte == kDataObjectFirstByte) return true;
  }
}

}  // namespace

void CarveAsf(Session& s, const std::string& /*targetFolder*/, uint64_t carveStart) {
  CarveFrame frame(s, carveStart);
  if (!frame.Begin()) return;
  CarveContext& c = frame.Ctx();
  if (!BytesEqual(c.Data(), kFilePropertiesAt, Bytes(kFilePropertiesGuid))) return;
  const uint64_t fileSize = LE64(c.Data(), kFileSizeAt);
  if (fileSize > kLargestFile) return;
  ClaimUnreadUpTo(c, fileSize);
  frame.Succeed();
}

void CarveAsfObjectWalk(Session& s, const std::string& /*targetFolder*/, uint64_t carveStart) {
  CarveFrame frame(s, carveStart);
  if (!frame.Begin()) return;
  CarveContext& c = frame.Ctx();
  if (!BytesEqual(c.Data(), 0, Bytes(kHeaderObject))) return;
  // Nothing is given back: a sector collected past the data object's end
  // stays claimed.
  if (WalkObjects(c)) frame.Succeed();
}

}  // namespace tarnwick
