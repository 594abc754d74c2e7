// The report's SHA-256 of a file read a chunk at a time.
#include "app/cli/digest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "source/system_file.h"
#include "support/test_support.h"

namespace tarnwick::cli {
namespace {

TEST(Digest, AFileReadInChunksHashesAsItsBytesDo) {
  test::TempDir dir("digest");
  const std::string path = (dir / "f.bin").string();
  const std::vector<uint8_t> all = test::RandomBytes(2 * kDigestChunk + 5, 7);
  for (size_t size : {size_t{1}, kDigestChunk - 1, kDigestChunk, kDigestChunk + 1, 2 * kDigestChunk,
                      2 * kDigestChunk + 5}) {
    const std::vector<uint8_t> bytes(all.begin(), all.begin() + static_cast<ptrdiff_t>(size));
    test::WriteFileBytes(path, bytes);
    std::string hex;
    int error = 0;
    ASSERT_TRUE(Sha256HexOfFile(path, hex, error)) << SystemErrorText(error);
    EXPECT_EQ(hex, Sha256Hex(bytes)) << size << " bytes";
  }
}

TEST(Digest, AnEmptyFileHasTheEmptyDigestAndAMissingOneAnError) {
  test::TempDir dir("digest-none");
  const std::string empty = (dir / "empty.bin").string();
  test::WriteFileBytes(empty, {});
  std::string hex;
  int error = 0;
  ASSERT_TRUE(Sha256HexOfFile(empty, hex, error)) << SystemErrorText(error);
  EXPECT_EQ(hex, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

  hex = "unchanged";
  EXPECT_FALSE(Sha256HexOfFile((dir / "missing.bin").string(), hex, error));
  EXPECT_TRUE(IsNotFound(error)) << SystemErrorText(error);
  EXPECT_EQ(hex, "unchanged");
}

}  // namespace
}  // namespace tarnwick::cli
