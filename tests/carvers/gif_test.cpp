#include "carvers/gif.h"

#include <gtest/gtest.h>

#include "media_support.h"
#include "scan/classify.h"
#include "scan/dispatch.h"
#include "source/bytes.h"

namespace tarnwick {
namespace {

using namespace test::media;
using test::CarveSession;

// Pictures by ImageMagick, as the chat program's own emoticons are made.
std::vector<uint8_t> Gif(const std::string& name, const std::string& args,
                         const std::string& format = "") {
  return Made(name, "convert " + args + " " + format + "\"$OUT\"");
}

const std::string kFrames =
    "-delay 10 -size 64x48 -seed 3 plasma:red-blue plasma:green-yellow plasma:blue-white "
    "plasma:black-orange";

struct Sample {
  const char* what;
  std::vector<uint8_t> bytes;
};

std::vector<Sample> Samples() {
  return {
      {"animated, looping", Gif("anim.gif", kFrames + " -loop 0")},
      {"interlaced", Gif("interlaced.gif", "-size 200x150 -seed 4 plasma: -interlace GIF")},
      {"with a comment", Gif("comment.gif",
                             "-size 90x70 -seed 5 plasma: -set comment "
                             "'for the test'")},
      {"version 87a", Gif("old.gif", "-size 120x90 -seed 6 plasma: -colors 16", "GIF87:")},
      {"large, 256 colours", Gif("large.gif", "-size 500x400 -seed 7 plasma:")},
  };
}

class GifCarver : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string why = Missing({"convert"}); !why.empty()) GTEST_SKIP() << why;
  }
};

TEST_F(GifCarver, PicturesAreClaimedToTheirTrailerAndCluster) {
  for (const Sample& sample : Samples()) {
    SCOPED_TRACE(sample.what);
    const auto& gif = sample.bytes;
    ASSERT_GT(gif.size(), 100u);
    ASSERT_EQ(gif.back(), 0x3B) << "the tool ends it with the trailer";
    EXPECT_EQ(Classify(gif, 512), kGif);
    const uint64_t n = SectorsOf(gif.size());
    for (auto [spc, phase] : {std::pair<uint32_t, int32_t>{1, 0}, {8, 3}}) {
      const std::set<uint64_t> foreign = {14, 15, 40};
      auto at = SectorsAvoiding(11, n, foreign);
      auto s = CarveSession(ImageWith(std::max<uint64_t>(at.back(), 40) + 20, gif, at), spc, phase);
      for (uint64_t f : foreign) s->Map.MarkSector(f);
      CarveGif(*s, "", 11 * kSector);
      EXPECT_EQ(Marked(*s), ExpectedClaims(at, gif.size(), spc, phase, foreign)) << spc;
    }
  }
}

TEST_F(GifCarver, TheBlocksThatToolsWriteAreFollowed) {
  // The animation holds the looping application extension and a graphic
  // control extension before each frame; the comment picture its comment.
  auto anim = Samples()[0].bytes;
  auto has = [](const std::vector<uint8_t>& v, std::string_view text) {
    return std::search(v.begin(), v.end(), text.begin(), text.end()) != v.end();
  };
  EXPECT_TRUE(has(anim, "NETSCAPE2.0"));
  EXPECT_GE(std::count(anim.begin(), anim.end(), uint8_t{0x2C}), 4);
  EXPECT_TRUE(has(Samples()[2].bytes, "for the test"));
}

TEST_F(GifCarver, DamagedOrCutPicturesGiveEverySectorBack) {
  const auto gif = Samples()[0].bytes;
  // The first frame's image separator: after the header, the global colour
  // table and the extensions.
  size_t separator = 13 + ((gif[10] & 0x80) ? (size_t{3} << ((gif[10] & 7) + 1)) : 0);
  while (gif.at(separator) == 0x21) {
    size_t p = separator + 2;
    while (gif.at(p) != 0) p += gif[p] + size_t{1};
    separator = p + 1;
  }
  ASSERT_EQ(gif.at(separator), 0x2C);
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> spoil;
  };
  const std::vector<Case> cases = {
      {"signature", [](auto& d) { d[4] = '8'; }},
      {"no trailer, filler after", [](auto& d) { d.back() = 0x00; }},
      {"cut in the middle", [](auto& d) { d.resize(d.size() / 2); }},
      {"an unknown block", [&](auto& d) { d[separator] = 0x2D; }},
      {"an image without pixels", [&](auto& d) { d[separator + 5] = d[separator + 6] = 0; }},
      {"an LZW code size of 12", [&](auto& d) { d[separator + 10] = 12; }},
  };
  for (const Case& c : cases) {
    auto bad = gif;
    c.spoil(bad);
    const uint64_t n = SectorsOf(bad.size());
    // Zeros behind the picture: a sub-block chain cut short would end there.
    std::vector<uint8_t> img(static_cast<size_t>((n + 30) * kSector), 0);
    Lay(img, bad, SectorRun(3, n));
    auto s = CarveSession(img, 4, 1);
    CarveGif(*s, "", 3 * kSector);
    EXPECT_TRUE(Marked(*s).empty()) << c.what;
  }
  // The end of the scan range inside the picture.
  const uint64_t n = SectorsOf(gif.size());
  auto s = CarveSession(ImageWith(n + 10, gif, SectorRun(3, n)));
  s->LastScanSector = static_cast<int64_t>(3 + n - 2);
  CarveGif(*s, "", 3 * kSector);
  EXPECT_TRUE(Marked(*s).empty());
  // A claimed start sector is left alone.
  auto t = CarveSession(ImageWith(n + 10, gif, SectorRun(3, n)));
  t->Map.MarkSector(3);
  CarveGif(*t, "", 3 * kSector);
  EXPECT_EQ(Marked(*t), std::vector<uint64_t>{3});
}

TEST_F(GifCarver, ATrailerByteBehindTheUnreadableEndIsNotTaken) {
  // The trailer's sector cannot be read; behind it lie bytes that read as a
  // short chain, its terminator and a trailer.
  const auto gif = Samples()[3].bytes;
  const uint64_t n = SectorsOf(gif.size());
  auto img = ImageWith(n + 30, gif, SectorRun(4, n));
  for (size_t p = (4 + n) * kSector; p + 4 <= img.size(); p += 4) {
    const uint8_t pattern[] = {0x01, 0xAA, 0x00, 0x3B};
    std::copy(pattern, pattern + 4, img.begin() + static_cast<std::ptrdiff_t>(p));
  }
  auto s = DeviceSession(std::make_unique<FaultyDevice>(std::make_unique<MemoryDevice>(img),
                                                        std::set<uint64_t>{4 + n - 1}));
  CarveGif(*s, "", 4 * kSector);
  EXPECT_TRUE(Marked(*s).empty());
}

TEST_F(GifCarver, ADatabaseAroundAPictureIsRescuedWhole) {
  if (std::string why = Missing({"gsf"}); !why.empty()) GTEST_SKIP() << why;
  const auto db = QQDatabase();
  const DispatchRow* row = DispatchRowFor(kGif);
  ASSERT_NE(row, nullptr);
  ASSERT_EQ(row->Carver, &CarveGif);
  for (const Sample& sample : Samples())
    ExpectDatabaseBackAround(db, sample.bytes, row->Carver, sample.what);
}

}  // namespace
}  // namespace tarnwick
