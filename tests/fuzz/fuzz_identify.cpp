// Identification of a hostile volume, then its free-space map.
#include "scan/session_source.h"
#include "tests/fuzz/fuzz_support.h"
#include "volume/freespace.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarnwick;
  if (size > fuzz::kMaxInput) return 0;
  Session& s = fuzz::SharedSession();
  OpenImageDevice(s, std::make_unique<MemoryDevice>(std::vector<uint8_t>(data, data + size)),
                  "fuzz.img");
  if (s.Scan.LastSector == UINT64_MAX || s.Scan.FsKind >= kFsOther) return 0;
  if (!s.Map.Allocate(s.Scan.LastSector)) return 0;
  s.Flags.SearchCancel = false;
  bool freeOnly = false;
  CollectFreeSpace(s, freeOnly);
  s.Map.Free();
  return 0;
}
