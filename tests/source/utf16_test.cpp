#include "source/utf16.h"

#include <gtest/gtest.h>

#include <vector>

namespace tarnwick {
namespace {

TEST(Utf16LeToUtf8, PairsLoneSurrogatesZerosAndTheEndOfTheBytes) {
  // "A", U+4E2D, U+1F600 as a pair, a lone high surrogate, 0, "B".
  const std::vector<uint8_t> b = {0x41, 0x00, 0x2D, 0x4E, 0x3D, 0xD8, 0x00,
                                  0xDE, 0x3D, 0xD8, 0x00, 0x00, 0x42, 0x00};
  EXPECT_EQ(Utf16LeToUtf8(b, 0, 7, true), "A\xE4\xB8\xAD\xF0\x9F\x98\x80\xEF\xBF\xBD");
  EXPECT_EQ(
      Utf16LeToUtf8(b, 0, 7, false),
      std::string("A\xE4\xB8\xAD\xF0\x9F\x98\x80\xEF\xBF\xBD", 11) + std::string(1, '\0') + "B");
  // Units past the end read as zero; a high surrogate cut off there is U+FFFD.
  EXPECT_EQ(Utf16LeToUtf8(b, 12, 4, true), "B");
  EXPECT_EQ(Utf16LeToUtf8(b, 8, 1, false), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace tarnwick
