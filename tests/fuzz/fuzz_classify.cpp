// The classifier over one hostile sector, at both sector sizes.
#include <span>

#include "scan/classify.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarnwick;
  for (uint32_t bps : {512u, 4096u}) {
    std::vector<uint8_t> block(data, data + std::min<size_t>(size, bps));
    block.resize(bps, 0);
    (void)Classify(std::span<const uint8_t>(block), bps);
  }
  return 0;
}
