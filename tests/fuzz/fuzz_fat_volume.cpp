// A hostile FAT volume: its directory tree and deleted entries, then each
// of its first sectors read as a loose directory sector under the geometry
// its boot sector gives, under a half-known one and under none.
#include "filesystems/fat_volume.h"
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
  const auto records = ReadFatFiles(reader, 0, error);
  if (records) {
    for (const FileRecord& r : *records) {
      uint64_t covered = 0;
      for (const FileRun& run : r.Runs) covered += run.Sectors;
      if (r.LayoutKnown && covered * 512 < r.Size) __builtin_trap();
    }
  }
  FatClusterLayout known;
  if (auto layout = ReadFatClusterLayout(reader, 0, error)) known = *layout;
  FatClusterLayout half;
  half.SectorsPerCluster = known.SectorsPerCluster == 0 ? 4 : known.SectorsPerCluster;
  for (uint64_t s = 0; s < std::min<uint64_t>(sectors, 64); ++s) {
    ReadLooseFatDirectorySector(reader, s, known);
    ReadLooseFatDirectorySector(reader, s, half);
    ReadLooseFatDirectorySector(reader, s, FatClusterLayout{});
  }
  return 0;
}
