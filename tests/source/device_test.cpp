#include "source/device.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

TEST(MemoryDevice, ShortReadAtEndIsZeroFilled) {
  MemoryDevice dev(std::vector<uint8_t>(1000, 0xAB));
  std::vector<uint8_t> buf(512, 0x11);
  EXPECT_EQ(dev.ReadAt(600, buf), 400);
  EXPECT_EQ(buf[399], 0xAB);
  EXPECT_EQ(buf[400], 0);
  EXPECT_EQ(dev.ReadAt(5000, buf), 0);
  EXPECT_EQ(buf[0], 0);
}

TEST(FaultyDevice, FailsOnlyReadsTouchingBadSectors) {
  auto inner = std::make_unique<MemoryDevice>(std::vector<uint8_t>(8 * 512, 1));
  FaultyDevice dev(std::move(inner), {3});
  std::vector<uint8_t> buf(512);
  EXPECT_EQ(dev.ReadAt(2 * 512, buf), 512);
  EXPECT_EQ(dev.ReadAt(3 * 512, buf), -1);
  std::vector<uint8_t> big(1024);
  EXPECT_EQ(dev.ReadAt(2 * 512 + 100, big), -1);  // spans into sector 3
  EXPECT_EQ(dev.ReadAt(4 * 512, big), 1024);
}

}  // namespace
}  // namespace tarnwick
