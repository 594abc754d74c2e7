#include "carvers/x3f_raf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "carvers/framework.h"
#include "carvers/qq_database.h"
#include "support/recording_frontend.h"
#include "support/sessions.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using test::CarveSession;

constexpr uint32_t kLimit = 209'715'200;

std::vector<uint8_t> Filler(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

std::vector<uint64_t> Sectors(uint64_t first, uint64_t count) {
  std::vector<uint64_t> v(count);
  for (uint64_t i = 0; i < count; ++i) v[i] = first + i;
  return v;
}

std::vector<uint64_t> Marked(const Session& s) {
  std::vector<uint64_t> out;
  for (uint64_t n = 0; n <= s.Scan.LastSector; ++n)
    if (s.Map.IsSectorMarked(n)) out.push_back(n);
  return out;
}

void PutLE32(std::vector<uint8_t>& f, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) f[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutBE32(std::vector<uint8_t>& f, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) f[at + i] = static_cast<uint8_t>(v >> (8 * (3 - i)));
}

// An X3F of `size` bytes whose last 4 bytes point `back` bytes back to "SECd".
std::vector<uint8_t> X3f(size_t size, uint32_t back = 36) {
  std::vector<uint8_t> f = Filler(size, 3);
  std::copy_n("FOVb", 4, f.begin());
  const size_t t = size - 4;
  std::copy_n("SECd", 4, f.begin() + static_cast<std::ptrdiff_t>(t - back));
  PutLE32(f, t, static_cast<uint32_t>(t - back));
  return f;
}

// Lays the file into the given sectors of a filler image.
std::vector<uint8_t> Image(uint64_t sectors, const std::vector<uint8_t>& file,
                           const std::vector<uint64_t>& at) {
  std::vector<uint8_t> img(sectors * 512, 0x5A);
  for (size_t k = 0; k * 512 < file.size(); ++k) {
    size_t n = std::min<size_t>(512, file.size() - k * 512);
    std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(k * 512), n,
                img.begin() + static_cast<std::ptrdiff_t>(at[k] * 512));
  }
  return img;
}

TEST(X3fCarver, EndsRightAfterTheTrailerEvenMidSector) {
  // 5,000 bytes: the trailer sits at 4,996 in sector 9 of the file.
  auto file = X3f(5000);
  auto s = CarveSession(Image(40, file, Sectors(4, 12)), 4, 0);
  CarveX3f(*s, "/nonexistent/", 4 * 512);
  // File sectors 4..13; sector 13 is the last of a 4-sector cluster.
  EXPECT_EQ(Marked(*s), Sectors(4, 12));
  auto clusterless = CarveSession(Image(40, file, Sectors(4, 12)));
  CarveX3f(*clusterless, "", 4 * 512);
  EXPECT_EQ(Marked(*clusterless), Sectors(4, 10));
}

TEST(X3fCarver, OnlyATrueTrailerInALaterSectorEndsTheFile) {
  auto file = X3f(6000);
  // Decoys: a pointer 12 bytes back (too close), one 40 bytes back (not a
  // multiple of 12), one 240 back (too far), one at an offset not a multiple
  // of 4, and a sound one in the first sector, which is never searched.
  auto decoy = [&](size_t t, uint32_t back) {
    std::copy_n("SECd", 4, file.begin() + static_cast<std::ptrdiff_t>(t - back));
    PutLE32(file, t, static_cast<uint32_t>(t - back));
  };
  decoy(1024 + 100, 12);
  decoy(1536 + 200, 40);
  decoy(2048 + 300, 240);
  decoy(2560 + 402, 24);
  decoy(400, 24);
  auto s = CarveSession(Image(30, file, Sectors(0, 12)));
  CarveX3f(*s, "", 0);
  EXPECT_EQ(Marked(*s), Sectors(0, 12));
  // The largest directory: 18 entries, 228 bytes back.
  auto big = X3f(3000, 228);
  auto b = CarveSession(Image(30, big, Sectors(0, 6)));
  CarveX3f(*b, "", 0);
  EXPECT_EQ(Marked(*b), Sectors(0, 6));
}

TEST(X3fCarver, ReadsAcrossClaimedSectors) {
  auto file = X3f(4000);
  std::vector<uint64_t> at = {2, 3, 6, 7, 8, 10, 11, 15};
  auto s = CarveSession(Image(30, file, at));
  for (uint64_t f : {4, 5, 9, 12, 13, 14}) s->Map.MarkSector(f);
  CarveX3f(*s, "", 2 * 512);
  EXPECT_EQ(Marked(*s), Sectors(2, 14));
}

TEST(X3fCarver, FailuresGiveEverythingBack) {
  auto noHeader = X3f(4000);
  noHeader[3] = 'c';
  auto s1 = CarveSession(Image(30, noHeader, Sectors(2, 8)));
  CarveX3f(*s1, "", 2 * 512);
  EXPECT_TRUE(Marked(*s1).empty());
  // The trailer lies past the end of the scan range.
  auto s2 = CarveSession(Image(30, X3f(4000), Sectors(2, 8)));
  s2->LastScanSector = 8;
  CarveX3f(*s2, "", 2 * 512);
  EXPECT_TRUE(Marked(*s2).empty());
}

TEST(X3fCarver, ATrailerInTheSectorThatReaches200MiBFails) {
  auto image = [](size_t trailerAt) {
    std::vector<uint8_t> img(kLimit + 4096, 0);
    std::copy_n("FOVb", 4, img.begin());
    std::copy_n("SECd", 4, img.begin() + static_cast<std::ptrdiff_t>(trailerAt - 24));
    PutLE32(img, trailerAt, static_cast<uint32_t>(trailerAt - 24));
    return img;
  };
  {
    auto late = CarveSession(image(kLimit - 4));
    CarveX3f(*late, "", 0);
    EXPECT_FALSE(late->Map.IsSectorMarked(0));
  }
  auto early = CarveSession(image(kLimit - 512 - 4));
  CarveX3f(*early, "", 0);
  EXPECT_TRUE(early->Map.IsSectorMarked(kLimit / 512 - 2));
  EXPECT_FALSE(early->Map.IsSectorMarked(kLimit / 512 - 1));
}

// ---- RAF ---------------------------------------------------------------------

std::vector<uint8_t> RafHeader(uint32_t jpegOffset, uint32_t raw, uint32_t rawLength,
                               uint32_t raw2 = 0, uint32_t raw2Length = 0) {
  std::vector<uint8_t> h = Filler(512, 5);
  std::copy_n("FUJIFILMCCD-RAW ", 16, h.begin());
  PutBE32(h, 84, jpegOffset);
  PutBE32(h, 100, raw);
  PutBE32(h, 104, rawLength);
  PutBE32(h, 128, raw2);
  PutBE32(h, 132, raw2Length);
  return h;
}

uint64_t SectorsFor(uint64_t bytes) { return (bytes + 511) / 512; }

TEST(RafCarver, ClaimsToTheEndOfTheLaterRawBlock) {
  const uint64_t sectors = SectorsFor(12'000'000) + 40;
  struct Case {
    std::vector<uint8_t> header;
    uint64_t end;
  };
  for (const Case& c :
       {Case{RafHeader(148, 9'000'000, 1'000'000, 11'000'000, 1'000'000), 12'000'000},
        Case{RafHeader(148, 11'000'000, 1'000'000, 1'000'000, 100), 12'000'000},
        Case{RafHeader(160, 9'000'000, 1'000'000, 11'000'000, 1'000'000), 10'000'000},
        Case{RafHeader(0, 4096, 4096), 8192}}) {  // a whole number of sectors
    auto s = CarveSession(Image(sectors, c.header, {10}));
    CarveRaf(*s, "", 10 * 512);
    EXPECT_EQ(Marked(*s), Sectors(10, SectorsFor(c.end)));
  }
}

TEST(RafCarver, StepsOverClaimedSectorsWithoutReadingThem) {
  // 150,000 bytes (293 sectors, more than two cache windows) with claimed
  // sectors inside its span.
  auto s = CarveSession(Image(400, RafHeader(148, 100000, 50000), {20}));
  test::RecordingFrontend ui;
  s->SetFrontend(&ui);
  s->Flags.ElapsedMs = 200;
  for (uint64_t f : {22, 25, 26, 200}) s->Map.MarkSector(f);
  const uint64_t positionBefore = s->Source.Position;
  CarveRaf(*s, "", 20 * 512);
  EXPECT_EQ(Marked(*s), Sectors(20, 293 + 4));
  EXPECT_EQ(s->Source.Position - positionBefore, ReadCache::kWindow)
      << "only the header's window is read";
  EXPECT_EQ(ui.Label(Dialog::Rescue, 3), "Sector: 20, 22");  // after claiming sector 21
}

TEST(RafCarver, AnEndPast200MiBClaimsNothingAndTheScanRangeEndKeepsWhatWasClaimed) {
  for (auto header : {RafHeader(0, 299'000'000, 1'000'000), RafHeader(148, 1000, 1000, kLimit, 1),
                      RafHeader(0, 0xFFFFFF00u, 0x200)}) {  // the last sum wraps 32 bits
    auto s = CarveSession(Image(60, header, {10}));
    CarveRaf(*s, "", 10 * 512);
    EXPECT_TRUE(Marked(*s).empty());
  }
  auto atLimit = CarveSession(Image(60, RafHeader(0, kLimit - 10, 10), {10}));
  atLimit->LastScanSector = 30;
  CarveRaf(*atLimit, "", 10 * 512);
  EXPECT_EQ(Marked(*atLimit), Sectors(10, 21));
  auto noHeader = RafHeader(0, 1000, 1000);
  noHeader[15] = 'X';
  auto s = CarveSession(Image(60, noHeader, {10}));
  CarveRaf(*s, "", 10 * 512);
  EXPECT_TRUE(Marked(*s).empty());
}

// ---- the point: databases around raw files ---------------------------------------

TEST(X3fRafCarvers, ADatabaseAroundEitherFileIsRescuedWhole) {
  if (!test::HaveTool("gsf")) GTEST_SKIP() << "gsf (libgsf-bin) is not installed";
  test::TempDir ole("x3f-ole");
  test::WriteFileBytes(ole / "Matrix.dat", Filler(90000, 1));
  test::WriteFileBytes(ole / "seqbase.dat", Filler(30000, 2));
  auto r = test::Run("cd " + test::ShellQuote(ole.Path().string()) +
                     " && gsf createole db.ole Matrix.dat seqbase.dat");
  ASSERT_EQ(r.Status, 0) << r.Err;
  auto db = test::ReadFileBytes(ole / "db.ole");
  const uint64_t dbSectors = db.size() / 512;
  auto raf = RafHeader(148, 20000, 5000, 30000, 3000);  // ends at 33,000: 65 sectors
  std::vector<std::pair<std::vector<uint8_t>, uint64_t>> inner = {{X3f(7000), SectorsFor(7000)},
                                                                  {raf, 65}};
  for (size_t k = 0; k < inner.size(); ++k) {
    const auto& [file, fileSectors] = inner[k];
    const uint64_t dbStart = 8, split = 25, innerStart = dbStart + split;
    std::vector<uint64_t> dbAt = Sectors(dbStart, split);
    for (uint64_t i = split; i < dbSectors; ++i)
      dbAt.push_back(innerStart + fileSectors + (i - split));
    auto img = Image(dbAt.back() + 10, db, dbAt);
    std::copy(file.begin(), file.end(),
              img.begin() + static_cast<std::ptrdiff_t>(innerStart * 512));
    auto s = CarveSession(img);
    test::TempDir out("x3f-out");
    const std::string folder = out.Path().string() + "/";
    (k == 0 ? CarveX3f : CarveRaf)(*s, folder, innerStart * 512);
    EXPECT_EQ(Marked(*s), Sectors(innerStart, fileSectors));
    CarveQQDatabase(*s, folder, dbStart * 512);
    std::vector<fs::path> written(fs::directory_iterator(out.Path()), fs::directory_iterator{});
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(test::ReadFileBytes(written[0]), db) << (k == 0 ? "X3F" : "RAF");
  }
}

}  // namespace
}  // namespace tarnwick
