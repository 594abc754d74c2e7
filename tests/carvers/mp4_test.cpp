#include "carvers/mp4.h"

#include <gtest/gtest.h>

#include "carvers/qq_database.h"
#include "media_support.h"
#include "source/bytes.h"
#include "support/recording_frontend.h"

namespace tarnwick {
namespace {

using namespace test::media;
using test::CarveSession;

// A box whose size field is `size`, with `data` bytes of filler after its header.
std::vector<uint8_t> Box(const std::string& type, uint32_t size, size_t data) {
  std::vector<uint8_t> b = RandomBytes(8 + data, size);
  for (size_t i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(size >> (24 - 8 * i));
  std::copy_n(type.begin(), 4, b.begin() + 4);
  return b;
}
// A sound box of `total` bytes.
std::vector<uint8_t> Box(const std::string& type, size_t total) {
  return Box(type, static_cast<uint32_t>(total), total - 8);
}

std::vector<uint8_t> Join(const std::vector<std::vector<uint8_t>>& parts) {
  std::vector<uint8_t> f;
  for (const auto& p : parts) f.insert(f.end(), p.begin(), p.end());
  return f;
}

std::vector<uint8_t> Mp4Clip() { return FfmpegMedia("clip.mp4"); }
std::vector<uint8_t> FastStartMp4() { return FfmpegMedia("fast.mp4", "-movflags +faststart"); }
std::vector<uint8_t> ThreeGpClip() { return FfmpegMedia("clip.3gp", "-c:a aac"); }
std::vector<uint8_t> MovClip() { return FfmpegMedia("clip.mov"); }
// About 30 MiB of sound in a QuickTime file.
std::vector<uint8_t> BigMov() {
  return Made("big.mov",
              "ffmpeg -v error -nostdin -y -f lavfi -i sine=duration=180:sample_rate=44100 -ac 2 "
              "-c:a pcm_s16le -fflags +bitexact \"$OUT\"");
}

// Sum of the top-level box sizes: the file's length when every box is sound.
uint64_t TopLevelLength(const std::vector<uint8_t>& f) {
  uint64_t pos = 0;
  while (pos + 8 <= f.size()) {
    uint32_t size = BE32(f, pos);
    if (size < 8) return 0;
    pos += size;
  }
  return pos;
}

class Mp4Carver : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why = Missing({"ffmpeg"});
    if (!why.empty()) GTEST_SKIP() << why;
  }
};

std::vector<uint64_t> CarveLaid(const std::vector<uint8_t>& file, uint64_t start,
                                uint32_t spc = 1) {
  const uint64_t n = SectorsOf(file.size());
  auto s = CarveSession(ImageWith(start + n + 24, file, SectorRun(start, n)), spc, 0);
  CarveMp4(*s, "", start * kSector);
  return Marked(*s);
}

TEST_F(Mp4Carver, FilesMadeByFfmpegAreClaimedToTheirLastByte) {
  for (auto [name, file] :
       {std::pair{"MP4", Mp4Clip()}, std::pair{"MP4, index first", FastStartMp4()},
        std::pair{"3GP", ThreeGpClip()}, std::pair{"QuickTime", MovClip()}}) {
    ASSERT_FALSE(file.empty());
    ASSERT_EQ(TopLevelLength(file), file.size()) << name;
    for (uint32_t spc : {1u, 4u}) {
      EXPECT_EQ(CarveLaid(file, 12, spc),
                ExpectedClaims(SectorRun(12, SectorsOf(file.size())), file.size(), spc))
          << name << ", " << spc << " sectors per cluster";
    }
  }
}

TEST_F(Mp4Carver, FollowsTheFileAcrossSectorsClaimedBeforehand) {
  auto mp4 = Mp4Clip();
  const std::set<uint64_t> foreign = {13, 14, 15, 40, 41, 77, 90, 91, 92, 93, 94, 95};
  auto at = SectorsAvoiding(12, SectorsOf(mp4.size()), foreign);
  auto s = CarveSession(ImageWith(at.back() + 30, mp4, at));
  for (uint64_t f : foreign) s->Map.MarkSector(f);
  CarveMp4(*s, "", 12 * kSector);
  EXPECT_EQ(Marked(*s), ExpectedClaims(at, mp4.size(), 1, 0, foreign));
}

TEST_F(Mp4Carver, ALargeFileIsClaimedMostlyWithoutBeingRead) {
  auto mov = BigMov();
  ASSERT_GT(mov.size(), 30u << 20);
  ASSERT_EQ(TopLevelLength(mov), mov.size());
  std::set<uint64_t> foreign;
  for (uint64_t f = 5000; f < 5016; ++f) foreign.insert(f);
  for (uint64_t f = 50000; f < 50003; ++f) foreign.insert(f);
  auto at = SectorsAvoiding(16, SectorsOf(mov.size()), foreign);
  std::vector<uint64_t> reads;
  auto s = DeviceSession(
      std::make_unique<RecordingDevice>(ImageWith(at.back() + 40, mov, at), &reads), 8, 0);
  reads.clear();
  for (uint64_t f : foreign) s->Map.MarkSector(f);
  CarveMp4(*s, "", 16 * kSector);
  EXPECT_EQ(Marked(*s), ExpectedClaims(at, mov.size(), 8, 0, foreign));
  EXPECT_LE(reads.size(), 2u) << "device reads of 64 KiB";
}

TEST_F(Mp4Carver, ManySmallBoxesAreWalkedInACompactedBuffer) {
  std::vector<std::vector<uint8_t>> parts = {Box("ftyp", 24)};
  for (int i = 0; i < 300; ++i)
    parts.push_back(Box(i % 2 ? "skip" : "free", 200 + static_cast<size_t>(i % 5)));
  parts.push_back(Box("mdat", 400000));
  parts.push_back(Box("moov", 3000));
  auto file = Join(parts);
  test::RecordingFrontend ui;
  const uint64_t n = SectorsOf(file.size());
  auto s = CarveSession(ImageWith(n + 30, file, SectorRun(9, n)));
  s->SetFrontend(&ui);
  CarveMp4(*s, "", 9 * kSector);
  EXPECT_EQ(Marked(*s), ExpectedClaims(SectorRun(9, n), file.size()));
  ASSERT_FALSE(ui.LabelHistory.empty());
  EXPECT_EQ(ui.LabelHistory.front().rfind("Sector: 9, ", 0), 0u) << ui.LabelHistory.front();
}

TEST_F(Mp4Carver, TheFileEndsAtTheFirstBoxOutsideTheList) {
  struct Case {
    const char* what;
    std::vector<uint8_t> file;
    uint64_t length;
  };
  auto ftyp = Box("ftyp", 24);
  std::vector<Case> cases = {
      {"ftyp, moov, mdat", Join({ftyp, Box("moov", 3000), Box("mdat", 20000)}), 23024},
      {"every listed type",
       Join({ftyp, Box("isom", 100), Box("uuid", 600), Box("wide", 8), Box("skip", 1500),
             Box("free", 2048), Box("mdat", 9000), Box("moov", 700)}),
       24 + 100 + 600 + 8 + 1500 + 2048 + 9000 + 700},
      {"64-bit mdat size", Join({ftyp, Box("moov", 500), Box("mdat", 1, 30000)}), 24 + 500 + 1},
      {"free box of size 0", Join({ftyp, Box("free", 0, 5000)}), 24},
      {"a second ftyp", Join({ftyp, Box("mdat", 3000), Box("ftyp", 24), Box("mdat", 3000)}), 3024},
      {"moof", Join({ftyp, Box("moov", 900), Box("moof", 2000), Box("mdat", 5000)}), 924},
      {"mdat first, 300 bytes", Join({Box("mdat", 300), Box("moov", 2000)}), 2300},
      {"ftyp of 300 bytes", Join({Box("ftyp", 300), Box("mdat", 5000)}), 5300},
      {"ftyp of 2000 bytes", Join({Box("ftyp", 2000), Box("mdat", 5000)}), 7000},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CarveLaid(c.file, 5), ExpectedClaims(SectorRun(5, SectorsOf(c.length)), c.length))
        << c.what;
    EXPECT_EQ(CarveLaid(c.file, 8, 8),
              ExpectedClaims(SectorRun(8, SectorsOf(c.length)), c.length, 8))
        << c.what;
  }
}

TEST_F(Mp4Carver, FailuresGiveEverySectorBack) {
  struct Case {
    const char* what;
    std::vector<uint8_t> file;
  };
  std::vector<Case> cases = {
      {"first size with its top bit set", Join({Box("ftyp", 0x80000018u, 16), Box("mdat", 3000)})},
      {"ftyp after a size above 65535", Join({Box("ftyp", 0x00010018u, 16), Box("mdat", 3000)})},
      {"neither ftyp nor mdat", Join({Box("moov", 24), Box("mdat", 3000)})},
      {"mdat of size 0 first", Join({Box("mdat", 0, 3000)})},
  };
  for (const auto& c : cases) EXPECT_TRUE(CarveLaid(c.file, 5).empty()) << c.what;

  auto mp4 = Mp4Clip();
  const uint64_t n = SectorsOf(mp4.size());
  {
    auto s = CarveSession(ImageWith(n + 10, mp4, SectorRun(2, n)));
    s->LastScanSector = static_cast<int64_t>(n) - 10;
    CarveMp4(*s, "", 2 * kSector);
    EXPECT_TRUE(Marked(*s).empty()) << "the mdat box runs past the last scan sector";
  }
  {
    // 4096 bytes exactly: the header after the last box lies in the next sector.
    auto file = Join({Box("ftyp", 24), Box("mdat", 4096 - 24)});
    auto s = CarveSession(ImageWith(20, file, SectorRun(2, 8)));
    s->LastScanSector = 9;
    CarveMp4(*s, "", 2 * kSector);
    EXPECT_TRUE(Marked(*s).empty()) << "the next header lies past the last scan sector";
    s->LastScanSector = 10;
    CarveMp4(*s, "", 2 * kSector);
    EXPECT_EQ(Marked(*s), SectorRun(2, 8));
  }
}

TEST_F(Mp4Carver, ADatabaseAroundEachFileIsRescuedByteForByte) {
  if (!test::HaveTool("gsf")) GTEST_SKIP() << "gsf (libgsf-bin) is not installed";
  const auto db = QQDatabase();
  for (auto [name, file] :
       {std::pair{"MP4", Mp4Clip()}, std::pair{"MP4, index first", FastStartMp4()},
        std::pair{"3GP", ThreeGpClip()}, std::pair{"QuickTime", MovClip()}})
    ExpectDatabaseBackAround(db, file, CarveMp4, name);
}

}  // namespace
}  // namespace tarnwick
