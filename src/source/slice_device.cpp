#include "source/slice_device.h"

#include <algorithm>

namespace tarnwick {

namespace {

// The slice is cut to what the device holds, so that no read can wrap or
// reach past its end.
uint64_t ClampLength(const SourceDevice& d, uint64_t offset, uint64_t length) {
  const uint64_t size = d.Size();
  if (offset >= size) return 0;
  return std::min(length, size - offset);
}

}  // namespace

SliceDevice::SliceDevice(std::unique_ptr<SourceDevice> inner, uint64_t offset, uint64_t length)
    : owned_(std::move(inner)),
      inner_(owned_.get()),
      offset_(offset),
      length_(ClampLength(*inner_, offset, length)) {}

SliceDevice::SliceDevice(SourceDevice& inner, uint64_t offset, uint64_t length)
    : inner_(&inner), offset_(offset), length_(ClampLength(inner, offset, length)) {}

int64_t SliceDevice::ReadAt(uint64_t offset, std::span<uint8_t> out) {
  std::fill(out.begin(), out.end(), uint8_t{0});
  if (offset >= length_) return 0;
  const uint64_t n = std::min<uint64_t>(out.size(), length_ - offset);
  return inner_->ReadAt(offset_ + offset, out.first(static_cast<size_t>(n)));
}

ByteSpan SliceDevice::NextData(uint64_t offset) const {
  if (offset >= length_) return {length_, length_};
  const ByteSpan inner = inner_->NextData(offset_ + offset);
  auto local = [&](uint64_t at) {
    return std::clamp(at, offset_ + offset, offset_ + length_) - offset_;
  };
  return {local(inner.Begin), std::max(local(inner.Begin), local(inner.End))};
}

}  // namespace tarnwick
