#include "carvers/zip_drawing.h"

#include <gtest/gtest.h>

#include "carvers/qq_database.h"
#include "media_support.h"
#include "source/bytes.h"

namespace tarnwick {
namespace {

using namespace test::media;
using test::CarveSession;

// The drawing's parts, written as files to pack.
const char* kParts =
    "mkdir -p content && head -c 20000 /dev/urandom > content/riffData.cdr && "
    "head -c 3000 /dev/urandom > content/root.xml && head -c 70000 /dev/urandom > preview.png && ";

// A ZIP-packaged drawing with "content/riffData.cdr" first, stored or
// deflated, closed by a 10-byte comment.
std::vector<uint8_t> Package(bool stored) {
  return Made(stored ? "drawing-stored.zip" : "drawing-deflated.zip",
              std::string(kParts) + "zip -q -X " + (stored ? "-0 " : "") +
                  "\"$OUT\" content/riffData.cdr content/root.xml preview.png && "
                  "printf 0123456789 | zip -q -z \"$OUT\"");
}
// One stored entry with an 8-byte name, no extra field and 100,000 bytes.
std::vector<uint8_t> OneLargeEntry() {
  return Made("drawing-large.zip",
              "head -c 100000 /dev/urandom > drawing1 && zip -q -X -0 \"$OUT\" drawing1");
}
// Written to a pipe, so each entry's sizes follow its data in a descriptor.
std::vector<uint8_t> StreamedPackage() {
  return Made(
      "drawing-streamed.zip",
      std::string(kParts) + "zip -q - content/riffData.cdr content/root.xml | cat > \"$OUT\"");
}

class ZipDrawingCarver : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::HaveTool("zip")) GTEST_SKIP() << "zip is not installed";
  }
};

std::vector<uint64_t> CarveLaid(const std::vector<uint8_t>& file, uint64_t start,
                                uint32_t spc = 1) {
  const uint64_t n = SectorsOf(file.size());
  auto s = CarveSession(ImageWith(start + n + 24, file, SectorRun(start, n)), spc, 0);
  CarveZipDrawing(*s, "", start * kSector);
  return Marked(*s);
}

TEST_F(ZipDrawingCarver, APackageIsClaimedToItsLastCommentByte) {
  for (bool stored : {true, false}) {
    auto pkg = Package(stored);
    ASSERT_FALSE(pkg.empty());
    ASSERT_EQ(LE16(pkg, pkg.size() - 12), 10u) << "the end record's comment length";
    ASSERT_TRUE(BytesEqual(pkg, pkg.size() - 10, "0123456789"));
    ASSERT_TRUE(BytesEqual(pkg, 30, "content/riffData.cdr"));
    for (uint32_t spc : {1u, 8u}) {
      EXPECT_EQ(CarveLaid(pkg, 16, spc),
                ExpectedClaims(SectorRun(16, SectorsOf(pkg.size())), pkg.size(), spc))
          << (stored ? "stored" : "deflated") << ", " << spc << " sectors per cluster";
    }
  }
}

TEST_F(ZipDrawingCarver, ALargeEntryIsClaimedWithoutBeingRead) {
  auto pkg = OneLargeEntry();
  ASSERT_EQ(LE16(pkg, 26), 8u);
  ASSERT_EQ(LE16(pkg, 28), 0u);
  ASSERT_EQ(LE32(pkg, 18), 100000u);
  const uint64_t n = SectorsOf(pkg.size());
  std::vector<uint64_t> reads;
  auto s = DeviceSession(
      std::make_unique<RecordingDevice>(ImageWith(n + 200, pkg, SectorRun(4, n)), &reads));
  reads.clear();
  CarveZipDrawing(*s, "", 4 * kSector);
  EXPECT_EQ(Marked(*s), SectorRun(4, n));
  // The start sector's window, then the window from the record's last sector
  // (the 196th: 194 were passed unread beyond the first window's reach), which
  // holds the last 710 bytes of the record and the central directory.
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(reads[0], 4 * kSector);
  EXPECT_EQ(reads[1], (4 + 195) * kSector);
}

TEST_F(ZipDrawingCarver, FollowsThePackageAcrossSectorsClaimedBeforehand) {
  auto pkg = Package(false);
  const std::set<uint64_t> foreign = {11, 12, 13, 50, 51, 52, 53, 54, 120, 160, 161};
  auto at = SectorsAvoiding(10, SectorsOf(pkg.size()), foreign);
  auto s = CarveSession(ImageWith(at.back() + 20, pkg, at), 4, 2);
  for (uint64_t f : foreign) s->Map.MarkSector(f);
  CarveZipDrawing(*s, "", 10 * kSector);
  EXPECT_EQ(Marked(*s), ExpectedClaims(at, pkg.size(), 4, 2, foreign));
}

TEST_F(ZipDrawingCarver, FailuresGiveEverySectorBack) {
  auto streamed = StreamedPackage();
  ASSERT_NE(LE16(streamed, 6) & 8, 0) << "the first entry uses a data descriptor";
  EXPECT_TRUE(CarveLaid(streamed, 6).empty()) << "data descriptor";
  EXPECT_TRUE(CarveLaid(streamed, 6, 8).empty()) << "data descriptor";

  auto pkg = Package(true);
  const uint64_t n = SectorsOf(pkg.size());
  {
    auto s = CarveSession(ImageWith(n + 20, pkg, SectorRun(6, n)));
    s->LastScanSector = static_cast<int64_t>(6 + n - 2);
    CarveZipDrawing(*s, "", 6 * kSector);
    EXPECT_TRUE(Marked(*s).empty()) << "the package is cut off before its end record";
  }
  {
    auto spoiled = pkg;
    const size_t second = 30 + 20 + LE32(pkg, 18);  // stored entry without extra field
    ASSERT_EQ(LE32(spoiled, second), 0x04034B50u);
    spoiled[second + 3] = 0x07;  // "PK" 03 07: no record
    EXPECT_TRUE(CarveLaid(spoiled, 6).empty()) << "a signature that is no record";
  }
  {
    auto spoiled = pkg;
    spoiled[2] = 0x01;
    spoiled[3] = 0x02;
    EXPECT_TRUE(CarveLaid(spoiled, 6).empty()) << "a start that is no local header";
  }
}

TEST_F(ZipDrawingCarver, APackageIsCountedOnlyWhenAFolderIsGivenAndNeverWritten) {
  auto pkg = Package(false);
  const uint64_t n = SectorsOf(pkg.size());
  test::TempDir out("zipdrawing-out");
  auto s = CarveSession(ImageWith(n + 10, pkg, SectorRun(2, n)));
  CarveZipDrawing(*s, "", 2 * kSector);
  EXPECT_EQ(s->RescuedCount, 0u);
  auto again = CarveSession(ImageWith(n + 10, pkg, SectorRun(2, n)));
  CarveZipDrawing(*again, out.Path().string() + "/", 2 * kSector);
  EXPECT_EQ(again->RescuedCount, 1u);
  EXPECT_TRUE(WrittenFiles(out.Path()).empty());
  EXPECT_EQ(Marked(*again), SectorRun(2, n));
}

TEST_F(ZipDrawingCarver, ADatabaseAroundAPackageIsRescuedByteForByte) {
  if (!test::HaveTool("gsf")) GTEST_SKIP() << "gsf (libgsf-bin) is not installed";
  const auto db = QQDatabase();
  for (auto [what, pkg] :
       {std::pair{"compressed", Package(true)}, std::pair{"stored", Package(false)},
        std::pair{"one large entry", OneLargeEntry()}})
    ExpectDatabaseBackAround(db, pkg, CarveZipDrawing, what);
}

}  // namespace
}  // namespace tarnwick
