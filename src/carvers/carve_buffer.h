#pragma once
// The bytes one carve collects. A carve appends sector after sector, and a
// database or a clip may grow to hundreds of megabytes, so growing must not
// cost a copy and a zero fill of everything collected so far:
//  - bytes added by resize() are not initialised (a carve writes every byte
//    below its collected length before it reads it);
//  - up to kMappedFrom the bytes live on the heap, where the many short
//    carves reuse the same memory; past it they live in their own mapping,
//    which grows by remapping its pages rather than by copying them.
#include <cstddef>
#include <cstdint>

namespace tarnwick {

class CarveBuffer {
 public:
  static constexpr size_t kMappedFrom = size_t{1} << 20;

  CarveBuffer() = default;
  ~CarveBuffer();
  CarveBuffer(const CarveBuffer&) = delete;
  CarveBuffer& operator=(const CarveBuffer&) = delete;

  uint8_t* data() { return data_; }
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  uint8_t* begin() { return data_; }
  uint8_t* end() { return data_ + size_; }
  const uint8_t* begin() const { return data_; }
  const uint8_t* end() const { return data_ + size_; }

  // Sets the size; what grows is not initialised. Throws std::bad_alloc when
  // the memory cannot be had (the buffer is then unchanged).
  void resize(size_t n);
  // Makes room for n bytes without changing the size. Throws like resize.
  void reserve(size_t n);

 private:
  void Grow(size_t atLeast);
  void Populate(size_t from, size_t to);
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  bool mapped_ = false;
};

}  // namespace tarnwick
