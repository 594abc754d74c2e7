#include "carvers/qq_database.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>

#include "carvers/framework.h"
#include "source/bytes.h"
#include "support/sessions.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using test::CarveSession;
using test::RandomBytes;
using test::ReadFileBytes;

// A compound file made by gsf from streams (name -> size); names containing
// '/' become storages.
std::vector<uint8_t> MakeCompoundFile(const std::map<std::string, size_t>& streams,
                                      uint32_t seed = 1) {
  test::TempDir dir("ole");
  std::string args;
  std::vector<std::string> tops;
  for (const auto& [name, size] : streams) {
    fs::path p = dir / name;
    fs::create_directories(p.parent_path());
    test::WriteFileBytes(p, RandomBytes(size, seed++));
    std::string top = name.substr(0, name.find('/'));
    if (std::find(tops.begin(), tops.end(), top) == tops.end()) tops.push_back(top);
  }
  for (const auto& t : tops) args += " " + test::ShellQuote(t);
  auto r =
      test::Run("cd " + test::ShellQuote(dir.Path().string()) + " && gsf createole out.ole" + args);
  EXPECT_EQ(r.Status, 0) << r.Err;
  return ReadFileBytes(dir / "out.ole");
}

class QQCarver : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::HaveTool("gsf")) GTEST_SKIP() << "gsf (libgsf-bin) is not installed";
  }

  // An image of `sectors` sectors of filler with the file laid into the
  // given sectors, in order.
  static std::vector<uint8_t> Image(uint64_t sectors, const std::vector<uint8_t>& file,
                                    const std::vector<uint64_t>& at) {
    std::vector<uint8_t> img = RandomBytes(sectors * 512, 99);
    for (size_t k = 0; k * 512 < file.size(); ++k) {
      size_t n = std::min<size_t>(512, file.size() - k * 512);
      std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(k * 512), n,
                  img.begin() + static_cast<std::ptrdiff_t>(at[k] * 512));
    }
    return img;
  }

  static std::vector<uint64_t> Run(uint64_t first, uint64_t count) {
    std::vector<uint64_t> v(count);
    for (uint64_t i = 0; i < count; ++i) v[i] = first + i;
    return v;
  }

  static std::vector<uint64_t> Marked(const Session& s) {
    std::vector<uint64_t> out;
    for (uint64_t n = 0; n <= s.Scan.LastSector; ++n)
      if (s.Map.IsSectorMarked(n)) out.push_back(n);
    return out;
  }

  std::vector<fs::path> Written() const {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(out_.Path())) {
      if (e.is_regular_file()) out.push_back(e.path());
    }
    return out;
  }

  std::string Folder() const { return out_.Path().string() + "/"; }

  test::TempDir out_{"qq-out"};
};

TEST_F(QQCarver, RescuesAContiguousDatabaseByteForByte) {
  auto db =
      MakeCompoundFile({{"Matrix.dat", 300000}, {"seqbase.dat", 70000}, {"msg/Data.msj", 9000}});
  ASSERT_EQ(db.size() % 512, 0u);
  const uint64_t n = db.size() / 512;
  auto s = CarveSession(Image(n + 40, db, Run(20, n)));
  CarveQQDatabase(*s, Folder(), 20 * 512);
  EXPECT_EQ(s->RescuedCount, 1u);
  auto files = Written();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].filename(), "FILE_AAAAAAAU.DB");  // 20 = "U"
  EXPECT_EQ(ReadFileBytes(files[0]), db);
  EXPECT_EQ(Marked(*s), Run(20, n));
}

TEST_F(QQCarver, StepsOverSectorsThatOtherFilesClaimed) {
  auto db = MakeCompoundFile({{"Matrix.dat", 200000}, {"seqbase.dat", 50000}});
  const uint64_t n = db.size() / 512;
  // The database's sectors with three claimed runs inside its span.
  std::vector<uint64_t> at;
  std::vector<uint64_t> claimed;
  for (uint64_t sector = 10; at.size() < n; ++sector) {
    bool foreign = (sector >= 15 && sector < 25) || (sector >= 100 && sector < 103) ||
                   (sector >= 300 && sector < 340);
    (foreign ? claimed : at).push_back(sector);
  }
  auto s = CarveSession(Image(at.back() + 20, db, at));
  for (uint64_t c : claimed) s->Map.MarkSector(c);
  CarveQQDatabase(*s, Folder(), 10 * 512);
  auto files = Written();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(ReadFileBytes(files[0]), db);
}

TEST_F(QQCarver, FollowsTheDifatChainOfALargeDatabase) {
  // Over 109 FAT sectors (about 7 MiB) the FAT sectors are listed in DIFAT sectors.
  auto db = MakeCompoundFile({{"Matrix.dat", 9'000'000}, {"seqbase.dat", 4000}});
  ASSERT_NE(LE32(db, 68), 0xFFFFFFFEu) << "the file has no DIFAT sector";
  const uint64_t n = db.size() / 512;
  auto s = CarveSession(Image(n + 8, db, Run(4, n)));
  CarveQQDatabase(*s, Folder(), 4 * 512);
  auto files = Written();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(ReadFileBytes(files[0]), db);
}

TEST_F(QQCarver, CompoundFilesWithoutBothNamesAreClaimedButNotWritten) {
  for (auto streams : std::vector<std::map<std::string, size_t>>{
           {{"Matrix.dat", 40000}, {"other.dat", 9000}},
           {{"matrix.dat", 40000}, {"seqbase.dat", 9000}},  // case counts
           {{"WordDocument", 40000}}}) {
    auto db = MakeCompoundFile(streams);
    const uint64_t n = db.size() / 512;
    auto s = CarveSession(Image(n + 10, db, Run(5, n)));
    CarveQQDatabase(*s, Folder(), 5 * 512);
    EXPECT_TRUE(Written().empty());
    EXPECT_EQ(s->RescuedCount, 0u);
    EXPECT_EQ(Marked(*s), Run(5, n)) << "a sound compound file keeps its claims";
  }
}

TEST_F(QQCarver, AFreeDirectoryEntryEndsTheNameSearch) {
  auto db = MakeCompoundFile({{"Matrix.dat", 5000}, {"a_middle", 5000}, {"seqbase.dat", 5000}});
  // The directory's entries are Root, Matrix.dat, a_middle, seqbase.dat; a
  // zero length field in entry 2 stops the walk before seqbase.dat.
  const size_t dir = (LE32(db, 48) + 1) * 512;
  ASSERT_EQ(LE16(db, dir + 2 * 128 + 64), 18u);
  db[dir + 2 * 128 + 64] = 0;
  db[dir + 2 * 128 + 65] = 0;
  const uint64_t n = db.size() / 512;
  auto s = CarveSession(Image(n + 4, db, Run(2, n)));
  CarveQQDatabase(*s, Folder(), 2 * 512);
  EXPECT_TRUE(Written().empty());
}

TEST_F(QQCarver, BrokenStructuresFailAndGiveEverySectorBack) {
  auto good = MakeCompoundFile({{"Matrix.dat", 120000}, {"seqbase.dat", 9000}});
  ASSERT_NE(LE32(good, 80), 0xFFFFFFFFu) << "needs two FAT sectors";
  const uint64_t n = good.size() / 512;
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> spoil;
  };
  std::vector<Case> cases = {
      {"sector shift 12", [](auto& d) { d[30] = 12; }},
      {"FAT sectors not rising",
       [](auto& d) { std::swap_ranges(d.begin() + 76, d.begin() + 80, d.begin() + 80); }},
      {"FAT sector beyond 200 MiB",
       [](auto& d) {
         d[76] = 0xFF;
         d[77] = 0x3F;
         d[78] = 0x06;
         d[79] = 0;
       }},
      {"directory sector out of range",
       [](auto& d) {
         d[48] = 0xF0;
         d[49] = 0xFF;
         d[50] = 0;
         d[51] = 0;
       }},
  };
  for (const auto& c : cases) {
    auto db = good;
    c.spoil(db);
    auto s = CarveSession(Image(n + 10, db, Run(5, n)), 8, 0);
    CarveQQDatabase(*s, Folder(), 5 * 512);
    EXPECT_TRUE(Written().empty()) << c.what;
    EXPECT_TRUE(Marked(*s).empty()) << c.what;
  }
}

TEST_F(QQCarver, AFatSectorAtTheLimitIsReadAndOneBeyondFails) {
  // The FAT sector moved to compound-file sector 409598 ends the file at
  // exactly 200 MiB; sector 409599 is refused.
  auto db = MakeCompoundFile({{"Matrix.dat", 5000}, {"seqbase.dat", 5000}});
  ASSERT_EQ(LE32(db, 80), 0xFFFFFFFFu) << "needs a single FAT sector";
  const uint32_t fat = LE32(db, 76);
  auto moved = [&](uint32_t to) {
    std::vector<uint8_t> img(209'715'200 + 4096, 0);
    std::copy(db.begin(), db.end(), img.begin());
    std::copy_n(db.begin() + (fat + 1) * 512, 512, img.begin() + (uint64_t{to} + 1) * 512);
    img[76] = static_cast<uint8_t>(to);
    img[77] = static_cast<uint8_t>(to >> 8);
    img[78] = static_cast<uint8_t>(to >> 16);
    img[79] = 0;
    return img;
  };
  {
    auto s = CarveSession(moved(409599));
    CarveQQDatabase(*s, Folder(), 0);
    EXPECT_TRUE(Written().empty());
    EXPECT_FALSE(s->Map.IsSectorMarked(0));
  }
  // The carve reaches the end, but the FAT does not mark its own sector as
  // FAT: not a whole file, so it goes to damaged/.
  auto s = CarveSession(moved(409598));
  CarveQQDatabase(*s, Folder(), 0);
  EXPECT_TRUE(Written().empty());
  EXPECT_TRUE(fs::exists(OutputName(Folder() + "damaged/", 0, ".DB")));
  EXPECT_EQ(s->DamagedCount, 1u);
}

TEST_F(QQCarver, AnEndBeyondTheScanRangeFails) {
  auto db = MakeCompoundFile({{"Matrix.dat", 100000}, {"seqbase.dat", 9000}});
  const uint64_t n = db.size() / 512;
  auto s = CarveSession(Image(n + 10, db, Run(5, n)));
  s->LastScanSector = static_cast<int64_t>(5 + n - 2);  // the last sector is outside
  CarveQQDatabase(*s, Folder(), 5 * 512);
  EXPECT_TRUE(Written().empty());
  EXPECT_TRUE(Marked(*s).empty());
}

TEST_F(QQCarver, AClaimedStartIsSkippedAndTheLastClusterIsClaimedWhole) {
  auto db = MakeCompoundFile({{"Matrix.dat", 60000}, {"seqbase.dat", 9000}});
  const uint64_t n = db.size() / 512;
  const uint64_t start = 1002 - n;  // last collected sector: 1001
  auto s = CarveSession(Image(1100, db, Run(start, n)), 8, 0);
  s->Map.MarkSector(start);
  CarveQQDatabase(*s, Folder(), start * 512);
  EXPECT_TRUE(Written().empty());
  EXPECT_EQ(Marked(*s), std::vector<uint64_t>{start});
  s->Map.UnmarkSector(start);
  CarveQQDatabase(*s, Folder(), start * 512);
  ASSERT_EQ(Written().size(), 1u);
  auto marked = Marked(*s);
  EXPECT_EQ(marked.front(), start);
  EXPECT_EQ(marked.back(), 1007u);
  EXPECT_EQ(marked.size(), 1008 - start);
}

}  // namespace
}  // namespace tarnwick
