#pragma once
// A Source over a slice of another: a partition is its byte offset and
// length on the disk that holds it. Reads never leave the slice.
#include <cstdint>
#include <memory>
#include <span>

#include "source/device.h"

namespace tarnwick {

class SliceDevice final : public SourceDevice {
 public:
  // Owns the device it slices (a partition opened on its own).
  SliceDevice(std::unique_ptr<SourceDevice> inner, uint64_t offset, uint64_t length);
  // Borrows it: the device must outlive the slice (a look inside a
  // partition while the whole disk stays open).
  SliceDevice(SourceDevice& inner, uint64_t offset, uint64_t length);

  uint64_t Size() const override { return length_; }
  uint32_t SectorSize() const override { return inner_->SectorSize(); }
  // Bytes beyond the slice are not delivered (they read as zero), as at the
  // end of any device.
  int64_t ReadAt(uint64_t offset, std::span<uint8_t> out) override;
  ByteSpan NextData(uint64_t offset) const override;

  uint64_t Offset() const { return offset_; }
  SourceDevice& Inner() const { return *inner_; }

 private:
  std::unique_ptr<SourceDevice> owned_;
  SourceDevice* inner_;
  uint64_t offset_;
  uint64_t length_;
};

}  // namespace tarnwick
