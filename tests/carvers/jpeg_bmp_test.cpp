#include "carvers/jpeg_bmp.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>

#include "app/thumb_settings.h"
#include "carvers/framework.h"
#include "carvers/qq_database.h"
#include "source/bytes.h"
#include "support/read_only_folder.h"
#include "support/sessions.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using test::CarveSession;
using test::Marked;
using test::RandomBytes;
using test::ReadFileBytes;
using test::SectorRun;
using Sectors = std::vector<uint64_t>;

constexpr uint64_t k32MiB = 33'554'432;

uint64_t SectorsOf(uint64_t bytes) { return (bytes + 511) / 512; }

// An image of `sectors` sectors of filler with the file's 512-byte pieces
// laid into the given sectors, in order.
std::vector<uint8_t> Image(uint64_t sectors, const std::vector<uint8_t>& file, const Sectors& at,
                           bool zeroFiller = false) {
  std::vector<uint8_t> img =
      zeroFiller ? std::vector<uint8_t>(sectors * 512) : RandomBytes(sectors * 512, 7);
  for (size_t k = 0; k * 512 < file.size(); ++k) {
    size_t n = std::min<size_t>(512, file.size() - k * 512);
    std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(k * 512), n,
                img.begin() + static_cast<std::ptrdiff_t>(at.at(k) * 512));
  }
  return img;
}

// The sectors a kept file claims: its own, then the rest of its last cluster.
Sectors WithClusterRest(Sectors v, uint32_t spc) {
  while (spc > 1 && (v.back() + 1) % spc != 0) v.push_back(v.back() + 1);
  return v;
}

// Runs a shell script in a scratch folder and returns the bytes of `output` there.
std::vector<uint8_t> Make(const std::string& script, const std::string& output = "out.jpg") {
  test::TempDir dir("jpeg-make");
  auto r = test::Run("cd " + test::ShellQuote(dir.Path().string()) + " && " + script);
  EXPECT_EQ(r.Status, 0) << script << "\n" << r.Err;
  if (!fs::exists(dir / output)) return {};
  return ReadFileBytes(dir / output);
}

// Offset of the first segment with marker FF m1 in the header, or 0.
size_t FindSegment(const std::vector<uint8_t>& j, uint8_t m1) {
  size_t p = 2;
  while (p + 4 <= j.size() && j[p] == 0xFF) {
    if (j[p + 1] == m1) return p;
    if (j[p + 1] == 0xDA) return 0;
    p += 2 + BE16(j, p + 2);
  }
  return 0;
}

// A COM segment of `total` bytes (4 or more) put right after SOI.
std::vector<uint8_t> WithComment(const std::vector<uint8_t>& j, size_t total) {
  std::vector<uint8_t> out(j.begin(), j.begin() + 2);
  const size_t length = total - 2;
  out.insert(out.end(),
             {0xFF, 0xFE, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
  out.insert(out.end(), total - 4, 'c');
  out.insert(out.end(), j.begin() + 2, j.end());
  return out;
}

std::string LocalMtime(const fs::path& p) {
  auto r = test::Run("stat -c %y " + test::ShellQuote(p.string()));
  return r.Out.substr(0, 19);
}

class JpegCarver : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"convert", "cjpeg", "exiftool"})
      if (!test::HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
  }

  std::vector<fs::path> Written() const {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(out_.Path())) out.push_back(e.path());
    return out;
  }
  void ClearOutput() const {
    for (const auto& p : Written()) fs::remove(p);
  }
  std::string Folder() const { return out_.Path().string() + "/"; }

  static std::unique_ptr<Session> PictureSession(std::vector<uint8_t> img, uint32_t spc = 1) {
    auto s = CarveSession(std::move(img), spc, 0);
    s->TypeMask |= kTypeMaskJpeg;
    return s;
  }

  // A 320x240 baseline picture with a JFIF header.
  static std::vector<uint8_t> Baseline() {
    return Make("convert -size 320x240 plasma:fractal -quality 85 out.jpg");
  }

  test::TempDir out_{"jpeg-out"};
};

TEST_F(JpegCarver, PicturesFromRealToolsAreClaimedExactlyAndWrittenUnchanged) {
  const std::string exif = "-DateTimeOriginal='2010:01:02 03:04:05' '-ThumbnailImage<=t.jpg'";
  const std::map<std::string, std::string> scripts = {
      {"convert baseline", "convert -size 320x240 plasma:fractal -quality 85 out.jpg"},
      {"convert progressive", "convert -size 300x220 plasma:fractal -interlace Plane out.jpg"},
      {"convert grey", "convert -size 200x150 plasma:fractal -colorspace Gray out.jpg"},
      {"convert CMYK", "convert -size 200x150 plasma:fractal -colorspace CMYK out.jpg"},
      {"cjpeg baseline",
       "convert -size 256x200 plasma:fractal in.ppm && cjpeg -quality 90 in.ppm > out.jpg"},
      {"cjpeg progressive",
       "convert -size 256x200 plasma:fractal in.ppm && cjpeg -progressive -optimize in.ppm > "
       "out.jpg"},
      {"APP1 first with a thumbnail",
       "convert -size 160x120 gradient:red-blue t.jpg && convert -size 400x300 plasma:fractal "
       "out.jpg && "
       "exiftool -q -overwrite_original -JFIF:all= " +
           exif + " out.jpg"},
      {"APP0 then APP1, progressive",
       "convert -size 160x120 gradient:red-blue t.jpg && convert -size 400x300 plasma:fractal "
       "-interlace Plane out.jpg && exiftool -q -overwrite_original " +
           exif + " out.jpg"},
  };
  bool someEndInsideASector = false;
  for (const auto& [what, script] : scripts) {
    const auto jpeg = Make(script);
    ASSERT_GT(jpeg.size(), 1000u) << what;
    if (what.starts_with("APP1 first")) {
      ASSERT_EQ(jpeg[3], 0xE1) << "the picture must start with APP1";
      // The thumbnail's own end marker lies inside the APP1 segment.
      const size_t app1End = 4 + BE16(jpeg, 4);
      bool thumbEnd = false;
      for (size_t i = 4; i + 1 < app1End; ++i) thumbEnd |= jpeg[i] == 0xFF && jpeg[i + 1] == 0xD9;
      ASSERT_TRUE(thumbEnd);
    }
    someEndInsideASector |= jpeg.size() % 512 != 0;
    const uint64_t n = SectorsOf(jpeg.size());
    for (uint32_t spc : {1u, 8u}) {
      SCOPED_TRACE(what + ", " + std::to_string(spc) + " sectors per cluster");
      ClearOutput();
      auto s = PictureSession(Image(n + 40, jpeg, SectorRun(16, n)), spc);
      EXPECT_EQ(CarveJpegFile(*s, Folder(), 16 * 512), jpeg.size());
      EXPECT_EQ(s->RescuedCount, 1u);
      auto files = Written();
      ASSERT_EQ(files.size(), 1u);
      EXPECT_EQ(files[0].filename(), "FILE_AAAAAAAQ.JPG");  // 16 = "Q"
      EXPECT_EQ(ReadFileBytes(files[0]), jpeg);
      EXPECT_EQ(Marked(*s), WithClusterRest(SectorRun(16, n), spc));
    }
  }
  EXPECT_TRUE(someEndInsideASector);
}

TEST_F(JpegCarver, FollowsThePictureAcrossClaimedSectors) {
  const auto jpeg = Make(
      "convert -size 160x120 gradient:red-blue t.jpg && convert -size 400x300 plasma:fractal "
      "-interlace Plane out.jpg && exiftool -q -overwrite_original -JFIF:all= "
      "'-ThumbnailImage<=t.jpg' out.jpg");
  const uint64_t n = SectorsOf(jpeg.size());
  ASSERT_GT(BE16(jpeg, 4), 1024u) << "the header should span sectors";
  // Every third sector from 11 on belongs to someone else.
  Sectors at, foreign;
  for (uint64_t sector = 10; at.size() < n; ++sector)
    (sector > 10 && sector % 3 == 2 ? foreign : at).push_back(sector);
  auto s = PictureSession(Image(at.back() + 10, jpeg, at));
  for (uint64_t f : foreign) s->Map.MarkSector(f);
  EXPECT_EQ(CarveJpegFile(*s, Folder(), 10 * 512), jpeg.size());
  auto files = Written();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(ReadFileBytes(files[0]), jpeg);
  std::set<uint64_t> expected(at.begin(), at.end());
  expected.insert(foreign.begin(), foreign.end());
  EXPECT_EQ(Marked(*s), Sectors(expected.begin(), expected.end()));
}

TEST_F(JpegCarver, AnEndMarkerSplitAcrossSectorsIsFound) {
  const auto plain = Baseline();
  // A comment that puts the final FF as the last byte of a sector. It holds
  // at least one byte: an empty one (length 2) fails the carve by design.
  const size_t comment = 5 + (1024 + 1 - (plain.size() + 5) % 512) % 512;
  auto jpeg = WithComment(plain, comment);
  ASSERT_EQ(jpeg.size() % 512, 1u);
  const uint64_t n = SectorsOf(jpeg.size());
  // The sector holding D9 comes after a claimed one.
  Sectors at = SectorRun(4, n - 1);
  at.push_back(4 + n);
  auto s = PictureSession(Image(n + 10, jpeg, at));
  s->Map.MarkSector(4 + n - 1);
  EXPECT_EQ(CarveJpegFile(*s, Folder(), 4 * 512), jpeg.size());
  auto files = Written();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(ReadFileBytes(files[0]), jpeg);
}

TEST_F(JpegCarver, BrokenStructureFailsAndGivesEverySectorBack) {
  const auto good = Baseline();
  ASSERT_EQ(good[3], 0xE0);
  const size_t second = 4 + BE16(good, 4);  // the marker after APP0
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> spoil;
  };
  const std::vector<Case> cases = {
      {"no FF D8 FF", [](auto& d) { d[2] = 0x00; }},
      {"segment length 0",
       [](auto& d) {
         d[4] = 0;
         d[5] = 0;
       }},
      {"segment length 1",
       [](auto& d) {
         d[4] = 0;
         d[5] = 1;
       }},
      {"segment length 2",
       [](auto& d) {
         d[4] = 0;
         d[5] = 2;
       }},
      {"marker without FF", [&](auto& d) { d[second] = 0x00; }},
      {"length past the scan range",
       [&](auto& d) {
         d[second + 2] = 0xFF;
         d[second + 3] = 0xFF;
       }},
      {"cut short", [](auto& d) { d.resize(d.size() / 2); }},
  };
  for (const auto& c : cases) {
    auto jpeg = good;
    c.spoil(jpeg);
    // Zero filler up to the end of the range: no stray end marker behind a cut picture.
    const uint64_t n = SectorsOf(good.size());
    auto s = PictureSession(Image(8 + n + 20, jpeg, SectorRun(8, n), true), 8);
    EXPECT_EQ(CarveJpegFile(*s, Folder(), 8 * 512), 0u) << c.what;
    EXPECT_TRUE(Marked(*s).empty()) << c.what;
    EXPECT_TRUE(Written().empty()) << c.what;
    EXPECT_EQ(s->RescuedCount, 0u) << c.what;
  }
}

TEST_F(JpegCarver, AnUnreadableSectorIsZerosInTheSavedPicture) {
  const auto jpeg = Make("convert -size 900x700 plasma:fractal -quality 97 out.jpg");
  const uint64_t n = SectorsOf(jpeg.size());
  ASSERT_GT(n, 300u);
  auto s = test::EnglishSession();
  auto inner = std::make_unique<MemoryDevice>(Image(n + 10, jpeg, SectorRun(0, n)));
  OpenImageDevice(*s, std::make_unique<FaultyDevice>(std::move(inner), std::set<uint64_t>{250}),
                  "bad.img");
  s->LastScanSector = static_cast<int64_t>(s->Scan.LastSector);
  s->Map.Allocate(s->Scan.LastSector);
  s->TypeMask |= kTypeMaskJpeg;
  std::vector<SavedFile> saved;
  s->OnFileSaved = [&](const SavedFile& f) { saved.push_back(f); };
  EXPECT_EQ(CarveJpegFile(*s, Folder(), 0), jpeg.size());
  EXPECT_EQ(Marked(*s), SectorRun(0, n));
  ASSERT_EQ(saved.size(), 1u);
  EXPECT_EQ(saved[0].UnreadableSectors, std::vector<uint64_t>{250});
  auto want = jpeg;
  std::fill_n(want.begin() + 250 * 512, 512, uint8_t{0});
  EXPECT_EQ(test::ReadFileBytes(saved[0].Path), want);
}

TEST_F(JpegCarver, APictureThatCannotBeSavedIsNotCountedAsRescued) {
  const auto jpeg = Baseline();
  const uint64_t n = SectorsOf(jpeg.size());
  auto s = PictureSession(Image(n + 10, jpeg, SectorRun(0, n)));
  test::ReadOnlyFolder readOnly(out_.Path());
  if (!readOnly.Unavailable().empty()) GTEST_SKIP() << readOnly.Unavailable();
  EXPECT_EQ(CarveJpegFile(*s, Folder(), 0), jpeg.size());
  EXPECT_EQ(s->RescuedCount, 0u);
  EXPECT_EQ(s->UnsavedCount, 1u);
  EXPECT_EQ(s->SaveError, readOnly.Reason());
}

TEST_F(JpegCarver, TheEndSearchGivesUpAfter32MiB) {
  // The picture's own end marker removed; zeros follow, then FF D9 at a chosen offset.
  auto body = Baseline();
  body.resize(body.size() - 2);
  auto carve = [&](uint64_t endAt) {
    std::vector<uint8_t> img(endAt + 4096, 0);
    std::copy(body.begin(), body.end(), img.begin());
    img[endAt - 1] = 0xFF;
    img[endAt] = 0xD9;
    auto s = PictureSession(std::move(img));
    uint64_t length = CarveJpegFile(*s, "", 0);
    return std::make_pair(length, Marked(*s).size());
  };
  auto [below, belowClaims] = carve(k32MiB - 1000);
  EXPECT_EQ(below, k32MiB - 999);
  EXPECT_EQ(belowClaims, SectorsOf(k32MiB - 999));
  auto [beyond, beyondClaims] = carve(k32MiB + 10'000);
  EXPECT_EQ(beyond, 0u);
  EXPECT_EQ(beyondClaims, 0u);
}

TEST_F(JpegCarver, OnlyFFOrFFFFRightBeforeD9EndsThePicture) {
  // The picture's end marker replaced by FF 00 D9, D9 alone, then FF FF D9.
  auto jpeg = Baseline();
  jpeg.resize(jpeg.size() - 2);
  jpeg.insert(jpeg.end(), {0xFF, 0x00, 0xD9, 0x00, 0xD9, 0x12, 0xFF, 0xFF, 0xD9});
  const uint64_t n = SectorsOf(jpeg.size());
  auto s = PictureSession(Image(n + 4, jpeg, SectorRun(0, n), true));
  EXPECT_EQ(CarveJpegFile(*s, Folder(), 0), jpeg.size());
  ASSERT_EQ(Written().size(), 1u);
  EXPECT_EQ(ReadFileBytes(Written()[0]), jpeg);
}

TEST_F(JpegCarver, AHeaderThatRunsOnForever32MiBFails) {
  // Comment segments of the largest length, one after another, before the
  // picture's real header: a sound walk at first, but no picture has that much.
  const auto plain = Baseline();
  auto withComments = [&](int count) {
    std::vector<uint8_t> j(plain.begin(), plain.begin() + 2);
    for (int i = 0; i < count; ++i) {
      j.insert(j.end(), {0xFF, 0xFE, 0xFF, 0xFF});
      j.insert(j.end(), 65533, 'c');
    }
    j.insert(j.end(), plain.begin() + 2, plain.end());
    return j;
  };
  const auto modest = withComments(10);
  auto s = PictureSession(
      Image(SectorsOf(modest.size()) + 4, modest, SectorRun(0, SectorsOf(modest.size()))));
  EXPECT_EQ(CarveJpegFile(*s, Folder(), 0), modest.size());
  ASSERT_EQ(Written().size(), 1u);

  const auto huge = withComments(520);
  ASSERT_GT(huge.size(), k32MiB);
  auto t =
      PictureSession(Image(SectorsOf(huge.size()) + 4, huge, SectorRun(0, SectorsOf(huge.size()))));
  EXPECT_EQ(CarveJpegFile(*t, "", 0), 0u);
  EXPECT_TRUE(Marked(*t).empty());
}

TEST_F(JpegCarver, APictureThatDoesNotDecodeKeepsItsSectorsButIsNotWritten) {
  const auto good = Baseline();
  const size_t sof = FindSegment(good, 0xC0);
  const size_t dht = FindSegment(good, 0xC4);
  ASSERT_NE(sof, 0u);
  ASSERT_NE(dht, 0u);
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> spoil;
  };
  const std::vector<Case> cases = {
      {"height 0",
       [&](auto& d) {
         d[sof + 5] = 0;
         d[sof + 6] = 0;
       }},
      {"Huffman table number 7", [&](auto& d) { d[dht + 4] = 0x07; }},
      {"12 components", [&](auto& d) { d[sof + 9] = 12; }},
  };
  const uint64_t n = SectorsOf(good.size());
  for (const auto& c : cases) {
    auto jpeg = good;
    c.spoil(jpeg);
    auto s = PictureSession(Image(n + 20, jpeg, SectorRun(8, n)), 8);
    EXPECT_EQ(CarveJpegFile(*s, Folder(), 8 * 512), 0u) << c.what;
    EXPECT_TRUE(Written().empty()) << c.what;
    EXPECT_EQ(s->RescuedCount, 0u) << c.what;
    EXPECT_EQ(Marked(*s), WithClusterRest(SectorRun(8, n), 8)) << c.what;
  }
}

TEST_F(JpegCarver, APictureIsDecodedToItsLastScan) {
  // A progressive picture whose last scan asks for a Huffman table that is
  // never defined: its header and first scans decode, the last does not.
  auto jpeg = Make("convert -size 320x240 plasma:fractal -interlace JPEG out.jpg");
  ASSERT_FALSE(jpeg.empty());
  size_t lastScan = 0;
  for (size_t i = 0; i + 1 < jpeg.size(); ++i)
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA) lastScan = i;
  ASSERT_NE(lastScan, 0u);
  jpeg[lastScan + 6] = 0x33;  // the first component's table selectors
  const uint64_t n = SectorsOf(jpeg.size());
  auto s = PictureSession(Image(n + 20, jpeg, SectorRun(8, n)), 8);
  EXPECT_EQ(CarveJpegFile(*s, Folder(), 8 * 512), 0u);
  EXPECT_TRUE(Written().empty());
}

TEST_F(JpegCarver, ThumbnailSizesAreWrittenAndGiveTheirSectorsBack) {
  const auto jpeg = Make("convert -size 160x120 plasma:fractal out.jpg");
  const uint64_t n = SectorsOf(jpeg.size());
  struct Case {
    const char* what;
    int64_t limit;
    std::optional<std::vector<int64_t>> list;
    bool kept;
  };
  const std::vector<Case> cases = {
      {"no settings", -1, std::nullopt, true},
      {"listed 160x120", -1, ThumbSizeListFromText("640x480\n160x120;small\n"), false},
      {"other sizes listed", -1, std::vector<int64_t>{19199, 19201}, true},
      {"at the limit", 19200, std::nullopt, false},
      {"just above the limit", 19199, std::vector<int64_t>{}, true},
  };
  for (const auto& c : cases) {
    ClearOutput();
    auto s = PictureSession(Image(n + 10, jpeg, SectorRun(3, n)));
    s->ThumbPixelLimit = c.limit;
    s->ThumbSizeList = c.list;
    EXPECT_EQ(CarveJpegFile(*s, Folder(), 3 * 512), jpeg.size()) << c.what;
    auto files = Written();
    ASSERT_EQ(files.size(), 1u) << c.what;
    EXPECT_EQ(ReadFileBytes(files[0]), jpeg) << c.what;
    EXPECT_EQ(Marked(*s), c.kept ? SectorRun(3, n) : Sectors{}) << c.what;
  }
}

TEST_F(JpegCarver, WithoutTheTypeMaskBitOrAFolderNothingIsWritten) {
  const auto jpeg = Baseline();
  const uint64_t n = SectorsOf(jpeg.size());
  auto s = CarveSession(Image(n + 10, jpeg, SectorRun(2, n)));
  ASSERT_EQ(s->TypeMask & kTypeMaskJpeg, 0u);
  EXPECT_EQ(CarveJpegFile(*s, Folder(), 2 * 512), jpeg.size());
  EXPECT_TRUE(Written().empty());
  EXPECT_EQ(s->RescuedCount, 0u);
  EXPECT_EQ(Marked(*s), SectorRun(2, n)) << "a decoded picture keeps its sectors";

  auto t = PictureSession(Image(n + 10, jpeg, SectorRun(2, n)));
  EXPECT_EQ(CarveJpegFile(*t, "", 2 * 512), jpeg.size());
  EXPECT_EQ(t->RescuedCount, 0u);
  EXPECT_TRUE(Written().empty());
}

TEST_F(JpegCarver, TheExifDateStampsTheWrittenFile) {
  auto dated = [](const std::string& date) {
    return Make(
        "convert -size 320x240 plasma:fractal out.jpg && exiftool -q -overwrite_original "
        "'-DateTimeOriginal#=" +
        date + "' out.jpg");
  };
  const auto jpeg = dated("2009:07:14 18:30:05");
  auto s =
      PictureSession(Image(SectorsOf(jpeg.size()) + 4, jpeg, SectorRun(1, SectorsOf(jpeg.size()))));
  ASSERT_EQ(CarveJpegFile(*s, Folder(), 512), jpeg.size());
  auto files = Written();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(LocalMtime(files[0]), "2009-07-14 18:30:04") << "local time, even seconds";

  // Dates that cannot be a DOS date-time leave the time of writing.
  for (const std::string date :
       {"0000:00:00 00:00:00", "1979:12:31 23:59:58", "2009:02:29 10:00:00"}) {
    ClearOutput();
    const auto j = dated(date);
    ASSERT_NE(std::search(j.begin(), j.end(), date.begin(), date.end()), j.end()) << date;
    auto t = PictureSession(Image(SectorsOf(j.size()) + 4, j, SectorRun(1, SectorsOf(j.size()))));
    const std::time_t before = std::time(nullptr);
    ASSERT_EQ(CarveJpegFile(*t, Folder(), 512), j.size());
    struct stat st {};
    ASSERT_EQ(::stat(Written().at(0).c_str(), &st), 0);
    EXPECT_GE(st.st_mtime, before - 2) << date;
  }
}

TEST_F(JpegCarver, ExifDateOriginalReadsBothByteOrdersAndNeverReadsPastTheBuffer) {
  for (const char* order : {"II", "MM"}) {
    SCOPED_TRACE(order);
    const auto jpeg = Make(std::string("convert -size 64x48 plasma:fractal out.jpg && exiftool -q "
                                       "-overwrite_original -ExifByteOrder=") +
                           order + " '-DateTimeOriginal=2011:02:28 23:59:59' out.jpg");
    auto r = ExifDateOriginal(jpeg);
    ASSERT_TRUE(r.Found);
    EXPECT_EQ(r.Text, "2011:02:28 23:59:59");
    EXPECT_EQ(r.Date, (ExifDateTime{2011, 2, 28, 23, 59, 59}));
    // Every shorter copy finds the date exactly when it still holds the whole text.
    const std::string text = "2011:02:28 23:59:59";
    const size_t at = static_cast<size_t>(
        std::search(jpeg.begin(), jpeg.end(), text.begin(), text.end()) - jpeg.begin());
    for (size_t len = 0; len < at + 40; ++len) {
      std::vector<uint8_t> prefix(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(len));
      EXPECT_EQ(ExifDateOriginal(prefix).Found, len >= at + 19) << len;
    }
    // Offsets pointing far outside the buffer give no date.
    const size_t tiff = 4 + BE16(jpeg, 4) + 4 + 6;  // APP0 first, then APP1
    ASSERT_TRUE(BytesEqual(jpeg, tiff, order));
    auto wild = jpeg;
    for (size_t k = 4; k < 8; ++k) wild[tiff + k] = 0xFF;
    EXPECT_FALSE(ExifDateOriginal(wild).Found);
  }
  EXPECT_FALSE(ExifDateOriginal(Baseline()).Found);
  EXPECT_FALSE(ExifDateOriginal(std::vector<uint8_t>{0xFF, 0xD8, 0xFF, 0xE1}).Found);
}

TEST(ParseExifDate, AcceptsOnlyRealDatesInTheFixedForm) {
  EXPECT_EQ(ParseExifDate("2009:07:14 18:30:05"), (ExifDateTime{2009, 7, 14, 18, 30, 5}));
  EXPECT_EQ(ParseExifDate("2000-02-29T00:00:00"),
            (ExifDateTime{2000, 2, 29, 0, 0, 0}));  // separators not read
  EXPECT_EQ(ParseExifDate("1900:01:01 00:00:00"), (ExifDateTime{1900, 1, 1, 0, 0, 0}));
  EXPECT_EQ(ParseExifDate("2999:12:31 23:59:59"), (ExifDateTime{2999, 12, 31, 23, 59, 59}));
  for (const char* bad :
       {"2009:02:30 10:00:00", "1900:02:29 10:00:00", "2009:04:31 10:00:00", "1899:12:31 23:59:59",
        "3000:01:01 00:00:00", "2009:13:01 00:00:00", "2009:00:10 00:00:00", "2009:07:14 24:00:00",
        "2009:07:14 18:60:00", "2009:07:14 18:30:60", "2009:07:14 18:30:5x", "2009:07:14 18:30:5",
        "2009:07:14 18:30:055", "0000:00:00 00:00:00", "    :  :     :  :  ", ""}) {
    EXPECT_FALSE(ParseExifDate(bad)) << bad;
  }
}

// ------------------------------------------------------------------- BMP

class BmpCarver : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::HaveTool("convert")) GTEST_SKIP() << "ImageMagick is not installed";
  }
  // A BMP header of the given file size, the rest random.
  static std::vector<uint8_t> Header(uint32_t size) {
    auto h = RandomBytes(512, 3);
    h[0] = 'B';
    h[1] = 'M';
    for (int i = 0; i < 4; ++i) h[2 + i] = static_cast<uint8_t>(size >> (8 * i));
    std::fill_n(h.begin() + 6, 4, 0);
    return h;
  }
};

TEST_F(BmpCarver, PicturesFromImageMagickAreClaimedExactly) {
  for (const char* script :
       {"convert -size 300x200 xc:red out.bmp", "convert -size 33x17 plasma:fractal out.bmp",
        "convert -size 64x64 xc:blue -type Palette out.bmp"}) {
    const auto bmp = Make(script, "out.bmp");
    ASSERT_EQ(LE32(bmp, 2), bmp.size()) << script;
    const uint64_t n = SectorsOf(bmp.size());
    for (uint32_t spc : {1u, 4u}) {
      auto s = CarveSession(Image(n + 30, bmp, SectorRun(8, n)), spc, 0);
      test::TempDir out("bmp-out");
      CarveBmp(*s, out.Path().string() + "/", 8 * 512);
      EXPECT_EQ(Marked(*s), WithClusterRest(SectorRun(8, n), spc)) << script;
      EXPECT_TRUE(fs::is_empty(out.Path()));
      EXPECT_EQ(s->RescuedCount, 0u);
    }
  }
}

TEST_F(BmpCarver, StepsOverClaimedSectorsWithoutReadingAny) {
  const auto bmp = Make("convert -size 600x400 xc:red out.bmp", "out.bmp");
  const uint64_t n = SectorsOf(bmp.size());
  ASSERT_GT(n * 512, 4 * 65536u) << "should span several read windows";
  auto device = std::make_unique<MemoryDevice>(Image(2 * n + 10, bmp, SectorRun(0, n)));
  MemoryDevice* raw = device.get();
  auto s = test::EnglishSession();
  OpenImageDevice(*s, std::move(device), "m.img");
  s->LastScanSector = static_cast<int64_t>(s->Scan.LastSector);
  s->Map.Allocate(s->Scan.LastSector);
  for (uint64_t f = 3; f < n; f += 7) s->Map.MarkSector(f);
  const auto before = Marked(*s);
  const uint64_t reads = raw->ReadCount();
  CarveBmp(*s, "", 0);
  EXPECT_EQ(raw->ReadCount() - reads, 1u) << "only the start sector's window is read";
  // n sectors of its own beside the foreign ones.
  EXPECT_EQ(Marked(*s).size(), before.size() + n);
  EXPECT_TRUE(s->Map.IsSectorMarked(n - 1 + before.size()));
  EXPECT_FALSE(s->Map.IsSectorMarked(n + before.size()));
}

TEST_F(BmpCarver, TheHeaderSizeDecidesTheClaim) {
  auto claims = [](std::vector<uint8_t> header, int64_t lastScan = -1) {
    auto img = Image(2100, header, {5});
    auto s = CarveSession(std::move(img));
    if (lastScan >= 0) s->LastScanSector = lastScan;
    CarveBmp(*s, "", 5 * 512);
    return Marked(*s);
  };
  EXPECT_EQ(claims(Header(1'000'000)), SectorRun(5, 1954));
  EXPECT_EQ(claims(Header(58)), SectorRun(5, 1));
  EXPECT_EQ(claims(Header(54)), SectorRun(5, 1)) << "below 58 only the start sector";
  EXPECT_EQ(claims(Header(104'857'601)), SectorRun(5, 1)) << "above 100 MiB only the start sector";
  EXPECT_EQ(claims(Header(1'000'000), 104), SectorRun(5, 100))
      << "the range's end only ends the claim";
  auto bn = Header(1'000'000);
  bn[1] = 'N';
  EXPECT_TRUE(claims(bn).empty());
  auto reserved = Header(1'000'000);
  reserved[8] = 1;
  EXPECT_TRUE(claims(reserved).empty());
}

// ------------------------------------------- databases around other files

class AroundAPicture : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"convert", "gsf"})
      if (!test::HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
  }

  // A QQ-like compound file whose Matrix.dat stream holds the given bytes first.
  static std::vector<uint8_t> Database(const std::vector<uint8_t>& matrixHead = {}) {
    test::TempDir dir("qq-db");
    auto matrix = RandomBytes(120000, 11);
    std::copy(matrixHead.begin(), matrixHead.end(), matrix.begin());
    test::WriteFileBytes(dir / "Matrix.dat", matrix);
    test::WriteFileBytes(dir / "seqbase.dat", RandomBytes(9000, 12));
    auto r = test::Run("cd " + test::ShellQuote(dir.Path().string()) +
                       " && gsf createole out.ole Matrix.dat seqbase.dat");
    EXPECT_EQ(r.Status, 0) << r.Err;
    return ReadFileBytes(dir / "out.ole");
  }

  // The database's first `head` sectors from sector 10, then the other file,
  // then the rest of the database. Returns the image and the other file's start.
  static std::pair<std::vector<uint8_t>, uint64_t> Interleave(const std::vector<uint8_t>& db,
                                                              const std::vector<uint8_t>& other,
                                                              uint64_t head) {
    const uint64_t d = db.size() / 512, o = SectorsOf(other.size());
    Sectors dbAt = SectorRun(10, head);
    for (uint64_t k = head; k < d; ++k) dbAt.push_back(10 + o + k);
    auto img = Image(10 + d + o + 10, db, dbAt);
    auto otherAt = SectorRun(10 + head, o);
    for (size_t k = 0; k < other.size(); ++k) img[otherAt[k / 512] * 512 + k % 512] = other[k];
    return {img, 10 + head};
  }

  std::vector<uint8_t> RescuedDb(Session& s, uint64_t otherStart,
                                 void (*other)(Session&, const std::string&, uint64_t)) {
    test::TempDir out("qq-around");
    const std::string folder = out.Path().string() + "/";
    if (other) other(s, folder, otherStart * 512);
    CarveQQDatabase(s, folder, 10 * 512);
    const fs::path db = OutputName(folder, 10 * 512, ".DB");
    return fs::exists(db) ? ReadFileBytes(db) : std::vector<uint8_t>{};
  }
};

TEST_F(AroundAPicture, ADatabaseAroundAJpegIsRescuedWhole) {
  const auto db = Database();
  const auto jpeg = Make("convert -size 320x240 plasma:fractal out.jpg");
  auto [img, at] = Interleave(db, jpeg, 40);
  auto s = CarveSession(img);
  s->TypeMask |= kTypeMaskJpeg;
  EXPECT_EQ(RescuedDb(*s, at, CarveJpeg), db);
  auto without = CarveSession(img);
  EXPECT_NE(RescuedDb(*without, at, nullptr), db)
      << "without the picture's claims the database breaks";
}

TEST_F(AroundAPicture, ADatabaseAroundABmpIsRescuedWhole) {
  const auto db = Database();
  const auto bmp = Make("convert -size 300x200 xc:red out.bmp", "out.bmp");
  auto [img, at] = Interleave(db, bmp, 25);
  auto s = CarveSession(img);
  EXPECT_EQ(RescuedDb(*s, at, CarveBmp), db);
  // Without the picture's claims, a solid red picture is plain enough for
  // the database's own reassembly to step over: whole and right, or not at all.
  auto without = CarveSession(img);
  const auto alone = RescuedDb(*without, at, nullptr);
  EXPECT_TRUE(alone.empty() || alone == db);
}

TEST_F(AroundAPicture, AThumbnailInsideADatabaseIsWrittenAndLeavesItsSectorsToTheDatabase) {
  const auto thumb = Make("convert -size 160x120 plasma:fractal out.jpg");
  const auto db = Database(thumb);
  const auto found = std::search(db.begin(), db.end(), thumb.begin(), thumb.end());
  ASSERT_NE(found, db.end());
  const uint64_t offset = static_cast<uint64_t>(found - db.begin());
  ASSERT_EQ(offset % 512, 0u) << "the stream should start on a sector";
  auto img = Image(db.size() / 512 + 20, db, SectorRun(10, db.size() / 512));
  const uint64_t thumbSector = 10 + offset / 512;
  for (bool listed : {true, false}) {
    auto s = CarveSession(img);
    s->TypeMask |= kTypeMaskJpeg;
    if (listed) s->ThumbSizeList = ThumbSizeListFromText("160x120\n");
    test::TempDir out("qq-thumb");
    const std::string folder = out.Path().string() + "/";
    EXPECT_EQ(CarveJpegFile(*s, folder, thumbSector * 512), thumb.size());
    EXPECT_EQ(ReadFileBytes(OutputName(folder, thumbSector * 512, ".JPG")), thumb);
    CarveQQDatabase(*s, folder, 10 * 512);
    const fs::path dbFile = OutputName(folder, 10 * 512, ".DB");
    if (listed) {
      ASSERT_TRUE(fs::exists(dbFile));
      EXPECT_EQ(ReadFileBytes(dbFile), db);
    } else {
      EXPECT_FALSE(fs::exists(dbFile) && ReadFileBytes(dbFile) == db)
          << "a kept picture takes the database's sectors";
    }
  }
}

}  // namespace
}  // namespace tarnwick
