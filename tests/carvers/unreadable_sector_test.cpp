// A file with one unreadable sector inside it keeps every one of its
// sectors: the carve takes the sector as zeros and finds its way past it,
// so that a database whose pieces lie around the file still has the file's
// sectors stepped over.
#include <gtest/gtest.h>

#include <algorithm>

#include "carvers/png.h"
#include "carvers/zip.h"
#include "media_support.h"
#include "scan/classify.h"
#include "scan/dispatch.h"
#include "source/bytes.h"

namespace tarnwick {
namespace {

using namespace test::media;

std::vector<uint8_t> Shell(const std::string& name, const std::string& command) {
  return Made("unread-" + name, command);
}

const std::string kClip =
    "ffmpeg -v quiet -nostdin -y -f lavfi -i testsrc=duration=2:size=176x144:rate=25 "
    "-f lavfi -i sine=duration=2 -shortest -fflags +bitexact ";

std::vector<uint8_t> AnimatedGif() {
  return Shell("anim.gif",
               "convert -delay 10 -size 120x90 -seed 3 plasma:red-blue plasma:green-yellow "
               "plasma:blue-white -loop 0 \"$OUT\"");
}
std::vector<uint8_t> Zip() {
  return Shell("a.zip", Noise("r.bin", 20000) + " && seq 1 5000 > s.txt && " +
                            Noise("q.bin", 9000) +
                            " && touch -d @1600000000 r.bin s.txt q.bin && zip -q -X \"$OUT\" "
                            "r.bin s.txt q.bin");
}
std::vector<uint8_t> Avi() { return Shell("a.avi", kClip + "\"$OUT\""); }
std::vector<uint8_t> Mp3() {
  return Shell("a.mp3",
               "ffmpeg -v quiet -nostdin -y -f lavfi -i sine=duration=2 -fflags +bitexact -c:a "
               "libmp3lame -write_id3v1 1 \"$OUT\"");
}

// Where the last top-level box of an ISO media file begins.
uint64_t LastBox(const std::vector<uint8_t>& f) {
  uint64_t at = 0, last = 0;
  while (at + 8 <= f.size() && BE32(f, static_cast<size_t>(at)) >= 8) {
    last = at;
    at += BE32(f, static_cast<size_t>(at));
  }
  return last;
}

struct Sample {
  std::string Name;
  std::vector<uint8_t> Bytes;
  // The end of the file that a bad sector may hide: the bytes that say where
  // it ends, found only by reading them. A sector reaching into them is not
  // tried; with none, every sector but the first is.
  uint64_t Tail;
};

std::vector<Sample> Samples() {
  std::vector<Sample> v;
  auto add = [&v](const std::string& name, std::vector<uint8_t> bytes, uint64_t tail) {
    if (!bytes.empty()) v.push_back({name, std::move(bytes), tail});
  };
  // A GIF's last few sub-blocks cannot be told from chance bytes before a
  // trailer byte.
  add("gif, animated", AnimatedGif(), 3 * 256);
  add("gif, interlaced",
      Shell("one.gif", "convert -size 200x150 -seed 4 plasma: -interlace GIF \"$OUT\""), 3 * 256);
  add("jpg", Shell("a.jpg", "convert -seed 7 -size 300x200 plasma:fractal -quality 85 \"$OUT\""),
      2);
  add("png", Shell("a.png", "convert -seed 7 -size 160x120 plasma:fractal \"$OUT\""), 12);
  // ImageMagick writes each page's directory after its strips; the last
  // one and its values close the file.
  add("tiff",
      Shell("a.tif",
            "convert -seed 7 -size 96x64 plasma:fractal p1.png && convert -size 80x60 gradient: "
            "p2.png && convert p1.png p2.png -compress lzw \"$OUT\""),
      2 * kSector);
  add("zip", Zip(), 0);
  add("7z",
      Shell("a.7z", "seq 1 9000 > s.txt && " + Noise("r.bin", 30000) +
                        " && touch -d @1600000000 s.txt r.bin && 7z a -bd -bso0 \"$OUT\" "
                        "s.txt r.bin"),
      0);
  add("pdf",
      Shell("a.pdf", "qpdf --empty e.pdf && " + Noise("d.bin", 20000) +
                         " && qpdf e.pdf --add-attachment d.bin -- \"$OUT\""),
      6);
  add("avi", Avi(), 0);
  add("wav", Shell("a.wav", "ffmpeg -v quiet -nostdin -y -f lavfi -i sine=duration=1 \"$OUT\""), 0);
  auto mp4 = Shell("a.mp4", kClip + "-brand mp42 \"$OUT\"");
  add("mp4", mp4, mp4.size() - LastBox(mp4));
  add("wmv", Shell("a.wmv", kClip + "-c:v wmv2 -c:a wmav2 \"$OUT\""), 0);
  // A program stream's last packs are found again only when more follow.
  add("mpg", Shell("a.mpg", kClip + "-c:v mpeg1video -c:a mp2 -f mpeg \"$OUT\""), 4 * kSector);
  // After the sector, two frames, or one and a tag, must be left to find.
  add("mp3", Mp3(), 2 * 1441 + 128);
  return v;
}

class UnreadableSector : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string why = Missing({"convert", "ffmpeg", "zip", "7z", "qpdf"}); !why.empty())
      GTEST_SKIP() << why;
  }
};

TEST_F(UnreadableSector, EveryFileKeepsExactlyItsSectorsWhereverTheSectorLies) {
  for (const Sample& sample : Samples()) {
    SCOPED_TRACE(sample.Name);
    const auto& f = sample.Bytes;
    const DispatchRow* row = DispatchRowFor(Classify(f, 512));
    ASSERT_NE(row, nullptr);
    ASSERT_NE(row->Carver, nullptr);
    const uint64_t n = SectorsOf(f.size());
    const std::set<uint64_t> foreign = {7};
    const auto at = SectorsAvoiding(4, n, foreign);
    const auto img = ImageWith(at.back() + 40, f, at);
    const auto whole = ExpectedClaims(at, f.size(), 1, 0, foreign);
    uint64_t tried = 0;
    for (uint64_t k = 1; k < n && (sample.Tail == 0 || (k + 1) * kSector + sample.Tail <= f.size());
         ++k, ++tried) {
      auto s = DeviceSession(std::make_unique<FaultyDevice>(std::make_unique<MemoryDevice>(img),
                                                            std::set<uint64_t>{at[k]}));
      s->Map.MarkSector(7);
      row->Carver(*s, "", 4 * kSector);
      EXPECT_EQ(Marked(*s), whole) << "sector " << k << " of " << n;
    }
    EXPECT_GE(tried, n * 2 / 3);
  }
}

// Where a record header of the file lies: a ZIP's third local header, an
// AVI's list of frames.
uint64_t HeaderSector(const std::vector<uint8_t>& f, std::string_view mark, int nth, int64_t back) {
  auto it = f.begin();
  for (int k = 0; k < nth; ++k)
    it = std::search(it + (k > 0 ? 1 : 0), f.end(), mark.begin(), mark.end());
  EXPECT_NE(it, f.end());
  return static_cast<uint64_t>(it - f.begin() - back) / kSector;
}

TEST_F(UnreadableSector, ADatabaseAroundTheFileComesBackWhole) {
  if (std::string why = Missing({"gsf"}); !why.empty()) GTEST_SKIP() << why;
  const auto db = QQDatabase();
  struct Case {
    const char* what;
    std::vector<uint8_t> file;
    uint64_t bad;  // the file's sector that cannot be read
  };
  const auto gif = AnimatedGif(), zip = Zip(), avi = Avi(), mp3 = Mp3();
  const std::vector<Case> cases = {
      {"gif, a frame's data", gif, SectorsOf(gif.size()) / 2},
      {"zip, a local header", zip, HeaderSector(zip, "PK\x03\x04", 3, 0)},
      {"avi, the frames' list header", avi, HeaderSector(avi, "movi", 1, 8)},
      {"mp3, the frames", mp3, SectorsOf(mp3.size()) / 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto nested = NestInDatabase(db, c.file);
    test::TempDir out("unread-qq");
    auto s =
        DeviceSession(std::make_unique<FaultyDevice>(std::make_unique<MemoryDevice>(nested.Image),
                                                     std::set<uint64_t>{nested.FileStart + c.bad}));
    const DispatchRow* row = DispatchRowFor(Classify(c.file, 512));
    ASSERT_NE(row, nullptr);
    row->Carver(*s, out.Path().string() + "/", nested.FileStart * kSector);
    CarveQQDatabase(*s, out.Path().string() + "/", nested.DatabaseStart * kSector);
    auto files = WrittenFiles(out.Path());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0], db);
  }
}

TEST_F(UnreadableSector, APlaceFoundAgainThatTheFileDoesNotBearOutIsNotTaken) {
  {
    // The member whose header cannot be read is itself an archive, stored:
    // the next local header is the inner archive's. Its central directory
    // names no such place, so the claim ends at the lost header as it did
    // before the walk could go on.
    const auto zip =
        Shell("nested.zip", "seq 1 300 > a.txt && " + Noise("r.bin", 6000) +
                                " && touch -d @1600000000 a.txt r.bin && zip -q -X inner.zip r.bin "
                                "a.txt && touch -d @1600000000 inner.zip && zip -q -X -0 \"$OUT\" "
                                "a.txt inner.zip");
    const auto second =
        static_cast<uint64_t>(std::search(zip.begin() + 4, zip.end(), std::begin("PK\x03\x04"),
                                          std::begin("PK\x03\x04") + 4) -
                              zip.begin());
    ASSERT_GT(second, 100u);
    const uint64_t n = SectorsOf(zip.size());
    auto s = DeviceSession(std::make_unique<FaultyDevice>(
        std::make_unique<MemoryDevice>(ImageWith(n + 30, zip, SectorRun(4, n))),
        std::set<uint64_t>{4 + second / kSector}));
    CarveZip(*s, "", 4 * kSector);
    EXPECT_EQ(Marked(*s), SectorRun(4, (second + 3) / kSector + 1));
  }
  {
    // Behind a lost chunk header, the data reads as the header of a chunk
    // that would run far past the picture: checking it reads on, and what
    // was read for it is given back once the picture has ended.
    auto png = Shell("a.png", "convert -seed 7 -size 160x120 plasma:fractal \"$OUT\"");
    const auto idat = static_cast<uint64_t>(
        std::search(png.begin() + 100, png.end(), std::begin("IDAT"), std::begin("IDAT") + 4) -
        png.begin());
    const auto second =
        static_cast<uint64_t>(std::search(png.begin() + static_cast<std::ptrdiff_t>(idat) + 4,
                                          png.end(), std::begin("IDAT"), std::begin("IDAT") + 4) -
                              png.begin() - 4);
    ASSERT_EQ(second / kSector, (second + 8) / kSector) << "the header lies in one sector";
    const size_t fake = static_cast<size_t>((second / kSector + 1) * kSector);
    const uint8_t header[] = {0x00, 0x0C, 0x00, 0x00, 'z', 'z', 'z', 'z'};
    std::copy(header, header + 8, png.begin() + static_cast<std::ptrdiff_t>(fake));
    const uint64_t n = SectorsOf(png.size());
    auto s = DeviceSession(std::make_unique<FaultyDevice>(
        std::make_unique<MemoryDevice>(ImageWith(n + 2000, png, SectorRun(4, n))),
        std::set<uint64_t>{4 + second / kSector}));
    CarvePng(*s, "", 4 * kSector);
    EXPECT_EQ(Marked(*s), SectorRun(4, n));
  }
  {
    // A picture whose end chunk cannot be read, with another one behind it:
    // the search for a chunk stops at the other picture's signature.
    const auto png = Shell("a.png", "convert -seed 7 -size 160x120 plasma:fractal \"$OUT\"");
    const auto other = Shell("b.png", "convert -seed 8 -size 100x80 plasma:fractal \"$OUT\"");
    const uint64_t n = SectorsOf(png.size()), m = SectorsOf(other.size());
    auto img = ImageWith(n + m + 30, png, SectorRun(4, n));
    Lay(img, other, SectorRun(4 + n, m));
    auto s = DeviceSession(std::make_unique<FaultyDevice>(std::make_unique<MemoryDevice>(img),
                                                          std::set<uint64_t>{4 + n - 1}));
    CarvePng(*s, "", 4 * kSector);
    EXPECT_TRUE(Marked(*s).empty());
  }
}

}  // namespace
}  // namespace tarnwick
