#include "carvers/carve_buffer.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace tarnwick {

namespace {

constexpr size_t kPage = 4096;

size_t RoundToPages(size_t n) { return (n + kPage - 1) / kPage * kPage; }

}  // namespace

CarveBuffer::~CarveBuffer() {
  if (mapped_)
    ::munmap(data_, capacity_);
  else
    std::free(data_);
}

void CarveBuffer::resize(size_t n) {
  if (n > capacity_) Grow(n);
  size_ = n;
}

void CarveBuffer::reserve(size_t n) {
  if (n > capacity_) Grow(n);
}

void CarveBuffer::Grow(size_t atLeast) {
  // Doubling keeps the number of steps logarithmic in the final size.
  size_t want = std::max(atLeast, capacity_ > SIZE_MAX / 2 ? SIZE_MAX : capacity_ * 2);
  if (want < kMappedFrom) {
    void* p = std::realloc(data_, want);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<uint8_t*>(p);
    capacity_ = want;
    return;
  }
  if (want > SIZE_MAX - kPage) throw std::bad_alloc();
  want = RoundToPages(want);
  void* p = nullptr;
  if (mapped_) {
    p = ::mremap(data_, capacity_, want, MREMAP_MAYMOVE);
  } else {
    p = ::mmap(nullptr, want, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p != MAP_FAILED && data_ != nullptr) {
      std::memcpy(p, data_, size_);
      std::free(data_);
    }
  }
  if (p == MAP_FAILED) throw std::bad_alloc();
  ::madvise(p, want, MADV_HUGEPAGE);
  data_ = static_cast<uint8_t*>(p);
  capacity_ = want;
  mapped_ = true;
}

}  // namespace tarnwick
