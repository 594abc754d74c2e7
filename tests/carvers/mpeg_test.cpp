#include "carvers/mpeg.h"

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

using Bytes8 = std::vector<uint8_t>;

void Append(Bytes8& v, const Bytes8& more) { v.insert(v.end(), more.begin(), more.end()); }

// An MPEG-1 pack header with the given clock reference. With a marker bit
// clear its clock cannot be read.
Bytes8 Pack(uint64_t scr, bool markers = true) {
  uint64_t w = (uint64_t{0x2} << 36) | (((scr >> 30) & 7) << 33) | (uint64_t{1} << 32) |
               (((scr >> 15) & 0x7FFF) << 17) | (uint64_t{1} << 16) | ((scr & 0x7FFF) << 1) | 1;
  if (!markers) w &= ~(uint64_t{1} << 16);
  Bytes8 p = {0x00, 0x00, 0x01, 0xBA};
  for (int i = 4; i >= 0; --i) p.push_back(static_cast<uint8_t>(w >> (8 * i)));
  Append(p, {0x80, 0x1B, 0x83});
  return p;
}

// An MPEG-2 pack header with the given clock reference and stuffing bytes.
Bytes8 Mpeg2Pack(uint64_t scr = 0, uint8_t stuffing = 0) {
  const uint64_t w = (uint64_t{1} << 36) | (((scr >> 30) & 7) << 33) | (uint64_t{1} << 32) |
                     (((scr >> 15) & 0x7FFF) << 17) | (uint64_t{1} << 16) | ((scr & 0x7FFF) << 1) |
                     1;
  const uint64_t v = (w << 26) | (uint64_t{1} << 16);  // the extension's marker bit
  Bytes8 p = {0x00, 0x00, 0x01, 0xBA};
  for (int i = 7; i >= 2; --i) p.push_back(static_cast<uint8_t>(v >> (8 * i)));
  Append(p, {0x01, 0x89, 0xC3, static_cast<uint8_t>(0xF8 | stuffing)});
  p.insert(p.end(), stuffing, 0xFF);
  return p;
}

// A unit of `total` bytes with the given stream id: start code, length, filler.
Bytes8 Unit(size_t total, uint8_t id = 0xE0) {
  Bytes8 u = RandomBytes(total, static_cast<uint32_t>(total));
  u[0] = 0;
  u[1] = 0;
  u[2] = 1;
  u[3] = id;
  u[4] = static_cast<uint8_t>((total - 6) >> 8);
  u[5] = static_cast<uint8_t>(total - 6);
  return u;
}

// Packs every 2048 bytes, each a header and one unit, with the clocks given.
Bytes8 PackedStream(const std::vector<uint64_t>& clocks) {
  Bytes8 f;
  for (uint64_t scr : clocks) {
    Append(f, Pack(scr));
    Append(f, Unit(2036));
  }
  return f;
}

std::vector<uint64_t> SteadyClocks(size_t n, uint64_t step = 3600) {
  std::vector<uint64_t> c(n);
  for (size_t k = 0; k < n; ++k) c[k] = k * step;
  return c;
}

// The sectors a stream of `length` bytes laid from `start` keeps.
std::vector<uint64_t> StreamClaims(uint64_t start, uint64_t length, uint32_t spc = 1) {
  return ExpectedClaims(SectorRun(start, SectorsOf(length)), length, spc);
}

template <typename Carver>
std::vector<uint64_t> CarveLaid(Carver carve, const Bytes8& file, uint64_t start, uint32_t spc = 1,
                                bool zerosAfter = false) {
  const uint64_t n = SectorsOf(file.size());
  auto image = ImageWith(start + n + 40, file, SectorRun(start, n));
  if (zerosAfter)
    std::fill(image.begin() + static_cast<std::ptrdiff_t>(start * kSector + file.size()),
              image.end(), 0);
  auto s = CarveSession(std::move(image), spc, 0);
  carve(*s, "", start * kSector);
  return Marked(*s);
}

Bytes8 FfmpegProgramStream() {
  return Made("clip.mpg",
              "ffmpeg -v quiet -nostdin -y -f lavfi -i testsrc=duration=3:size=176x144:rate=25 "
              "-f lavfi -i sine=duration=3 -shortest -fflags +bitexact -c:v mpeg1video -c:a mp2 "
              "-f mpeg -muxdelay 0 -preload 0 \"$OUT\"");
}
// 192-byte packets; the first packet's arrival time is set to 0 afterwards,
// as a recorder that starts its clock with the recording has it.
Bytes8 FfmpegTransportStream() {
  Bytes8 f = Made("clip.m2ts",
                  "ffmpeg -v error -nostdin -y -f lavfi -i "
                  "testsrc=duration=3:size=176x144:rate=25 -f lavfi -i sine=duration=3 -shortest "
                  "-fflags +bitexact -c:v mpeg2video -c:a mp2 -f mpegts -mpegts_m2ts_mode 1 "
                  "-muxrate 1500000 -muxdelay 0 \"$OUT\"");
  if (f.size() >= 4) std::fill_n(f.begin(), 4, 0);
  return f;
}

// A DVD-style MPEG-2 program stream (ffmpeg's vob muxer, its default
// first clock), a plain 188-byte transport stream, an M2TS left with the
// first arrival time ffmpeg gave it, and an MPEG-1 stream whose clock starts
// ten seconds in, as a piece cut from a longer recording.
Bytes8 FfmpegVob() {
  return Made("clip.vob",
              "ffmpeg -v error -nostdin -y -f lavfi -i testsrc=duration=3:size=176x144:rate=25 "
              "-f lavfi -i sine=duration=3 -shortest -fflags +bitexact -c:v mpeg2video -c:a mp2 "
              "-f vob \"$OUT\"");
}
Bytes8 FfmpegPlainTransportStream() {
  return Made("clip.ts",
              "ffmpeg -v error -nostdin -y -f lavfi -i testsrc=duration=3:size=176x144:rate=25 "
              "-f lavfi -i sine=duration=3 -shortest -fflags +bitexact -c:v mpeg2video -c:a mp2 "
              "-f mpegts \"$OUT\"");
}
Bytes8 FfmpegM2tsAsMade() {
  return Made("clip-as-made.m2ts",
              "ffmpeg -v error -nostdin -y -f lavfi -i testsrc=duration=3:size=176x144:rate=25 "
              "-f lavfi -i sine=duration=3 -shortest -fflags +bitexact -c:v mpeg2video -c:a mp2 "
              "-f mpegts -mpegts_m2ts_mode 1 -muxrate 1500000 \"$OUT\"");
}
Bytes8 FfmpegMpeg1LateClock() {
  return Made("clip-offset.mpg",
              "ffmpeg -v error -nostdin -y -f lavfi -i testsrc=duration=3:size=176x144:rate=25 "
              "-f lavfi -i sine=duration=3 -shortest -fflags +bitexact -c:v mpeg1video -c:a mp2 "
              "-f mpeg -output_ts_offset 10 \"$OUT\"");
}

// Packets whose arrival times are given; byte 4 of each is the sync byte.
Bytes8 TransportStream(const std::vector<uint32_t>& times) {
  Bytes8 f = RandomBytes(times.size() * 192, 12);
  for (size_t k = 0; k < times.size(); ++k) {
    uint8_t* p = f.data() + k * 192;
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(times[k] >> (24 - 8 * i));
    p[4] = 0x47;
  }
  return f;
}

std::vector<uint32_t> SteadyTimes(size_t n, uint32_t step = 1000, uint32_t first = 0) {
  std::vector<uint32_t> t(n);
  for (size_t k = 0; k < n; ++k) t[k] = first + static_cast<uint32_t>(k) * step;
  return t;
}

class MpegWithFfmpeg : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why = Missing({"ffmpeg"});
    if (!why.empty()) GTEST_SKIP() << why;
  }
};

TEST_F(MpegWithFfmpeg, StreamsMadeByFfmpegAreClaimedToTheirLastByte) {
  struct Case {
    const char* name;
    Bytes8 file;
    uint8_t type;
    void (*carve)(Session&, const std::string&, uint64_t);
  };
  for (const auto& c :
       {Case{"program stream", FfmpegProgramStream(), 31, CarveMpegProgramStream},
        Case{"transport stream", FfmpegTransportStream(), 33, CarveTransportStream},
        Case{"MPEG-2 program stream", FfmpegVob(), kMpegPsSystem, CarveMpegProgramStream},
        Case{"MPEG-1, first clock not 0", FfmpegMpeg1LateClock(), kMpegPsSystem,
             CarveMpegProgramStream},
        Case{"188-byte packets", FfmpegPlainTransportStream(), kTs188Table,
             CarvePlainTransportStream},
        Case{"M2TS, first arrival time not 0", FfmpegM2tsAsMade(), kTs192Table,
             CarveTransportStream}}) {
    ASSERT_FALSE(c.file.empty());
    ASSERT_EQ(Classify(c.file, 512), c.type) << c.name;
    for (uint32_t spc : {1u, 8u}) {
      EXPECT_EQ(CarveLaid(c.carve, c.file, 16, spc), StreamClaims(16, c.file.size(), spc))
          << c.name << ", " << spc << " sectors per cluster";
    }
    const std::set<uint64_t> foreign = {17, 18, 19, 100, 230, 231};
    auto at = SectorsAvoiding(16, SectorsOf(c.file.size()), foreign);
    auto s = CarveSession(ImageWith(at.back() + 20, c.file, at));
    for (uint64_t f : foreign) s->Map.MarkSector(f);
    c.carve(*s, "", 16 * kSector);
    EXPECT_EQ(Marked(*s), ExpectedClaims(at, c.file.size(), 1, 0, foreign)) << c.name;
  }
}

TEST_F(MpegWithFfmpeg, SectorsTheSourceCannotReadDoNotCutAStreamShort) {
  struct Case {
    const char* name;
    Bytes8 file;
    void (*carve)(Session&, const std::string&, uint64_t);
  };
  for (const auto& c :
       {Case{"program stream", FfmpegProgramStream(), CarveMpegProgramStream},
        Case{"MPEG-2 program stream", FfmpegVob(), CarveMpegProgramStream},
        Case{"transport stream", FfmpegTransportStream(), CarveTransportStream},
        Case{"188-byte packets", FfmpegPlainTransportStream(), CarvePlainTransportStream}}) {
    ASSERT_FALSE(c.file.empty());
    const uint64_t n = SectorsOf(c.file.size());
    // Sectors where packs and packets begin, one of them two sectors long.
    const std::set<uint64_t> bad = {16 + 8, 16 + n / 2 / 4 * 4, 16 + n / 2 / 4 * 4 + 1};
    auto s = DeviceSession(std::make_unique<FaultyDevice>(
        std::make_unique<MemoryDevice>(ImageWith(16 + n + 40, c.file, SectorRun(16, n))), bad));
    c.carve(*s, "", 16 * kSector);
    EXPECT_EQ(Marked(*s), StreamClaims(16, c.file.size())) << c.name;
  }
  // A stream whose end and what follows it cannot be read ends at its last
  // packet that read: the sectors behind it are not taken on trust.
  const Bytes8 ts = FfmpegPlainTransportStream();
  const uint64_t n = SectorsOf(ts.size());
  auto s = DeviceSession(std::make_unique<FaultyDevice>(
      std::make_unique<MemoryDevice>(ImageWith(16 + n + 40, ts, SectorRun(16, n))),
      std::set<uint64_t>{16 + n - 1, 16 + n, 16 + n + 1}));
  CarvePlainTransportStream(*s, "", 16 * kSector);
  const auto marked = Marked(*s);
  ASSERT_FALSE(marked.empty());
  EXPECT_LE(marked.back(), 16 + n - 1);
}

TEST(ProgramStream, TheClockIsTestedAtPacksOnClusterBoundaries) {
  // Packs every 2048 bytes on clusters of 4096: the even packs start a cluster.
  struct Case {
    const char* what;
    size_t pack;      // the pack whose clock is changed
    int64_t change;   // added to its clock and to every later one
    uint64_t length;  // the stream's length as walked
  };
  const uint64_t whole = 20 * 2048;
  std::vector<Case> cases = {
      {"a steady clock", 0, 0, whole},
      {"the same clock at a boundary", 4, -3600, 4 * 2048},
      {"a clock going back at a boundary", 6, -4000, 6 * 2048},
      {"a jump of 800,001 at a boundary", 4, 800'001 - 3600, 4 * 2048},
      {"a jump of 800,000 at a boundary", 4, 800'000 - 3600, whole},
      {"a jump of 800,001 off a boundary", 5, 800'001 - 3600, whole},
      {"the same clock off a boundary", 5, -3600, whole},
  };
  for (const auto& c : cases) {
    auto clocks = SteadyClocks(20);
    for (size_t k = c.pack; k < clocks.size() && c.change != 0; ++k)
      clocks[k] = static_cast<uint64_t>(static_cast<int64_t>(clocks[k]) + c.change);
    const auto file = PackedStream(clocks);
    EXPECT_EQ(CarveLaid(CarveMpegProgramStream, file, 8, 8, true), StreamClaims(8, c.length, 8))
        << c.what;
  }
  // The first pack may start at any clock: later ones are measured from it.
  for (uint64_t first : {uint64_t{799'999}, uint64_t{800'000}, uint64_t{5'000'000'000}}) {
    EXPECT_EQ(CarveLaid(CarveMpegProgramStream, PackedStream({first, first + 3600}), 8, 1, true),
              SectorRun(8, 8))
        << "first clock " << first;
  }
  // A clock that wraps at 33 bits goes on.
  const uint64_t top = (uint64_t{1} << 33) - 1800;
  EXPECT_EQ(CarveLaid(CarveMpegProgramStream, PackedStream({top, 1800, 5400}), 8, 4, true),
            StreamClaims(8, 3 * 2048, 4));
}

TEST(ProgramStream, APackWithAMarkerBitClearIsWalkedButProvesNothingAtABoundary) {
  // Clock steps of 300,000: a boundary pack is more than 800,000 above 0.
  auto stream = [](size_t clearAt, uint64_t clockThere) {
    Bytes8 f;
    for (size_t k = 0; k < 12; ++k) {
      Append(f, k == clearAt ? Pack(clockThere, false) : Pack(k * 300'000));
      Append(f, Unit(2036));
    }
    return f;
  };
  EXPECT_EQ(CarveLaid(CarveMpegProgramStream, stream(4, 4 * 300'000), 8, 8, true),
            StreamClaims(8, 4 * 2048, 8))
      << "at a boundary the stream ends before it";
  EXPECT_EQ(CarveLaid(CarveMpegProgramStream, stream(5, 5 * 300'000), 8, 8, true),
            StreamClaims(8, 12 * 2048, 8))
      << "off a boundary it is walked";
  // Its unreadable clock is not taken as the last one: the next boundary
  // pack is measured against the pack before it.
  EXPECT_EQ(CarveLaid(CarveMpegProgramStream, stream(5, 0), 8, 8, true),
            StreamClaims(8, 12 * 2048, 8));
}

TEST(ProgramStream, AnMpeg2PackFailsTheWholeCarve) {
  auto file = PackedStream(SteadyClocks(6));
  Append(file, Mpeg2Pack());
  Append(file, Unit(2034));
  Append(file, PackedStream({6 * 3600}));
  EXPECT_TRUE(CarveLaid(CarveMpegProgramStream, file, 8).empty());
  EXPECT_TRUE(CarveLaid(CarveMpegProgramStream, file, 8, 8).empty());
}

TEST(ProgramStream, AnMpeg1PackFailsAnMpeg2Stream) {
  Bytes8 file;
  for (uint64_t k = 0; k < 4; ++k) {
    Append(file, Mpeg2Pack(k * 3600));
    Append(file, Unit(2034));
  }
  EXPECT_EQ(CarveLaid(CarveMpegProgramStream, file, 8, 1, true), StreamClaims(8, file.size()));
  Append(file, Pack(0));
  Append(file, Unit(2036));
  EXPECT_TRUE(CarveLaid(CarveMpegProgramStream, file, 8).empty());
}

TEST(ProgramStream, EndsAtTheFirstUnitWithoutAStartCode) {
  auto file = PackedStream(SteadyClocks(3));
  Append(file, Pack(3 * 3600));
  Append(file, Unit(300, 0xC0));
  Append(file, Unit(70, 0xBE));
  const uint64_t length = file.size();  // 6144 + 12 + 370: inside sector 12
  EXPECT_EQ(CarveLaid(CarveMpegProgramStream, file, 8, 1, true), StreamClaims(8, length));
  EXPECT_EQ(CarveLaid(CarveMpegProgramStream, file, 8, 8, true), StreamClaims(8, length, 8))
      << "the rest of the last cluster is claimed";
  // Random bytes after it end it just the same.
  EXPECT_EQ(CarveLaid(CarveMpegProgramStream, file, 8, 1), StreamClaims(8, length));
}

TEST(ProgramStream, TheEndCodeEndsTheStreamWithoutReadingALengthBehindIt) {
  auto file = PackedStream(SteadyClocks(3));
  Append(file, {0x00, 0x00, 0x01, 0xB9});
  const uint64_t length = file.size();
  // A compound file straight behind it: its first bytes must not be taken
  // for a length that would claim its sectors.
  Append(file, {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1});
  Append(file, RandomBytes(60'000, 2));
  EXPECT_EQ(CarveLaid(CarveMpegProgramStream, file, 8), StreamClaims(8, length));
}

TEST(ProgramStream, LongUnitsAreClaimedUnreadInACompactedBuffer) {
  Bytes8 file;
  size_t units = 0;
  for (size_t k = 0; file.size() < (30u << 20); ++k) {
    Append(file, Pack(k * 3000));
    for (int u = 0; u < 3; ++u, ++units)
      Append(file, Unit(65'541 - static_cast<size_t>(k % 5 + u)));
  }
  const std::set<uint64_t> foreign = {20, 21, 5000, 5001, 5002, 17'000, 60'000};
  auto at = SectorsAvoiding(12, SectorsOf(file.size()), foreign);
  std::vector<uint8_t> image(static_cast<size_t>((at.back() + 30) * kSector), 0);
  Lay(image, file, at);
  std::vector<uint64_t> reads;
  auto s = DeviceSession(std::make_unique<RecordingDevice>(std::move(image), &reads));
  for (uint64_t f : foreign) s->Map.MarkSector(f);
  test::RecordingFrontend ui;
  s->SetFrontend(&ui);
  reads.clear();
  CarveMpegProgramStream(*s, "", 12 * kSector);
  EXPECT_EQ(Marked(*s), ExpectedClaims(at, file.size(), 1, 0, foreign));
  EXPECT_LE(reads.size(), units + 8)
      << "about one 64 KiB read per unit, of " << SectorsOf(file.size()) << " sectors";
  ASSERT_FALSE(ui.LabelHistory.empty()) << "the label moves at compactions";
  EXPECT_EQ(ui.LabelHistory.front().rfind("Sector: 12, ", 0), 0u) << ui.LabelHistory.front();
}

TEST(ProgramStream, RunningPastTheScanRangeKeepsWhatWasWalked) {
  Bytes8 file = Pack(0);
  Append(file, Unit(60'000));
  Append(file, Pack(3600));
  Append(file, Unit(2036));
  for (uint64_t last : {uint64_t{60}, uint64_t{110}, uint64_t{125}}) {
    auto s = CarveSession(ImageWith(200, file, SectorRun(8, SectorsOf(file.size()))));
    s->LastScanSector = static_cast<int64_t>(last);
    CarveMpegProgramStream(*s, "", 8 * kSector);
    EXPECT_EQ(Marked(*s), SectorRun(8, last - 7)) << "last scan sector " << last;
  }
}

TEST(TransportStream, ArrivalTimesAreTestedAtClusterBoundaries) {
  // On clusters of 4096 the packets at multiples of 12,288 bytes are tested:
  // packet 64, 128, ...
  struct Case {
    const char* what;
    size_t packet;  // where the step changes
    uint32_t step;  // the step into that packet
    uint64_t length;
  };
  const size_t n = 300;
  std::vector<Case> cases = {
      {"a steady clock", 0, 0, n * 192},
      {"a step of 3,200,001 at a boundary", 128, 3'200'001, 128 * 192},
      {"a step of 3,200,000 at a boundary", 128, 3'200'000, n * 192},
      {"a step of 3,200,001 off a boundary", 129, 3'200'001, n * 192},
      {"a step back at a boundary", 64, 0xFFFFFFFFu, 64 * 192},
      {"no step at a boundary", 64, 0, n * 192},
  };
  for (const auto& c : cases) {
    auto times = SteadyTimes(n);
    if (c.packet > 0) {
      const uint32_t shift = c.step - 1000;
      for (size_t k = c.packet; k < n; ++k) times[k] += shift;
    }
    const auto file = TransportStream(times);
    EXPECT_EQ(CarveLaid(CarveTransportStream, file, 8, 8, true), StreamClaims(8, c.length, 8))
        << c.what;
  }
  // The time stamp is 30 bits wide: it wraps, and the two copy bits above it
  // do not count.
  auto wrapping = SteadyTimes(n, 1000, 0x3FFF0000u);
  wrapping[0] = 0;
  for (size_t k = 0; k < n; ++k)
    wrapping[k] = (wrapping[k] & 0x3FFFFFFF) | (k % 3 ? 0xC0000000u : 0);
  const auto file = TransportStream(wrapping);
  EXPECT_EQ(CarveLaid(CarveTransportStream, file, 8, 8, true), StreamClaims(8, n * 192, 8));
}

TEST(TransportStream, EndsAtThePacketWithoutItsSyncByte) {
  for (size_t n : {size_t{3}, size_t{4}, size_t{100}, size_t{257}}) {
    const auto file = TransportStream(SteadyTimes(n));
    EXPECT_EQ(CarveLaid(CarveTransportStream, file, 5), StreamClaims(5, n * 192)) << n;
    EXPECT_EQ(CarveLaid(CarveTransportStream, file, 5, 4, true), StreamClaims(5, n * 192, 4)) << n;
  }
}

TEST(TransportStream, TheFirstThreePacketsMustHaveTheirSyncByte) {
  for (size_t bad : {size_t{4}, size_t{196}, size_t{388}}) {
    auto file = TransportStream(SteadyTimes(50));
    file[bad] = 0x48;
    EXPECT_TRUE(CarveLaid(CarveTransportStream, file, 5).empty()) << "byte " << bad;
  }
  auto file = TransportStream(SteadyTimes(50));
  file[4 + 3 * 192] = 0x48;
  EXPECT_EQ(CarveLaid(CarveTransportStream, file, 5), StreamClaims(5, 3 * 192))
      << "the fourth is the first the walk may stop at";
}

TEST(TransportStream, ALongStreamIsWalkedThroughTheCompactedBuffer) {
  // 56 MiB of packets: compacted twice. A step that ends the stream lies at
  // a cluster boundary after both compactions, and only the true bytes
  // there can show it.
  const size_t n = (56u << 20) / 192;
  const size_t breakAt = 64 * 4300;  // packet 275,200, at 52,838,400 bytes
  auto times = SteadyTimes(n, 700);
  for (size_t k = breakAt; k < n; ++k) times[k] += 4'000'000;
  const auto file = TransportStream(times);
  const std::set<uint64_t> foreign = {9, 10, 40'000, 70'001};
  // On one-sector clusters every eighth packet starts a cluster.
  auto at = SectorsAvoiding(8, SectorsOf(file.size()), foreign);
  std::vector<uint8_t> image(static_cast<size_t>((at.back() + 30) * kSector), 0);
  Lay(image, file, at);
  test::RecordingFrontend ui;
  auto s = DeviceSession(std::make_unique<MemoryDevice>(std::move(image)));
  for (uint64_t f : foreign) s->Map.MarkSector(f);
  s->SetFrontend(&ui);
  CarveTransportStream(*s, "", 8 * kSector);
  EXPECT_EQ(Marked(*s), ExpectedClaims(at, breakAt * 192, 1, 0, foreign));
  EXPECT_GE(ui.LabelHistory.size(), 2u) << "the label moves at each compaction";

  // Without the break the stream is walked to its end.
  const auto steady = TransportStream(SteadyTimes(n, 700));
  EXPECT_EQ(CarveLaid(CarveTransportStream, steady, 8, 8, true), StreamClaims(8, n * 192, 8));
}

// Plain 188-byte packets of two PIDs taking turns, each PID's counter going
// up by one a packet; the bodies are random.
struct PlainPackets {
  Bytes8 bytes = RandomBytes(200 * 188, 31);
  PlainPackets() {
    for (size_t k = 0; k < 200; ++k) Set(k, static_cast<uint16_t>(0x100 + k % 2), k / 2);
  }
  uint8_t* At(size_t k) { return bytes.data() + k * 188; }
  // A header, and an adaptation field without flags when there is one.
  PlainPackets& Set(size_t k, uint16_t pid, size_t counter, uint8_t control = 1) {
    const uint8_t h[] = {
        0x47, uint8_t(pid >> 8), uint8_t(pid), uint8_t(control << 4 | (counter & 15)), 183, 0};
    std::copy_n(h, control & 2 ? 6 : 4, At(k));
    return *this;
  }
  // Every counter of the PID of packet k moves by `by` from there on.
  PlainPackets& Shift(size_t k, size_t by) {
    for (size_t j = k; j < 200; j += 2) At(j)[3] = (At(j)[3] & 0xF0) | ((At(j)[3] + by) & 15);
    return *this;
  }
};

TEST(PlainTransportStream, TheFirstPacketOfAClusterMustContinueItsCounter) {
  // On clusters of 4096 bytes packet 22 is the first to start in the second
  // cluster, packet 44 in the third; packet 20 leaves PID 0x100 at 10.
  struct Case {
    const char* what;
    PlainPackets p;
    uint64_t length;
  };
  const uint64_t whole = 200 * 188;
  std::vector<Case> cases = {
      {"a steady stream", PlainPackets(), whole},
      {"a jump at packet 22", PlainPackets().Shift(22, 5), 4096},
      {"a step back at packet 44", PlainPackets().Shift(44, 14), 8192},
      {"a jump inside a cluster", PlainPackets().Shift(24, 5), whole},
      {"a null packet", PlainPackets().Set(22, 0x1FFF, 9), whole},
      {"no payload and the counter moved", PlainPackets().Set(22, 0x100, 11, 2), 4096},
      {"no payload, the counter kept", PlainPackets().Set(22, 0x100, 10, 2).Shift(24, 15), whole},
      {"a packet sent twice", PlainPackets().Set(22, 0x100, 10).Shift(24, 15), whole},
      {"a new PID, packets behind it", PlainPackets().Set(22, 0x200, 0), whole},
      {"a new PID, nothing behind it", PlainPackets().Set(22, 0x200, 0), 4096},
      {"no sync byte at packet 150", PlainPackets(), 150 * 188},
  };
  cases[cases.size() - 2].p.At(23)[0] = 0;
  cases.back().p.At(150)[0] = 0x48;
  for (auto& c : cases) {
    EXPECT_EQ(CarveLaid(CarvePlainTransportStream, c.p.bytes, 8, 8, true),
              StreamClaims(8, c.length, 8))
        << c.what;
  }
  PlainPackets bad;
  bad.At(2)[0] = 0x48;
  EXPECT_TRUE(CarveLaid(CarvePlainTransportStream, bad.bytes, 8).empty())
      << "the first three packets must have their sync byte";
}

TEST_F(MpegWithFfmpeg, ADatabaseAroundEachStreamIsRescuedByteForByte) {
  if (!test::HaveTool("gsf")) GTEST_SKIP() << "gsf (libgsf-bin) is not installed";
  const auto db = QQDatabase();
  struct Case {
    const char* name;
    Bytes8 file;
    void (*carve)(Session&, const std::string&, uint64_t);
  };
  for (const auto& c :
       {Case{"program stream", FfmpegProgramStream(), CarveMpegProgramStream},
        Case{"transport stream", FfmpegTransportStream(), CarveTransportStream},
        Case{"MPEG-2 program stream", FfmpegVob(), CarveMpegProgramStream},
        Case{"188-byte transport stream", FfmpegPlainTransportStream(), CarvePlainTransportStream},
        Case{"M2TS as made", FfmpegM2tsAsMade(), CarveTransportStream}})
    ExpectDatabaseBackAround(db, c.file, c.carve, c.name);
}

}  // namespace
}  // namespace tarnwick
