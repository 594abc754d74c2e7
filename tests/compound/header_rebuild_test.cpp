#include "compound/header_rebuild.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "compound/compound_file.h"
#include "source/bytes.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using test::ShellQuote;


// The image as 512-byte blocks; every read outside it is counted.
struct Image {
  std::vector<uint8_t> Bytes;
  uint64_t OutOfRange = 0;
  uint64_t Reads = 0;
  uint64_t LastBlock() const { return Bytes.size() / 512 - 1; }
  BlockReader Reader() {
    return [this](uint64_t block, std::span<uint8_t, 512> out) {
      ++Reads;
      if (block > LastBlock()) {
        ++OutOfRange;
        return false;
      }
      std::copy_n(Bytes.begin() + static_cast<std::ptrdiff_t>(block * 512), 512, out.begin());
      return true;
    };
  }
};

class HeaderRebuild : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::HaveOlefile()) GTEST_SKIP() << "no python3-olefile";
  }

  // A database as a long-lived program leaves it: FAT, directory and mini
  // FAT sectors between the data, FAT sectors in rising places.
  std::vector<uint8_t> Written(const std::string& args) {
    return test::LongLivedDatabase(dir_ / ("db" + std::to_string(++made_) + ".db"), args);
  }

  // The database at block `at` among random bytes, its header written over
  // by text; the block of its directory's first sector.
  static Image Laid(const std::vector<uint8_t>& db, uint64_t at, uint64_t& dirBlock) {
    Image img;
    const uint64_t blocks = (db.size() + 511) / 512;
    img.Bytes = test::RandomBytes((at + blocks + 300) * 512, 11);
    std::copy(db.begin(), db.end(), img.Bytes.begin() + static_cast<std::ptrdiff_t>(at * 512));
    const std::string text = "Meeting notes: bring the report, 3 pm.\r\n";
    for (size_t k = 0; k < 512; ++k) img.Bytes[at * 512 + k] = static_cast<uint8_t>(text[k % text.size()]);
    dirBlock = at + 1 + LE32(Bytes(db), 48);
    return img;
  }

  test::TempDir dir_{"hdr"};
  int made_ = 0;
};

// Small and large files, the large with a DIFAT chain: the header made
// again is the one written, byte for byte, and says where it lay.
TEST_F(HeaderRebuild, TheHeaderOfALongLivedLayoutComesBackAsWritten) {
  for (const std::string args : {"--seed 1", "--seed 2", "--seed 5 --scale 8", "--seed 3 --scale 300"}) {
    SCOPED_TRACE(args);
    const std::vector<uint8_t> db = Written(args);
    ASSERT_GE(db.size(), 4096u);
    uint64_t dirBlock = 0;
    Image img = Laid(db, 97, dirBlock);
    RebuiltHeader h = RebuildHeader(img.Reader(), dirBlock, img.LastBlock());
    ASSERT_TRUE(h.Found) << h.Problem;
    EXPECT_TRUE(h.IsQQ);
    EXPECT_TRUE(h.InOneRun) << h.Problem;
    EXPECT_EQ(h.Problem, "");
    EXPECT_EQ(h.HeaderBlock, 97u);
    EXPECT_TRUE(std::equal(h.Header.begin(), h.Header.end(), db.begin()))
        << "FAT count " << LE32(Bytes(h.Header), 44) << " / " << LE32(Bytes(db), 44)
        << ", directory " << LE32(Bytes(h.Header), 48) << " / " << LE32(Bytes(db), 48)
        << ", mini FAT " << LE32(Bytes(h.Header), 60) << " / " << LE32(Bytes(db), 60)
        << ", DIFAT " << LE32(Bytes(h.Header), 68) << " / " << LE32(Bytes(db), 68);
    EXPECT_EQ(img.OutOfRange, 0u);
    // With the header in its place the file checks whole.
    std::vector<uint8_t> fixed = db;
    std::copy(h.Header.begin(), h.Header.end(), fixed.begin());
    EXPECT_TRUE(CheckCompoundFile(fixed).Whole);
    if (args.find("300") != std::string::npos) {
      EXPECT_GT(LE32(Bytes(db), 72), 0u) << "no DIFAT";
    }
  }
}

TEST_F(HeaderRebuild, ADirectoryWithoutTheQQNamesIsNoDatabase) {
  const std::vector<uint8_t> db = Written("--seed 4 --plain");
  uint64_t dirBlock = 0;
  Image img = Laid(db, 40, dirBlock);
  RebuiltHeader h = RebuildHeader(img.Reader(), dirBlock, img.LastBlock());
  EXPECT_FALSE(h.IsQQ);
}

// The directory block alone, nothing that could be its FAT, or a block
// that is no directory: no header, and why.
TEST(HeaderRebuildOnItsOwn, NothingIsMadeWithoutADirectoryAndItsFat) {
  Image img;
  img.Bytes = test::RandomBytes(64 * 512, 5);
  std::array<uint8_t, 512> root{};
  const std::u16string name = u"Root Entry";
  for (size_t i = 0; i < name.size(); ++i) root[2 * i] = static_cast<uint8_t>(name[i]);
  root[64] = 22;
  root[66] = 5;
  root[67] = 1;
  std::fill_n(root.begin() + 68, 12, 0xFF);
  std::copy(root.begin(), root.end(), img.Bytes.begin() + 20 * 512);
  EXPECT_TRUE(IsRootDirectoryBlock(root));
  RebuiltHeader h = RebuildHeader(img.Reader(), 20, img.LastBlock());
  EXPECT_FALSE(h.Found);
  EXPECT_EQ(h.Problem, "no FAT sector was found near the directory");
  h = RebuildHeader(img.Reader(), 21, img.LastBlock());
  EXPECT_FALSE(h.Found);
  EXPECT_EQ(h.Problem, "no root directory there");

  // A root entry with a sibling, or followed by an entry of no known type, is none.
  std::array<uint8_t, 512> bad = root;
  bad[68] = 3;
  EXPECT_FALSE(IsRootDirectoryBlock(bad));
  bad = root;
  bad[128 + 66] = 9;
  EXPECT_FALSE(IsRootDirectoryBlock(bad));
  EXPECT_FALSE(IsRootDirectoryBlock(std::span<const uint8_t>(root).first(128)));
}

// Blocks that look like FAT sectors, with marks, loops and numbers far past
// the image, around a root directory: whatever is made of them, nothing is
// read outside the image and the work ends.
TEST(HeaderRebuildOnItsOwn, HostileFatShapedBlocksAreReadInBounds) {
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    Image img;
    img.Bytes = test::RandomBytes(256 * 512, seed);
    for (uint64_t b = 0; b < 256; ++b) {
      if (rng() % 3 != 0) continue;
      // Distinct small numbers, runs, ends and marks: FAT-shaped.
      std::vector<uint32_t> values(128);
      const uint32_t base = rng() % 4 == 0 ? 0x7FFFFF00u : (rng() % 64) * 128;
      for (uint32_t i = 0; i < 128; ++i) {
        const uint32_t pick = rng() % 8;
        values[i] = pick == 0   ? kCompoundFatMark
                    : pick == 1 ? kCompoundDifatMark
                    : pick == 2 ? kCompoundEndOfChain
                    : pick == 3 ? kCompoundFree
                    : pick == 4 ? base + i  // a loop onto itself
                                : base + i + 1;
      }
      for (uint32_t i = 0; i < 128; ++i) {
        for (int k = 0; k < 4; ++k)
          img.Bytes[b * 512 + 4 * i + k] = static_cast<uint8_t>(values[i] >> (8 * k));
      }
    }
    const uint64_t dir = 64 + rng() % 128;
    std::array<uint8_t, 512> root{};
    const std::u16string name = u"Root Entry";
    for (size_t i = 0; i < name.size(); ++i) root[2 * i] = static_cast<uint8_t>(name[i]);
    root[64] = 22;
    root[66] = 5;
    std::fill_n(root.begin() + 68, 12, 0xFF);
    for (int k = 0; k < 4; ++k) root[116 + k] = static_cast<uint8_t>(rng());
    for (int k = 0; k < 4; ++k) root[120 + k] = static_cast<uint8_t>(rng());
    std::copy(root.begin(), root.end(), img.Bytes.begin() + static_cast<std::ptrdiff_t>(dir * 512));
    HeaderRebuildLimits limits;
    limits.WindowBlocks = 300;
    RebuiltHeader h = RebuildHeader(img.Reader(), dir, img.LastBlock(), limits);
    EXPECT_EQ(img.OutOfRange, 0u);
    EXPECT_LT(img.Reads, 100'000u);
    EXPECT_FALSE(h.IsQQ);
  }
}

}  // namespace
}  // namespace tarnwick
