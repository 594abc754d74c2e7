#include "carvers/carve_buffer.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace tarnwick {

namespace {

// Fresh zeroed pages from the system, and giving them back; null on failure.
#ifdef _WIN32
void* MapPages(size_t size) {
  return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}
void UnmapPages(void* bytes, size_t) { VirtualFree(bytes, 0, MEM_RELEASE); }
// Windows cannot grow a mapping in place: the bytes move to a larger one.
void* RemapPages(void* bytes, size_t size, size_t want) {
  void* p = MapPages(want);
  if (p == nullptr) return nullptr;
  std::memcpy(p, bytes, size);
  UnmapPages(bytes, size);
  return p;
}
void PopulatePages(void*, size_t) {}
#else
void* MapPages(size_t size) {
  void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}
void UnmapPages(void* bytes, size_t size) { ::munmap(bytes, size); }
void* RemapPages(void* bytes, size_t size, size_t want) {
  void* p = ::mremap(bytes, size, want, MREMAP_MAYMOVE);
  return p == MAP_FAILED ? nullptr : p;
}
// The pages are about to be written: one call makes them rather than a page
// fault each (a quarter of a large carve's system time). A kernel without
// MADV_POPULATE_WRITE faults them in as before.
void PopulatePages(void* bytes, size_t size) {
#ifdef MADV_POPULATE_WRITE
  ::madvise(bytes, size, MADV_POPULATE_WRITE);
#else
  static_cast<void>(bytes);
  static_cast<void>(size);
#endif
}
#endif

constexpr size_t kPage = 4096;

size_t RoundToPages(size_t n) { return (n + kPage - 1) / kPage * kPage; }

// The mapping of the last large carve, kept for the next one: carves of
// clips and databases follow one another, and a mapping taken anew would
// have every page faulted in and cleared again. Only one, and only up to
// kKeptMapping bytes, is kept.
constexpr size_t kKeptMapping = size_t{64} << 20;
struct KeptMapping {
  void* bytes = nullptr;
  size_t size = 0;
  ~KeptMapping() {
    if (bytes != nullptr) UnmapPages(bytes, size);
  }
};
thread_local KeptMapping kept;

void GiveBack(void* bytes, size_t size) {
  if (size > kKeptMapping || size <= kept.size) {
    UnmapPages(bytes, size);
    return;
  }
  if (kept.bytes != nullptr) UnmapPages(kept.bytes, kept.size);
  kept.bytes = bytes;
  kept.size = size;
}

// A mapping of at least size bytes: the kept one when it is large enough.
void* TakeMapping(size_t& size) {
  if (kept.bytes != nullptr && kept.size >= size) {
    void* bytes = kept.bytes;
    size = kept.size;
    kept.bytes = nullptr;
    kept.size = 0;
    return bytes;
  }
  return MapPages(size);
}

}  // namespace

CarveBuffer::~CarveBuffer() {
  if (mapped_)
    GiveBack(data_, capacity_);
  else
    std::free(data_);
}

void CarveBuffer::resize(size_t n) {
  if (n > capacity_) Grow(n);
  if (mapped_ && n > size_) Populate(size_, n);
  size_ = n;
}

// The pages of [from, to) are about to be written.
void CarveBuffer::Populate(size_t from, size_t to) {
  const size_t first = from / kPage * kPage;
  const size_t last = std::min(RoundToPages(to), capacity_);
  if (last > first) PopulatePages(data_ + first, last - first);
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
    p = RemapPages(data_, capacity_, want);
  } else {
    p = TakeMapping(want);
    if (p != nullptr && data_ != nullptr) {
      std::memcpy(p, data_, size_);
      std::free(data_);
    }
  }
  if (p == nullptr) throw std::bad_alloc();
  data_ = static_cast<uint8_t*>(p);
  capacity_ = want;
  mapped_ = true;
}

}  // namespace tarnwick
