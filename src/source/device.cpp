#include "source/device.h"

#include <algorithm>
#include <cstring>

namespace tarnwick {

int64_t MemoryDevice::ReadAt(uint64_t offset, std::span<uint8_t> out) {
  ++reads_;
  size_t n = 0;
  if (offset < bytes_.size()) {
    n = static_cast<size_t>(std::min<uint64_t>(out.size(), bytes_.size() - offset));
    std::memcpy(out.data(), bytes_.data() + offset, n);
  }
  std::fill(out.begin() + static_cast<std::ptrdiff_t>(n), out.end(), uint8_t{0});
  return static_cast<int64_t>(n);
}

int64_t FaultyDevice::ReadAt(uint64_t offset, std::span<uint8_t> out) {
  bool fail = reads_++ >= dieAt_;
  dead_ = dead_ || fail;
  if (!out.empty()) {
    uint64_t first = offset / unit_;
    uint64_t last = (offset + out.size() - 1) / unit_;
    for (auto it = bad_.lower_bound(first); it != bad_.end() && *it <= last; ++it) {
      ++asks_[*it];
      fail = true;
    }
  }
  if (fail) {
    ++failed_;
    std::fill(out.begin(), out.end(), uint8_t{0});
    return -1;
  }
  return inner_->ReadAt(offset, out);
}

}  // namespace tarnwick
