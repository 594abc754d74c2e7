// A hostile exFAT volume: its entry sets, live and deleted, and its
// directories along chains and consecutive clusters.
#include "filesystems/exfat_volume.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarnwick;
  if (size > fuzz::kMaxInput) return 0;
  std::vector<uint8_t> bytes = fuzz::Sectors(data, size);
  const uint64_t sectors = bytes.size() / 512;
  const std::set<uint64_t> bad = fuzz::BadSectors(bytes);
  FaultyDevice device(std::make_unique<MemoryDevice>(std::move(bytes)), bad);
  ReadCache cache;
  DeviceSectorReader reader(device, cache, 512, sectors);
  std::string error;
  const auto records = ReadExfatFiles(reader, 0, error);
  if (records) {
    for (const FileRecord& r : *records) {
      uint64_t covered = 0;
      for (const FileRun& run : r.Runs) covered += run.Sectors;
      if (r.LayoutKnown && covered * 512 < r.Size) __builtin_trap();
    }
  }
  return 0;
}
