#include "carvers/png.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string_view>

#include "carvers/framework.h"
#include "carvers/qq_database.h"
#include "source/bytes.h"
#include "source/device.h"
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

// An image of random filler with the file's 512-byte pieces laid into the
// given sectors, in order.
std::vector<uint8_t> Image(uint64_t sectors, const std::vector<uint8_t>& file, const Sectors& at) {
  std::vector<uint8_t> img = RandomBytes(sectors * 512, 77);
  for (size_t k = 0; k * 512 < file.size(); ++k) {
    size_t n = std::min<size_t>(512, file.size() - k * 512);
    std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(k * 512), n,
                img.begin() + static_cast<std::ptrdiff_t>(at.at(k) * 512));
  }
  return img;
}

// What a successful carve leaves claimed: the sectors holding the file's
// bytes, then the rest of the cluster in which the last one lies.
Sectors Extent(const Sectors& at, uint64_t fileSize, uint32_t spc = 1, int64_t phase = 0) {
  Sectors out(at.begin(), at.begin() + static_cast<std::ptrdiff_t>((fileSize + 511) / 512));
  for (uint64_t t = out.back() + 1; spc > 1 && (static_cast<int64_t>(t) - phase) % spc != 0; ++t)
    out.push_back(t);
  return out;
}

// A session over the image whose reads fail at the given sectors.
std::unique_ptr<Session> FaultySession(std::vector<uint8_t> bytes, std::set<uint64_t> bad) {
  auto s = test::EnglishSession();
  auto inner = std::make_unique<MemoryDevice>(std::move(bytes));
  OpenImageDevice(*s, std::make_unique<FaultyDevice>(std::move(inner), std::move(bad)), "bad.img");
  s->Scan.SectorsPerCluster = 1;
  s->LastScanSector = static_cast<int64_t>(s->Scan.LastSector);
  s->Map.Allocate(s->Scan.LastSector);
  return s;
}

void PutBE32(uint8_t* at, uint32_t v) {
  for (int k = 0; k < 4; ++k) at[k] = static_cast<uint8_t>(v >> (24 - 8 * k));
}

std::vector<uint8_t> Chunk(std::string_view type, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> out(12 + data.size());
  PutBE32(out.data(), static_cast<uint32_t>(data.size()));
  std::copy_n(type.data(), 4, out.begin() + 4);
  std::copy(data.begin(), data.end(), out.begin() + 8);
  const uLong crc = crc32(0, out.data() + 4, static_cast<uInt>(4 + data.size()));
  PutBE32(out.data() + 8 + data.size(), static_cast<uint32_t>(crc));
  return out;
}

const std::vector<uint8_t> kSignature = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

struct PngChunk {
  std::string Type;
  size_t Offset;  // of its length field
  uint32_t Length;
};

std::vector<PngChunk> ChunksOf(const std::vector<uint8_t>& png) {
  std::vector<PngChunk> out;
  for (size_t p = 8; p + 12 <= png.size();) {
    uint32_t n = BE32(png, p);
    out.push_back({std::string(png.begin() + static_cast<std::ptrdiff_t>(p + 4),
                               png.begin() + static_cast<std::ptrdiff_t>(p + 8)),
                   p, n});
    p += 12 + size_t{n};
  }
  return out;
}

// Signature, IHDR, the given chunks, IEND.
std::vector<uint8_t> HandPng(const std::vector<std::vector<uint8_t>>& middle) {
  std::vector<uint8_t> png = kSignature;
  auto add = [&](const std::vector<uint8_t>& c) { png.insert(png.end(), c.begin(), c.end()); };
  add(Chunk("IHDR", {0, 0, 0, 1, 0, 0, 0, 1, 8, 0, 0, 0, 0}));
  for (const auto& c : middle) add(c);
  add(Chunk("IEND", {}));
  return png;
}

class PngCarver : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::HaveTool("convert")) GTEST_SKIP() << "ImageMagick (convert) is not installed";
  }

  // A picture written by ImageMagick: `convert <args> [format:]out.png`.
  static std::vector<uint8_t> Convert(const std::string& args, const std::string& format = "") {
    test::TempDir dir("png");
    auto r =
        test::Run("convert " + args + " " + test::ShellQuote(format + (dir / "out.png").string()));
    EXPECT_EQ(r.Status, 0) << r.Err;
    return ReadFileBytes(dir / "out.png");
  }

  // True when ImageMagick decodes the bytes as a whole picture of that size.
  static bool Decodes(const std::vector<uint8_t>& png, const std::string& size) {
    test::TempDir dir("png-check");
    test::WriteFileBytes(dir / "x.png", png);
    auto r = test::Run("convert -regard-warnings " + test::ShellQuote((dir / "x.png").string()) +
                       " -format '%wx%h' info:");
    return r.Status == 0 && r.Out == size;
  }

  static std::string Types(const std::vector<uint8_t>& png) {
    std::string out;
    for (const auto& c : ChunksOf(png))
      if (out.size() < 5 || out.substr(out.size() - 5) != c.Type + " ") out += c.Type + " ";
    return out;
  }
};

// An animated PNG written by ffmpeg.
std::vector<uint8_t> FfmpegApng() {
  test::TempDir dir("apng");
  auto r = test::Run(
      "ffmpeg -v error -nostdin -y -f lavfi -i testsrc=duration=1:size=96x64:rate=5 "
      "-plays 0 -f apng " +
      test::ShellQuote((dir / "out.png").string()));
  EXPECT_EQ(r.Status, 0) << r.Err;
  return ReadFileBytes(dir / "out.png");
}

TEST_F(PngCarver, PicturesAreClaimedToTheirLastSectorAndCluster) {
  struct Case {
    std::string args;
    std::string format;
    std::string types;  // the chunk types that must be among the picture's
  };
  const std::vector<Case> cases = {
      {"-size 400x300 plasma:", "", "IHDR bKGD tEXt IDAT IEND "},  // ImageMagick's defaults
      {"-size 400x300 plasma: -strip", "", "IHDR IDAT IEND "},
      {"-size 300x200 gradient:red-blue -depth 16", "", "IHDR IDAT IEND "},
      {"-size 300x200 plasma: -interlace PNG", "", "IHDR IDAT IEND "},
      {"-size 200x100 plasma: -colors 50 -strip", "PNG8:", "IHDR PLTE IDAT IEND "},
      {"rose: -set comment 'made for a test' -density 300 -units PixelsPerInch", "",
       "IHDR pHYs tEXt IDAT IEND "},
  };
  std::vector<std::pair<std::string, std::vector<uint8_t>>> pictures;
  for (const auto& c : cases) pictures.emplace_back(c.args, Convert(c.args, c.format));
  if (test::HaveTool("ffmpeg")) pictures.emplace_back("APNG", FfmpegApng());
  for (size_t k = 0; k < pictures.size(); ++k) {
    const auto& [what, png] = pictures[k];
    const std::string types = Types(png);
    const std::string want = k < cases.size() ? cases[k].types : "IHDR acTL fcTL IDAT fdAT IEND ";
    for (size_t from = 0, to = 0; (to = want.find(' ', from)) != std::string::npos; from = to + 1)
      EXPECT_NE(types.find(want.substr(from, to - from)), std::string::npos)
          << what << ": " << types;
    const uint64_t n = (png.size() + 511) / 512;
    for (auto [spc, phase] : {std::pair<uint32_t, int32_t>{1, 0}, {8, 0}, {8, 3}}) {
      const uint64_t start = 24 + static_cast<uint64_t>(phase);
      auto s = CarveSession(Image(start + n + 20, png, SectorRun(start, n)), spc, phase);
      CarvePng(*s, "", start * 512);
      EXPECT_EQ(Marked(*s), Extent(SectorRun(start, n), png.size(), spc, phase))
          << what << " spc " << spc << " phase " << phase;
      EXPECT_EQ(s->RescuedCount, 0u);
    }
  }
}

TEST_F(PngCarver, ALargePictureIsFollowedAcrossForeignSectors) {
  auto png = Convert("-size 1000x900 xc: +noise Random -strip");
  ASSERT_GT(png.size(), 2'000'000u);
  const uint64_t n = (png.size() + 511) / 512;
  // Runs of other files' sectors inside the picture's span, one of them
  // inside the first IDAT chunk's unread middle.
  Sectors at, foreign;
  for (uint64_t sector = 100; at.size() < n; ++sector) {
    bool other =
        (sector >= 140 && sector < 150) || (sector >= 2000 && sector < 2007) || (sector % 997 == 0);
    (other ? foreign : at).push_back(sector);
  }
  auto s = CarveSession(Image(at.back() + 30, png, at), 4, 0);
  for (uint64_t f : foreign) s->Map.MarkSector(f);
  CarvePng(*s, "", 100 * 512);
  Sectors expected = Extent(at, png.size(), 4, 0);
  expected.insert(expected.end(), foreign.begin(), foreign.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Marked(*s), expected);
}

TEST_F(PngCarver, ALongChunkIsReadWholeForItsCrc) {
  // ImageMagick's picture with its image data joined into one IDAT chunk
  // of more than 1,000,000 bytes, checked to decode.
  auto made = Convert("-size 600x600 xc: +noise Random -depth 8 -strip");
  std::vector<uint8_t> idat;
  for (const auto& c : ChunksOf(made)) {
    if (c.Type != "IDAT") continue;
    auto from = made.begin() + static_cast<std::ptrdiff_t>(c.Offset + 8);
    idat.insert(idat.end(), from, from + c.Length);
  }
  ASSERT_GT(idat.size(), 1'000'000u);
  std::vector<uint8_t> png = kSignature;
  for (const auto& c : {Chunk("IHDR", std::vector<uint8_t>(made.begin() + 16, made.begin() + 29)),
                        Chunk("IDAT", idat), Chunk("IEND", {})})
    png.insert(png.end(), c.begin(), c.end());
  ASSERT_TRUE(Decodes(png, "600x600"));
  const uint64_t n = (png.size() + 511) / 512;
  auto s = CarveSession(Image(n + 10, png, SectorRun(2, n)));
  CarvePng(*s, "", 2 * 512);
  EXPECT_EQ(Marked(*s), SectorRun(2, n));

  // An unreadable sector in the middle of the chunk: its CRC cannot judge
  // the chunk, so the picture keeps its sectors; the same sector spoilt
  // but readable fails it.
  auto t = FaultySession(Image(n + 10, png, SectorRun(2, n)), {1200});
  CarvePng(*t, "", 2 * 512);
  EXPECT_EQ(Marked(*t), SectorRun(2, n));
  auto spoilt = Image(n + 10, png, SectorRun(2, n));
  std::fill_n(spoilt.begin() + 1200 * 512, 512, uint8_t{0});
  auto u = CarveSession(spoilt);
  CarvePng(*u, "", 2 * 512);
  EXPECT_TRUE(Marked(*u).empty());
}

TEST_F(PngCarver, TruncatedOrDamagedPicturesFailAndGiveEverySectorBack) {
  auto png = Convert("-size 400x300 plasma: -strip");
  const uint64_t n = (png.size() + 511) / 512;
  const auto chunks = ChunksOf(png);
  const size_t secondIdat = chunks.at(2).Offset;
  ASSERT_EQ(chunks.at(2).Type, "IDAT");
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> spoil;
  };
  const std::vector<Case> cases = {
      {"cut in the middle, filler after", [](auto& d) { d.resize(d.size() / 2); }},
      {"signature", [](auto& d) { d[3] = 'H'; }},
      {"chunk type in lower case", [&](auto& d) { d[secondIdat + 4] = 'i'; }},
      {"chunk type with a digit", [&](auto& d) { d[secondIdat + 5] = '4'; }},
      {"a byte of a chunk's data", [&](auto& d) { d[secondIdat + 100] ^= 0x10; }},
      {"a chunk's CRC", [&](auto& d) { d[chunks.at(3).Offset - 1] ^= 0x01; }},
      {"the signature's line-end bytes", [](auto& d) { d[4] = 0; }},
  };
  for (const auto& c : cases) {
    auto bad = png;
    c.spoil(bad);
    auto s = CarveSession(Image(n + 2000, bad, SectorRun(5, (bad.size() + 511) / 512)), 8, 0);
    CarvePng(*s, "", 5 * 512);
    EXPECT_TRUE(Marked(*s).empty()) << c.what;
  }
  // Cut short by the end of the scan range.
  auto s = CarveSession(Image(n + 10, png, SectorRun(5, n)));
  s->LastScanSector = static_cast<int64_t>(5 + n / 2);
  CarvePng(*s, "", 5 * 512);
  EXPECT_TRUE(Marked(*s).empty());
}

TEST_F(PngCarver, AClaimedStartSectorIsLeftAlone) {
  auto png = Convert("-size 400x300 plasma: -strip");
  const uint64_t n = (png.size() + 511) / 512;
  auto s = CarveSession(Image(n + 10, png, SectorRun(5, n)), 8, 0);
  s->Map.MarkSector(5);
  CarvePng(*s, "", 5 * 512);
  EXPECT_EQ(Marked(*s), Sectors{5});
}

// Chunk lengths and the scan range's end, at the byte.
TEST(PngChunkWalk, ChunkLengthsAndSectorSizes) {
  auto carve = [](const std::vector<uint8_t>& png, uint32_t bps = 512) {
    auto s = CarveSession(
        Image((png.size() + 511) / 512 + 8, png, SectorRun(0, (png.size() + 511) / 512)));
    if (bps != 512) {
      s->Scan.BytesPerSector = bps;
      s->Scan.LastSector = (s->Scan.LastSector + 1) * 512 / bps - 1;
      s->LastScanSector = static_cast<int64_t>(s->Scan.LastSector);
    }
    CarvePng(*s, "", 0);
    return Marked(*s);
  };
  auto idat = [](size_t n) { return Chunk("IDAT", RandomBytes(n, static_cast<uint32_t>(n))); };

  // The IDAT's data starts at 41; its 5,000 bytes and the CRC end at 5,045,
  // the IEND at 5,057: sectors 0 to 9.
  auto five = HandPng({idat(5000)});
  ASSERT_EQ(five.size(), 5057u);
  EXPECT_EQ(carve(five), SectorRun(0, 10));
  // The same chunk followed by more, headers straddling sector edges.
  auto several =
      HandPng({idat(5000), Chunk("gAMA", {0, 0, 0xB1, 0x8F}), idat(1500), idat(2047), idat(3000)});
  EXPECT_EQ(carve(several), SectorRun(0, (several.size() + 511) / 512));
  EXPECT_EQ(carve(several, 4096), SectorRun(0, (several.size() + 4095) / 4096));

  EXPECT_EQ(carve(HandPng({idat(1'200'000)})), SectorRun(0, (1'200'000 + 45 + 511) / 512));
  // Lengths of 2^31 and more are not chunk lengths, nor is one whose sum
  // with the CRC would wrap to 0.
  EXPECT_TRUE(carve(HandPng({{0x80, 0, 0, 0, 'I', 'D', 'A', 'T'}})).empty());
  EXPECT_TRUE(carve(HandPng({{0xFF, 0xFF, 0xFF, 0xFC, 'I', 'D', 'A', 'T'}})).empty());
  // An end chunk with data is no end chunk.
  auto end = HandPng({});
  end.resize(end.size() - 12);
  for (const auto& c : {Chunk("IEND", {1}), Chunk("IEND", {})})
    end.insert(end.end(), c.begin(), c.end());
  EXPECT_TRUE(carve(end).empty());
  // A picture starts with its header chunk.
  std::vector<uint8_t> late = kSignature;
  for (const auto& c : {Chunk("gAMA", {0, 0, 0xB1, 0x8F}),
                        Chunk("IHDR", {0, 0, 0, 1, 0, 0, 0, 1, 8, 0, 0, 0, 0}), Chunk("IEND", {})})
    late.insert(late.end(), c.begin(), c.end());
  EXPECT_TRUE(carve(late).empty());
}

TEST(PngChunkWalk, TheEndChunksCrcMustBeReadToo) {
  // 8 + 25 + (12 + 459) = 504: the IEND header fills the sector to its end.
  auto png = HandPng({Chunk("IDAT", RandomBytes(459, 5))});
  ASSERT_EQ(png.size(), 516u);
  auto s = CarveSession(Image(4, png, SectorRun(1, 2)));
  CarvePng(*s, "", 512);
  EXPECT_EQ(Marked(*s), SectorRun(1, 2));
  auto t = CarveSession(Image(4, png, SectorRun(1, 2)));
  t->LastScanSector = 1;
  CarvePng(*t, "", 512);
  EXPECT_TRUE(Marked(*t).empty());
}

TEST(PngChunkWalk, TheCollectedBytesStopAtOneHundredMebibytes) {
  // The file ends exactly at 104,857,600 bytes, or one byte later.
  auto make = [](size_t total) {
    std::vector<uint8_t> png = HandPng({});
    png.resize(png.size() - 12);  // IEND goes last
    const std::vector<uint8_t> piece = Chunk("IDAT", std::vector<uint8_t>(1000, 0x5A));
    // The last IDAT keeps its data under 1,020 bytes, below the skipping size.
    while (total - png.size() - 12 > 1031) png.insert(png.end(), piece.begin(), piece.end());
    auto last = Chunk("IDAT", std::vector<uint8_t>(total - png.size() - 24, 0x5A));
    png.insert(png.end(), last.begin(), last.end());
    auto end = Chunk("IEND", {});
    png.insert(png.end(), end.begin(), end.end());
    return png;
  };
  for (size_t total : {size_t{104'857'600}, size_t{104'857'601}}) {
    auto png = make(total);
    ASSERT_EQ(png.size(), total);
    const uint64_t n = (total + 511) / 512;
    std::vector<uint8_t> img(png);
    img.resize((n + 4) * 512, 0);
    auto s = CarveSession(std::move(img));
    CarvePng(*s, "", 0);
    EXPECT_EQ(s->Map.IsSectorMarked(0), total == 104'857'600) << total;
    EXPECT_EQ(s->Map.IsSectorMarked(n - 1), total == 104'857'600) << total;
  }
}

// The reason for carving pictures at all: a database whose sectors are
// interleaved with a picture's is rescued whole once the picture is claimed.
class PngInsideDatabase : public PngCarver {
 protected:
  void SetUp() override {
    PngCarver::SetUp();
    if (IsSkipped()) return;
    if (!test::HaveTool("gsf")) GTEST_SKIP() << "gsf (libgsf-bin) is not installed";
  }

  static std::vector<uint8_t> Database() {
    test::TempDir dir("qq");
    test::WriteFileBytes(dir / "Matrix.dat", RandomBytes(400'000, 11));
    test::WriteFileBytes(dir / "seqbase.dat", RandomBytes(60'000, 12));
    auto r = test::Run("cd " + test::ShellQuote(dir.Path().string()) +
                       " && gsf createole qq.db Matrix.dat seqbase.dat");
    EXPECT_EQ(r.Status, 0) << r.Err;
    return ReadFileBytes(dir / "qq.db");
  }
};

TEST_F(PngInsideDatabase, TheDatabaseIsRescuedByteForByte) {
  auto db = Database();
  auto png = Convert("-size 400x300 plasma: -strip");
  ASSERT_EQ(db.size() % 512, 0u);
  for (uint32_t spc : {1u, 8u}) {
    // Database clusters 0..19, the picture in whole clusters, the rest of the database.
    const uint64_t dbSectors = db.size() / 512;
    const uint64_t pngSectors = (png.size() + 511) / 512;
    const uint64_t pngSpan = (pngSectors + spc - 1) / spc * spc;
    const uint64_t base = 16, head = 160;
    Sectors dbAt = SectorRun(base, head);
    Sectors rest = SectorRun(base + head + pngSpan, dbSectors - head);
    dbAt.insert(dbAt.end(), rest.begin(), rest.end());
    auto img = Image(base + dbSectors + pngSpan + 16, db, dbAt);
    for (size_t k = 0; k < png.size(); ++k) img[(base + head) * 512 + k] = png[k];

    for (bool carvePicture : {true, false}) {
      test::TempDir out("qq-out");
      auto s = CarveSession(img, spc, 0);
      if (carvePicture) CarvePng(*s, out.Path().string() + "/", (base + head) * 512);
      CarveQQDatabase(*s, out.Path().string() + "/", base * 512);
      auto name = OutputName(out.Path().string() + "/", base * 512, ".DB");
      const bool whole = fs::exists(name) && ReadFileBytes(name) == db;
      EXPECT_EQ(whole, carvePicture) << "spc " << spc;
      if (carvePicture) {
        EXPECT_EQ(std::distance(fs::directory_iterator(out.Path()), fs::directory_iterator()), 1)
            << "the picture carver writes nothing";
      }
    }
  }
}

}  // namespace
}  // namespace tarnwick
