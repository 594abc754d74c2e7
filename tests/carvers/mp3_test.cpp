#include "carvers/mp3.h"

#include <gtest/gtest.h>

#include "media_support.h"
#include "scan/classify.h"

namespace tarnwick {
namespace {

using namespace test::media;
using test::CarveSession;

using Bytes8 = std::vector<uint8_t>;

Bytes8 Join(std::initializer_list<Bytes8> parts) {
  Bytes8 f;
  for (const auto& p : parts) f.insert(f.end(), p.begin(), p.end());
  return f;
}

// n frames of MPEG-1 layer III, 128 kbit/s, 44.1 kHz (417 bytes, every
// third padded to 418), from the header given, their bodies random.
Bytes8 Frames(size_t n, std::array<uint8_t, 4> header = {0xFF, 0xFB, 0x90, 0x64}) {
  Bytes8 f;
  for (size_t k = 0; k < n; ++k) {
    Bytes8 frame = RandomBytes(k % 3 == 2 ? 418 : 417, static_cast<uint32_t>(k));
    std::copy(header.begin(), header.end(), frame.begin());
    if (k % 3 == 2) frame[2] |= 0x02;
    f = Join({f, frame});
  }
  return f;
}

// An ID3v2 tag whose size field says `size`; a version 4 footer when flagged.
Bytes8 Id3v2(uint8_t version, uint8_t flags, uint32_t size) {
  Bytes8 t = {'I', 'D', '3', version, 0, flags};
  for (int shift = 21; shift >= 0; shift -= 7) t.push_back((size >> shift) & 0x7F);
  t.resize(10 + size, 0xFF);  // unsynchronised or not, only the size counts
  if (version == 4 && (flags & 0x10)) t = Join({t, {'3', 'D', 'I', 4, 0, flags, 0, 0, 0, 0}});
  return t;
}

// An APE tag with its header: items of `items` bytes, then the footer.
Bytes8 ApeTag(uint32_t items) {
  auto head = [&](uint32_t flags) {
    Bytes8 h = {'A', 'P', 'E', 'T', 'A', 'G', 'E', 'X'};
    for (uint32_t v : {2000u, items + 32, 1u, flags, 0u, 0u})
      for (int i = 0; i < 4; ++i) h.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return h;
  };
  return Join({head(0xA0000000), RandomBytes(items, 9), head(0x80000000)});
}

const Bytes8 kId3v1 = Join({{'T', 'A', 'G'}, Bytes8(125, ' ')});

std::vector<uint64_t> CarveLaid(const Bytes8& file, uint32_t spc = 1) {
  const uint64_t n = SectorsOf(file.size());
  auto s = CarveSession(ImageWith(16 + n + 40, file, SectorRun(16, n)), spc, 0);
  CarveMp3(*s, "", 16 * kSector);
  return Marked(*s);
}

std::vector<uint64_t> Claims(uint64_t length, uint32_t spc = 1) {
  return ExpectedClaims(SectorRun(16, SectorsOf(length)), length, spc);
}

TEST(MpegAudioFrame, LengthsOfEachVersionAndLayerAndReservedValues) {
  struct Case {
    uint8_t b1, b2;
    uint32_t rate, length;
  };
  for (const auto& c : {Case{0xFB, 0x92, 44100, 418},   // version 1 layer III, padded
                        Case{0xFD, 0xE4, 48000, 1152},  // layer II, 384 kbit/s
                        Case{0xFF, 0xD8, 32000, 624},   // layer I, 416 kbit/s
                        Case{0xF3, 0x14, 24000, 24},    // version 2 layer III, 8 kbit/s
                        Case{0xE3, 0x18, 8000, 72}}) {  // version 2.5 layer III, 8 kbit/s
    const uint8_t h[] = {0xFF, c.b1, c.b2, 0x40};
    const MpegAudioFrame f = ReadMpegAudioFrame(h, 0);
    EXPECT_TRUE(f.valid && f.sampleRate == c.rate && f.length == c.length)
        << std::hex << +c.b1 << " " << +c.b2 << std::dec << ": " << f.length;
  }
  // Free format, bit-rate index 15, reserved sampling rate, version, layer, emphasis.
  for (uint32_t h :
       {0xFFFB0040u, 0xFFFBF040u, 0xFFFB9C40u, 0xFFEB9040u, 0xFFF99040u, 0xFFFB9042u}) {
    const uint8_t b[] = {uint8_t(h >> 24), uint8_t(h >> 16), uint8_t(h >> 8), uint8_t(h)};
    EXPECT_FALSE(ReadMpegAudioFrame(b, 0).valid) << std::hex << h;
  }
}

TEST(Mp3, TagsAndFramesAreClaimedToTheFilesLastByteAndNoFurther) {
  for (auto [what, file] : {
           std::pair{"bare frames", Frames(40)},
           std::pair{"unsynchronised ID3v2.4 with a footer",
                     Join({Id3v2(4, 0x90, 1500), Frames(20)})},
           std::pair{"two ID3v2 tags, one long",
                     Join({Id3v2(3, 0, 300'000), Id3v2(2, 0, 90), Frames(9)})},
           std::pair{"APE and ID3v1 behind", Join({Frames(30), ApeTag(300), kId3v1})},
           // The run ends at the first header of another sampling rate.
           std::pair{"another stream behind",
                     Join({Frames(10), Frames(5, {0xFF, 0xFB, 0x94, 0x64})})},
       }) {
    const uint64_t length =
        std::string(what) == "another stream behind" ? 10 * 417 + 3 : file.size();
    for (uint32_t spc : {1u, 8u})
      EXPECT_EQ(CarveLaid(file, spc), Claims(length, spc)) << what << ", " << spc << " per cluster";
  }
  EXPECT_TRUE(CarveLaid(Frames(3)).empty()) << "fewer than four frames";
  EXPECT_TRUE(CarveLaid(Id3v2(3, 0, 2000)).empty()) << "a tag without frames";
  // Random sectors never pass, wherever a walk starts in them.
  auto s = CarveSession(RandomBytes(400 * kSector, 21));
  for (uint64_t sector = 0; sector < 400; ++sector) CarveMp3(*s, "", sector * kSector);
  EXPECT_TRUE(Marked(*s).empty());
}

// Three seconds of tone through ffmpeg's MP3 muxer and LAME.
Bytes8 FfmpegMp3(const std::string& name, const std::string& options) {
  return Made(name, "ffmpeg -v error -nostdin -y -f lavfi -i sine=duration=3 -fflags +bitexact " +
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
    const std::string lame = "-c:a libmp3lame ";
    return {
        {"CBR with an ID3v2 tag", FfmpegMp3("cbr.mp3", lame + "-b:a 128k"), kMp3Id3},
        {"VBR, ID3v2 and ID3v1", FfmpegMp3("vbr.mp3", lame + "-q:a 4 -write_id3v1 1"), kMp3Id3},
        {"no tag, a summary frame", FfmpegMp3("info.mp3", lame + "-b:a 320k -id3v2_version 0"),
         kMp3Frames},
        {"no tag, no summary",
         FfmpegMp3("bare.mp3", lame + "-b:a 64k -id3v2_version 0 -write_xing 0"), kMp3Frames},
        {"an APE tag",
         FfmpegMp3("ape.mp3", lame + "-id3v2_version 0 -write_apetag 1 -metadata title=T"),
         kMp3Frames},
        {"version 2.5 at 8 kHz", FfmpegMp3("low.mp3", lame + "-ar 8000 -b:a 16k"), kMp3Id3},
        {"layer II at 96 kbit/s", FfmpegMp3("clip96.mp2", "-c:a mp2 -b:a 96k -f mp2"), kMp3Frames},
        // Frames of 1,253 bytes hold one header a sector and no summary: the
        // scan does not take the file for a start, the carver follows it.
        {"layer II at 384 kbit/s", FfmpegMp3("clip.mp2", "-c:a mp2 -f mp2"), kNothing},
    };
  }
};

TEST_F(Mp3WithFfmpeg, FilesAreClassifiedAndClaimedAndADatabaseAroundThemComesBack) {
  const bool gsf = test::HaveTool("gsf");
  const auto db = gsf ? QQDatabase() : Bytes8();
  for (const auto& f : Files()) {
    ASSERT_FALSE(f.bytes.empty()) << f.what;
    EXPECT_EQ(Classify(f.bytes, 512), f.type) << f.what;
    for (uint32_t spc : {1u, 8u})
      EXPECT_EQ(CarveLaid(f.bytes, spc), Claims(f.bytes.size(), spc)) << f.what << ", " << spc;
    const std::set<uint64_t> foreign = {17, 18, 30, 31, 50};
    auto at = SectorsAvoiding(16, SectorsOf(f.bytes.size()), foreign);
    auto s = CarveSession(ImageWith(at.back() + 20, f.bytes, at));
    for (uint64_t x : foreign) s->Map.MarkSector(x);
    CarveMp3(*s, "", 16 * kSector);
    EXPECT_EQ(Marked(*s), ExpectedClaims(at, f.bytes.size(), 1, 0, foreign)) << f.what;
    if (gsf) ExpectDatabaseBackAround(db, f.bytes, CarveMp3, f.what);
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
    for (uint64_t k = 1; k + 1 < n; ++k) {
      if (Classify(std::span(file).subspan(k * kSector, kSector), 512) != kMp3Frames) continue;
      ++runs;
      CarveMp3(*s, "", k * kSector);
    }
    EXPECT_GT(runs, 0u) << what << ": no sector starts a run of frames";
    EXPECT_TRUE(Marked(*s).empty()) << what;
  }
}

}  // namespace
}  // namespace tarnwick
