// Every carver of the dispatch table over damaged copies of real files: bytes
// flipped, fields set to extreme values, files cut short by the end of the
// scan range, sectors claimed beforehand. Whatever the bytes, a carve must
// end, must only claim forward from its start sector, must leave claims made
// before it alone, and must claim nothing at all unless it keeps its start
// sector. Run under the address sanitizer (scripts/test does) these also
// catch any read outside a buffer.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "media_support.h"
#include "scan/classify.h"
#include "scan/dispatch.h"

namespace tarnwick {
namespace {

using namespace test::media;
using test::CarveSession;
using namespace std::string_literals;

struct Sample {
  std::string Name;
  std::vector<uint8_t> Bytes;
};

std::vector<uint8_t> Shell(const std::string& name, const std::string& command) {
  return Made("hostile-" + name, command);
}

// Small real files of the formats the scan carves, made by the usual tools.
std::vector<Sample> RealSamples() {
  std::vector<Sample> v;
  auto add = [&v](const std::string& name, std::vector<uint8_t> bytes) {
    if (!bytes.empty()) v.push_back({name, std::move(bytes)});
  };
  add("jpg", Shell("a.jpg", "convert -seed 7 -size 200x150 plasma:fractal -quality 85 \"$OUT\""));
  add("gif", Shell("a.gif", "convert -delay 10 -size 40x30 -seed 7 plasma: plasma:red-blue "
                           "-loop 0 -set comment 'a test' \"$OUT\""));
  add("bmp", Shell("a.bmp", "convert -seed 7 -size 40x30 plasma:fractal \"$OUT\""));
  add("png", Shell("a.png", "convert -seed 7 -size 80x60 plasma:fractal -strip \"$OUT\""));
  add("tiff",
      Shell("a.tif",
            "convert -seed 7 -size 64x48 plasma:fractal p1.png && convert -size 30x20 gradient: "
            "p2.png && convert p1.png p2.png -compress lzw \"$OUT\""));
  add("pdf", Shell("a.pdf", "qpdf --empty e.pdf && " + Noise("d.bin", 8000) +
                                " && qpdf e.pdf --add-attachment d.bin -- \"$OUT\""));
  add("zip",
      Shell("a.zip", Noise("r.bin", 20000) + " && seq 1 5000 > s.txt && touch -d @1600000000 r.bin "
                                             "s.txt && zip -q -X \"$OUT\" r.bin s.txt"));
  add("ooxml", Shell("a.docx",
                     "echo '<Types/>' > '[Content_Types].xml' && mkdir -p word && seq 1 3000 > "
                     "word/document.xml && touch -d @1600000000 [C]* word word/* && zip -q -X "
                     "\"$OUT\" '[Content_Types].xml' "
                     "word/document.xml"));
  add("cab", Shell("a.cab",
                   "seq 1 9000 > s.txt && " + Noise("r.bin", 9000) +
                       " && touch -d @1600000000 s.txt r.bin && gcab -c -z \"$OUT\" s.txt r.bin"));
  add("7z", Shell("a.7z", "seq 1 9000 > s.txt && " + Noise("r.bin", 9000) +
                              " && touch -d @1600000000 s.txt r.bin && 7z a -bd -bso0 \"$OUT\" "
                              "s.txt r.bin"));
  add("ole", Shell("a.ole", Noise("Matrix.dat", 150000) + " && " + Noise("seqbase.dat", 30000) +
                                " && gsf createole \"$OUT\" Matrix.dat seqbase.dat"));
  if (!v.empty() && v.back().Name == "ole" && v.back().Bytes.size() >= 512) {
    // The same database from its directory's first sector on: all before it lost.
    const std::vector<uint8_t>& ole = v.back().Bytes;
    const uint64_t dir = (uint64_t{ole[48]} | uint64_t{ole[49]} << 8 | uint64_t{ole[50]} << 16 |
                          uint64_t{ole[51]} << 24) + 1;
    if (dir * 512 < ole.size())
      add("ole directory", std::vector<uint8_t>(ole.begin() + static_cast<std::ptrdiff_t>(dir * 512),
                                                ole.end()));
  }
  const std::string av =
      "ffmpeg -v quiet -nostdin -y -f lavfi -i testsrc=duration=2:size=176x144:rate=25 "
      "-f lavfi -i sine=duration=2 -shortest -fflags +bitexact ";
  add("avi", Shell("a.avi", av + "\"$OUT\""));
  add("wav", Shell("a.wav", "ffmpeg -v quiet -nostdin -y -f lavfi -i sine=duration=1 \"$OUT\""));
  add("mp4", Shell("a.mp4", av + "-brand mp42 \"$OUT\""));
  add("3gp", Shell("a.3gp", av + "-c:a aac \"$OUT\""));
  add("mov", Shell("a.mov", av + "\"$OUT\""));
  add("wmv", Shell("a.wmv", av + "-c:v wmv2 -c:a wmav2 \"$OUT\""));
  add("mpg", Shell("a.mpg", av + "-c:v mpeg1video -c:a mp2 -f mpeg -muxdelay 0 -preload 0 "
                                 "\"$OUT\""));
  auto ts = Shell("a.m2ts", av + "-c:v mpeg2video -c:a mp2 -f mpegts -mpegts_m2ts_mode 1 "
                                 "-muxrate 1500000 -muxdelay 0 \"$OUT\"");
  if (ts.size() >= 4) std::fill_n(ts.begin(), 4, 0);
  add("m2ts", ts);
  if (!v.empty() && v.back().Name == "m2ts") {
    // The same WMV with its header's first object renamed: the other ASF order.
    for (const Sample& s : v) {
      if (s.Name == "wmv" && s.Bytes.size() > 46) {
        auto other = s.Bytes;
        other[30] ^= 0x55;
        add("asf other order", other);
      }
    }
  }
  const std::string tone =
      "ffmpeg -v quiet -nostdin -y -f lavfi -i sine=duration=2 -fflags +bitexact ";
  add("mp3", Shell("a.mp3", tone + "-c:a libmp3lame -write_id3v1 1 \"$OUT\""));
  add("mp3 frames", Shell("b.mp3", tone + "-c:a libmp3lame -q:a 5 -id3v2_version 0 \"$OUT\""));
  add("vob", Shell("a.vob", av + "-c:v mpeg2video -c:a mp2 -f vob \"$OUT\""));
  add("ts", Shell("a.ts", av + "-c:v mpeg2video -c:a mp2 -f mpegts \"$OUT\""));
  add("mts",
      Shell(
          "a.mts",
          av + "-c:v mpeg2video -c:a mp2 -f mpegts -mpegts_m2ts_mode 1 -muxrate 1500000 \"$OUT\""));
  return v;
}

// File starts with only a signature, random bytes after it.
std::vector<Sample> SignatureSamples() {
  auto with = [](const std::string& name, std::vector<uint8_t> head) {
    std::vector<uint8_t> f = RandomBytes(64 * kSector, static_cast<uint32_t>(name.size()) * 131);
    std::copy(head.begin(), head.end(), f.begin());
    return Sample{name, f};
  };
  auto text = [](const std::string& t) { return std::vector<uint8_t>(t.begin(), t.end()); };
  return {
      with("rar", {'R', 'a', 'r', '!', 0x1A, 0x07, 0x00, 0xCF, 0x90, 0x73, 0x00, 0x00, 0x0D}),
      with("x3f", text("FOVb\x00\x00\x02\x00"s)),
      with("raf", text("FUJIFILMCCD-RAW 0201FF383501"s)),
      with("riff cdr", text("RIFF\x10\x00\x01\x00"
                            "CDR9vrsn"s)),
      with("riff acon", text("RIFF\x10\x00\x01\x00"
                             "ACONanih"s)),
      with("riff cdxa", text("RIFF\x10\x00\x01\x00"
                             "CDXAfmt "s)),
      with("zip cdr", text("PK\x03\x04\x14\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
                           "\x10\x00\x00\x00\x10\x00\x00\x00\x14\x00\x00\x00"
                           "content/riffData.cdr"s)),
  };
}

// One way of damaging a copy of a file.
void Damage(std::vector<uint8_t>& f, std::mt19937& rng) {
  auto pick = [&rng](size_t n) { return n == 0 ? 0 : static_cast<size_t>(rng() % n); };
  switch (rng() % 4) {
    case 0:  // a few bytes in the headers
      for (int k = 1 + static_cast<int>(rng() % 8); k > 0; --k)
        f[pick(std::min<size_t>(f.size(), 4096))] ^= static_cast<uint8_t>(1 + rng() % 255);
      break;
    case 1:  // a few bytes anywhere
      for (int k = 1 + static_cast<int>(rng() % 8); k > 0; --k)
        f[pick(f.size())] ^= static_cast<uint8_t>(1 + rng() % 255);
      break;
    case 2: {  // a 32-bit field set to an extreme value
      static constexpr uint32_t kExtremes[] = {0,          1,          0xFFFFFFFF, 0x7FFFFFFF,
                                               0x80000000, 0xFFFFFFF0, 24,         0x00010000};
      const uint32_t x = kExtremes[rng() % std::size(kExtremes)];
      const size_t at = pick(std::min<size_t>(f.size(), 2048) - 3);
      for (int i = 0; i < 4; ++i)
        f[at + static_cast<size_t>(i)] = static_cast<uint8_t>(x >> (8 * i));
      break;
    }
    default:  // whole sectors of zeros or of another part of the file
      for (int k = 1 + static_cast<int>(rng() % 3); k > 0; --k) {
        const size_t to = pick(f.size() / kSector) * kSector;
        const size_t from = pick(f.size() / kSector) * kSector;
        const size_t n = std::min<size_t>(kSector, f.size() - std::max(to, from));
        if (rng() % 2) {
          std::fill_n(f.begin() + static_cast<std::ptrdiff_t>(to), n, 0);
        } else {
          std::copy_n(f.begin() + static_cast<std::ptrdiff_t>(from), n,
                      f.begin() + static_cast<std::ptrdiff_t>(to));
        }
      }
  }
}

// Carves one damaged copy laid from sector 8 and checks what the carve did.
void CarveOnce(const std::vector<uint8_t>& file, CarverFn carve, bool withFolder, std::mt19937& rng,
               const std::string& trace) {
  constexpr uint64_t kStart = 8;
  const uint64_t n = SectorsOf(file.size());
  const uint32_t spc = (rng() % 3 == 0) ? 8 : 1;
  auto s = CarveSession(
      ImageWith(kStart + n + 24, file, SectorRun(kStart, n), static_cast<uint32_t>(rng())), spc,
      static_cast<int32_t>(rng() % spc));
  // Sometimes the scan range ends inside the file.
  if (rng() % 4 == 0) s->LastScanSector = static_cast<int64_t>(kStart + rng() % (n + 1));
  std::set<uint64_t> before;
  for (int k = static_cast<int>(rng() % 6); k > 0; --k) {
    const uint64_t f = rng() % (kStart + n + 24);
    if (f == kStart) continue;
    s->Map.MarkSector(f);
    before.insert(f);
  }
  test::TempDir out("hostile");
  carve(*s, withFolder ? out.Path().string() + "/" : std::string(), kStart * kSector);

  const auto after = Marked(*s);
  const std::set<uint64_t> now(after.begin(), after.end());
  for (uint64_t f : before) EXPECT_TRUE(now.count(f)) << trace << ": claim " << f << " lost";
  if (now == before) return;
  EXPECT_TRUE(now.count(kStart)) << trace << ": claims kept without the start sector";
  for (uint64_t t : now)
    EXPECT_TRUE(t >= kStart || before.count(t)) << trace << ": sector " << t << " before the start";
  EXPECT_LE(WrittenFiles(out.Path()).size(), 1u) << trace;
}

TEST(HostileInput, EveryCarverSurvivesDamagedFiles) {
  for (const char* tool : {"convert", "qpdf", "zip", "gcab", "gsf", "ffmpeg"})
    if (!test::HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
  auto samples = RealSamples();
  ASSERT_GE(samples.size(), 18u);
  for (auto& s : SignatureSamples()) samples.push_back(std::move(s));

  std::set<uint8_t> covered;
  std::mt19937 rng(2026);
  for (const Sample& sample : samples) {
    const uint8_t type = Classify(sample.Bytes, 512);
    const DispatchRow* row = DispatchRowFor(type);
    if (row == nullptr || row->Carver == nullptr) {
      ADD_FAILURE() << sample.Name << " starts with type " << int(type) << ", which has no carver";
      continue;
    }
    covered.insert(type);
    for (int round = 0; round < 200; ++round) {
      auto copy = sample.Bytes;
      if (round > 0) Damage(copy, rng);
      CarveOnce(
          copy, row->Carver, row->WithFolder, rng,
          sample.Name + " (type " + std::to_string(type) + "), round " + std::to_string(round));
    }
  }
  // Every row with a carver met at least one sample, save the second JPEG
  // pass (the same carver as the first).
  for (const DispatchRow& row : DispatchTable()) {
    if (row.Carver == nullptr || row.Type == 2) continue;
    EXPECT_TRUE(covered.count(row.Type)) << "type " << int(row.Type) << " not exercised";
  }
}

}  // namespace
}  // namespace tarnwick
