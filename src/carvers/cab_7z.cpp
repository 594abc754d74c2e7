#include "carvers/cab_7z.h"

#include <array>
#include <cstdint>

#include "carvers/framework.h"
#include "source/bytes.h"

namespace tarnwick {

namespace {

constexpr std::array<uint8_t, 8> k7zSignatureV03 = {0x37, 0x7A, 0xBC, 0xAF, 0x27, 0x1C, 0x00, 0x03};
constexpr uint64_t k7zSignatureHeader = 32;
constexpr uint64_t kLargest7z = 21'474'836'480;  // 20 GiB

}  // namespace

void CarveCab(Session& s, const std::string& /*targetFolder*/, uint64_t carveStart) {
  CarveFrame frame(s, carveStart);
  if (!frame.Begin()) return;
  Bytes head = frame.Ctx().Data();
  if (!BytesEqual(head, 0, "MSCF")) return;
  ClaimUnreadUpTo(frame.Ctx(), LE32(head, 8));
  frame.Succeed();
}

void Carve7z(Session& s, const std::string& /*targetFolder*/, uint64_t carveStart) {
  CarveFrame frame(s, carveStart);
  if (!frame.Begin()) return;
  Bytes head = frame.Ctx().Data();
  if (!BytesEqual(head, 0, Bytes(k7zSignatureV03))) return;
  const uint64_t offset = LE64(head, 12);
  const uint64_t size = LE64(head, 20);
  // Each part is bounded first, so the sum cannot wrap into a small total.
  if (offset > kLargest7z || size > kLargest7z) return;
  const uint64_t total = k7zSignatureHeader + offset + size;
  if (total > kLargest7z) return;
  ClaimUnreadUpTo(frame.Ctx(), total);
  frame.Succeed();
}

}  // namespace tarnwick
