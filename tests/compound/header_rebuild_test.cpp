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
// again is the one written, byte for byte, and says where it lay. In the
// larger ones most FAT sectors are marked by one added much later, far
// past the directory (seed 3, 150), and the directory lies so far on that
// the FAT's start is out of its sight (seed 2, 150).
TEST_F(HeaderRebuild, TheHeaderOfALongLivedLayoutComesBackAsWritten) {
  for (const std::string args : {"--seed 1", "--seed 2", "--seed 5 --scale 8", "--seed 3 --scale 150",
                                 "--seed 2 --scale 150", "--seed 3 --scale 300"}) {
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

// What differs between a header made again and the one written, for a
// failure's message.
std::string Fields(const RebuiltHeader& h, const std::vector<uint8_t>& db) {
  return "FAT count " + std::to_string(LE32(Bytes(h.Header), 44)) + " / " +
         std::to_string(LE32(Bytes(db), 44)) + ", directory " +
         std::to_string(LE32(Bytes(h.Header), 48)) + " / " + std::to_string(LE32(Bytes(db), 48)) +
         ", mini FAT " + std::to_string(LE32(Bytes(h.Header), 60)) + " / " +
         std::to_string(LE32(Bytes(db), 60)) + ", DIFAT " +
         std::to_string(LE32(Bytes(h.Header), 68)) + " / " + std::to_string(LE32(Bytes(db), 68)) +
         " x" + std::to_string(LE32(Bytes(h.Header), 72)) + ": " + h.Problem;
}

// The disk block of FAT sector k of a database laid at block `at` (one of
// the first 109).
uint64_t FatBlock(const std::vector<uint8_t>& db, uint64_t at, uint32_t k) {
  return at + 1 + LE32(Bytes(db), 76 + 4 * size_t{k});
}

void Put(Image& img, uint64_t block, Bytes bytes) {
  std::copy(bytes.begin(), bytes.end(), img.Bytes.begin() + static_cast<std::ptrdiff_t>(block * 512));
}

// Another database beside the one whose header was lost, after it or
// before it (larger, so that its FAT outvotes the lost one's), stale
// copies of its FAT sectors and the lost one's mini FAT in the free space,
// and a table whose chains name an index of their own: the header made
// again is the one written, without a doubt.
TEST_F(HeaderRebuild, TablesOfAnotherFileNearTheDirectoryAreNotTaken) {
  const std::vector<uint8_t> lost = Written("--seed 21 --scale 4");
  const std::vector<uint8_t> other = Written("--seed 22 --scale 10");
  ASSERT_GT(LE32(Bytes(lost), 44), 2u);
  ASSERT_GT(LE32(Bytes(other), 44), LE32(Bytes(lost), 44));
  const uint64_t lostBlocks = lost.size() / 512, otherBlocks = other.size() / 512;
  for (bool otherFirst : {false, true}) {
    SCOPED_TRACE(otherFirst ? "the other database before" : "the other database after");
    const uint64_t otherAt = otherFirst ? 40 : 97 + lostBlocks;
    const uint64_t lostAt = otherFirst ? otherAt + otherBlocks + 60 : 97;
    uint64_t dirBlock = 0;
    Image img = Laid(lost, lostAt, dirBlock);
    img.Bytes.resize((std::max(lostAt + lostBlocks, otherAt + otherBlocks) + 400) * 512, 0x5A);
    Put(img, otherAt, other);
    // The free space: 40 blocks at the front, 60 between or 300 behind.
    uint64_t spare = otherFirst ? otherAt + otherBlocks : lostAt + lostBlocks + otherBlocks;
    for (uint32_t k = 0; k < LE32(Bytes(other), 44); ++k)
      Put(img, spare++, Bytes(other).subspan((FatBlock(other, 0, k)) * 512, 512));
    Put(img, spare++, Bytes(lost).subspan((uint64_t{LE32(Bytes(lost), 60)} + 1) * 512, 512));
    std::array<uint8_t, 512> chains{};
    for (uint32_t e = 0; e < 128; ++e) {
      const uint32_t v = 2 * 128 + e + 1;  // sequential chains of FAT sector 2
      for (int i = 0; i < 4; ++i) chains[4 * e + i] = static_cast<uint8_t>(v >> (8 * i));
    }
    Put(img, spare++, chains);

    RebuiltHeader h = RebuildHeader(img.Reader(), dirBlock, img.LastBlock());
    ASSERT_TRUE(h.Found) << h.Problem;
    EXPECT_EQ(h.HeaderBlock, lostAt);
    EXPECT_EQ(h.Problem, "");
    EXPECT_TRUE(h.InOneRun);
    EXPECT_TRUE(std::equal(h.Header.begin(), h.Header.end(), lost.begin())) << Fields(h, lost);
    EXPECT_EQ(img.OutOfRange, 0u);
  }
}

// A FAT sector of the file written over in its place, by text or by a FAT
// sector of another file that names another index: a header may still be
// made, never one without a doubt.
TEST_F(HeaderRebuild, AFatSectorThatIsNotTheFilesLeavesTheHeaderInDoubt) {
  const std::vector<uint8_t> lost = Written("--seed 23 --scale 6");
  const std::vector<uint8_t> other = Written("--seed 24 --scale 6");
  const uint32_t fats = LE32(Bytes(lost), 44);
  ASSERT_GE(fats, 4u);
  const std::string text(512, 'x');
  for (uint32_t k : {1u, fats - 1}) {
    for (bool foreign : {false, true}) {
      SCOPED_TRACE(std::to_string(k) + (foreign ? " by another's FAT sector" : " by text"));
      uint64_t dirBlock = 0;
      Image img = Laid(lost, 97, dirBlock);
      const uint32_t otherIndex = k == 1 ? 0 : 1;
      Bytes over = foreign ? Bytes(other).subspan(FatBlock(other, 0, otherIndex) * 512, 512)
                           : Bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
      if (foreign) {
        ASSERT_EQ(SelfIndexOfFatSector(over), otherIndex);
      }
      Put(img, FatBlock(lost, 97, k), over);
      RebuiltHeader h = RebuildHeader(img.Reader(), dirBlock, img.LastBlock());
      EXPECT_FALSE(h.Found && h.Problem.empty()) << Fields(h, lost);
      EXPECT_FALSE(h.InOneRun);
      EXPECT_EQ(img.OutOfRange, 0u);
    }
  }
}

// A file past 7 MiB, its FAT sectors listed by a DIFAT of two sectors: the
// count comes from the marks, the chain from the DIFAT sectors; one of
// those written over leaves the chain in doubt, not the count.
TEST_F(HeaderRebuild, TheDifatChainIsCheckedAgainstTheFatFound) {
  const std::vector<uint8_t> db = Written("--seed 3 --scale 300");
  ASSERT_EQ(LE32(Bytes(db), 72), 2u);
  const uint32_t first = LE32(Bytes(db), 68);
  const uint32_t second = LE32(Bytes(db), (uint64_t{first} + 1) * 512 + 4 * 127);
  ASSERT_LT(second, kCompoundDifatMark);
  uint64_t dirBlock = 0;
  Image img = Laid(db, 97, dirBlock);
  std::vector<uint8_t> entry(db.begin() + (uint64_t{second} + 1) * 512,
                             db.begin() + (uint64_t{second} + 2) * 512);
  entry[40] ^= 0x01;  // one FAT sector listed in the wrong place
  Put(img, 97 + 1 + second, entry);
  RebuiltHeader h = RebuildHeader(img.Reader(), dirBlock, img.LastBlock());
  ASSERT_TRUE(h.Found) << h.Problem;
  EXPECT_EQ(h.Problem, "the DIFAT does not list the FAT sectors found");
  EXPECT_EQ(LE32(Bytes(h.Header), 44), LE32(Bytes(db), 44));
  EXPECT_EQ(LE32(Bytes(h.Header), 68), first);
  EXPECT_EQ(LE32(Bytes(h.Header), 72), 2u);
  EXPECT_TRUE(std::equal(h.Header.begin() + 76, h.Header.end(), db.begin() + 76));
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
