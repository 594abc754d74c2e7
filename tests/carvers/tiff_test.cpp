#include "carvers/tiff.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <random>

#include "carvers/framework.h"
#include "carvers/qq_database.h"
#include "source/bytes.h"
#include "support/sessions.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using test::CarveSession;
using test::ReadFileBytes;
using test::ShellQuote;

constexpr uint32_t kLimit = 209'715'200;

std::vector<uint8_t> Filler(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

// An image of `sectors` sectors of filler with the file laid into the given
// sectors, in order.
std::vector<uint8_t> Image(uint64_t sectors, const std::vector<uint8_t>& file,
                           const std::vector<uint64_t>& at) {
  std::vector<uint8_t> img = Filler(sectors * 512, 7);
  for (size_t k = 0; k * 512 < file.size(); ++k) {
    size_t n = std::min<size_t>(512, file.size() - k * 512);
    std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(k * 512), n,
                img.begin() + static_cast<std::ptrdiff_t>(at[k] * 512));
  }
  return img;
}

std::vector<uint64_t> Sectors(uint64_t first, uint64_t count) {
  std::vector<uint64_t> v(count);
  for (uint64_t i = 0; i < count; ++i) v[i] = first + i;
  return v;
}

uint64_t SectorsOf(uint64_t bytes) { return (bytes + 511) / 512; }

std::vector<uint64_t> Marked(const Session& s) {
  std::vector<uint64_t> out;
  for (uint64_t n = 0; n <= s.Scan.LastSector; ++n)
    if (s.Map.IsSectorMarked(n)) out.push_back(n);
  return out;
}

// Claims of the file laid contiguously at sector 6 of a roomy image.
std::vector<uint64_t> CarveAt6(const std::vector<uint8_t>& file, uint64_t spare = 40) {
  auto s = CarveSession(
      Image(6 + SectorsOf(file.size()) + spare, file, Sectors(6, SectorsOf(file.size()) + spare)));
  CarveTiff(*s, "", 6 * 512);
  return Marked(*s);
}

// ---- files from ImageMagick, libtiff and exiftool ----------------------------

class ToolTiffs : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!test::HaveTool("convert") || !test::HaveTool("tiffcp") || !test::HaveTool("exiftool"))
      return;
    dir_ = new test::TempDir("tiff-tools");
    const std::string d = ShellQuote(dir_->Path().string());
    const std::string script =
        "cd " + d +
        " && convert -size 300x200 plasma: -endian LSB lsb.tif"
        " && convert -size 300x200 plasma: -endian MSB -compress lzw msb.tif"
        " && convert -size 64x48 plasma: p1.png && convert -size 80x40 gradient: p2.png"
        " && convert -size 50x50 xc:red p3.png && convert p1.png p2.png p3.png -endian MSB "
        "multi.tif"
        " && tiffcp -s -r 16 -c lzw -L msb.tif strips.tif"
        " && tiffcp -t -w 64 -l 64 -c zip -B lsb.tif tiles.tif"
        // exiftool writes the directories first and the image data after them,
        // so only the strip and tile tables reach the end of these files.
        " && cp tiles.tif tiles_front.tif && exiftool -q -overwrite_original -Artist=T "
        "tiles_front.tif"
        " && cp lsb.tif exif.tif && exiftool -q -overwrite_original -Artist=T"
        "    -DateTimeOriginal='2020:01:02 03:04:05' -ExposureTime=1/100 -InteropIndex=R98"
        "    -GPSLatitude=48.5 -GPSLatitudeRef=N -GPSLongitude=11.2 -GPSLongitudeRef=E exif.tif"
        " && cp multi.tif multi_exif.tif && exiftool -q -overwrite_original -ExposureTime=1/50 "
        "multi_exif.tif";
    auto r = test::Run(script);
    if (r.Status != 0) {
      ADD_FAILURE() << r.Err;
      TearDownTestSuite();
    }
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (dir_ == nullptr)
      GTEST_SKIP() << "needs convert (ImageMagick), tiffcp (libtiff-tools), exiftool";
  }
  static std::vector<uint8_t> File(const std::string& name) { return ReadFileBytes(*dir_ / name); }

  static test::TempDir* dir_;
};

test::TempDir* ToolTiffs::dir_ = nullptr;

TEST_F(ToolTiffs, EachFileIsClaimedToItsLastSector) {
  for (const char* name : {"lsb.tif", "msb.tif", "multi.tif", "strips.tif", "tiles.tif",
                           "tiles_front.tif", "exif.tif", "multi_exif.tif"}) {
    auto file = File(name);
    EXPECT_EQ(CarveAt6(file), Sectors(6, SectorsOf(file.size()))) << name;
  }
}

TEST_F(ToolTiffs, FollowsTheFileAcrossClaimedSectors) {
  auto file = File("multi.tif");  // its last IFD lies at the end, behind the chain
  const uint64_t n = SectorsOf(file.size());
  std::vector<uint64_t> at, foreign;
  for (uint64_t sector = 3; at.size() < n; ++sector) {
    bool other = (sector % 7 == 2) || (sector >= 20 && sector < 26);
    (other ? foreign : at).push_back(sector);
  }
  auto s = CarveSession(Image(at.back() + 10, file, at));
  for (uint64_t f : foreign) s->Map.MarkSector(f);
  CarveTiff(*s, "", 3 * 512);
  std::vector<uint64_t> expected = at;
  expected.insert(expected.end(), foreign.begin(), foreign.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Marked(*s), expected);
}

// The value of a tag in the little-endian IFD at `ifd`, or 0.
uint32_t TagValue(const std::vector<uint8_t>& f, uint32_t ifd, uint16_t tag) {
  for (uint32_t i = 0; i < LE16(f, ifd); ++i) {
    if (LE16(f, ifd + 2 + 12 * i) == tag) return LE32(f, ifd + 2 + 12 * i + 8);
  }
  return 0;
}

TEST_F(ToolTiffs, SpoiledSubDirectoriesFailTheCarve) {
  // exiftool puts IFD0 first, with the EXIF IFD (holding the interoperability
  // IFD) and the GPS IFD after it; the strip lies at the end.
  auto good = File("exif.tif");
  ASSERT_EQ(good[0], 'I');
  const uint32_t ifd0 = LE32(good, 4);
  const uint32_t exif = TagValue(good, ifd0, 34665), gps = TagValue(good, ifd0, 34853);
  const uint32_t interop = TagValue(good, exif, 40965);
  ASSERT_TRUE(exif && gps && interop);
  for (uint32_t at : {exif, interop, gps}) {
    auto file = good;
    file[at] = file[at + 1] = 0;  // an IFD without entries
    EXPECT_TRUE(CarveAt6(file).empty()) << "IFD at " << at;
  }
  // The GPS IFD's next pointer turned back to IFD0: a loop.
  auto file = good;
  const uint32_t next = gps + 2 + 12 * LE16(file, gps);
  ASSERT_EQ(LE32(file, next), 0u);
  file[next] = static_cast<uint8_t>(ifd0);
  file[next + 1] = static_cast<uint8_t>(ifd0 >> 8);
  EXPECT_TRUE(CarveAt6(file).empty());
}

// ---- the point: a database with a TIFF inside its span -------------------------

TEST_F(ToolTiffs, ADatabaseAroundATiffIsRescuedWhole) {
  if (!test::HaveTool("gsf")) GTEST_SKIP() << "gsf (libgsf-bin) is not installed";
  test::TempDir ole("tiff-ole");
  test::WriteFileBytes(ole / "Matrix.dat", Filler(150000, 1));
  test::WriteFileBytes(ole / "seqbase.dat", Filler(40000, 2));
  auto r = test::Run("cd " + ShellQuote(ole.Path().string()) +
                     " && gsf createole db.ole Matrix.dat seqbase.dat");
  ASSERT_EQ(r.Status, 0) << r.Err;
  auto db = ReadFileBytes(ole / "db.ole");
  auto tiff = File("exif.tif");
  const uint64_t dbSectors = db.size() / 512, tiffSectors = SectorsOf(tiff.size());
  // Database sectors 10..39, the TIFF, then the rest of the database.
  const uint64_t split = 30, dbStart = 10, tiffStart = dbStart + split;
  std::vector<uint64_t> dbAt = Sectors(dbStart, split);
  for (uint64_t k = split; k < dbSectors; ++k)
    dbAt.push_back(tiffStart + tiffSectors + (k - split));
  auto img = Image(dbAt.back() + 20, db, dbAt);
  std::copy(tiff.begin(), tiff.end(), img.begin() + static_cast<std::ptrdiff_t>(tiffStart * 512));
  auto s = CarveSession(img);
  test::TempDir out("tiff-out");
  const std::string folder = out.Path().string() + "/";
  CarveTiff(*s, folder, tiffStart * 512);
  EXPECT_EQ(Marked(*s), Sectors(tiffStart, tiffSectors));
  CarveQQDatabase(*s, folder, dbStart * 512);
  auto written =
      std::vector<fs::path>(fs::directory_iterator(out.Path()), fs::directory_iterator());
  ASSERT_EQ(written.size(), 1u) << "the TIFF carver writes nothing, the database one file";
  EXPECT_EQ(ReadFileBytes(written[0]), db);
}

// ---- hand-made directories ----------------------------------------------------

struct Tag {
  uint16_t Id, Type;
  uint32_t Count, Value;
};

// Builds a TIFF-family file of `size` bytes in either byte order.
class Maker {
 public:
  Maker(bool big, uint32_t size, const char* magic = nullptr) : big_(big), f_(size, 0) {
    const char* m = magic ? magic : (big ? "MM\x00\x2A" : "II\x2A\x00");
    std::copy_n(m, 4, f_.begin());
    U32(4, 8);
  }
  void U16(uint32_t at, uint16_t v) {
    for (int i = 0; i < 2; ++i)
      f_[at + i] = static_cast<uint8_t>(v >> (big_ ? 8 * (1 - i) : 8 * i));
  }
  void U32(uint32_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
      f_[at + i] = static_cast<uint8_t>(v >> (big_ ? 8 * (3 - i) : 8 * i));
  }
  // An IFD at `at`; returns the offset of its next-IFD field.
  uint32_t Ifd(uint32_t at, const std::vector<Tag>& tags, uint32_t next = 0) {
    U16(at, static_cast<uint16_t>(tags.size()));
    for (size_t i = 0; i < tags.size(); ++i) {
      const uint32_t e = at + 2 + 12 * static_cast<uint32_t>(i);
      U16(e, tags[i].Id);
      U16(e + 2, tags[i].Type);
      U32(e + 4, tags[i].Count);
      // A value narrower than the field sits at its front.
      if (tags[i].Type == 3 && tags[i].Count == 1)
        U16(e + 8, static_cast<uint16_t>(tags[i].Value));
      else
        U32(e + 8, tags[i].Value);
    }
    const uint32_t nextAt = at + 2 + 12 * static_cast<uint32_t>(tags.size());
    U32(nextAt, next);
    return nextAt;
  }
  std::vector<uint8_t>& Bytes() { return f_; }

 private:
  bool big_;
  std::vector<uint8_t> f_;
};

constexpr uint16_t kShort = 3, kLong = 4, kUndefined = 7;

// The furthest byte that each hand-made file names, and the claims that follow.
TEST(TiffWalk, ClaimsReachTheFurthestByteAnyStructureNames) {
  struct Case {
    const char* what;
    std::function<void(Maker&)> make;
    uint32_t end;
  };
  std::vector<Case> cases = {
      {"one strip, no next IFD",
       [](Maker& m) {
         m.Ifd(8, {{273, kLong, 1, 3000}, {279, kLong, 1, 700}});
       },
       3700},
      {"big-endian 16-bit strip table",
       [](Maker& m) {
         // Offsets 0x0A00, 0x1400, 0x0200: read in the wrong order they would be 0x000A, 0x0014,
         // 0x0002.
         m.Ifd(8, {{273, kShort, 3, 100}, {279, kShort, 3, 108}});
         m.U16(100, 0x0A00);
         m.U16(102, 0x1400);
         m.U16(104, 0x0200);
         m.U16(108, 0x100);
         m.U16(110, 0x200);
         m.U16(112, 0x10);
       },
       0x1600},
      {"tiles",
       [](Maker& m) {
         m.Ifd(8, {{324, kLong, 3, 200}, {325, kLong, 3, 212}});
         m.U32(200, 1000);
         m.U32(204, 6000);
         m.U32(208, 2000);
         m.U32(212, 10);
         m.U32(216, 100);
         m.U32(220, 10);
       },
       6100},
      {"free runs",
       [](Maker& m) {
         m.Ifd(8, {{288, kLong, 1, 5000}, {289, kLong, 1, 321}});
       },
       5321},
      {"JPEG thumbnail of IFD1",
       [](Maker& m) {
         uint32_t next = m.Ifd(8, {{273, kLong, 1, 400}, {279, kLong, 1, 100}});
         m.U32(next, 100);
         m.Ifd(100, {{513, kLong, 1, 4000}, {514, kLong, 1, 900}});
       },
       4900},
      {"HD Photo image and alpha",
       [](Maker& m) {
         m.Ifd(8, {{48320, kLong, 1, 1000},
                   {48321, kLong, 1, 500},
                   {48322, kLong, 1, 2000},
                   {48323, kLong, 1, 1500}});
       },
       3500},
      {"two SubIFDs, the second reaching furthest",
       [](Maker& m) {
         m.Ifd(8, {{330, kLong, 2, 100}});
         m.U32(100, 200);
         m.U32(104, 300);
         m.Ifd(200, {{273, kLong, 1, 1000}, {279, kLong, 1, 10}});
         m.Ifd(300, {{273, kLong, 1, 4000}, {279, kLong, 1, 1234}});
       },
       5234},
      {"maker note pointing at its own preview",
       [](Maker& m) {
         m.Ifd(8, {{34665, kLong, 1, 100}});
         m.Ifd(100, {{37500, kUndefined, 16, 200}});
         std::copy_n("stmn0100", 8, m.Bytes().begin() + 200);  // letter case counts only at the top
         m.U32(208, 6000);
         m.U32(212, 1000);
       },
       7000},
      {"maker note below STMN0001 is only its own bytes",
       [](Maker& m) {
         m.Ifd(8, {{34665, kLong, 1, 100}});
         m.Ifd(100, {{37500, kUndefined, 16, 1200}});
         std::copy_n("STMN0000", 8, m.Bytes().begin() + 1200);
         m.U32(1208, 6000);
         m.U32(1212, 1000);
       },
       1216},
      {"a type-13 SubIFD entry is passed over",
       [](Maker& m) {
         m.Ifd(8,
               {{330, 13, 1, 500}, {273, kLong, 1, 600}, {279, kLong, 1, 10}});  // 500 holds no IFD
       },
       610},
      {"RW2 raw data offset",
       [](Maker& m) {
         m.Ifd(8, {{273, kLong, 1, 0xFFFFFFFF}, {280, kLong, 1, 0x900}});
       },
       0x900},
  };
  for (const auto& c : cases) {
    const bool rw2 = std::string(c.what).starts_with("RW2");
    for (bool big : {false, true}) {
      if (rw2 && big) continue;
      Maker m(big, 8192, rw2 ? "IIU\x00" : nullptr);
      c.make(m);
      EXPECT_EQ(CarveAt6(m.Bytes()), Sectors(6, SectorsOf(c.end)))
          << c.what << (big ? " (MM)" : " (II)");
    }
  }
}

TEST(TiffWalk, EveryHeaderOfTheFamilyIsTakenAndNoOther) {
  for (auto [magic, big] : std::vector<std::pair<const char*, bool>>{{"II\x2A\x00", false},
                                                                     {"IIU\x00", false},
                                                                     {"IIRO", false},
                                                                     {"MM\x00\x2A", true},
                                                                     {"MMOR", true},
                                                                     {"MM\x00U", true}}) {
    Maker m(big, 4096, magic);
    m.Ifd(8, {{273, kLong, 1, 2000}, {279, kLong, 1, 100}});
    EXPECT_EQ(CarveAt6(m.Bytes()), Sectors(6, 5)) << magic;
  }
  Maker m(false, 4096, "II\x2B\x00");  // BigTIFF is not of the family
  m.Ifd(8, {{273, kLong, 1, 2000}, {279, kLong, 1, 100}});
  EXPECT_TRUE(CarveAt6(m.Bytes()).empty());
}

TEST(TiffWalk, BrokenOrHostileDirectoriesFailAndGiveEverythingBack) {
  struct Case {
    const char* what;
    std::function<void(Maker&)> make;
  };
  std::vector<Case> cases = {
      {"IFD with no entries", [](Maker& m) { m.Ifd(8, {}); }},
      {"entry count 0x8000",
       [](Maker& m) {
         m.Ifd(8, {{273, kLong, 1, 100}});
         m.U16(8, 0x8000);
       }},
      {"entry type 21",
       [](Maker& m) {
         m.Ifd(8, {{273, 21, 1, 100}});
       }},
      {"entry type 0",
       [](Maker& m) {
         m.Ifd(8, {{273, 0, 1, 100}});
       }},
      {"strip ending past 200 MiB",
       [](Maker& m) {
         m.Ifd(8, {{273, kLong, 1, kLimit - 100}, {279, kLong, 1, 101}});
       }},
      {"count whose byte size wraps 32 bits",
       [](Maker& m) {
         m.Ifd(8, {{273, kLong, 0x40000001, 200}, {279, kLong, 0x40000001, 300}});
       }},
      {"strip table with 8-byte offsets",
       [](Maker& m) {
         m.Ifd(8, {{273, 5, 1, 100}, {279, kLong, 1, 10}});
       }},
      {"thumbnail past 200 MiB",
       [](Maker& m) {
         m.Ifd(8, {{513, kLong, 1, kLimit}, {514, kLong, 1, 1}});
       }},
      {"first IFD past 200 MiB", [](Maker& m) { m.U32(4, kLimit - 1); }},
      {"IFD beyond the scan range", [](Maker& m) { m.U32(4, 60000); }},
      {"next IFD is itself",
       [](Maker& m) {
         m.Ifd(8, {{273, kLong, 1, 100}}, 8);
       }},
      {"next IFD is an earlier one",
       [](Maker& m) {
         uint32_t next = m.Ifd(8, {{273, kLong, 1, 100}});
         m.U32(next, 100);
         m.Ifd(100, {{273, kLong, 1, 100}}, 8);
       }},
      {"EXIF IFD pointing to its parent",
       [](Maker& m) {
         m.Ifd(8, {{34665, kLong, 1, 100}});
         m.Ifd(100, {{34665, kLong, 1, 8}});
       }},
      {"two SubIFD pointers to one IFD",
       [](Maker& m) {
         m.Ifd(8, {{330, kLong, 2, 100}});
         m.U32(100, 200);
         m.U32(104, 200);
         m.Ifd(200, {{273, kLong, 1, 300}});
       }},
  };
  for (const auto& c : cases) {
    for (bool big : {false, true}) {
      Maker m(big, 8192);
      c.make(m);
      auto file = m.Bytes();
      auto s = CarveSession(Image(40, file, Sectors(6, 17)), 4, 2);
      CarveTiff(*s, "", 6 * 512);
      EXPECT_TRUE(Marked(*s).empty()) << c.what << (big ? " (MM)" : " (II)");
    }
  }
}

TEST(TiffWalk, SixteenNestedDirectoriesPassAndSeventeenFail) {
  auto nested = [](int levels) {
    Maker m(false, 8192);
    for (int k = 0; k < levels; ++k) {
      const uint32_t at = 8 + 100 * static_cast<uint32_t>(k);
      if (k + 1 < levels)
        m.Ifd(at, {{34665, kLong, 1, at + 100}});
      else
        m.Ifd(at, {{273, kLong, 1, 5000}, {279, kLong, 1, 10}});
    }
    return CarveAt6(m.Bytes());
  };
  EXPECT_EQ(nested(16), Sectors(6, SectorsOf(5010)));
  EXPECT_TRUE(nested(17).empty());
}

TEST(TiffWalk, AStripEndingExactlyAt200MiBIsAccepted) {
  Maker m(false, 4096);
  m.Ifd(8, {{273, kLong, 1, kLimit - 100}, {279, kLong, 1, 100}});
  std::vector<uint8_t> img(kLimit + 4096, 0);
  std::copy(m.Bytes().begin(), m.Bytes().end(), img.begin());
  auto s = CarveSession(std::move(img));
  CarveTiff(*s, "", 0);
  EXPECT_TRUE(s->Map.IsSectorMarked(kLimit / 512 - 1));
  EXPECT_FALSE(s->Map.IsSectorMarked(kLimit / 512));
}

}  // namespace
}  // namespace tarnwick
