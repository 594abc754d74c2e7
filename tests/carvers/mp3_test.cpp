#include "carvers/mp3.h"

#include <gtest/gtest.h>

#include "media_support.h"
#include "scan/classify.h"
#include "source/bytes.h"

namespace tarnwick {
namespace {

using namespace test::media;
using test::CarveSession;

using Bytes8 = std::vector<uint8_t>;

void Append(Bytes8& v, const Bytes8& more) { v.insert(v.end(), more.begin(), more.end()); }

// MPEG-1 layer III, 128 kbit/s, 44.1 kHz, joint stereo: 417 bytes, 418 padded.
constexpr uint8_t kLayer3[] = {0xFF, 0xFB, 0x90, 0x64};

// A frame of `length` bytes behind the given header, its body random.
Bytes8 Frame(const uint8_t (&header)[4], size_t length, bool padded = false, uint32_t seed = 3) {
  Bytes8 f = RandomBytes(length, seed);
  std::copy(std::begin(header), std::end(header), f.begin());
  if (padded) f[2] |= 0x02;
  return f;
}

// n frames of 128 kbit/s layer III, every third one padded.
Bytes8 Frames(size_t n) {
  Bytes8 f;
  for (size_t k = 0; k < n; ++k)
    Append(f, Frame(kLayer3, k % 3 == 2 ? 418 : 417, k % 3 == 2, static_cast<uint32_t>(k)));
  return f;
}

// An ID3v2 tag of the version and flags whose size field says `size`.
Bytes8 Id3v2(uint8_t version, uint8_t flags, uint32_t size) {
  Bytes8 t = {'I', 'D', '3', version, 0, flags};
  for (int shift = 21; shift >= 0; shift -= 7)
    t.push_back(static_cast<uint8_t>((size >> shift) & 0x7F));
  Bytes8 body(size, 0);
  for (size_t i = 0; i < size; ++i)
    body[i] = static_cast<uint8_t>(i % 7 == 0 ? 0xFF : 0x20 + i % 90);
  Append(t, body);
  if (version == 4 && (flags & 0x10))
    Append(t, {'3', 'D', 'I', 4, 0, flags, t[6], t[7], t[8], t[9]});
  return t;
}

Bytes8 ApeTag(uint32_t items) {
  auto head = [&](uint32_t flags) {
    Bytes8 h = {'A', 'P', 'E', 'T', 'A', 'G', 'E', 'X'};
    for (uint32_t v : {2000u, items + 32, 1u, flags, 0u, 0u})
      for (int i = 0; i < 4; ++i) h.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return h;
  };
  Bytes8 t = head(0xA0000000);
  Append(t, RandomBytes(items, 9));
  Append(t, head(0x80000000));
  return t;
}

Bytes8 Id3v1() {
  Bytes8 t(128, ' ');
  t[0] = 'T', t[1] = 'A', t[2] = 'G';
  return t;
}

std::vector<uint64_t> CarveLaid(const Bytes8& file, uint64_t start, uint32_t spc = 1,
                                bool zerosAfter = false) {
  const uint64_t n = SectorsOf(file.size());
  auto image = ImageWith(start + n + 40, file, SectorRun(start, n));
  if (zerosAfter)
    std::fill(image.begin() + static_cast<std::ptrdiff_t>(start * kSector + file.size()),
              image.end(), 0);
  auto s = CarveSession(std::move(image), spc, 0);
  CarveMp3(*s, "", start * kSector);
  return Marked(*s);
}

std::vector<uint64_t> Claims(uint64_t start, uint64_t length, uint32_t spc = 1) {
  return ExpectedClaims(SectorRun(start, SectorsOf(length)), length, spc);
}

TEST(MpegAudioFrame, LengthsOfEachVersionAndLayer) {
  struct Case {
    uint8_t b1, b2;
    uint8_t version, layer;
    uint32_t rate, length;
  };
  for (const auto& c : {
           Case{0xFB, 0x90, 1, 3, 44100, 417},   // 128 kbit/s
           Case{0xFB, 0x92, 1, 3, 44100, 418},   // padded
           Case{0xFB, 0xE4, 1, 3, 48000, 960},   // 320 kbit/s
           Case{0xFD, 0xE4, 1, 2, 48000, 1152},  // layer II, 384 kbit/s
           Case{0xFF, 0xD8, 1, 1, 32000, 624},   // layer I, 416 kbit/s
           Case{0xF3, 0x14, 2, 3, 24000, 24},    // version 2, 8 kbit/s
           Case{0xE3, 0x18, 25, 3, 8000, 72},    // version 2.5, 8 kbit/s
           Case{0xF7, 0x80, 2, 1, 22050, 276},   // version 2 layer I, 128 kbit/s
       }) {
    const uint8_t h[] = {0xFF, c.b1, c.b2, 0x40};
    const MpegAudioFrame f = ReadMpegAudioFrame(h, 0);
    EXPECT_TRUE(f.valid) << std::hex << +c.b1 << " " << +c.b2;
    EXPECT_EQ(f.version, c.version);
    EXPECT_EQ(f.layer, c.layer);
    EXPECT_EQ(f.sampleRate, c.rate);
    EXPECT_EQ(f.length, c.length) << std::hex << +c.b1 << " " << +c.b2;
  }
  for (auto [what, b1, b2, b3] : {
           std::tuple{"free format", 0xFB, 0x00, 0x40},
           std::tuple{"bit-rate index 15", 0xFB, 0xF0, 0x40},
           std::tuple{"reserved sampling rate", 0xFB, 0x9C, 0x40},
           std::tuple{"reserved version", 0xEB, 0x90, 0x40},
           std::tuple{"reserved layer", 0xF9, 0x90, 0x40},
           std::tuple{"reserved emphasis", 0xFB, 0x90, 0x42},
           std::tuple{"sync bits", 0x7B, 0x90, 0x40},
       }) {
    const uint8_t h[] = {0xFF, static_cast<uint8_t>(b1), static_cast<uint8_t>(b2),
                         static_cast<uint8_t>(b3)};
    EXPECT_FALSE(ReadMpegAudioFrame(h, 0).valid) << what;
  }
  EXPECT_FALSE(ReadMpegAudioFrame(kLayer3, 1).valid) << "a header cut by the buffer's end";
}

TEST(Mp3, TagsAndFramesAreClaimedToTheFilesLastByte) {
  struct Case {
    const char* what;
    Bytes8 file;
  };
  auto with = [](std::initializer_list<Bytes8> parts) {
    Bytes8 f;
    for (const auto& p : parts) Append(f, p);
    return f;
  };
  for (const auto& c : {
           Case{"bare frames", Frames(40)},
           Case{"an ID3v2.3 tag", with({Id3v2(3, 0, 3000), Frames(40)})},
           Case{"an unsynchronised ID3v2.4 tag with a footer",
                with({Id3v2(4, 0x90, 1500), Frames(20)})},
           Case{"two ID3v2 tags", with({Id3v2(3, 0, 100), Id3v2(2, 0, 1200), Frames(9)})},
           Case{"a long tag claimed unread", with({Id3v2(4, 0, 300'000), Frames(12)})},
           Case{"an ID3v1 tag behind", with({Frames(30), Id3v1()})},
           Case{"an APE tag behind", with({Id3v2(3, 0, 40), Frames(30), ApeTag(700)})},
           Case{"APE and ID3v1", with({Frames(30), ApeTag(300), Id3v1()})},
       }) {
    for (uint32_t spc : {1u, 8u}) {
      EXPECT_EQ(CarveLaid(c.file, 16, spc), Claims(16, c.file.size(), spc))
          << c.what << ", " << spc << " sectors per cluster";
      EXPECT_EQ(CarveLaid(c.file, 16, spc, true), Claims(16, c.file.size(), spc))
          << c.what << ", zeros behind";
    }
  }
}

TEST(Mp3, TheRunEndsAtTheFirstFrameThatDoesNotFollow) {
  const Bytes8 run = Frames(10);
  struct Case {
    const char* what;
    uint8_t header[4];
  };
  for (const auto& c : {
           Case{"another sampling rate", {0xFF, 0xFB, 0x94, 0x64}},
           Case{"another layer", {0xFF, 0xFD, 0x90, 0x64}},
           Case{"another version", {0xFF, 0xF3, 0x90, 0x64}},
           Case{"free format", {0xFF, 0xFB, 0x00, 0x64}},
           Case{"no sync", {0xFF, 0x7B, 0x90, 0x64}},
       }) {
    Bytes8 file = run;
    Append(file, Frame(c.header, 417));
    Append(file, Frames(10));
    EXPECT_EQ(CarveLaid(file, 16), Claims(16, run.size())) << c.what;
  }
  // The channel mode may change from frame to frame.
  Bytes8 file = run;
  Append(file, Frame({0xFF, 0xFB, 0x90, 0xC4}, 417));
  EXPECT_EQ(CarveLaid(file, 16, 1, true), Claims(16, file.size()));
}

TEST(Mp3, TooFewFramesOrNoneFailTheCarve) {
  EXPECT_TRUE(CarveLaid(Frames(3), 16, 1, true).empty());
  EXPECT_EQ(CarveLaid(Frames(4), 16, 1, true), Claims(16, 4 * 417 + 1));
  Bytes8 tagOnly = Id3v2(3, 0, 2000);
  EXPECT_TRUE(CarveLaid(tagOnly, 16, 1, true).empty()) << "a tag with no frames";
  Bytes8 badTag = Id3v2(3, 0, 200);
  badTag[7] = 0x80;  // not a 7-bit size byte
  Append(badTag, Frames(10));
  EXPECT_TRUE(CarveLaid(badTag, 16).empty());
  // Random sectors never pass, wherever the walk starts in them.
  const Bytes8 noise = RandomBytes(400 * kSector, 21);
  auto s = CarveSession(noise);
  for (uint64_t sector = 0; sector < 400; ++sector) CarveMp3(*s, "", sector * kSector);
  EXPECT_TRUE(Marked(*s).empty());
}

TEST(Mp3, AFileRunningPastTheScanRangeKeepsWhatWasWalked) {
  const Bytes8 file = Frames(60);  // 25,040 bytes: sectors 8 .. 56
  for (uint64_t last : {uint64_t{20}, uint64_t{40}}) {
    auto s = CarveSession(ImageWith(80, file, SectorRun(8, SectorsOf(file.size()))));
    s->LastScanSector = static_cast<int64_t>(last);
    CarveMp3(*s, "", 8 * kSector);
    EXPECT_EQ(Marked(*s), SectorRun(8, last - 7)) << "last scan sector " << last;
  }
}

// Three seconds of tone through ffmpeg's MP3 muxer and LAME.
Bytes8 FfmpegMp3(const std::string& name, const std::string& options) {
  return Made(name,
              "ffmpeg -v error -nostdin -y -f lavfi -i sine=duration=3 -fflags +bitexact "
              "-c:a libmp3lame " +
                  options + " \"$OUT\"");
}

class Mp3WithFfmpeg : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why = Missing({"ffmpeg"});
    if (!why.empty()) GTEST_SKIP() << why;
  }
  struct File {
    const char* what;
    Bytes8 bytes;
    uint8_t type;
  };
  static std::vector<File> Files() {
    return {
        {"CBR with an ID3v2 tag", FfmpegMp3("cbr.mp3", "-b:a 128k"), kMp3Id3},
        {"VBR with ID3v2 and ID3v1", FfmpegMp3("vbr.mp3", "-q:a 4 -write_id3v1 1"), kMp3Id3},
        {"no tag, a summary frame", FfmpegMp3("bare-info.mp3", "-b:a 320k -id3v2_version 0"),
         kMp3Frames},
        {"no tag, no summary frame",
         FfmpegMp3("bare.mp3", "-b:a 64k -id3v2_version 0 -write_xing 0"), kMp3Frames},
        {"an APE tag", FfmpegMp3("ape.mp3", "-id3v2_version 0 -write_apetag 1 -metadata title=T"),
         kMp3Frames},
        {"version 2.5 at 8 kHz", FfmpegMp3("low.mp3", "-ar 8000 -b:a 16k"), kMp3Id3},
        {"layer II at 96 kbit/s",
         Made("clip96.mp2",
              "ffmpeg -v error -nostdin -y -f lavfi -i sine=duration=3 -fflags "
              "+bitexact -c:a mp2 -b:a 96k -f mp2 \"$OUT\""),
         kMp3Frames},
        // Its frames of 1,253 bytes hold one header a sector and no summary:
        // the scan does not take it for a start, the carver follows it.
        {"layer II at 384 kbit/s",
         Made("clip.mp2",
              "ffmpeg -v error -nostdin -y -f lavfi -i sine=duration=3 -fflags "
              "+bitexact -c:a mp2 -f mp2 \"$OUT\""),
         kNothing},
    };
  }
};

TEST_F(Mp3WithFfmpeg, FilesMadeByFfmpegAreClassifiedAndClaimedToTheirLastByte) {
  for (const auto& f : Files()) {
    ASSERT_FALSE(f.bytes.empty()) << f.what;
    EXPECT_EQ(Classify(f.bytes, 512), f.type) << f.what;
    for (uint32_t spc : {1u, 8u})
      EXPECT_EQ(CarveLaid(f.bytes, 16, spc), Claims(16, f.bytes.size(), spc))
          << f.what << ", " << spc << " sectors per cluster";
    const std::set<uint64_t> foreign = {17, 18, 30, 31, 50};
    auto at = SectorsAvoiding(16, SectorsOf(f.bytes.size()), foreign);
    auto s = CarveSession(ImageWith(at.back() + 20, f.bytes, at));
    for (uint64_t x : foreign) s->Map.MarkSector(x);
    CarveMp3(*s, "", 16 * kSector);
    EXPECT_EQ(Marked(*s), ExpectedClaims(at, f.bytes.size(), 1, 0, foreign)) << f.what;
  }
}

TEST_F(Mp3WithFfmpeg, FramesInsideAProgramStreamAreNotClaimed) {
  // With no preload the muxer sends the audio held back in bursts of packs
  // at the end, where runs of frames start sectors.
  const std::string av =
      "ffmpeg -v quiet -nostdin -y -f lavfi -i "
      "testsrc2=size=320x240:rate=25:duration=3,noise=alls=30:allf=t:all_seed=7 -f lavfi -i "
      "anoisesrc=duration=3:color=pink:amplitude=0.3:sample_rate=44100:seed=9 -fflags +bitexact "
      "-c:v mpeg1video -b:v 500k -b:a 128k -f mpeg -muxdelay 0 -preload 0 ";
  for (auto [what, file] : {
           std::pair{"layer II", Made("burst-mp2.mpg", av + "-c:a mp2 \"$OUT\"")},
           std::pair{"layer III", Made("burst-mp3.mpg", av + "-c:a libmp3lame \"$OUT\"")},
       }) {
    ASSERT_FALSE(file.empty()) << what;
    const uint64_t n = SectorsOf(file.size());
    auto s = CarveSession(ImageWith(n + 20, file, SectorRun(0, n)));
    size_t runs = 0;
    for (uint64_t k = 1; k < n; ++k) {
      const auto sector = std::span(file).subspan(
          k * kSector, std::min<size_t>(kSector, file.size() - k * kSector));
      if (Classify(sector, 512) != kMp3Frames) continue;
      ++runs;
      CarveMp3(*s, "", k * kSector);
    }
    EXPECT_GT(runs, 0u) << what << ": no sector starts a run of frames";
    EXPECT_TRUE(Marked(*s).empty()) << what;
  }
}

TEST_F(Mp3WithFfmpeg, ADatabaseAroundEachFileIsRescuedByteForByte) {
  if (!test::HaveTool("gsf")) GTEST_SKIP() << "gsf (libgsf-bin) is not installed";
  const auto db = QQDatabase();
  for (const auto& f : Files()) ExpectDatabaseBackAround(db, f.bytes, CarveMp3, f.what);
}

}  // namespace
}  // namespace tarnwick
