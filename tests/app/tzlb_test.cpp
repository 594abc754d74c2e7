#include "app/tzlb.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace tarnwick {
namespace {

std::vector<uint8_t> Text(size_t size) {
  // Compressible but not trivial: words drawn from a small vocabulary.
  static const char* words[] = {"sector ",      "cluster ", "Matrix.dat ",
                                "seqbase.dat ", "\r\n",     "0x1F "};
  std::mt19937 rng(7);
  std::vector<uint8_t> out;
  while (out.size() < size) {
    const char* w = words[rng() % 6];
    out.insert(out.end(), w, w + std::strlen(w));
  }
  out.resize(size);
  return out;
}

std::vector<uint8_t> Random(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> out(size);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

std::vector<uint8_t> ZlibUncompress(const std::vector<uint8_t>& z, size_t expected) {
  std::vector<uint8_t> out(expected + 1);
  uLongf len = static_cast<uLongf>(out.size());
  EXPECT_EQ(uncompress(out.data(), &len, z.data(), static_cast<uLong>(z.size())), Z_OK);
  out.resize(len);
  return out;
}

TEST(TZLB, LevelsMapToZlibLevels) {
  EXPECT_EQ(TZLB::ZlibLevel(TZLB::clNone), 0);
  EXPECT_EQ(TZLB::ZlibLevel(TZLB::clFastest), 1);
  EXPECT_EQ(TZLB::ZlibLevel(TZLB::clNormal), Z_DEFAULT_COMPRESSION);
  EXPECT_EQ(TZLB::ZlibLevel(TZLB::clMax), 9);
  EXPECT_EQ(TZLB().CompressLevel, TZLB::clNormal);
}

TEST(TZLB, RoundTripAtEveryLevelAgreesWithZlib) {
  const std::vector<uint8_t> input = Text(300000);
  size_t sizes[4] = {};
  for (auto level : {TZLB::clNone, TZLB::clFastest, TZLB::clNormal, TZLB::clMax}) {
    SCOPED_TRACE(static_cast<int>(level));
    TZLB z;
    z.CompressLevel = level;
    z.Compress(input.data(), input.size());
    std::vector<uint8_t> packed = z.Output().Bytes();
    EXPECT_EQ(z.Output().Position(), 0u);
    sizes[level] = packed.size();
    // zlib itself reads what we wrote ...
    EXPECT_EQ(ZlibUncompress(packed, input.size()), input);
    // ... and we read it back.
    TZLB back;
    back.Decompress(packed.data(), packed.size());
    EXPECT_EQ(back.Output().Bytes(), input);
    EXPECT_EQ(back.Output().Position(), 0u);
  }
  EXPECT_GT(sizes[TZLB::clNone], input.size());  // stored blocks only
  EXPECT_LT(sizes[TZLB::clFastest], input.size() / 3);
  EXPECT_LE(sizes[TZLB::clMax], sizes[TZLB::clFastest]);
}

TEST(TZLB, ReadsZlibsOwnStreamAndIgnoresTrailingBytes) {
  const std::vector<uint8_t> input = Text(5000);
  std::vector<uint8_t> packed(compressBound(static_cast<uLong>(input.size())));
  uLongf len = static_cast<uLongf>(packed.size());
  ASSERT_EQ(compress2(packed.data(), &len, input.data(), static_cast<uLong>(input.size()), 6),
            Z_OK);
  packed.resize(len);
  packed.insert(packed.end(), {0xDE, 0xAD, 0xBE, 0xEF});
  TZLB z;
  z.Decompress(packed.data(), packed.size());
  EXPECT_EQ(z.Output().Bytes(), input);
}

TEST(TZLB, OutputIsReplacedAndReadable) {
  TZLB z;
  const std::string a = "first content that is fairly long";
  z.Compress(a.data(), a.size());
  std::vector<uint8_t> packed = z.Output().Bytes();
  z.Decompress(packed.data(), packed.size());
  char buf[8];
  EXPECT_EQ(z.Output().Read(buf, 5), 5u);
  EXPECT_EQ(std::string(buf, 5), "first");
  EXPECT_EQ(z.Output().Position(), 5u);

  const std::string b = "xy";
  z.Compress(b.data(), b.size());
  packed = z.Output().Bytes();
  z.Decompress(packed.data(), packed.size());
  EXPECT_EQ(z.Output().Position(), 0u);
  ASSERT_EQ(z.Output().Size(), 2u);
  EXPECT_EQ(z.Output().Read(buf, sizeof buf), 2u);
  EXPECT_EQ(z.Output().Read(buf, sizeof buf), 0u);
}

TEST(TZLB, EmptyInputRoundTrips) {
  TZLB z;
  z.Compress(nullptr, 0);
  std::vector<uint8_t> packed = z.Output().Bytes();
  EXPECT_FALSE(packed.empty());
  z.Decompress(packed.data(), packed.size());
  EXPECT_EQ(z.Output().Size(), 0u);
}

TEST(TZLB, DamagedStreamsThrowWithZlibsMessage) {
  const std::vector<uint8_t> input = Text(100000);
  TZLB z;
  z.Compress(input.data(), input.size());
  const std::vector<uint8_t> good = z.Output().Bytes();

  std::vector<uint8_t> badHeader = good;
  badHeader[0] ^= 0xFF;
  try {
    TZLB().Decompress(badHeader.data(), badHeader.size());
    FAIL() << "no exception";
  } catch (const EZlibError& e) {
    EXPECT_EQ(e.Code(), Z_DATA_ERROR);
    EXPECT_STREQ(e.what(), "incorrect header check");
  }

  std::vector<uint8_t> badCheck = good;
  badCheck.back() ^= 0x01;  // Adler-32 trailer
  EXPECT_THROW(TZLB().Decompress(badCheck.data(), badCheck.size()), EZlibError);

  std::vector<uint8_t> cut(good.begin(), good.begin() + static_cast<long>(good.size() / 2));
  EXPECT_THROW(TZLB().Decompress(cut.data(), cut.size()), EZlibError);
  EXPECT_THROW(TZLB().Decompress(good.data(), good.size() - 1), EZlibError);
  EXPECT_THROW(TZLB().Decompress(good.data(), 0), EZlibError);

  const std::string notZlib = "this is plain text, not a zlib stream";
  EXPECT_THROW(TZLB().Decompress(notZlib.data(), notZlib.size()), EZlibError);
}

TEST(TZLB, FailedDecompressionLeavesTheOldOutput) {
  TZLB z;
  const std::string a = "kept";
  z.Compress(a.data(), a.size());
  std::vector<uint8_t> packed = z.Output().Bytes();
  const std::string junk = "junk junk";
  EXPECT_THROW(z.Decompress(junk.data(), junk.size()), EZlibError);
  EXPECT_EQ(z.Output().Bytes(), packed);
}

TEST(TZLB, BigBuffers) {
  // Incompressible data larger than any single output step.
  const std::vector<uint8_t> noise = Random(12u << 20, 3);
  TZLB z;
  z.CompressLevel = TZLB::clFastest;
  z.Compress(noise.data(), noise.size());
  std::vector<uint8_t> packed = z.Output().Bytes();
  TZLB back;
  back.Decompress(packed.data(), packed.size());
  EXPECT_TRUE(back.Output().Bytes() == noise);

  // A stream that expands a thousandfold.
  const std::vector<uint8_t> zeros(96u << 20, 0);
  z.CompressLevel = TZLB::clMax;
  z.Compress(zeros.data(), zeros.size());
  packed = z.Output().Bytes();
  EXPECT_LT(packed.size(), zeros.size() / 500);
  back.Decompress(packed.data(), packed.size());
  EXPECT_EQ(back.Output().Size(), zeros.size());
  EXPECT_TRUE(back.Output().Bytes() == zeros);
}

}  // namespace
}  // namespace tarnwick
