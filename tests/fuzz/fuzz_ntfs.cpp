// The NTFS reader over hostile volumes: the first byte picks the geometry,
// the rest is the MFT as it lies on the volume (record 0 says where the rest
// of it is, truly or not). Its records are read once as the volume's MFT and
// once as loose records found by a search. Loops in parent chains and
// attribute lists, run lists past the volume and torn records must neither
// hang nor read out of bounds.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "filesystems/ntfs_record.h"
#include "filesystems/ntfs_volume.h"
#include "filesystems/sector_reader.h"

namespace {

class BufferReader final : public tarnwick::SectorReader {
 public:
  explicit BufferReader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  uint32_t SectorSize() const override { return 512; }
  uint64_t SectorCount() const override { return bytes_.size() / 512; }
  bool Read(uint64_t sector, std::span<uint8_t> out) override {
    std::fill(out.begin(), out.end(), uint8_t{0});
    if (sector >= SectorCount()) return out.empty();
    const size_t n = std::min<size_t>(out.size(), bytes_.size() - sector * 512);
    std::memcpy(out.data(), bytes_.data() + sector * 512, n);
    return n == out.size();
  }

 private:
  const std::vector<uint8_t>& bytes_;
};

void Put(std::vector<uint8_t>& b, size_t at, uint64_t v, size_t n) {
  for (size_t i = 0; i < n; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarnwick;
  if (size < 2 || size > (1u << 20)) return 0;
  const uint8_t choice = data[0];
  const uint32_t clusterBytes = 512u << (choice & 3);  // 512 B to 4 KiB
  const bool bigRecords = (choice & 4) != 0;
  // The boot sector, then the MFT from the second cluster on, then room. A
  // real MFT's record 0 names its own place: the bytes go there too.
  uint64_t named = 0;
  {
    std::vector<uint8_t> first(data + 1, data + std::min<size_t>(size, 1 + (bigRecords ? 4096 : 1024)));
    first.resize(bigRecords ? 4096 : 1024, 0);
    NtfsRecord zero = ParseNtfsRecord(first);
    if (!zero.DataPieces.empty() && !zero.DataPieces[0].Extents.empty())
      named = zero.DataPieces[0].Extents[0].Cluster;
    if (named * clusterBytes > (8u << 20)) named = 0;
  }
  const uint64_t end = std::max<uint64_t>(1, named) * clusterBytes + (size - 1);
  const size_t volume = static_cast<size_t>((end + 65536) / clusterBytes + 1) * clusterBytes;
  std::vector<uint8_t> bytes(volume, 0);
  if (named > 1) std::memcpy(bytes.data() + named * clusterBytes, data + 1, size - 1);
  std::memcpy(bytes.data() + 3, "NTFS    ", 8);
  Put(bytes, 11, 512, 2);
  bytes[13] = static_cast<uint8_t>(clusterBytes / 512);
  Put(bytes, 40, volume / 512 - 1, 8);
  Put(bytes, 48, 1, 8);
  bytes[64] = bigRecords ? 0xF4 : 0xF6;
  std::memcpy(bytes.data() + clusterBytes, data + 1, size - 1);
  std::memcpy(bytes.data() + volume - 512, bytes.data(), 512);  // the backup

  BufferReader reader(bytes);
  std::string error;
  auto files = ReadNtfsFiles(reader, 0, reader.SectorCount() - 1, error);
  if (files) {
    for (const FileRecord& f : *files) {
      uint64_t sectors = 0;
      for (const FileRun& r : f.Runs) sectors += r.Sectors;
      if (f.LayoutKnown && sectors * 512 < f.Size) __builtin_trap();  // a layout that lies
    }
  }
  if (auto v = FindNtfsVolume(reader, 0, reader.SectorCount() - 1, error)) {
    std::vector<uint64_t> slots;
    for (uint64_t s = clusterBytes / 512; s < reader.SectorCount(); s += v->RecordBytes / 512)
      slots.push_back(s);
    (void)ReadLooseNtfsRecords(reader, *v, slots);
  }
  return 0;
}
