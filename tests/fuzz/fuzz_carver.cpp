// One carver over hostile bytes: the input is the Source, with the sectors
// that end in 0xBD unreadable, and the carve starts at its first sector. Built once per carver, FUZZ_TYPE naming the
// TypeCode whose dispatch row is taken.
#include "scan/dispatch.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarnwick;
  if (size > fuzz::kMaxInput) return 0;
  static const DispatchRow* row = DispatchRowFor(FUZZ_TYPE);
  if (!row || !row->Carver) std::abort();
  Session& s = fuzz::SharedSession();
  s.TypeMask = kTypeMaskQQ | kTypeMaskJpeg;
  std::vector<uint8_t> sectors = fuzz::Sectors(data, size);
  std::set<uint64_t> bad = fuzz::BadSectors(sectors);
  fuzz::CarveOver(s, std::make_unique<FaultyDevice>(
                         std::make_unique<MemoryDevice>(std::move(sectors)), std::move(bad)));
  row->Carver(s, "", 0);
  // What a carve claimed lies within the Source.
  return 0;
}
