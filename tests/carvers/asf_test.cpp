#include "carvers/asf.h"

#include <gtest/gtest.h>

#include "carvers/qq_database.h"
#include "media_support.h"
#include "scan/classify.h"
#include "source/bytes.h"
#include "support/recording_frontend.h"

namespace tarnwick {
namespace {

using namespace test::media;
using test::CarveSession;

using Guid = std::array<uint8_t, 16>;
// GUIDs in their stored byte order.
constexpr Guid kHeader = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                          0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr Guid kData = {0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                        0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr Guid kFileProperties = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                  0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr Guid kSimpleIndex = {0x90, 0x08, 0x00, 0x33, 0xB1, 0xE5, 0xCF, 0x11,
                               0x89, 0xF4, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xCB};
// Of the D2D0A4xx family (an index object).
constexpr Guid kIndex = {0xD3, 0x29, 0xE2, 0xD6, 0xDA, 0x35, 0xD1, 0x11,
                         0x90, 0x34, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xBE};
constexpr Guid kFamilyD2D0A4 = {0x40, 0xA4, 0xD0, 0xD2, 0x07, 0xE3, 0xD2, 0x11,
                                0x97, 0xF0, 0x00, 0xA0, 0xC9, 0x5E, 0xA8, 0x50};
// Of the 75B226xx family, but not the data object.
constexpr Guid kFamily75B226 = {0x33, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};

void PutLE64(std::vector<uint8_t>& v, size_t at, uint64_t x) {
  for (int i = 0; i < 8; ++i) v[at + static_cast<size_t>(i)] = static_cast<uint8_t>(x >> (8 * i));
}

// An object whose size field is `size`, with `body` bytes of filler after its header.
std::vector<uint8_t> Object(const Guid& guid, uint64_t size, size_t body, uint32_t seed = 4) {
  std::vector<uint8_t> o = RandomBytes(24 + body, seed);
  std::copy(guid.begin(), guid.end(), o.begin());
  PutLE64(o, 16, size);
  return o;
}
std::vector<uint8_t> Object(const Guid& guid, size_t total) {
  return Object(guid, total, total - 24);
}

std::vector<uint8_t> Join(const std::vector<std::vector<uint8_t>>& parts) {
  std::vector<uint8_t> f;
  for (const auto& p : parts) f.insert(f.end(), p.begin(), p.end());
  return f;
}

// The first sector of a header-first file whose File Properties give fileSize.
std::vector<uint8_t> HeaderFirstSector(uint64_t fileSize, const Guid& first = kFileProperties) {
  std::vector<uint8_t> s = RandomBytes(kSector, 8);
  std::copy(kHeader.begin(), kHeader.end(), s.begin());
  std::copy(first.begin(), first.end(), s.begin() + 30);
  PutLE64(s, 70, fileSize);
  return s;
}

std::vector<uint8_t> Wmv() { return FfmpegMedia("clip.wmv", "-c:v wmv2 -c:a wmav2"); }
std::vector<uint8_t> Wma() {
  return Made("clip.wma",
              "ffmpeg -v error -nostdin -y -f lavfi -i sine=duration=4 -c:a wmav2 -fflags "
              "+bitexact \"$OUT\"");
}

// The file with the header object's first sub-object (its File Properties)
// moved behind the others: the other object order.
std::vector<uint8_t> Reordered(const std::vector<uint8_t>& f) {
  const size_t headerEnd = static_cast<size_t>(LE64(f, 16));
  const size_t firstEnd = 30 + static_cast<size_t>(LE64(f, 30 + 16));
  auto piece = [&](size_t from, size_t to) {
    return std::vector<uint8_t>(f.begin() + static_cast<std::ptrdiff_t>(from),
                                f.begin() + static_cast<std::ptrdiff_t>(to));
  };
  return Join(
      {piece(0, 30), piece(firstEnd, headerEnd), piece(30, firstEnd), piece(headerEnd, f.size())});
}

// Where the data object ends, walking the top-level objects.
uint64_t DataObjectEnd(const std::vector<uint8_t>& f) {
  uint64_t pos = 0;
  while (pos + 24 <= f.size()) {
    const uint64_t size = LE64(f, static_cast<size_t>(pos) + 16);
    if (size < 24) return 0;
    const bool data = f[static_cast<size_t>(pos)] == 0x36;
    pos += size;
    if (data) return pos;
  }
  return 0;
}

template <typename Carver>
std::vector<uint64_t> CarveLaid(Carver carve, const std::vector<uint8_t>& file, uint64_t start,
                                uint32_t spc = 1, uint64_t spare = 24) {
  const uint64_t n = SectorsOf(file.size());
  auto s = CarveSession(ImageWith(start + n + spare, file, SectorRun(start, n)), spc, 0);
  carve(*s, "", start * kSector);
  return Marked(*s);
}

class AsfCarver : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why = Missing({"ffmpeg"});
    if (!why.empty()) GTEST_SKIP() << why;
  }
};

TEST_F(AsfCarver, FilesMadeByFfmpegAreClaimedByTheirFileSize) {
  for (auto [name, file] : {std::pair{"WMV", Wmv()}, std::pair{"WMA", Wma()}}) {
    ASSERT_FALSE(file.empty());
    ASSERT_EQ(Classify(file, 512), 13) << name;
    ASSERT_EQ(LE64(file, 70), file.size()) << name;
    for (uint32_t spc : {1u, 4u}) {
      EXPECT_EQ(CarveLaid(CarveAsf, file, 12, spc),
                ExpectedClaims(SectorRun(12, SectorsOf(file.size())), file.size(), spc))
          << name << ", " << spc << " sectors per cluster";
    }
    const std::set<uint64_t> foreign = {13, 14, 30, 31, 32, 60};
    auto at = SectorsAvoiding(12, SectorsOf(file.size()), foreign);
    std::vector<uint64_t> reads;
    auto s = DeviceSession(
        std::make_unique<RecordingDevice>(ImageWith(at.back() + 20, file, at), &reads));
    for (uint64_t f : foreign) s->Map.MarkSector(f);
    reads.clear();
    CarveAsf(*s, "", 12 * kSector);
    EXPECT_EQ(Marked(*s), ExpectedClaims(at, file.size(), 1, 0, foreign)) << name;
    EXPECT_EQ(reads.size(), 1u) << name << ": only the start sector is read";
  }
}

TEST(AsfFileSize, DecidesHowManySectorsAreClaimed) {
  {
    auto s = CarveSession(ImageWith(2100, HeaderFirstSector(1'048'576), {10}));
    CarveAsf(*s, "", 10 * kSector);
    EXPECT_EQ(Marked(*s), SectorRun(10, 2048));
  }
  {
    auto s = CarveSession(ImageWith(40, HeaderFirstSector(0), {10}), 4);
    CarveAsf(*s, "", 10 * kSector);
    EXPECT_EQ(Marked(*s), (std::vector<uint64_t>{10, 11})) << "the start sector and its cluster";
  }
  {
    // 20 GiB is the largest size taken; the image ends long before it.
    auto s = CarveSession(ImageWith(40, HeaderFirstSector(5ull << 32), {10}));
    s->LastScanSector = 30;
    CarveAsf(*s, "", 10 * kSector);
    EXPECT_EQ(Marked(*s), SectorRun(10, 21)) << "claims up to the last scan sector and keeps them";
  }
  for (auto [what, sector] :
       {std::pair{"a byte over 20 GiB", HeaderFirstSector((5ull << 32) + 1)},
        std::pair{"a size with its top bit set", HeaderFirstSector(~0ull)},
        std::pair{"no File Properties first", HeaderFirstSector(4096, kData)}}) {
    auto s = CarveSession(ImageWith(40, sector, {10}));
    CarveAsf(*s, "", 10 * kSector);
    EXPECT_TRUE(Marked(*s).empty()) << what;
  }
}

TEST(AsfFileSize, StepsOverSectorsClaimedBeforehand) {
  auto s = CarveSession(ImageWith(60, HeaderFirstSector(10 * kSector), {5}));
  for (uint64_t f : {6, 7, 12}) s->Map.MarkSector(f);
  CarveAsf(*s, "", 5 * kSector);
  EXPECT_EQ(Marked(*s), SectorRun(5, 13)) << "ten of its own, three claimed before";
}

TEST_F(AsfCarver, TheOtherObjectOrderIsWalkedThroughTheIndexToTheFileEnd) {
  for (auto [name, original] : {std::pair{"WMV", Wmv()}, std::pair{"WMA", Wma()}}) {
    const auto file = Reordered(original);
    ASSERT_EQ(file.size(), original.size());
    ASSERT_EQ(Classify(file, 512), 20) << name;
    if (test::HaveTool("ffprobe")) {
      test::TempDir dir("asf");
      test::WriteFileBytes(dir / "r.asf", file);
      auto r = test::Run("ffprobe -v error -show_entries format=format_name -of csv=p=0 " +
                         test::ShellQuote((dir / "r.asf").string()));
      EXPECT_EQ(r.Status, 0) << name << ": " << r.Err;
      EXPECT_NE(r.Out.find("asf"), std::string::npos) << name << ": the reordered file is an ASF";
    }
    const uint64_t end = DataObjectEnd(file);
    ASSERT_GT(end, 0u);
    if (std::string(name) == "WMV") {
      ASSERT_LT(end, file.size()) << "ffmpeg writes a simple index behind a video's data";
    }
    for (uint32_t spc : {1u, 8u}) {
      EXPECT_EQ(CarveLaid(CarveAsfObjectWalk, file, 16, spc),
                ExpectedClaims(SectorRun(16, SectorsOf(file.size())), file.size(), spc))
          << name << ", " << spc << " sectors per cluster";
    }
  }
}

TEST(AsfObjectWalk, ClaimsTheIndexObjectsBehindTheDataObject) {
  const auto head = Join(
      {Object(kHeader, 1000), Object(kFamilyD2D0A4, 2000), Object(kData, 10 * kSector - 3000)});
  const auto file = Join({head, Object(kSimpleIndex, 3000), Object(kIndex, 1200)});
  EXPECT_EQ(CarveLaid(CarveAsfObjectWalk, file, 4), SectorRun(4, SectorsOf(file.size())));
  EXPECT_EQ(CarveLaid(CarveAsfObjectWalk, file, 4, 4), SectorRun(4, 20))
      << "and the rest of the last index object's cluster";
  // What follows the indexes and is not one ends the file: another family
  // member, or an index object too short or reaching past the scan range.
  for (auto [what, tail] :
       {std::pair{"a header-family object", Object(kFamily75B226, 3000)},
        std::pair{"an index of 24 bytes", Object(kIndex, 24, 2000)},
        std::pair{"an index past the scan range", Object(kIndex, 1u << 20, 2000)}}) {
    const auto more = Join({file, tail});
    EXPECT_EQ(CarveLaid(CarveAsfObjectWalk, more, 4), SectorRun(4, SectorsOf(file.size()))) << what;
  }
  // Ending inside a sector, the next file's share of that sector goes with it.
  const auto odd = Join({Object(kHeader, 700), Object(kData, 5000), Object(kSimpleIndex, 4000)});
  EXPECT_EQ(CarveLaid(CarveAsfObjectWalk, odd, 4), SectorRun(4, SectorsOf(9700)));
  EXPECT_EQ(CarveLaid(CarveAsfObjectWalk, head, 4), SectorRun(4, 10))
      << "no index: the data object's end is the file's";
}

TEST(AsfObjectWalk, ObjectsOutsideBothFamiliesAndBadSizesFailTheCarve) {
  struct Case {
    const char* what;
    std::vector<uint8_t> file;
    uint64_t length;  // 0: the carve fails
  };
  const auto header = Object(kHeader, 600);
  const auto data = Object(kData, 3000);
  Guid foreign = kFamily75B226;
  foreign[5] ^= 0x01;
  std::vector<Case> cases = {
      {"a header object and a data object", Join({header, data}), 3600},
      {"both families before the data object",
       Join({header, Object(kFamily75B226, 900), Object(kFamilyD2D0A4, 800), data}), 5300},
      {"the first GUID byte is free in both families",
       Join({header,
             Object({0xFF, 0xA4, 0xD0, 0xD2, 0x07, 0xE3, 0xD2, 0x11, 0x97, 0xF0, 0x00, 0x11, 0x22,
                     0x33, 0x44, 0x55},
                    400),
             data}),
       4000},
      {"an object of 25 bytes", Join({header, Object(kFamily75B226, 25, 1), data}), 3625},
      {"an object of neither family", Join({header, Object(foreign, 500), data}), 0},
      {"a header object of 24 bytes", Join({Object(kHeader, 24, 0), data}), 0},
      {"an object of 24 bytes", Join({header, Object(kFamily75B226, 24, 0), data}), 0},
      {"an object over 20 GiB", Join({header, Object(kData, (5ull << 32) + 1, 3000)}), 0},
      {"an object size with its top bit set", Join({header, Object(kData, ~0ull - 5, 3000)}), 0},
  };
  for (const auto& c : cases) {
    auto got = CarveLaid(CarveAsfObjectWalk, c.file, 6);
    if (c.length == 0) {
      EXPECT_TRUE(got.empty()) << c.what;
    } else {
      EXPECT_EQ(got, SectorRun(6, SectorsOf(c.length))) << c.what;
    }
  }
  {
    auto file = Join({header, data});
    file[3] ^= 0x10;
    EXPECT_TRUE(CarveLaid(CarveAsfObjectWalk, file, 6).empty()) << "no header object at the start";
  }
}

TEST(AsfObjectWalk, ADataObjectPastTheScanRangeGivesEverythingBack) {
  const auto file = Join({Object(kHeader, 600), Object(kData, 40 * kSector)});
  const uint64_t n = SectorsOf(file.size());
  for (uint64_t last : {n - 1, n / 2, uint64_t{5}}) {
    auto s = CarveSession(ImageWith(n + 20, file, SectorRun(2, n)));
    s->LastScanSector = static_cast<int64_t>(last);
    CarveAsfObjectWalk(*s, "", 2 * kSector);
    EXPECT_TRUE(Marked(*s).empty()) << "last scan sector " << last;
  }
}

TEST(AsfObjectWalk, AHundredMegabyteDataObjectIsClaimedAlmostEntirelyUnread) {
  const auto file = Join({Object(kHeader, 2000), Object(kData, 100'000'000, 0)});
  const uint64_t length = 2000 + 100'000'000;
  std::set<uint64_t> foreign;
  for (uint64_t f = 9000; f < 9100; ++f) foreign.insert(f);
  foreign.insert(150'000);
  auto at = SectorsAvoiding(3, SectorsOf(length), foreign);
  std::vector<uint8_t> image(static_cast<size_t>((at.back() + 30) * kSector), 0x5A);
  Lay(image, file, at);
  std::vector<uint64_t> reads;
  auto s = DeviceSession(std::make_unique<RecordingDevice>(std::move(image), &reads), 8);
  for (uint64_t f : foreign) s->Map.MarkSector(f);
  test::RecordingFrontend ui;
  s->SetFrontend(&ui);
  reads.clear();
  CarveAsfObjectWalk(*s, "", 3 * kSector);
  EXPECT_EQ(Marked(*s), ExpectedClaims(at, length, 8, 0, foreign));
  EXPECT_LE(reads.size(), 3u) << "device reads of 64 KiB";
}

TEST(AsfObjectWalk, ManySmallObjectsAreWalkedInACompactedBuffer) {
  std::vector<std::vector<uint8_t>> parts = {Object(kHeader, 512)};
  for (int i = 0; i < 60; ++i) parts.push_back(Object(i % 2 ? kFamily75B226 : kFamilyD2D0A4, 512));
  // After 61 objects of a sector each the buffer is compacted right up to
  // the next object, which must still be checked.
  Guid foreign = kFamilyD2D0A4;
  foreign[4] = 0;
  auto bad = parts;
  bad.push_back(Object(foreign, 512));
  bad.push_back(Object(kData, 2000));
  EXPECT_TRUE(CarveLaid(CarveAsfObjectWalk, Join(bad), 7).empty());

  for (int i = 0; i < 400; ++i)
    parts.push_back(
        Object(i % 3 ? kFamily75B226 : kFamilyD2D0A4, 100 + static_cast<size_t>(i % 7)));
  parts.push_back(Object(kData, 5000));
  const auto file = Join(parts);
  test::RecordingFrontend ui;
  const uint64_t n = SectorsOf(file.size());
  auto s = CarveSession(ImageWith(n + 30, file, SectorRun(7, n)));
  s->SetFrontend(&ui);
  CarveAsfObjectWalk(*s, "", 7 * kSector);
  EXPECT_EQ(Marked(*s), SectorRun(7, n));
  ASSERT_FALSE(ui.LabelHistory.empty());
  EXPECT_EQ(ui.LabelHistory.front().rfind("Sector: 7, ", 0), 0u) << ui.LabelHistory.front();
}

TEST_F(AsfCarver, ADatabaseAroundEachFileIsRescuedByteForByte) {
  if (!test::HaveTool("gsf")) GTEST_SKIP() << "gsf (libgsf-bin) is not installed";
  const auto db = QQDatabase();
  struct Case {
    const char* name;
    std::vector<uint8_t> file;
    void (*carve)(Session&, const std::string&, uint64_t);
  };
  for (const auto& c : {Case{"WMV", Wmv(), CarveAsf}, Case{"WMA", Wma(), CarveAsf},
                        Case{"WMA, other order", Reordered(Wma()), CarveAsfObjectWalk}})
    ExpectDatabaseBackAround(db, c.file, c.carve, c.name);
}

}  // namespace
}  // namespace tarnwick
