// The carve buffer grows without losing what a carve collected, from the
// heap into a mapping of its own and on by remapping, and says when it
// cannot grow rather than growing into nothing.
#include "carvers/carve_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <span>

namespace tarnwick {
namespace {

uint8_t Mark(size_t sector) { return static_cast<uint8_t>(sector * 7 + 3); }

void ExpectMarked(const CarveBuffer& b, size_t bytes) {
  for (size_t at = 0; at < bytes; at += 512) {
    ASSERT_EQ(b.data()[at], Mark(at / 512)) << "byte " << at;
    ASSERT_EQ(b.data()[at + 511], Mark(at / 512)) << "byte " << at + 511;
  }
}

TEST(CarveBuffer, GrowingSectorBySectorKeepsEverySectorPastTheMoveToItsOwnMapping) {
  CarveBuffer b;
  constexpr size_t kBytes = 5 * CarveBuffer::kMappedFrom + 512;
  for (size_t at = 0; at < kBytes; at += 512) {
    b.resize(at + 512);
    std::memset(b.data() + at, Mark(at / 512), 512);
  }
  ASSERT_EQ(b.size(), kBytes);
  EXPECT_GE(b.capacity(), kBytes);
  ExpectMarked(b, kBytes);
  // A mapping starts on a page: the kernel copies into it at full speed.
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b.data()) % 4096, 0u);

  const std::span<const uint8_t> view = b;
  EXPECT_EQ(view.size(), kBytes);
  b.resize(1000);
  EXPECT_EQ(b.size(), 1000u);
  EXPECT_EQ(std::span<const uint8_t>(b).size(), 1000u);
  EXPECT_EQ(b.data()[999], Mark(1));
}

TEST(CarveBuffer, ASizeThatCannotBeHadThrowsAndLeavesTheBytesAsTheyWere) {
  for (size_t start : {size_t{4096}, 2 * CarveBuffer::kMappedFrom}) {
    CarveBuffer b;
    b.resize(start);
    for (size_t at = 0; at < start; at += 512) std::memset(b.data() + at, Mark(at / 512), 512);
    EXPECT_THROW(b.reserve(SIZE_MAX - 100), std::bad_alloc);
    EXPECT_THROW(b.resize(size_t{1} << 62), std::bad_alloc);
    EXPECT_EQ(b.size(), start);
    ExpectMarked(b, start);
  }
}

}  // namespace
}  // namespace tarnwick
