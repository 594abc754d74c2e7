// The whole deep scan over a hostile image on a failing device. The first
// four bytes name two sectors whose reads fail (0xFFFF: none); the rest is
// the image.
#include <set>

#include "scan/deep_scan.h"
#include "scan/session_source.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarnwick;
  if (size < 4 || size > fuzz::kMaxInput) return 0;
  std::set<uint64_t> bad;
  for (int k = 0; k < 2; ++k) {
    const uint32_t sector = data[2 * k] | uint32_t{data[2 * k + 1]} << 8;
    if (sector != 0xFFFF) bad.insert(sector);
  }
  Session& s = fuzz::SharedSession();
  s.TypeMask = kTypeMaskQQ | kTypeMaskJpeg;
  auto device = std::make_unique<FaultyDevice>(
      std::make_unique<MemoryDevice>(std::vector<uint8_t>(data + 4, data + size)), bad);
  OpenOutcome opened = OpenImageDevice(s, std::move(device), "fuzz.img");
  if (s.Scan.LastSector == UINT64_MAX) return 0;
  RescueBoxes boxes;
  boxes.Reason = opened.ReasonIndex;
  boxes.Fs = opened.FsIndex;
  boxes.Cluster = opened.ClusterIndex;
  boxes.FsEnabled = opened.FsBoxesEnabled;
  ScanRequest request;
  request.NeedFolder = false;  // carve everything, write nothing
  request.FirstText = "0";
  request.LastText = std::to_string(s.Scan.LastSector);
  request.FreeOnly = opened.FreeOnlyEnabled;
  ScanOutcome out = SearchPhase(s, boxes, request);
  if (out.ErrorSlot == 0) RescuePhase(s, out);
  return 0;
}
