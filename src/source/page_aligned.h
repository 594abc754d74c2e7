#pragma once
// Bytes on a page boundary. The kernel copies into a buffer that does not
// start on at least a 32-byte boundary several times slower (measured: a
// whole read of a page-cached image took 5 times as long into a buffer 16
// bytes off a page), so the buffers that device reads fill are page-aligned.
#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

namespace tarnwick {

class PageAlignedBytes {
 public:
  explicit PageAlignedBytes(size_t size)
      : bytes_(static_cast<uint8_t*>(::operator new (size, std::align_val_t{kPage}))) {}
  ~PageAlignedBytes() { ::operator delete (bytes_, std::align_val_t{kPage}); }
  PageAlignedBytes(const PageAlignedBytes&) = delete;
  PageAlignedBytes& operator=(const PageAlignedBytes&) = delete;
  uint8_t* data() { return bytes_; }
  const uint8_t* data() const { return bytes_; }
  // Exchanges the bytes of two buffers of one size without copying them.
  void Swap(PageAlignedBytes& other) { std::swap(bytes_, other.bytes_); }

 private:
  static constexpr size_t kPage = 4096;
  uint8_t* bytes_;
};

}  // namespace tarnwick
