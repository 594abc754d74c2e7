#include "filesystems/sector_reader.h"

#include <algorithm>

namespace tarnwick {

bool DeviceSectorReader::Read(uint64_t sector, std::span<uint8_t> out) {
  std::fill(out.begin(), out.end(), uint8_t{0});
  if (sectorSize_ == 0 || sector >= sectorCount_) return out.empty();
  const uint64_t end = sectorCount_ * sectorSize_;
  const uint64_t position = sector * sectorSize_;
  const uint64_t within = std::min<uint64_t>(out.size(), end - position);
  const uint64_t undelivered =
      ReadThroughWindow(device_, cache_, end, sectorSize_, out.data(), within, position);
  return undelivered == 0 && within == out.size();
}

}  // namespace tarnwick
