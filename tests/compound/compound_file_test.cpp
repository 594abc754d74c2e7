#include "compound/compound_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <sstream>

#include "source/bytes.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using test::ReadFileBytes;
using test::ShellQuote;

const std::string kPython = "/usr/bin/python3";
const std::string kWriter = std::string(TARNWICK_SOURCE_DIR) + "/tests/corpus/ole_writer.py";

// Stream path -> size, as olefile lists the file.
std::map<std::string, uint64_t> OlefileStreams(const fs::path& file) {
  auto r = test::Run(kPython + " -c " +
                     ShellQuote("import olefile,sys\n"
                                "o=olefile.OleFileIO(sys.argv[1])\n"
                                "for p in o.listdir():\n"
                                "  print('/'.join(p)+'\\t'+str(o.get_size('/'.join(p))))\n") +
                     " " + ShellQuote(file.string()));
  EXPECT_EQ(r.Status, 0) << r.Err;
  std::map<std::string, uint64_t> out;
  std::istringstream in(r.Out);
  std::string line;
  while (std::getline(in, line)) {
    auto tab = line.rfind('\t');
    out[line.substr(0, tab)] = std::stoull(line.substr(tab + 1));
  }
  return out;
}

std::map<std::string, uint64_t> CheckedStreams(const CompoundCheck& c) {
  std::map<std::string, uint64_t> out;
  for (const auto& e : c.Entries) {
    if (e.Type == 2) out[e.Path] = e.Size;
  }
  return out;
}

class CompoundFileCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::HaveTool("gsf")) GTEST_SKIP() << "gsf (libgsf-bin) is not installed";
    if (test::Run(kPython + " -c 'import olefile'").Status != 0)
      GTEST_SKIP() << "no python3-olefile";
  }

  // A file from gsf createole: two QQ names, a storage, small and large streams.
  fs::path Gsf(const std::vector<std::pair<std::string, size_t>>& streams) {
    uint32_t seed = 11;
    std::string tops;
    for (const auto& [name, size] : streams) {
      fs::path p = dir_ / name;
      fs::create_directories(p.parent_path());
      test::WriteFileBytes(p, test::RandomBytes(size, seed++));
      std::string top = name.substr(0, name.find('/'));
      if (tops.find(" " + top + " ") == std::string::npos) tops += " " + top + " ";
    }
    auto r =
        test::Run("cd " + ShellQuote(dir_.Path().string()) + " && gsf createole out.ole " + tops);
    EXPECT_EQ(r.Status, 0) << r.Err;
    return dir_ / "out.ole";
  }

  // A file from our own writer, laid out as a long-lived program does.
  fs::path Writer(const std::string& args) {
    fs::path out = dir_ / ("w" + std::to_string(++made_) + ".db");
    auto r = test::Run(kPython + " " + ShellQuote(kWriter) + " " + ShellQuote(out.string()) + " " +
                       args);
    EXPECT_EQ(r.Status, 0) << r.Err;
    return out;
  }

  void ExpectAgreesWithOlefile(const fs::path& file) {
    std::vector<uint8_t> bytes = ReadFileBytes(file);
    CompoundCheck c = CheckCompoundFile(bytes);
    EXPECT_TRUE(c.IsCompound);
    EXPECT_TRUE(c.Whole) << c.Problem;
    EXPECT_EQ(c.Length, bytes.size());
    EXPECT_EQ(CheckedStreams(c), OlefileStreams(file));
    EXPECT_TRUE(c.BrokenStreams.empty());
    ASSERT_FALSE(c.Entries.empty());
    EXPECT_EQ(c.Entries[0].Type, 5);
    EXPECT_EQ(c.Entries[0].Depth, 0);
  }

  test::TempDir dir_{"compound"};
  int made_ = 0;
};

TEST_F(CompoundFileCheck, AgreesWithOlefileOnGsfAndLongLivedLayouts) {
  ExpectAgreesWithOlefile(Gsf({{"Matrix.dat", 2000},
                               {"seqbase.dat", 300},
                               {"C2CMsg/4711/Data.msj", 70000},
                               {"C2CMsg/4711/Index.msj", 900}}));
  ExpectAgreesWithOlefile(Writer("--seed 1"));
  ExpectAgreesWithOlefile(Writer("--seed 2 --sector-size 4096"));
  ExpectAgreesWithOlefile(Writer("--seed 3 --plain"));
  // Over 7 MiB: more FAT sectors than the header lists, so a DIFAT chain.
  fs::path big = Writer("--seed 4 --scale 300");
  std::vector<uint8_t> bytes = ReadFileBytes(big);
  ASSERT_NE(LE32(bytes, 72), 0u) << "the sample should need a DIFAT sector";
  ExpectAgreesWithOlefile(big);
}

// Every FAT sector of a long-lived layout, whose streams interleave, names
// its own index or nothing, never another's; tables that are not a file's
// FAT say nothing.
TEST_F(CompoundFileCheck, FatSectorsNameTheirOwnIndex) {
  std::vector<uint8_t> bytes = ReadFileBytes(Writer("--seed 5 --scale 300"));
  ASSERT_GE(bytes.size(), 512u);
  const uint32_t fatCount = LE32(bytes, 44);
  std::vector<uint32_t> fat;
  for (uint32_t k = 0; k < 109 && k < fatCount; ++k) fat.push_back(LE32(bytes, 76 + 4 * k));
  for (uint32_t d = LE32(bytes, 68); d < kCompoundDifatMark && fat.size() < fatCount;) {
    ASSERT_LE((uint64_t{d} + 2) * 512, bytes.size());
    for (uint32_t e = 0; e < 127 && fat.size() < fatCount; ++e) {
      const uint32_t f = LE32(bytes, (uint64_t{d} + 1) * 512 + 4 * e);
      if (f != kCompoundFree) fat.push_back(f);
    }
    d = LE32(bytes, (uint64_t{d} + 1) * 512 + 4 * 127);
  }
  ASSERT_EQ(fat.size(), fatCount);
  size_t named = 0;
  for (size_t k = 0; k < fat.size(); ++k) {
    ASSERT_LE((uint64_t{fat[k]} + 2) * 512, bytes.size());
    const int64_t self =
        SelfIndexOfFatSector(std::span(bytes).subspan((uint64_t{fat[k]} + 1) * 512, 512));
    EXPECT_TRUE(self == -1 || self == static_cast<int64_t>(k)) << "FAT sector " << k << " says " << self;
    if (self >= 0) ++named;
  }
  EXPECT_GE(named * 10, fat.size() * 9) << "most FAT sectors should name themselves";

  std::vector<uint8_t> block(512, 0xFF);
  EXPECT_EQ(SelfIndexOfFatSector(block), -1);  // all free
  block = test::RandomBytes(512, 3);
  EXPECT_EQ(SelfIndexOfFatSector(block), -1);
  // Sequential chains of sector 40: entries 5120 + e hold 5121 + e.
  for (uint32_t e = 0; e < 128; ++e) {
    const uint32_t v = 40 * 128 + e + 1;
    std::memcpy(block.data() + 4 * e, &v, 4);
  }
  EXPECT_EQ(SelfIndexOfFatSector(block), 40);
  // Entries beyond the file's FAT do not vote.
  EXPECT_EQ(SelfIndexOfFatSector(block, 1000), -1);
  EXPECT_EQ(SelfIndexOfFatSector(std::span(block).first(100)), -1);
}

TEST_F(CompoundFileCheck, PathsDepthsAndQQNames) {
  std::vector<uint8_t> qq = ReadFileBytes(
      Gsf({{"Matrix.dat", 100}, {"seqbase.dat", 100}, {"C2CMsg/4711/Data.msj", 5000}}));
  CompoundCheck c = CheckCompoundFile(qq);
  EXPECT_TRUE(HasQQNames(c));
  auto it = std::find_if(c.Entries.begin(), c.Entries.end(),
                         [](const CompoundEntry& e) { return e.Name == "Data.msj"; });
  ASSERT_NE(it, c.Entries.end());
  EXPECT_EQ(it->Path, "C2CMsg/4711/Data.msj");
  EXPECT_EQ(it->Depth, 3);
  EXPECT_EQ(it->Size, 5000u);
  // Each parent comes before its children.
  EXPECT_EQ((it - 1)->Path, "C2CMsg/4711");

  test::TempDir other("compound2");
  CompoundCheck one = CheckCompoundFile(ReadFileBytes(Gsf({{"Matrix.dat", 100}, {"x", 10}})));
  EXPECT_TRUE(one.Whole);
  EXPECT_FALSE(HasQQNames(one));
}

// Sector n of a 512-byte compound file.
size_t At(uint32_t n) { return (static_cast<size_t>(n) + 1) * 512; }

void Put32(std::vector<uint8_t>& b, size_t off, uint32_t v) {
  for (int k = 0; k < 4; ++k) b[off + static_cast<size_t>(k)] = static_cast<uint8_t>(v >> (8 * k));
}

// The FAT entry's byte offset, through the header's first FAT sector.
size_t FatEntryAt(const std::vector<uint8_t>& b, uint32_t n) {
  return At(LE32(b, 76 + 4 * (n / 128))) + 4 * (n % 128);
}

TEST_F(CompoundFileCheck, NamesTheBrokenStreamsAndKeepsTheOthersIntact) {
  std::vector<uint8_t> good = ReadFileBytes(
      Gsf({{"Matrix.dat", 9000}, {"seqbase.dat", 9000}, {"C2CMsg/1/Data.msj", 9000}}));
  CompoundCheck g = CheckCompoundFile(good);
  ASSERT_TRUE(g.Whole) << g.Problem;
  // Find the stream entries' start sectors through the directory.
  uint32_t dirSector = LE32(good, 48);
  std::map<std::string, uint32_t> start;
  for (uint32_t e = 0; e < 4; ++e) {
    size_t off = At(dirSector) + 128 * e;
    std::string name;
    for (size_t i = 0; i + 2 < LE16(good, off + 64); i += 2)
      name += static_cast<char>(good[off + i]);
    start[name] = LE32(good, off + 116);
  }
  ASSERT_TRUE(start.count("Matrix.dat") && start.count("seqbase.dat"));

  // Matrix.dat's chain runs into seqbase.dat's first sector: both are broken.
  std::vector<uint8_t> shared = good;
  Put32(shared, FatEntryAt(shared, start["Matrix.dat"]), start["seqbase.dat"]);
  CompoundCheck s = CheckCompoundFile(shared);
  EXPECT_FALSE(s.Whole);
  EXPECT_NE(std::find(s.BrokenStreams.begin(), s.BrokenStreams.end(), "Matrix.dat"),
            s.BrokenStreams.end());
  EXPECT_NE(std::find(s.BrokenStreams.begin(), s.BrokenStreams.end(), "seqbase.dat"),
            s.BrokenStreams.end());
  EXPECT_NE(std::find(s.IntactStreams.begin(), s.IntactStreams.end(), "C2CMsg/1/Data.msj"),
            s.IntactStreams.end());

  // A chain that points at itself loops and ends.
  std::vector<uint8_t> loop = good;
  Put32(loop, FatEntryAt(loop, start["Matrix.dat"]), start["Matrix.dat"]);
  CompoundCheck l = CheckCompoundFile(loop);
  EXPECT_FALSE(l.Whole);
  EXPECT_NE(l.Problem.find("Matrix.dat loops"), std::string::npos) << l.Problem;

  // A FAT sector whose own entry does not mark it as FAT.
  std::vector<uint8_t> unmarked = good;
  uint32_t fat0 = LE32(good, 76);
  Put32(unmarked, FatEntryAt(unmarked, fat0), kCompoundEndOfChain);
  EXPECT_NE(CheckCompoundFile(unmarked).Problem.find("not marked as FAT"), std::string::npos);

  // Cut short behind its last FAT sector: the length is still the FAT's.
  std::vector<uint8_t> w = ReadFileBytes(Writer("--seed 6"));
  uint32_t lastFat = 0;
  for (int i = 0; i < 109 && LE32(w, 76 + 4 * i) != kCompoundFree; ++i) {
    lastFat = std::max(lastFat, LE32(w, 76 + 4 * static_cast<size_t>(i)));
  }
  ASSERT_LT(At(lastFat) + 512, w.size()) << "choose a seed whose FAT does not end the file";
  std::vector<uint8_t> cut(w.begin(), w.begin() + static_cast<std::ptrdiff_t>(At(lastFat) + 512));
  CompoundCheck c = CheckCompoundFile(cut);
  EXPECT_TRUE(c.IsCompound);
  EXPECT_FALSE(c.Whole);
  EXPECT_EQ(c.Length, w.size());
}

TEST_F(CompoundFileCheck, HostileBytesNeverCrashOrPassAsWhole) {
  std::vector<uint8_t> good = ReadFileBytes(Writer("--seed 9"));
  std::mt19937 rng(5);
  int whole = 0;
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> b = good;
    int hits = 1 + static_cast<int>(rng() % 8);
    for (int h = 0; h < hits; ++h) {
      size_t off = rng() % b.size();
      // Mostly the structures: header, FAT, directory; sometimes anywhere.
      if (rng() % 2) off = rng() % std::min<size_t>(b.size(), 512);
      b[off] = static_cast<uint8_t>(rng());
    }
    if (rng() % 4 == 0) b.resize(rng() % b.size());
    CompoundCheck c = CheckCompoundFile(b);
    if (c.Whole) {
      ++whole;
      EXPECT_TRUE(c.BrokenStreams.empty());
      EXPECT_LE(c.Length, b.size());
    }
  }
  EXPECT_GT(whole, 0);  // bytes that no structure reads still leave the file whole
  EXPECT_FALSE(CheckCompoundFile({}).IsCompound);
  std::vector<uint8_t> header(good.begin(), good.begin() + 512);
  EXPECT_FALSE(CheckCompoundFile(header).Whole);
}

}  // namespace
}  // namespace tarnwick
