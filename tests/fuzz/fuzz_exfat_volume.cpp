// A hostile exFAT volume: its entry sets, live and deleted, and its
// directories along chains and consecutive clusters.
#include "filesystems/exfat_volume.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarnwick;
  if (size > fuzz::kMaxInput) return 0;
  fuzz::HostileVolume volume(fuzz::Sectors(data, size));
  std::string error;
  if (const auto records = ReadExfatFiles(volume.Reader, 0, error))
    fuzz::CheckLayoutsCoverSizes(*records);
  return 0;
}
