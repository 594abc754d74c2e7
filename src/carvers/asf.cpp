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
// The index objects that may follow the data object, whole.
constexpr std::array<std::array<uint8_t, 16>, 4> kIndexObjects = {{
    // simple index 33000890-E5B1-11CF-89F4-00A0C90349CB
    {0x90, 0x08, 0x00, 0x33, 0xB1, 0xE5, 0xCF, 0x11, 0x89, 0xF4, 0x00, 0xA0, 0xC9, 0x03, 0x49,
     0xCB},
    // index D6E229D3-35DA-11D1-9034-00A0C90349BE
    {0xD3, 0x29, 0xE2, 0xD6, 0xDA, 0x35, 0xD1, 0x11, 0x90, 0x34, 0x00, 0xA0, 0xC9, 0x03, 0x49,
     0xBE},
    // media object index FEB103F8-12AD-4C64-840F-2A1D2F7AD48C
    {0xF8, 0x03, 0xB1, 0xFE, 0xAD, 0x12, 0x64, 0x4C, 0x84, 0x0F, 0x2A, 0x1D, 0x2F, 0x7A, 0xD4,
     0x8C},
    // timecode index 3CB73FD0-0C4A-4803-953D-EDF7B6228F0C
    {0xD0, 0x3F, 0xB7, 0x3C, 0x4A, 0x0C, 0x03, 0x48, 0x95, 0x3D, 0xED, 0xF7, 0xB6, 0x22, 0x8F,
     0x0C},
}};

constexpr size_t kFilePropertiesAt = 30;
constexpr size_t kFileSizeAt = 70;
constexpr size_t kObjectHeader = 24;
constexpr uint64_t kLargestFile = 5ull << 32;  // 20 GiB

bool IsIndexObject(Bytes b, size_t at) {
  for (const auto& guid : kIndexObjects)
    if (BytesEqual(b, at, Bytes(guid))) return true;
  return false;
}

// Passes the object of `size` bytes at pos; pos and length move past it.
bool PassObject(CarveContext& c, uint64_t& pos, uint64_t& length, uint64_t size) {
  uint64_t rest = size;
  uint64_t passedUnread = 0;
  if (!PassRecord(c, pos, rest, passedUnread)) return false;
  pos += rest;
  length += size;
  CompactBuffer(c, pos);
  return true;
}

// Walks the objects from the header object on, through the data object and
// the index objects behind it; length ends as the file's length. False
// when the walk does not pass the data object whole.
bool WalkObjects(CarveContext& c, uint64_t& length) {
  uint64_t pos = 0;
  length = 0;
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
    const uint64_t size = LE64(b, at + 16);
    if (size <= kObjectHeader || size > kLargestFile) return false;
    if (!PassObject(c, pos, length, size)) return false;
    if (guidFirstByte == kDataObjectFirstByte) break;
  }
  // The index objects: what does not read as one is not part of the file.
  while (ReadUntil(c, pos + kObjectHeader)) {
    const Bytes b = c.Data();
    const size_t at = static_cast<size_t>(pos);
    const uint64_t size = LE64(b, at + 16);
    if (!IsIndexObject(b, at) || size <= kObjectHeader || size > kLargestFile - length) break;
    if (!PassObject(c, pos, length, size)) break;
  }
  return true;
}

// Walks the objects and keeps the sectors of the file they make up.
void ClaimWalkedObjects(CarveFrame& frame) {
  CarveContext& c = frame.Ctx();
  uint64_t length = 0;
  if (!WalkObjects(c, length)) return;
  GiveBackSurplus(c, length);
  frame.Succeed();
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
  if (!BytesEqual(frame.Ctx().Data(), 0, Bytes(kHeaderObject))) return;
  ClaimWalkedObjects(frame);
}

}  // namespace tarnwick
