#include "carvers/cab_7z.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include "carvers/archive_support.h"
#include "source/bytes.h"
#include "support/recording_frontend.h"

namespace tarnwick {
namespace {

using test::CarveSession;
using test::ExpectedClaims;
using test::LayOut;
using test::Marked;
using test::RandomBytes;
using test::SectorRun;

std::vector<uint8_t> Prose(size_t n) {
  std::string line = "Cabinet files keep their folders and data blocks after the header.\n";
  std::vector<uint8_t> v;
  while (v.size() < n) v.insert(v.end(), line.begin(), line.end());
  v.resize(n);
  return v;
}

std::vector<uint8_t> Gcab(bool compress) {
  test::TempDir dir("cab");
  test::WriteFileBytes(dir / "noise.bin", RandomBytes(100'000, 1));
  test::WriteFileBytes(dir / "prose.txt", Prose(60'000));
  test::Shell(dir,
              std::string("gcab -c ") + (compress ? "-z " : "") + "out.cab noise.bin prose.txt");
  return test::ReadFileBytes(dir / "out.cab");
}

// A 7z archive as p7zip writes it (format version 0.4), with the given
// switches: the level, or -mhc=off for an uncompressed header.
std::vector<uint8_t> SevenZip(const std::string& switches = "") {
  test::TempDir dir("7z");
  test::WriteFileBytes(dir / "noise.bin", RandomBytes(70'000, 2));
  test::WriteFileBytes(dir / "prose.txt", Prose(50'000));
  test::Shell(dir, "7z a -bd -bso0 " + switches + " out.7z noise.bin prose.txt");
  return test::ReadFileBytes(dir / "out.7z");
}

void PutLE32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
  for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}

void PutLE64(std::vector<uint8_t>& v, size_t at, uint64_t x) {
  for (int i = 0; i < 8; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}

uint32_t Crc(const uint8_t* p, size_t n) {
  return static_cast<uint32_t>(crc32(0, p, static_cast<uInt>(n)));
}

// A 7z start header with the given next-header offset and size, and the
// next header's CRC as given; its own CRC holds.
std::vector<uint8_t> SevenZipHeader(uint64_t offset, uint64_t size, uint32_t nextCrc = 0,
                                    uint8_t minor = 4) {
  const uint8_t signature[] = {0x37, 0x7A, 0xBC, 0xAF, 0x27, 0x1C, 0x00, minor};
  std::vector<uint8_t> h(32, 0);
  std::copy(std::begin(signature), std::end(signature), h.begin());
  PutLE64(h, 12, offset);
  PutLE64(h, 20, size);
  PutLE32(h, 28, nextCrc);
  PutLE32(h, 8, Crc(h.data() + 12, 20));
  return h;
}

// A whole archive of that layout: packed bytes, then a next header whose
// CRC holds.
std::vector<uint8_t> SevenZipArchive(uint64_t offset, uint64_t size, uint8_t minor = 4) {
  std::vector<uint8_t> body = RandomBytes(offset + size, 3);
  auto a = SevenZipHeader(offset, size, Crc(body.data() + offset, size), minor);
  a.insert(a.end(), body.begin(), body.end());
  return a;
}

bool HaveTools() { return test::HaveTool("gcab") && test::HaveTool("7z"); }

TEST(CabAnd7zCarvers, ClaimTheSizeThatTheHeaderStates) {
  if (!HaveTools()) GTEST_SKIP() << "gcab or p7zip is not installed";
  struct Case {
    const char* what;
    std::vector<uint8_t> file;
    CarverFn carver;
  };
  std::vector<Case> cases = {{"stored cabinet", Gcab(false), CarveCab},
                             {"compressed cabinet", Gcab(true), CarveCab},
                             {"7z", SevenZip(), Carve7z},
                             {"7z stored", SevenZip("-mx0"), Carve7z},
                             {"7z ultra", SevenZip("-mx9"), Carve7z},
                             {"7z with a plain header", SevenZip("-mhc=off"), Carve7z},
                             {"7z of version 0.3", SevenZipArchive(9000, 300, 3), Carve7z},
                             {"7z of version 0.2", SevenZipArchive(300, 40, 2), Carve7z}};
  const std::set<uint64_t> foreign = {12, 13, 14, 100, 101, 200};
  for (const auto& c : cases) {
    // What the tools wrote is the whole archive by its own header.
    if (c.carver == CarveCab) {
      EXPECT_EQ(LE32(c.file, 8), c.file.size()) << c.what;
    } else {
      EXPECT_EQ(32 + LE64(c.file, 12) + LE64(c.file, 20), c.file.size()) << c.what;
    }
    for (auto [spc, phase] : {std::pair{1u, 0}, std::pair{8u, 5}}) {
      auto at = LayOut(11, c.file.size(), foreign);
      auto s = CarveSession(test::Image(std::max<uint64_t>(at.back(), 200) + 20, c.file, at), spc,
                            phase);
      test::MarkAll(*s, foreign);
      c.carver(*s, "", 11 * 512);
      EXPECT_EQ(Marked(*s), ExpectedClaims(at, c.file.size(), foreign, spc, phase)) << c.what;
    }
  }
}

TEST(CabAnd7zCarvers, NothingButTheStartSectorAndTheNextHeaderIsRead) {
  if (!HaveTools()) GTEST_SKIP() << "gcab or p7zip is not installed";
  for (auto [file, carver] :
       {std::pair{Gcab(true), &CarveCab}, std::pair{SevenZipArchive(200'000, 3000), &Carve7z}}) {
    auto at = LayOut(300, file.size(), {});
    // Every sector behind the start sector's 64 KiB read window is bad, up
    // to the 7z archive's next header (the cabinet's end).
    const uint64_t readable = carver == &Carve7z ? 300 + (32 + 200'000) / 512 : at.back() + 200;
    std::set<uint64_t> bad;
    for (uint64_t n = 300 + 128; n < readable; ++n) bad.insert(n);
    auto s = test::FaultySession(test::Image(at.back() + 200, file, at), bad);
    carver(*s, "", 300 * 512);
    EXPECT_EQ(Marked(*s), ExpectedClaims(at, file.size()));
    EXPECT_TRUE(test::NeverAskedFor(*s, bad));
  }
}

TEST(CabAnd7zCarvers, SizesFromTheHeaderAreTakenAsTheyStand) {
  if (!HaveTools()) GTEST_SKIP() << "gcab or p7zip is not installed";
  auto cab = Gcab(false);
  {
    cab[8] = 100;  // a cabinet smaller than a sector
    cab[9] = cab[10] = cab[11] = 0;
    auto s = CarveSession(test::Image(400, cab, LayOut(3, cab.size(), {})));
    CarveCab(*s, "", 3 * 512);
    EXPECT_EQ(Marked(*s), SectorRun(3, 1));
  }
  {
    // A cabinet of 100,000 bytes: 196 sectors, stepping over claimed ones.
    PutLE64(cab, 8, 100'000);  // with the reserved word after it
    auto s = CarveSession(test::Image(400, cab, LayOut(3, cab.size(), {})));
    test::MarkAll(*s, {4, 5});
    ASSERT_GT(cab.size(), 100'000u);
    CarveCab(*s, "", 3 * 512);
    auto marked = Marked(*s);
    EXPECT_EQ(marked.size(), 196u + 2);
    EXPECT_EQ(marked.back(), 3u + 196 + 2 - 1);
  }
  // A 7z archive with next-header offset 1,000 and size 100: 3 sectors.
  auto s = CarveSession(test::Image(50, SevenZipArchive(1000, 100), {9, 10, 11}));
  Carve7z(*s, "", 9 * 512);
  EXPECT_EQ(Marked(*s), SectorRun(9, 3));
}

TEST(CabAnd7zCarvers, TheScanRangeEndStopsTheClaimWithoutFailingIt) {
  if (!HaveTools()) GTEST_SKIP() << "gcab or p7zip is not installed";
  for (auto [file, carver] : {std::pair{Gcab(false), &CarveCab}, std::pair{SevenZip(), &Carve7z}}) {
    auto at = LayOut(20, file.size(), {25});
    auto s = CarveSession(test::Image(at.back() + 20, file, at));
    test::MarkAll(*s, {25});
    s->LastScanSector = 90;
    carver(*s, "", 20 * 512);
    std::vector<uint64_t> want = SectorRun(20, 71);
    EXPECT_EQ(Marked(*s), want);
  }
}

TEST(CabAnd7zCarvers, The7zSizeLimitIs20GiB) {
  const uint64_t limit = 21'474'836'480;
  struct Case {
    const char* what;
    uint64_t offset, size;
    bool kept;
  };
  for (Case c : {Case{"exactly 20 GiB", limit - 32 - 100, 100, true},
                 Case{"one byte more", limit - 32 - 99, 100, false},
                 Case{"a size over the limit", 0, limit, false},
                 // Added up in 64 bits these would pass for a small archive.
                 Case{"a sum of 2^63", 1ull << 62, 3ull << 61, false},
                 Case{"a sum that wraps 64 bits", ~0ull, 0x40, false}}) {
    auto s = CarveSession(test::Image(64, SevenZipHeader(c.offset, c.size), {4}));
    test::MarkAll(*s, {10});
    Carve7z(*s, "", 4 * 512);
    std::vector<uint64_t> want = {10};
    if (c.kept) {
      want = SectorRun(4, 60);  // up to the end of the scan range
    }
    EXPECT_EQ(Marked(*s), want) << c.what;
  }
}

TEST(CabAnd7zCarvers, WrongSignaturesAndClaimedStartsAreTurnedAway) {
  if (!HaveTools()) GTEST_SKIP() << "gcab or p7zip is not installed";
  auto cab = Gcab(true);
  cab[0] = 'm';
  struct Case {
    const char* what;
    std::vector<uint8_t> file;
    CarverFn carver;
  };
  auto startCrc = SevenZip();
  startCrc[9] ^= 1;
  auto nextCrc = SevenZip();
  nextCrc[nextCrc.size() - 5] ^= 1;  // a byte of the next header
  auto major = SevenZip();
  major[6] = 1;
  std::vector<Case> cases = {{"a cabinet without MSCF", cab, CarveCab},
                             {"a 7z start header whose CRC fails", startCrc, Carve7z},
                             {"a 7z next header whose CRC fails", nextCrc, Carve7z},
                             {"a 7z archive of major version 1", major, Carve7z},
                             {"a cabinet given to the 7z carver", Gcab(false), Carve7z}};
  for (const auto& c : cases) {
    auto at = LayOut(2, c.file.size(), {});
    auto s = CarveSession(test::Image(at.back() + 4, c.file, at), 4, 0);
    c.carver(*s, "", 2 * 512);
    EXPECT_TRUE(Marked(*s).empty()) << c.what;
  }
  // An archive whose sectors are not where the next free sectors are: the
  // header read is another file's bytes, and nothing is claimed.
  auto z = SevenZip("-mx0");
  auto at = LayOut(2, z.size(), {60, 61});
  auto s7 = CarveSession(test::Image(at.back() + 4, z, at));
  Carve7z(*s7, "", 2 * 512);
  EXPECT_TRUE(Marked(*s7).empty());
  auto good = Gcab(false);
  auto s = CarveSession(test::Image(400, good, LayOut(2, good.size(), {})));
  s->Map.MarkSector(2);
  CarveCab(*s, "", 2 * 512);
  EXPECT_EQ(Marked(*s), std::vector<uint64_t>{2});
}

TEST(CabAnd7zCarvers, ProgressIsShownWhenTheTimerHasTicked) {
  auto s = CarveSession(test::Image(50, SevenZipArchive(5000, 100), SectorRun(3, 11)));
  test::RecordingFrontend ui;
  s->SetFrontend(&ui);
  s->Flags.ElapsedMs.store(200);
  Carve7z(*s, "", 3 * 512);
  EXPECT_EQ(ui.LabelHistory, std::vector<std::string>{"Sector: 3, 5"});
  EXPECT_EQ(ui.Pumps, 1);
}

TEST(CabAnd7zCarvers, ADatabaseAroundAnArchiveIsRescuedWhole) {
  if (!HaveTools() || !test::HaveTool("gsf")) GTEST_SKIP() << "gcab, p7zip or gsf is not installed";
  auto db = test::MakeQQDatabase();
  for (auto [file, carver] : {std::pair{Gcab(true), &CarveCab}, std::pair{SevenZip(), &Carve7z},
                              std::pair{SevenZip("-mx9 -mhc=off"), &Carve7z}}) {
    auto with = test::RescueAround(db, file, carver);
    EXPECT_TRUE(with.Written);
    EXPECT_TRUE(with.SameBytes);
    auto without = test::RescueAround(db, file, nullptr);
    EXPECT_FALSE(without.Written && without.SameBytes);
  }
}

}  // namespace
}  // namespace tarnwick
