// A hostile FAT volume: its directory tree and deleted entries, then each
// of its first sectors read as a loose directory sector under the geometry
// its boot sector gives, under a half-known one and under none.
#include "filesystems/fat_volume.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarnwick;
  if (size > fuzz::kMaxInput) return 0;
  fuzz::HostileVolume volume(fuzz::Sectors(data, size));
  const uint64_t sectors = volume.SectorCount;
  DeviceSectorReader& reader = volume.Reader;
  std::string error;
  if (const auto records = ReadFatFiles(reader, 0, error))
    fuzz::CheckLayoutsCoverSizes(*records);
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
