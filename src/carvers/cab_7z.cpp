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
constexpr int kSlotSector = 41;

// Claims the next sector nobody has claimed, without reading it. False when
// no such sector is left in the scan range.
bool ClaimUnread(CarveContext& c) {
  Session& s = c.S;
  if (s.LastScanSector < 0) return false;
  const uint64_t last = static_cast<uint64_t>(s.LastScanSector);
  c.CurrentSector = c.ReadPos / c.Bps;
  while (c.CurrentSector <= last && s.Map.IsSectorMarked(c.CurrentSector)) {
    c.ReadPos += c.Bps;
    c.CurrentSector = c.ReadPos / c.Bps;
  }
  if (c.CurrentSector > last) return false;
  c.ClaimList.push_back(c.CurrentSector);
  s.Map.MarkSector(c.CurrentSector);
  c.ReadPos += c.Bps;
  return true;
}

// Claims sectors, the start sector counted, until they hold total bytes or
// the scan range ends; either way the archive keeps what it claimed.
void ClaimTotal(CarveFrame& frame, uint64_t total) {
  CarveContext& c = frame.Ctx();
  Session& s = c.S;
  uint64_t claimed = c.Bps;
  while (claimed < total) {
    if (!ClaimUnread(c)) break;
    claimed += c.Bps;
    if (s.RefreshDue()) {
      s.UI->SetLabel(Dialog::Rescue, 3,
                     s.Text(kSlotSector) + std::to_string(c.CarveStart / c.Bps) + ", " +
                         std::to_string(c.ReadPos / c.Bps));
      s.UI->Pump();
    }
  }
  frame.Succeed();
}

}  // namespace

void CarveCab(Session& s, const std::string& /*targetFolder*/, uint64_t carveStart) {
  CarveFrame frame(s, carveStart);
  if (!frame.Begin()) return;
  Bytes head = frame.Ctx().Data();
  if (!BytesEqual(head, 0, "MSCF")) return;
  ClaimTotal(frame, LE32(head, 8));
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
  ClaimTotal(frame, total);
}

}  // namespace tarnwick
