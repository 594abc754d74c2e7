// The compound-file check over hostile bytes (where the compound module is
// part of the build).
#include <cstddef>
#include <cstdint>
#include <span>

#if __has_include("compound/compound_file.h")
#include "compound/compound_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarnwick;
  if (size > (4u << 20)) return 0;
  CompoundCheck check = CheckCompoundFile(std::span<const uint8_t>(data, size));
  (void)HasQQNames(check);
  return 0;
}
#endif
