#include "carvers/zip.h"

#include <gtest/gtest.h>

#include <utility>

#include "carvers/archive_support.h"
#include "source/bytes.h"

namespace tarnwick {
namespace {

using test::CarveSession;
using test::ExpectedClaims;
using test::LayOut;
using test::Marked;
using test::RandomBytes;
using test::SectorRun;

using Entries = std::vector<std::pair<std::string, std::vector<uint8_t>>>;

std::vector<uint8_t> Text(size_t n) {
  std::string line =
      "<w:p><w:r><w:t>The quick brown fox jumps over the lazy dog.</w:t></w:r></w:p>\n";
  std::vector<uint8_t> v;
  while (v.size() < n) v.insert(v.end(), line.begin(), line.end());
  v.resize(n);
  return v;
}

// An archive written by zip with the entries in the given order. `options`
// go before the archive name; `comment` is set with -z.
std::vector<uint8_t> Zip(const Entries& entries, const std::string& options,
                         const std::string& comment = "") {
  test::TempDir dir("zip");
  std::string names;
  for (const auto& [name, bytes] : entries) {
    std::filesystem::create_directories((dir / name).parent_path());
    test::WriteFileBytes(dir / name, bytes);
    names += " " + test::ShellQuote(name);
  }
  std::string cmd = "zip -q -nw " + options + " out.zip" + names;
  if (!comment.empty())
    cmd = "printf %s " + test::ShellQuote(comment) + " | zip -q -nw -z " + options + " out.zip" +
          names;
  test::Shell(dir, cmd);
  return test::ReadFileBytes(dir / "out.zip");
}

// The same archive streamed through a pipe, so that each entry's sizes
// follow its data in a data descriptor.
std::vector<uint8_t> StreamedZip(const std::string& name, const std::vector<uint8_t>& bytes) {
  test::TempDir dir("zip-stream");
  test::WriteFileBytes(dir / name, bytes);
  test::Shell(dir, "zip -q - " + test::ShellQuote(name) + " | cat > out.zip");
  auto r = test::Run("zipinfo -v " + test::ShellQuote((dir / "out.zip").string()));
  EXPECT_NE(r.Out.find("extended local header:                          yes"), std::string::npos)
      << r.Out;
  return test::ReadFileBytes(dir / "out.zip");
}

Entries Mixed() {
  return {{"notes.txt", Text(7000)}, {"noise.bin", RandomBytes(41000, 3)}, {"tiny", Text(10)}};
}

void PutLE32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
  for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}

class ZipCarvers : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::HaveTool("zip") || !test::HaveTool("zipinfo"))
      GTEST_SKIP() << "zip is not installed";
  }
};

TEST_F(ZipCarvers, ClaimExactlyTheArchiveSectors) {
  struct Case {
    const char* what;
    std::vector<uint8_t> zip;
  };
  std::vector<Case> cases = {
      {"stored", Zip(Mixed(), "-0")},
      {"deflated", Zip(Mixed(), "-9")},
      {"with a comment", Zip(Mixed(), "-6", std::string(700, 'c'))},
  };
  for (const auto& c : cases) {
    // The archive ends with its end record and that record's comment.
    size_t end = c.zip.size() - 22;
    while (end > 0 && LE32(c.zip, end) != 0x06054B50u) --end;
    ASSERT_EQ(end + 22 + LE16(c.zip, end + 20), c.zip.size()) << c.what;
    if (c.what[0] == 'w') {
      EXPECT_GE(LE16(c.zip, end + 20), 700u);
    }
    for (CarverFn carver : {CarveZip, CarveOoxml}) {
      for (auto [spc, phase] : {std::pair{1u, 0}, std::pair{8u, 3}}) {
        auto at = LayOut(9, c.zip.size(), {});
        auto s = CarveSession(test::Image(at.back() + 30, c.zip, at), spc, phase);
        carver(*s, "", 9 * 512);
        EXPECT_EQ(Marked(*s), ExpectedClaims(at, c.zip.size(), {}, spc, phase))
            << c.what << ", " << spc << " sectors per cluster";
      }
    }
  }
}

TEST_F(ZipCarvers, WalkAcrossSectorsClaimedEarlier) {
  auto zip = Zip(Mixed(), "-0", "kept");
  const std::set<uint64_t> foreign = {21, 22, 30, 31, 32, 33, 34, 35, 60, 61, 62, 70, 110};
  auto at = LayOut(20, zip.size(), foreign);
  ASSERT_GT(at.back(), 110u);
  for (CarverFn carver : {CarveZip, CarveOoxml}) {
    auto s = CarveSession(test::Image(at.back() + 10, zip, at));
    test::MarkAll(*s, foreign);
    carver(*s, "", 20 * 512);
    EXPECT_EQ(Marked(*s), ExpectedClaims(at, zip.size(), foreign));
  }
}

TEST_F(ZipCarvers, ARecordHeaderAcrossASectorBoundaryIsFollowed) {
  // Without extra fields the second local header starts at byte 502 and
  // ends in the next sector; its record (1541 bytes) ends 5 bytes into a
  // sector. Only one of its sectors may be skipped unread: skipping two
  // would lose track of where the third record starts.
  auto zip =
      Zip({{"a", RandomBytes(471, 1)}, {"b", RandomBytes(1510, 2)}, {"c", RandomBytes(3000, 4)}},
          "-0 -X");
  ASSERT_EQ(LE32(zip, 502), 0x04034B50u);
  ASSERT_EQ(LE32(zip, 502 + 1541), 0x04034B50u);
  auto at = LayOut(4, zip.size(), {});
  auto s = CarveSession(test::Image(at.back() + 8, zip, at));
  CarveZip(*s, "", 4 * 512);
  EXPECT_EQ(Marked(*s), ExpectedClaims(at, zip.size()));
}

TEST_F(ZipCarvers, ZipLeavesLargeBodiesUnreadWhereTheOfficeCarverReadsThem) {
  auto zip = Zip(
      {{"head.txt", Text(900)}, {"big.bin", RandomBytes(10'000'000, 5)}, {"tail.txt", Text(900)}},
      "-0");
  auto at = LayOut(2, zip.size(), {});
  const std::set<uint64_t> bad = {2 + 10'000'000 / 1024};  // in the middle of big.bin
  {
    auto s = test::FaultySession(test::Image(at.back() + 4, zip, at), bad);
    CarveZip(*s, "", 2 * 512);
    EXPECT_EQ(Marked(*s), ExpectedClaims(at, zip.size()));
    EXPECT_TRUE(test::NeverAskedFor(*s, bad));
  }
  // The package carver reads the body: the bad sector is zeros in it.
  auto s = test::FaultySession(test::Image(at.back() + 4, zip, at), bad);
  CarveOoxml(*s, "", 2 * 512);
  EXPECT_EQ(Marked(*s), ExpectedClaims(at, zip.size()));
  EXPECT_FALSE(test::NeverAskedFor(*s, bad));
}

TEST_F(ZipCarvers, ALargeBodyPastTheScanRangeGivesEverythingBack) {
  auto zip = Zip({{"big.bin", RandomBytes(10'000'000, 6)}}, "-0");
  auto at = LayOut(3, zip.size(), {5, 6});
  auto s = CarveSession(test::Image(at.back() + 4, zip, at));
  test::MarkAll(*s, {5, 6});
  s->LastScanSector = 3 + 5'000'000 / 512;
  CarveZip(*s, "", 3 * 512);
  EXPECT_EQ(Marked(*s), (std::vector<uint64_t>{5, 6}));
}

TEST_F(ZipCarvers, DataDescriptorsEndTheWalkAfterTheFirstHeader) {
  for (size_t nameLength : {8, 80}) {
    std::string name(nameLength, 'n');
    auto zip = StreamedZip(name, Text(20000));
    ASSERT_EQ(LE32(zip, 18), 0u) << "the local header carries no compressed size";
    const uint64_t pos = 30 + uint64_t{LE16(zip, 26)} + LE16(zip, 28);
    auto at = LayOut(1, zip.size(), {});
    {
      auto s = CarveSession(test::Image(at.back() + 4, zip, at));
      CarveZip(*s, "", 512);
      if (pos > 100) {
        EXPECT_EQ(Marked(*s), SectorRun(1, (pos + 4 + 511) / 512)) << pos;
      } else {
        EXPECT_TRUE(Marked(*s).empty()) << pos;
      }
    }
    auto s = CarveSession(test::Image(at.back() + 4, zip, at));
    CarveOoxml(*s, "", 512);
    EXPECT_TRUE(Marked(*s).empty());
  }
}

TEST_F(ZipCarvers, AnUnknownRecordEndsAZipOnlyPastByte100) {
  // One stored entry named "a" without extra fields: the next record starts
  // at 31 + its size; its signature is spoilt.
  struct Case {
    size_t size;
    bool kept;
  };
  for (Case c : {Case{49, false}, Case{119, true}, Case{1469, true}}) {
    auto zip = Zip({{"a", RandomBytes(c.size, 7)}, {"b", Text(3000)}}, "-0 -X");
    const size_t pos = 31 + c.size;
    ASSERT_EQ(LE32(zip, pos), 0x04034B50u);
    zip[pos] = 'X';
    auto at = LayOut(6, zip.size(), {});
    auto s = CarveSession(test::Image(at.back() + 4, zip, at));
    CarveZip(*s, "", 6 * 512);
    if (c.kept) {
      EXPECT_EQ(Marked(*s), SectorRun(6, (pos + 4 + 511) / 512)) << pos;
    } else {
      EXPECT_TRUE(Marked(*s).empty()) << pos;
    }
    auto o = CarveSession(test::Image(at.back() + 4, zip, at));
    CarveOoxml(*o, "", 6 * 512);
    EXPECT_TRUE(Marked(*o).empty()) << pos;
  }
}

TEST_F(ZipCarvers, BrokenArchivesGiveEverySectorBack) {
  auto good = Zip(Mixed(), "-6");
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> spoil;
  };
  std::vector<Case> cases = {
      {"no local header first", [](auto& z) { z[3] = 0x05; }},
      // 30 + 0xFFFFFFE2 is 2^32: summed in 32 bits the record would have no
      // length and the walk would stand still.
      {"a length that wraps in 32 bits", [](auto& z) { PutLE32(z, 18, 0xFFFFFFE2); }},
      {"a length just past 4 GiB", [](auto& z) { PutLE32(z, 18, 0xFFFFFFF0); }},
  };
  for (const auto& c : cases) {
    auto zip = good;
    c.spoil(zip);
    for (CarverFn carver : {CarveZip, CarveOoxml}) {
      auto at = LayOut(8, zip.size(), {10});
      auto s = CarveSession(test::Image(at.back() + 4, zip, at), 4, 0);
      test::MarkAll(*s, {10});
      carver(*s, "", 8 * 512);
      EXPECT_EQ(Marked(*s), std::vector<uint64_t>{10}) << c.what;
    }
  }
  // The archive's last sector lies outside the scan range.
  for (CarverFn carver : {CarveZip, CarveOoxml}) {
    auto at = LayOut(8, good.size(), {});
    auto s = CarveSession(test::Image(at.back() + 4, good, at));
    s->LastScanSector = static_cast<int64_t>(at.back() - 1);
    carver(*s, "", 8 * 512);
    EXPECT_TRUE(Marked(*s).empty());
  }
}

TEST_F(ZipCarvers, AClaimedStartIsLeftAlone) {
  auto zip = Zip(Mixed(), "-0");
  auto at = LayOut(8, zip.size(), {});
  for (CarverFn carver : {CarveZip, CarveOoxml}) {
    auto s = CarveSession(test::Image(at.back() + 4, zip, at));
    s->Map.MarkSector(8);
    carver(*s, "", 8 * 512);
    EXPECT_EQ(Marked(*s), std::vector<uint64_t>{8});
  }
}

TEST_F(ZipCarvers, APackageMadeByZipWithItsContentTypesFirst) {
  auto pkg = Zip({{"[Content_Types].xml", Text(1200)},
                  {"_rels/.rels", Text(600)},
                  {"word/document.xml", Text(90000)},
                  {"word/media/image1.png", RandomBytes(30000, 9)}},
                 "-X");
  ASSERT_TRUE(BytesEqual(pkg, 30, "[Content_Types].xml"));
  auto at = LayOut(40, pkg.size(), {41, 45, 46});
  auto s = CarveSession(test::Image(at.back() + 4, pkg, at), 2, 0);
  test::MarkAll(*s, {41, 45, 46});
  CarveOoxml(*s, "/nowhere/", 40 * 512);
  EXPECT_EQ(Marked(*s), ExpectedClaims(at, pkg.size(), {41, 45, 46}, 2, 0));
  EXPECT_EQ(s->RescuedCount, 0u);

  // Without its end-of-central-directory record the package is refused.
  auto cut = pkg;
  cut.resize(pkg.size() - 22);
  auto t = CarveSession(test::Image(at.back() + 4, cut, at));
  CarveOoxml(*t, "", 40 * 512);
  EXPECT_TRUE(Marked(*t).empty());
}

// A hand-made package: one entry named "[Content_Types].xml" whose local
// record is `record` bytes long, then a central header and an end record.
std::vector<uint8_t> PackageWithRecord(uint64_t record) {
  const std::string name = "[Content_Types].xml";
  std::vector<uint8_t> img(record + 46 + name.size() + 22 + 4096, 0);
  PutLE32(img, 0, 0x04034B50);
  PutLE32(img, 18, static_cast<uint32_t>(record - 30 - name.size()));
  img[26] = static_cast<uint8_t>(name.size());
  std::copy(name.begin(), name.end(), img.begin() + 30);
  PutLE32(img, record, 0x02014B50);
  img[record + 28] = static_cast<uint8_t>(name.size());
  PutLE32(img, record + 46 + name.size(), 0x06054B50);
  return img;
}

TEST_F(ZipCarvers, TheOfficeCarverRefusesRecordsOver200MiB) {
  const uint64_t limit = 209'715'200;
  {
    auto s = CarveSession(PackageWithRecord(limit + 1));
    CarveOoxml(*s, "", 0);
    EXPECT_TRUE(Marked(*s).empty());
  }
  auto s = CarveSession(PackageWithRecord(limit));
  CarveOoxml(*s, "", 0);
  EXPECT_EQ(Marked(*s), SectorRun(0, test::SectorsOf(limit + 46 + 19 + 22)));
}

TEST_F(ZipCarvers, ADatabaseAroundAnArchiveIsRescuedWhole) {
  if (!test::HaveTool("gsf")) GTEST_SKIP() << "gsf (libgsf-bin) is not installed";
  auto db = test::MakeQQDatabase();
  auto zip = Zip(Mixed(), "-6");
  auto pkg = Zip({{"[Content_Types].xml", Text(1200)}, {"word/document.xml", Text(50000)}}, "");
  for (auto [archive, carver] : {std::pair{&zip, &CarveZip}, std::pair{&pkg, &CarveOoxml}}) {
    auto with = test::RescueAround(db, *archive, carver);
    EXPECT_TRUE(with.Written);
    EXPECT_TRUE(with.SameBytes);
    auto without = test::RescueAround(db, *archive, nullptr);
    // A package of stored text between the pieces is told from the
    // database's encrypted data without the archive's carver too; deflated
    // members are not.
    if (archive == &zip) {
      EXPECT_FALSE(without.Written && without.SameBytes);
    } else if (without.Written) {
      EXPECT_TRUE(without.SameBytes);
    }
  }
}

}  // namespace
}  // namespace tarnwick
