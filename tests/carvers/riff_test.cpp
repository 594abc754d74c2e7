#include "carvers/riff.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstring>
#include <fstream>

#include "carvers/qq_database.h"
#include "media_support.h"
#include "source/bytes.h"
#include "support/recording_frontend.h"

namespace tarnwick {
namespace {

using namespace test::media;
using test::CarveSession;

void PutLE32(std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

void Append(std::vector<uint8_t>& v, const std::string& text) {
  v.insert(v.end(), text.begin(), text.end());
}

// A chunk whose size field is `size` and whose data is `data` bytes of filler.
std::vector<uint8_t> Chunk(const std::string& id, uint32_t size, size_t data, uint32_t seed = 3) {
  std::vector<uint8_t> c;
  Append(c, id);
  PutLE32(c, size);
  auto body = RandomBytes(data, seed);
  c.insert(c.end(), body.begin(), body.end());
  return c;
}
std::vector<uint8_t> Chunk(const std::string& id, size_t data) {
  return Chunk(id, static_cast<uint32_t>(data), data);
}

// "RIFF", the size of what follows, the form type and the chunks as given.
std::vector<uint8_t> Riff(const std::string& form,
                          const std::vector<std::vector<uint8_t>>& chunks) {
  std::vector<uint8_t> body;
  Append(body, form);
  for (const auto& c : chunks) body.insert(body.end(), c.begin(), c.end());
  std::vector<uint8_t> f;
  Append(f, "RIFF");
  PutLE32(f, static_cast<uint32_t>(body.size()));
  f.insert(f.end(), body.begin(), body.end());
  return f;
}

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<uint8_t> AviClip() { return FfmpegMedia("clip.avi"); }
std::vector<uint8_t> FfmpegWave() {
  return Made("tone.wav", "ffmpeg -v error -nostdin -y -f lavfi -i sine=duration=2 \"$OUT\"");
}
std::vector<uint8_t> SoxWave() {
  return Made("sox.wav", "sox -n -r 8000 -c 1 -b 16 \"$OUT\" synth 1.5 sine 440");
}
// About 30 MiB of CD-quality sound.
std::vector<uint8_t> BigWave() {
  return Made("big.wav", "sox -n -r 44100 -c 2 -b 16 \"$OUT\" synth 180 sine 440 vol 0.5");
}
// An animated cursor: its header chunk, then the frames in a LIST.
std::vector<uint8_t> Cursor() {
  return Riff("ACON", {Chunk("anih", 36),
                       Concat(Chunk("LIST", 4 + 2 * 1508, 0),
                              Concat(std::vector<uint8_t>{'f', 'r', 'a', 'm'},
                                     Concat(Chunk("icon", 1500), Chunk("icon", 1500))))});
}
std::vector<uint8_t> CdxaTrack() { return Riff("CDXA", {Chunk("fmt ", 16), Chunk("data", 23520)}); }
// A drawing whose RIFF header covers exactly its bytes.
std::vector<uint8_t> RiffDrawing(uint32_t end) {
  std::vector<uint8_t> f;
  Append(f, "RIFF");
  PutLE32(f, end - 8);
  Append(f, "CDR9");
  auto body = RandomBytes(end - 12, 12);
  f.insert(f.end(), body.begin(), body.end());
  return f;
}

class RiffCarver : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why = Missing({"ffmpeg", "sox"});
    if (!why.empty()) GTEST_SKIP() << why;
  }
};

// The file laid contiguously at `start` in filler, carved, and its claims.
std::vector<uint64_t> CarveLaid(const std::vector<uint8_t>& file, uint64_t start, uint32_t spc = 1,
                                void (*carver)(Session&, const std::string&,
                                               uint64_t) = CarveRiff) {
  const uint64_t n = SectorsOf(file.size());
  auto s = CarveSession(ImageWith(start + n + 24, file, SectorRun(start, n)), spc, 0);
  carver(*s, "", start * kSector);
  return Marked(*s);
}

TEST_F(RiffCarver, FilesMadeByFfmpegAndSoxAreClaimedToTheirLastByte) {
  for (auto [name, file] : {std::pair{"AVI", AviClip()}, std::pair{"ffmpeg WAVE", FfmpegWave()},
                            std::pair{"sox WAVE", SoxWave()}}) {
    ASSERT_FALSE(file.empty());
    ASSERT_EQ(LE32(file, 4) + 8u, file.size()) << name << ": the RIFF header covers the file";
    for (uint32_t spc : {1u, 8u}) {
      EXPECT_EQ(CarveLaid(file, 16, spc),
                ExpectedClaims(SectorRun(16, SectorsOf(file.size())), file.size(), spc))
          << name << ", " << spc << " sectors per cluster";
    }
  }
}

TEST_F(RiffCarver, FollowsTheFileAcrossSectorsClaimedBeforehand) {
  // Foreign sectors where headers are read and inside the long "movi" list,
  // which is claimed without being read.
  auto avi = AviClip();
  const std::set<uint64_t> foreign = {17, 18, 30, 31, 32, 33, 60, 100, 101, 150, 151, 152, 200};
  auto at = SectorsAvoiding(16, SectorsOf(avi.size()), foreign);
  auto s = CarveSession(ImageWith(at.back() + 30, avi, at));
  for (uint64_t f : foreign) s->Map.MarkSector(f);
  CarveRiff(*s, "", 16 * kSector);
  EXPECT_EQ(Marked(*s), ExpectedClaims(at, avi.size(), 1, 0, foreign));
}

TEST_F(RiffCarver, ALargeWaveIsClaimedMostlyWithoutBeingRead) {
  auto wav = BigWave();
  ASSERT_GT(wav.size(), 30u << 20);
  std::set<uint64_t> foreign;
  for (uint64_t f = 1000; f < 1008; ++f) foreign.insert(f);
  for (uint64_t f = 40000; f < 40100; ++f) foreign.insert(f);
  auto at = SectorsAvoiding(8, SectorsOf(wav.size()), foreign);
  std::vector<uint64_t> reads;
  auto s =
      DeviceSession(std::make_unique<RecordingDevice>(ImageWith(at.back() + 20, wav, at), &reads));
  reads.clear();
  for (uint64_t f : foreign) s->Map.MarkSector(f);
  CarveRiff(*s, "", 8 * kSector);
  EXPECT_EQ(Marked(*s), ExpectedClaims(at, wav.size(), 1, 0, foreign));
  // The start window, and one window for the tail and the header after it.
  EXPECT_LE(reads.size(), 2u) << "device reads of 64 KiB";
}

TEST_F(RiffCarver, ManySmallChunksAreWalkedInACompactedBuffer) {
  std::vector<std::vector<uint8_t>> chunks = {Chunk("fmt ", 16)};
  for (int i = 0; i < 400; ++i)
    chunks.push_back(Chunk("JUNK", 300 + 2 * static_cast<size_t>(i % 7)));
  chunks.push_back(Chunk("data", 700000));
  for (int i = 0; i < 100; ++i) chunks.push_back(Chunk("LIST", 250));
  auto wav = Riff("WAVE", chunks);
  const uint64_t n = SectorsOf(wav.size());
  auto s = CarveSession(ImageWith(n + 40, wav, SectorRun(20, n)));
  test::RecordingFrontend ui;
  s->SetFrontend(&ui);
  CarveRiff(*s, "", 20 * kSector);
  EXPECT_EQ(Marked(*s), ExpectedClaims(SectorRun(20, n), wav.size()));
  // Each compaction shows the progress label at once and lets messages through.
  ASSERT_FALSE(ui.LabelHistory.empty());
  EXPECT_EQ(ui.LabelHistory.front().rfind("Sector: 20, ", 0), 0u) << ui.LabelHistory.front();
  EXPECT_GE(ui.Pumps, 4);
}

TEST_F(RiffCarver, ASecondRiffPartIsSteppedInto) {
  auto avi = AviClip();
  auto avix = Riff(
      "AVIX", {Concat(Chunk("LIST", 4 + 6000, 0),
                      Concat(std::vector<uint8_t>{'m', 'o', 'v', 'i'}, RandomBytes(6000, 8)))});
  auto file = Concat(avi, avix);
  EXPECT_EQ(CarveLaid(file, 16),
            ExpectedClaims(SectorRun(16, SectorsOf(file.size())), file.size()));
  EXPECT_EQ(CarveLaid(file, 16, 4),
            ExpectedClaims(SectorRun(16, SectorsOf(file.size())), file.size(), 4));
}

TEST_F(RiffCarver, TheFileEndsAtTheFirstChunkOutsideTheList) {
  struct Case {
    const char* what;
    std::vector<uint8_t> file;
    uint64_t length;  // where the file is taken to end
  };
  auto fmt = Chunk("fmt ", 16);
  std::vector<Case> cases = {
      {"animated cursor", Cursor(), Cursor().size()},
      {"CD-XA", CdxaTrack(), CdxaTrack().size()},
      {"WAVE with a fact chunk", Riff("WAVE", {fmt, Chunk("fact", 4), Chunk("data", 5000)}), 36},
      {"chunk of odd size", Riff("WAVE", {fmt, Chunk("data", 1001), {0}, Chunk("LIST", 2000)}),
       36 + 1009},
      {"size FFFFFFF8", Riff("WAVE", {fmt, Chunk("JUNK", 0xFFFFFFF8u, 3000), Chunk("data", 500)}),
       36},
      {"size FFFFFFFF passes 7 bytes", Riff("WAVE", {fmt, Chunk("JUNK", 0xFFFFFFFFu, 3000)}),
       36 + 7},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CarveLaid(c.file, 4), ExpectedClaims(SectorRun(4, SectorsOf(c.length)), c.length))
        << c.what;
  }
}

TEST_F(RiffCarver, AHeaderAcrossASectorEdgeDoesNotHideTheNextChunk) {
  // The "data" header straddles the first sector's end, so the walk holds
  // 518 bytes from it on; the chunk ends 509 bytes past that, less than a
  // sector: that sector holds the next header and must be read, not skipped.
  auto wav = Riff("WAVE", {Chunk("JUNK", 486), Chunk("data", 1019), Chunk("LIST", 600)});
  ASSERT_EQ(wav.size(), 2141u);
  EXPECT_EQ(CarveLaid(wav, 6), ExpectedClaims(SectorRun(6, 5), wav.size()));
}

TEST_F(RiffCarver, FailuresGiveEverySectorBack) {
  // 2048 bytes exactly: the header after its last chunk lies in the next sector.
  auto wav = Riff("WAVE", {Chunk("fmt ", 16), Chunk("data", 2048 - 44)});
  ASSERT_EQ(wav.size(), 2048u);
  {
    auto s = CarveSession(ImageWith(20, wav, SectorRun(4, 4)));
    s->LastScanSector = 7;
    CarveRiff(*s, "", 4 * kSector);
    EXPECT_TRUE(Marked(*s).empty()) << "the next header lies past the last scan sector";
    s->LastScanSector = 8;
    CarveRiff(*s, "", 4 * kSector);
    EXPECT_EQ(Marked(*s), SectorRun(4, 4)) << "with one more sector the file is claimed";
  }
  {
    auto big = Riff("WAVE", {Chunk("fmt ", 16), Chunk("data", 200000)});
    big.resize(296 * kSector);  // the Source ends inside the chunk
    auto s = CarveSession(ImageWith(300, big, SectorRun(4, 296)));
    CarveRiff(*s, "", 4 * kSector);
    EXPECT_TRUE(Marked(*s).empty()) << "the data chunk runs past the Source";
  }
  {
    auto big = Riff("WAVE", {Chunk("fmt ", 16), Chunk("data", 200000)});
    const uint64_t n = SectorsOf(big.size());
    auto img = ImageWith(n + 20, big, SectorRun(4, n));
    const uint64_t tail = 4 + n - 1;
    auto s = test::media::DeviceSession(std::make_unique<FaultyDevice>(
        std::make_unique<MemoryDevice>(img), std::set<uint64_t>{tail}));
    CarveRiff(*s, "", 4 * kSector);
    EXPECT_EQ(Marked(*s), SectorRun(4, n)) << "the tail sector cannot be read: zeros";
  }
  {
    auto notRiff = SoxWave();
    std::memcpy(notRiff.data(), "RIFX", 4);
    EXPECT_TRUE(CarveLaid(notRiff, 4).empty());
  }
  {
    auto sox = SoxWave();
    auto s = CarveSession(ImageWith(80, sox, SectorRun(4, SectorsOf(sox.size()))));
    s->Map.MarkSector(4);
    CarveRiff(*s, "", 4 * kSector);
    EXPECT_EQ(Marked(*s), std::vector<uint64_t>{4}) << "a claimed start sector is left alone";
  }
}

TEST_F(RiffCarver, DrawingsAreClaimedUpToTheSizeInTheirHeader) {
  EXPECT_EQ(CarveLaid(RiffDrawing(1'000'000), 10, 1, CarveRiffCdr), SectorRun(10, 1954));
  EXPECT_EQ(CarveLaid(RiffDrawing(513), 10, 1, CarveRiffCdr), SectorRun(10, 2));
  EXPECT_EQ(CarveLaid(RiffDrawing(513), 10, 4, CarveRiffCdr),
            ExpectedClaims(SectorRun(10, 2), 513, 4));
  EXPECT_TRUE(CarveLaid(RiffDrawing(512), 10, 1, CarveRiffCdr).empty())
      << "a drawing inside its start sector";
  {
    auto d = RiffDrawing(100'000);
    auto s = CarveSession(ImageWith(220, d, SectorRun(10, SectorsOf(d.size()))));
    s->LastScanSector = 10 + static_cast<int64_t>(SectorsOf(d.size())) - 2;
    CarveRiffCdr(*s, "", 10 * kSector);
    EXPECT_TRUE(Marked(*s).empty()) << "the drawing runs past the last scan sector";
  }
  {
    test::TempDir out("cdr-out");
    auto d = RiffDrawing(5000);
    auto s = CarveSession(ImageWith(30, d, SectorRun(3, SectorsOf(d.size()))));
    CarveRiffCdr(*s, out.Path().string() + "/", 3 * kSector);
    EXPECT_EQ(s->RescuedCount, 1u) << "counted when a folder is given";
    EXPECT_TRUE(WrittenFiles(out.Path()).empty()) << "but nothing is written";
    EXPECT_EQ(Marked(*s), SectorRun(3, 10));
  }
}

// A huge Source of zeros whose first sector starts a drawing of `end` bytes.
class DrawingHeadDevice final : public SourceDevice {
 public:
  explicit DrawingHeadDevice(uint32_t end) : head_(RiffDrawing(512)) {
    head_[4] = static_cast<uint8_t>(end - 8);
    head_[5] = static_cast<uint8_t>((end - 8) >> 8);
    head_[6] = static_cast<uint8_t>((end - 8) >> 16);
    head_[7] = static_cast<uint8_t>((end - 8) >> 24);
  }
  uint64_t Size() const override { return 3ull << 30; }
  int64_t ReadAt(uint64_t offset, std::span<uint8_t> out) override {
    std::fill(out.begin(), out.end(), 0);
    for (size_t i = 0; i < out.size() && offset + i < head_.size(); ++i) out[i] = head_[offset + i];
    return static_cast<int64_t>(out.size());
  }

 private:
  std::vector<uint8_t> head_;
};

uint64_t VirtualBytesInUse() {
  std::ifstream statm("/proc/self/statm");
  uint64_t pages = 0;
  statm >> pages;
  return pages * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}

TEST(RiffDrawingMemory, ADrawingTooLargeToHoldFailsAndGivesItsClaimsBack) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        auto s = DeviceSession(std::make_unique<DrawingHeadDevice>(1'800'000'000u));
        rlimit limit{};
        limit.rlim_cur = limit.rlim_max = VirtualBytesInUse() + (256ull << 20);
        ::setrlimit(RLIMIT_AS, &limit);
        CarveRiffCdr(*s, "", 0);
        std::_Exit(Marked(*s).empty() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  // Past 2 GiB the collected length cannot count it.
  auto s = DeviceSession(std::make_unique<DrawingHeadDevice>(0x90000000u));
  CarveRiffCdr(*s, "", 0);
  EXPECT_FALSE(s->Map.IsSectorMarked(0));
  EXPECT_FALSE(s->Map.IsSectorMarked(1));
}

// The point of the claims: a database whose sectors lie around the other
// file is rescued whole only when the other file was claimed first.
TEST_F(RiffCarver, ADatabaseAroundEachRiffFileIsRescuedByteForByte) {
  if (!test::HaveTool("gsf")) GTEST_SKIP() << "gsf (libgsf-bin) is not installed";
  const auto db = QQDatabase();
  struct Case {
    const char* what;
    std::vector<uint8_t> file;
    void (*carver)(Session&, const std::string&, uint64_t);
  };
  std::vector<Case> cases = {
      {"AVI", AviClip(), CarveRiff},      {"ffmpeg WAVE", FfmpegWave(), CarveRiff},
      {"sox WAVE", SoxWave(), CarveRiff}, {"animated cursor", Cursor(), CarveRiff},
      {"CD-XA", CdxaTrack(), CarveRiff},  {"drawing", RiffDrawing(40000), CarveRiffCdr}};
  for (const auto& c : cases) ExpectDatabaseBackAround(db, c.file, c.carver, c.what);
}

}  // namespace
}  // namespace tarnwick
