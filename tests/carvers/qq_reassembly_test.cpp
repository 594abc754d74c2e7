#include "carvers/qq_reassembly.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "carvers/qq_database.h"
#include "compound/compound_file.h"
#include "source/bytes.h"
#include "source/device.h"
#include "scan/session_source.h"
#include "support/sessions.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using test::CarveSession;
using test::ReadFileBytes;
using test::ShellQuote;


enum class Filler { Ascii, Chinese, Utf16, Zeros, Compressed, TextThenSlack, LittleTextThenSlack };

constexpr size_t kSlackBytes = 12 * 1024;  // old random bytes behind a text file's end

// A foreign cluster's bytes: text and log lines, zeros, or bytes that look
// as random as the database's own (a compressed file of unknown format).
std::vector<uint8_t> Foreign(Filler kind, size_t bytes, uint32_t seed) {
  std::string text;
  switch (kind) {
    case Filler::Ascii:
      while (text.size() < bytes)
        text += "2024-03-0" + std::to_string(seed % 9) + " INFO sync ok\r\n";
      break;
    case Filler::Chinese:
      while (text.size() < bytes) text += "今天下午三点开会，记得带上报告。\n";
      break;
    case Filler::Utf16:
      while (text.size() < bytes)
        text += std::string("h\0e\0l\0l\0o\0 \0w\0o\0r\0l\0d\0\r\0\n\0", 26);
      break;
    case Filler::Zeros: text.assign(bytes, '\0'); break;
    case Filler::Compressed: return test::RandomBytes(bytes, seed + 1000);
    case Filler::TextThenSlack: {
      // A text file whose last cluster ends in what an earlier file left.
      std::vector<uint8_t> out = Foreign(Filler::Ascii, bytes, seed);
      const std::vector<uint8_t> old = test::RandomBytes(std::min(bytes, kSlackBytes), seed + 77);
      std::copy(old.begin(), old.end(), out.end() - static_cast<std::ptrdiff_t>(old.size()));
      return out;
    }
    case Filler::LittleTextThenSlack: {
      // The same with only a line of text in the last 32 KiB: the old bytes
      // start within the first sector of a 32 KiB cluster.
      std::vector<uint8_t> out = Foreign(Filler::Ascii, bytes, seed);
      const size_t old = std::min<size_t>(bytes, 32 * 1024 - 300);
      const std::vector<uint8_t> rnd = test::RandomBytes(old, seed + 78);
      std::copy(rnd.begin(), rnd.end(), out.end() - static_cast<std::ptrdiff_t>(old));
      return out;
    }
  }
  text.resize(bytes);
  return {text.begin(), text.end()};
}

struct Laid {
  std::vector<uint8_t> Image;
  uint64_t Start = 0;               // the database's first sector
  std::vector<uint64_t> DbSectors;  // where each of its sectors lies
};

// The database from cluster 1 on, cut into pieces at cluster boundaries
// with the fillers' clusters between them; random bytes after it, or
// `zeroClusters` of zeros (a volume's never-written space).
Laid Fragment(const std::vector<uint8_t>& db, uint32_t spc, const std::vector<Filler>& gaps,
              uint32_t gapClusters, uint32_t seed, uint64_t zeroClusters = 0) {
  const uint64_t dbSectors = (db.size() + 511) / 512;
  const uint64_t dbClusters = (dbSectors + spc - 1) / spc;
  std::mt19937 rng(seed);
  std::vector<uint64_t> cuts;  // clusters after which a gap follows
  for (size_t k = 0; k < gaps.size(); ++k) cuts.push_back(1 + rng() % (dbClusters - 1));
  std::sort(cuts.begin(), cuts.end());
  Laid l;
  l.Start = spc;
  uint64_t at = spc;  // the next free sector
  size_t gap = 0;
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> foreign;
  for (uint64_t c = 0; c < dbClusters; ++c) {
    while (gap < cuts.size() && cuts[gap] == c) {
      const uint64_t n = uint64_t{gapClusters} * spc;
      foreign.push_back({at, Foreign(gaps[gap], n * 512, seed + static_cast<uint32_t>(gap))});
      at += n;
      ++gap;
    }
    for (uint32_t k = 0; k < spc && l.DbSectors.size() < dbSectors; ++k)
      l.DbSectors.push_back(at + k);
    at += spc;
  }
  l.Image = test::RandomBytes((at + 4 * spc) * 512, seed + 7);
  if (zeroClusters) l.Image.assign((at + zeroClusters * spc) * 512, 0);
  for (size_t k = 0; k < dbSectors; ++k) {
    const size_t n = std::min<size_t>(512, db.size() - k * 512);
    std::copy_n(db.begin() + static_cast<std::ptrdiff_t>(k * 512), n,
                l.Image.begin() + static_cast<std::ptrdiff_t>(l.DbSectors[k] * 512));
  }
  for (const auto& [first, bytes] : foreign) {
    std::copy(bytes.begin(), bytes.end(),
              l.Image.begin() + static_cast<std::ptrdiff_t>(first * 512));
  }
  return l;
}

// The database cut into pieces at the given clusters and laid on the disk
// in `order` (indices of the pieces; 0 holds the header), each behind
// `gapClusters` clusters of the filler, and the filler behind the last. The
// database's own last cluster ends in old random bytes.
Laid Pieces(const std::vector<uint8_t>& db, uint32_t spc, const std::vector<uint64_t>& cuts,
            const std::vector<size_t>& order, Filler filler, uint64_t gapClusters, uint32_t seed) {
  const uint64_t cluster = uint64_t{spc} * 512;
  const uint64_t clusters = (db.size() + cluster - 1) / cluster;
  std::vector<uint64_t> bounds = {0};
  bounds.insert(bounds.end(), cuts.begin(), cuts.end());
  bounds.push_back(clusters);
  std::vector<uint8_t> own = db;
  const std::vector<uint8_t> slack = test::RandomBytes(clusters * cluster - db.size(), seed + 5);
  own.insert(own.end(), slack.begin(), slack.end());
  Laid l;
  std::vector<uint64_t> pieceAt(bounds.size() - 1);
  uint32_t g = 0;
  auto gap = [&] {
    const std::vector<uint8_t> f = Foreign(filler, gapClusters * cluster, seed + ++g);
    l.Image.insert(l.Image.end(), f.begin(), f.end());
  };
  for (size_t p : order) {
    gap();
    pieceAt[p] = l.Image.size() / 512;
    l.Image.insert(l.Image.end(), own.begin() + static_cast<std::ptrdiff_t>(bounds[p] * cluster),
                   own.begin() + static_cast<std::ptrdiff_t>(bounds[p + 1] * cluster));
  }
  gap();
  l.Start = pieceAt[0];
  const uint64_t dbSectors = (db.size() + 511) / 512;
  for (size_t p = 0; p + 1 < bounds.size(); ++p) {
    for (uint64_t k = 0; k < (bounds[p + 1] - bounds[p]) * spc; ++k) {
      if (l.DbSectors.size() < dbSectors) l.DbSectors.push_back(pieceAt[p] + k);
    }
  }
  return l;
}

// Two databases cut into `pieces` pieces each, laid one piece of each in
// turn with the filler's clusters between (B's pieces last to first when
// reversed): their tables lie among each other's.
std::pair<Laid, Laid> Interleaved(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b,
                                  uint32_t spc, size_t pieces, bool reversed, uint32_t seed) {
  const uint64_t cluster = uint64_t{spc} * 512;
  std::vector<uint8_t> image;
  std::pair<Laid, Laid> out;
  auto gap = [&] {
    const std::vector<uint8_t> f = Foreign(Filler::Ascii, 3 * cluster, seed++);
    image.insert(image.end(), f.begin(), f.end());
  };
  std::vector<std::vector<uint64_t>> at(2, std::vector<uint64_t>(pieces));
  const std::vector<uint8_t>* dbs[2] = {&a, &b};
  std::vector<std::vector<uint8_t>> own(2);
  for (int d = 0; d < 2; ++d) {
    own[d] = *dbs[d];
    own[d].resize((own[d].size() + cluster - 1) / cluster * cluster, 0);
  }
  auto bound = [&](int d, size_t p) { return own[d].size() / cluster * p / pieces * cluster; };
  for (size_t p = 0; p < pieces; ++p) {
    for (int d = 0; d < 2; ++d) {
      const size_t piece = d == 1 && reversed ? pieces - 1 - p : p;
      gap();
      at[d][piece] = image.size() / 512;
      image.insert(image.end(), own[d].begin() + static_cast<std::ptrdiff_t>(bound(d, piece)),
                   own[d].begin() + static_cast<std::ptrdiff_t>(bound(d, piece + 1)));
    }
  }
  gap();
  Laid* laid[2] = {&out.first, &out.second};
  for (int d = 0; d < 2; ++d) {
    laid[d]->Start = at[d][0];
    const uint64_t sectors = (dbs[d]->size() + 511) / 512;
    for (size_t p = 0; p < pieces; ++p) {
      for (uint64_t k = bound(d, p) / 512; k < bound(d, p + 1) / 512 && k < sectors; ++k)
        laid[d]->DbSectors.push_back(at[d][p] + k - bound(d, p) / 512);
    }
  }
  out.first.Image = image;
  out.second.Image = std::move(image);
  return out;
}

// Writes foreign bytes over the database's compound-file sector n where it
// lies in the image (written over after the loss); the stream that owns it.
std::string WriteOver(Laid& l, const CompoundCheck& check, uint32_t n, Filler kind,
                      uint32_t seed) {
  const std::vector<uint8_t> bytes = Foreign(kind, 512, seed);
  std::copy(bytes.begin(), bytes.end(),
            l.Image.begin() + static_cast<std::ptrdiff_t>(l.DbSectors[n + 1] * 512));
  return check.Entries[check.SectorStream[n]].Path;
}

// The streams of the file at `path` that olefile reads otherwise than from
// the original's bytes, one a line.
std::set<std::string> DifferingStreams(const std::string& path, const std::vector<uint8_t>& original,
                                       const fs::path& scratch) {
  const fs::path org = scratch / "original.db";
  test::WriteFileBytes(org, original);
  const std::string script =
      "import olefile,sys\n"
      "a=olefile.OleFileIO(sys.argv[1]); b=olefile.OleFileIO(sys.argv[2])\n"
      "for p in b.listdir(streams=True, storages=False):\n"
      "  try: same = a.openstream(p).read() == b.openstream(p).read()\n"
      "  except Exception: same = False\n"
      "  if not same: print('/'.join(p))\n";
  auto r = test::Run("/usr/bin/python3 -c " + ShellQuote(script) + " " + ShellQuote(path) + " " +
                     ShellQuote(org.string()));
  EXPECT_EQ(r.Status, 0) << r.Err;
  std::set<std::string> out;
  std::istringstream lines(r.Out);
  for (std::string line; std::getline(lines, line);) out.insert(line);
  return out;
}

class Reassembling : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::HaveOlefile()) GTEST_SKIP() << "no python3-olefile";
  }

  std::vector<uint8_t> Written(const std::string& args) {
    return test::LongLivedDatabase(dir_ / ("db" + std::to_string(++made_) + ".db"), args);
  }

  std::vector<uint8_t> FromGsf() {
    test::TempDir d("gsf");
    test::WriteFileBytes(d / "Matrix.dat", test::RandomBytes(90000, 3));
    test::WriteFileBytes(d / "seqbase.dat", test::RandomBytes(700, 4));
    test::WriteFileBytes(d / "Info.dat", test::RandomBytes(30000, 5));
    auto r = test::Run("cd " + ShellQuote(d.Path().string()) +
                       " && gsf createole out.ole Matrix.dat seqbase.dat Info.dat");
    EXPECT_EQ(r.Status, 0) << r.Err;
    return ReadFileBytes(d / "out.ole");
  }

  // Carves the database at l.Start into a fresh folder; the sectors in bad
  // cannot be read.
  std::vector<SavedFile> Rescue(const Laid& l, uint32_t spc, std::set<uint64_t> bad = {}) {
    std::unique_ptr<Session> s;
    if (bad.empty()) {
      s = CarveSession(l.Image, spc, 0);
    } else {  // as CarveSession makes it, over a failing device
      s = test::EnglishSession();
      OpenImageDevice(
          *s,
          std::make_unique<FaultyDevice>(std::make_unique<MemoryDevice>(l.Image), std::move(bad)),
          "failing.img");
      s->Scan.SectorsPerCluster = spc;
      s->ScanClusterPhase = 0;
      s->FirstScanSector = 0;
      s->LastScanSector = static_cast<int64_t>(s->Scan.LastSector);
      s->Map.Allocate(s->Scan.LastSector);
    }
    std::vector<SavedFile> saved;
    s->OnFileSaved = [&](const SavedFile& f) { saved.push_back(f); };
    out_ = std::make_unique<test::TempDir>("reasm-out");
    CarveQQDatabase(*s, out_->Path().string() + "/", l.Start * 512);
    return saved;
  }

  std::vector<fs::path> TopLevel() const {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(out_->Path())) {
      if (e.is_regular_file()) out.push_back(e.path());
    }
    return out;
  }

  test::TempDir dir_{"reasm"};
  std::unique_ptr<test::TempDir> out_;
  int made_ = 0;
};

TEST_F(Reassembling, DatabasesComeBackWholeWhateverTextOrZerosLieInTheirGaps) {
  const std::vector<Filler> gaps = {Filler::Ascii, Filler::Chinese, Filler::Utf16, Filler::Zeros};
  struct Case {
    std::string what;
    std::vector<uint8_t> db;
    uint32_t spc;
    uint32_t gapClusters;
    uint64_t zeroClusters = 0;
  };
  std::vector<Case> cases = {
      {"long-lived layout, 512 B clusters", Written("--seed 21"), 1, 3},
      {"long-lived layout, 4 KiB clusters", Written("--seed 22 --scale 4"), 8, 2},
      {"long-lived layout with a DIFAT, 4 KiB clusters", Written("--seed 23 --scale 300"), 8, 5},
      {"long-lived layout, 64 KiB clusters", Written("--seed 24 --scale 30"), 128, 1},
      // Far more zeros behind the file than its tail's window: the window
      // ends inside a cluster, and every place of zeros is looked at.
      {"long-lived layout, 64 KiB clusters, zeros behind", Written("--seed 25 --scale 30"), 128, 1,
       320},
  };
  if (test::HaveTool("gsf")) cases.push_back({"gsf layout, 1 KiB clusters", FromGsf(), 2, 4});
  uint32_t seed = 1;
  for (const Case& c : cases) {
    const Laid l = Fragment(c.db, c.spc, gaps, c.gapClusters, ++seed, c.zeroClusters);
    std::vector<SavedFile> saved = Rescue(l, c.spc);
    ASSERT_EQ(saved.size(), 1u) << c.what;
    EXPECT_FALSE(saved[0].Damaged) << c.what << ": " << saved[0].Problem;
    auto top = TopLevel();
    ASSERT_EQ(top.size(), 1u) << c.what;
    EXPECT_EQ(ReadFileBytes(top[0]), c.db) << c.what;
    EXPECT_EQ(saved[0].Sectors, l.DbSectors) << c.what;
    EXPECT_TRUE(saved[0].BrokenStreams.empty()) << c.what;
  }
}

// A gap behind the file's last table, zeros behind the file: assemblies that
// end elsewhere cost more than the one that ends where the file does, and
// among themselves may tie; that is no doubt about the file.
TEST_F(Reassembling, ATailGapBeforeNeverWrittenSpaceIsNoGuess) {
  const std::vector<uint8_t> db = Written("--seed 81 --scale 4");
  const CompoundCheck check = CheckCompoundFile(db);
  uint64_t lastTable = 0;
  for (uint64_t n = 0; n < check.SectorUse.size(); ++n) {
    if (check.SectorUse[n] == kSectorTable) lastTable = n;
  }
  int tails = 0;
  for (uint32_t seed = 1; seed < 40 && tails < 4; ++seed) {
    const Laid l = Fragment(db, 4, {Filler::Ascii}, 3, seed, 64);
    // Only layouts whose gap lies behind the last table's cluster.
    const uint64_t gapAt = std::adjacent_find(l.DbSectors.begin(), l.DbSectors.end(),
                                              [](uint64_t a, uint64_t b) { return b != a + 1; }) -
                           l.DbSectors.begin();
    if (gapAt / 4 <= (lastTable + 1) / 4 + 1) continue;
    ++tails;
    std::vector<SavedFile> saved = Rescue(l, 4);
    ASSERT_EQ(saved.size(), 1u) << "seed " << seed;
    EXPECT_FALSE(saved[0].Damaged) << "seed " << seed << ": " << saved[0].Problem;
    EXPECT_EQ(saved[0].Sectors, l.DbSectors) << "seed " << seed;
  }
  EXPECT_GT(tails, 0);
}

TEST_F(Reassembling, WhatCannotBeToldApartOrWasOverwrittenGoesToDamaged) {
  const std::vector<uint8_t> db = Written("--seed 31 --scale 3");
  // A gap of bytes as random as the database's own: which clusters are
  // foreign is a guess, so the file is never presented as whole.
  {
    const Laid l = Fragment(db, 1, {Filler::Compressed, Filler::Ascii}, 4, 5);
    std::vector<SavedFile> saved = Rescue(l, 1);
    EXPECT_TRUE(TopLevel().empty());
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_TRUE(saved[0].Damaged);
    EXPECT_EQ(fs::path(saved[0].Path).parent_path().filename(), "damaged");
    EXPECT_FALSE(saved[0].Problem.empty());
  }
  // The same around compressed bytes alone, with the store's own plain
  // sectors (freed ones keep text or zeros) anywhere near: never whole.
  for (uint32_t seed = 40; seed < 52; ++seed) {
    const uint32_t spc = seed % 2 ? 1 : 4;
    const Laid l = Fragment(db, spc, {Filler::Compressed}, 12 / spc, seed);
    std::vector<SavedFile> saved = Rescue(l, spc);
    EXPECT_TRUE(TopLevel().empty()) << "seed " << seed;
    for (const SavedFile& f : saved) EXPECT_TRUE(f.Damaged) << "seed " << seed;
  }
  // One cluster of a large stream overwritten with text after the loss: the
  // file keeps its shape, and that stream is named broken, the others intact.
  {
    Laid l = Fragment(db, 8, {Filler::Ascii}, 2, 6);
    const CompoundCheck check = CheckCompoundFile(db);
    ASSERT_TRUE(check.Whole);
    uint32_t victim = 0;
    for (uint32_t n = 0; n < check.SectorUse.size(); ++n) {
      if (check.SectorUse[n] == kSectorFullData && n > check.SectorUse.size() / 2) {
        victim = n;
        break;
      }
    }
    ASSERT_NE(victim, 0u);
    const std::string stream = WriteOver(l, check, victim, Filler::Ascii, 9);
    std::vector<SavedFile> saved = Rescue(l, 8);
    EXPECT_TRUE(TopLevel().empty());
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_TRUE(saved[0].Damaged);
    EXPECT_EQ(saved[0].BrokenStreams, std::vector<std::string>{stream});
    EXPECT_EQ(saved[0].IntactStreams.size(), check.IntactStreams.size() - 1);
    EXPECT_EQ(saved[0].Sectors, l.DbSectors) << "the right sectors, one of them overwritten";
  }
  // The same in a database lying in one piece, where today's carve alone
  // gives a sound file: its shape is whole, its contents are not.
  {
    const CompoundCheck check = CheckCompoundFile(db);
    Laid l = Fragment(db, 8, {}, 0, 7);
    uint32_t victim = 0;
    for (uint32_t n = static_cast<uint32_t>(check.SectorUse.size() / 3); n-- > 0;) {
      if (check.SectorUse[n] == kSectorFullData) {
        victim = n;
        break;
      }
    }
    ASSERT_NE(victim, 0u);
    const std::string stream = WriteOver(l, check, victim, Filler::Chinese, 3);
    std::vector<SavedFile> saved = Rescue(l, 8);
    EXPECT_TRUE(TopLevel().empty());
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_TRUE(saved[0].Damaged);
    EXPECT_EQ(saved[0].BrokenStreams, std::vector<std::string>{stream});
  }
}

// Where the reassembly guessed, the streams it placed by the guess are named
// uncertain, never intact: every stream called intact reads as the
// original's, and every stream of the file is named in one of the three.
TEST_F(Reassembling, NoStreamPlacedByAGuessIsCalledIntact) {
  const std::vector<uint8_t> db = Written("--seed 32 --scale 3");
  const CompoundCheck truth = CheckCompoundFile(db);
  ASSERT_TRUE(truth.Whole);
  int uncertain = 0, intact = 0;
  for (uint32_t seed = 60; seed < 68; ++seed) {
    const uint32_t spc = seed % 2 ? 1 : 4;
    const Laid l = Fragment(db, spc, {Filler::Compressed, Filler::Ascii}, 8 / spc, seed);
    std::vector<SavedFile> saved = Rescue(l, spc);
    ASSERT_EQ(saved.size(), 1u) << "seed " << seed;
    const SavedFile& f = saved[0];
    ASSERT_TRUE(f.Damaged) << "seed " << seed;
    std::set<std::string> named;
    for (const auto* list : {&f.IntactStreams, &f.UncertainStreams, &f.BrokenStreams})
      for (const std::string& p : *list) EXPECT_TRUE(named.insert(p).second) << p;
    EXPECT_EQ(named.size(), truth.IntactStreams.size()) << "seed " << seed;
    const std::set<std::string> wrong = DifferingStreams(f.Path, db, out_->Path());
    for (const std::string& p : f.IntactStreams)
      EXPECT_FALSE(wrong.count(p)) << "seed " << seed << ": " << p << " called intact";
    uncertain += static_cast<int>(f.UncertainStreams.size());
    intact += static_cast<int>(f.IntactStreams.size());
  }
  // A guess in one gap leaves the streams of the others sure.
  EXPECT_GT(uncertain, 0);
  EXPECT_GT(intact, 0);
}

// A foreign file's last cluster is the file's as a whole: text, then old
// random bytes in its slack. With 32 and 64 KiB clusters that is no reason
// to doubt the database around it.
TEST_F(Reassembling, OldBytesInAForeignClustersSlackLeaveTheDatabaseWhole) {
  const std::vector<uint8_t> db = Written("--seed 33 --scale 40");
  for (uint32_t spc : {64u, 128u}) {
    for (uint32_t gapClusters : {1u, 2u}) {
      const std::string what =
          std::to_string(spc) + " sectors a cluster, " + std::to_string(gapClusters) + " foreign";
      const Laid l = Fragment(db, spc, {Filler::TextThenSlack, Filler::TextThenSlack},
                              gapClusters, spc + gapClusters);
      std::vector<SavedFile> saved = Rescue(l, spc);
      ASSERT_EQ(saved.size(), 1u) << what;
      EXPECT_FALSE(saved[0].Damaged) << what << ": " << saved[0].Problem;
      auto top = TopLevel();
      ASSERT_EQ(top.size(), 1u) << what;
      EXPECT_EQ(ReadFileBytes(top[0]), db) << what;
    }
  }
}

// A database whose allocation reached the end of the volume and went on at
// its front: the later piece lies before the start on disk.
TEST_F(Reassembling, APieceAtTheVolumesFrontFollowsTheEnd) {
  const std::vector<uint8_t> db = Written("--seed 71 --scale 3");
  const uint32_t spc = 2, cluster = spc * 512;
  const uint64_t clusters = (db.size() + cluster - 1) / cluster;
  // The first piece ends before the file's last table, which pins the
  // piece at the front (behind the last table nothing would).
  const CompoundCheck check = CheckCompoundFile(db);
  uint64_t lastTable = 0;
  for (uint64_t n = 0; n < check.SectorUse.size(); ++n) {
    if (check.SectorUse[n] == kSectorTable) lastTable = n;
  }
  const uint64_t cut = (lastTable + 1) * 512 / cluster;  // clusters of the first piece
  ASSERT_GT(cut, 1u);
  ASSERT_LT(cut, clusters);
  auto bytes = [&](uint64_t from, uint64_t to) {  // the database's clusters [from, to)
    std::vector<uint8_t> out(
        db.begin() + static_cast<std::ptrdiff_t>(from * cluster),
        db.begin() + static_cast<std::ptrdiff_t>(std::min(to * cluster, db.size())));
    out.resize((to - from) * cluster, 0);
    return out;
  };
  auto lay = [&](bool withFront) {
    std::vector<uint8_t> image = Foreign(Filler::Ascii, 2 * cluster, 1);
    const std::vector<uint8_t> tail = bytes(cut, clusters);
    if (withFront) image.insert(image.end(), tail.begin(), tail.end());
    const std::vector<uint8_t> other = Foreign(Filler::Compressed, 3 * cluster, 2);
    image.insert(image.end(), other.begin(), other.end());
    Laid l;
    l.Start = image.size() / 512;
    const std::vector<uint8_t> head = bytes(0, cut);
    image.insert(image.end(), head.begin(), head.end());
    l.Image = image;
    for (uint64_t k = 0; k < cut * spc; ++k) l.DbSectors.push_back(l.Start + k);
    for (uint64_t k = 0; l.DbSectors.size() < (db.size() + 511) / 512; ++k)
      l.DbSectors.push_back(2 * spc + k);
    return l;
  };
  const Laid l = lay(true);
  std::vector<SavedFile> saved = Rescue(l, spc);
  ASSERT_EQ(saved.size(), 1u);
  EXPECT_FALSE(saved[0].Damaged) << saved[0].Problem;
  ASSERT_EQ(TopLevel().size(), 1u);
  EXPECT_EQ(ReadFileBytes(TopLevel()[0]), db);
  EXPECT_EQ(saved[0].Sectors, l.DbSectors);
  // Without the piece at the front, the file's tail is not made up from
  // whatever lies there.
  saved = Rescue(lay(false), spc);
  EXPECT_TRUE(TopLevel().empty());
  for (const SavedFile& f : saved) EXPECT_TRUE(f.Damaged);
}

// A database in pieces with a bad sector of its own comes back in damaged/
// from its own sectors, the bad one named, zeros in its place and only its
// stream broken: whether the gaps hold text or zeros, and whether or not the
// plain carve ran on into text behind the last table.
TEST_F(Reassembling, ABadSectorOfItsOwnLeavesAFragmentedDatabaseDamagedNotLost) {
  auto expectDamaged = [&](const Laid& l, const std::vector<uint8_t>& db, uint32_t spc,
                           uint32_t victim, const std::string& what) {
    const CompoundCheck check = CheckCompoundFile(db);
    const uint64_t bad = l.DbSectors[victim + 1];
    std::vector<SavedFile> saved = Rescue(l, spc, {bad});
    EXPECT_TRUE(TopLevel().empty()) << what;
    ASSERT_EQ(saved.size(), 1u) << what;
    EXPECT_TRUE(saved[0].Damaged) << what;
    EXPECT_EQ(saved[0].UnreadableSectors, std::vector<uint64_t>{bad}) << what;
    EXPECT_EQ(saved[0].Sectors, l.DbSectors) << what;
    std::vector<uint8_t> expected = db;
    std::fill_n(expected.begin() + static_cast<std::ptrdiff_t>((victim + 1) * 512), 512, 0);
    EXPECT_EQ(ReadFileBytes(saved[0].Path), expected) << what;
    EXPECT_EQ(saved[0].BrokenStreams,
              std::vector<std::string>{check.Entries[check.SectorStream[victim]].Path})
        << what;
    EXPECT_EQ(saved[0].IntactStreams.size(), check.IntactStreams.size() - 1) << what;
  };
  const std::vector<Filler> all = {Filler::Ascii, Filler::Chinese, Filler::Utf16, Filler::Zeros};
  for (const auto& [db, spc] :
       {std::pair{Written("--seed 21"), 1u}, std::pair{Written("--seed 92 --scale 4"), 8u}}) {
    const CompoundCheck check = CheckCompoundFile(db);
    std::vector<uint32_t> full;
    for (uint32_t n = 0; n < check.SectorUse.size(); ++n) {
      if (check.SectorUse[n] == kSectorFullData) full.push_back(n);
    }
    const Laid l = Fragment(db, spc, all, 3, 2);
    for (size_t k : {full.size() / 5, full.size() / 2, full.size() - 1})
      expectDamaged(l, db, spc, full[k], std::to_string(spc) + " sectors a cluster");
  }
  // Text behind the last table: the plain carve's tables pass.
  const std::vector<uint8_t> db = Written("--seed 81 --scale 4");
  const CompoundCheck check = CheckCompoundFile(db);
  const Laid l = Fragment(db, 4, {Filler::Ascii}, 3, 31, 64);
  uint32_t lastTable = 0;
  for (uint32_t n = 0; n < check.SectorUse.size(); ++n) {
    if (check.SectorUse[n] == kSectorTable) lastTable = n;
  }
  const auto gapAt = std::adjacent_find(l.DbSectors.begin(), l.DbSectors.end(),
                                        [](uint64_t a, uint64_t b) { return b != a + 1; }) -
                     l.DbSectors.begin();
  ASSERT_GT(gapAt, lastTable + 3);
  ASSERT_EQ(check.SectorUse[lastTable + 2], kSectorFullData);
  expectDamaged(l, db, 4, lastTable + 2, "text behind the last table");
}

// An unreadable sector of its own just before a gap of text and random bytes:
// stepping over it instead of the random sector costs less, but that is a
// guess, never a whole file.
TEST_F(Reassembling, AnUnreadableClusterSteppedOverIsNoWholeFile) {
  const std::vector<uint8_t> db = Written("--seed 21");
  const CompoundCheck check = CheckCompoundFile(db);
  const size_t own = db.size() / 512;
  int tried = 0;
  for (size_t k = own / 4; k < own / 2; k += 7) {
    if (check.SectorUse[k - 2] != kSectorFullData) continue;  // the sector at disk sector k
    ++tried;
    Laid l;
    l.Start = 1;
    l.Image.assign(512, 0);
    l.Image.insert(l.Image.end(), db.begin(), db.begin() + static_cast<std::ptrdiff_t>(k * 512));
    for (Filler f : {Filler::Ascii, Filler::Compressed}) {
      const std::vector<uint8_t> gap = Foreign(f, 512, static_cast<uint32_t>(k));
      l.Image.insert(l.Image.end(), gap.begin(), gap.end());
    }
    l.Image.insert(l.Image.end(), db.begin() + static_cast<std::ptrdiff_t>(k * 512), db.end());
    l.Image.resize(l.Image.size() + 64 * 512, 0);
    for (const SavedFile& f : Rescue(l, 1, {k})) EXPECT_TRUE(f.Damaged) << "own sector " << k;
    EXPECT_TRUE(TopLevel().empty()) << "own sector " << k;
  }
  EXPECT_GT(tried, 0);
}

// A database's pieces lie wherever its allocator found room: far ahead of
// each other, behind the header, in any order on the disk. Where text lies
// between them, the file's tables and its encrypted data tell where each
// piece runs, and the file comes back whole.
TEST_F(Reassembling, PiecesAnywhereAndInAnyOrderComeBackWhole) {
  const std::vector<uint8_t> db = Written("--seed 101 --scale 40");
  const uint32_t spc = 8;
  const uint64_t clusters = (db.size() + 4095) / 4096;
  const std::vector<uint64_t> thirds = {clusters / 3, 2 * clusters / 3};
  struct Case {
    std::string what;
    std::vector<uint64_t> cuts;
    std::vector<size_t> order;
  };
  const std::vector<Case> cases = {
      {"the header after its second piece", {clusters / 2}, {1, 0}},
      {"the header a megabyte after its second piece", {clusters / 2}, {1, 0}},
  };
  uint32_t seed = 300;
  for (const Case& c : cases) {
    for (Filler f : {Filler::Ascii, Filler::Utf16}) {
      const uint64_t gap = c.what.find("megabyte") != std::string::npos ? 256 : 6;
      const Laid l = Pieces(db, spc, c.cuts, c.order, f, gap, ++seed);
      std::vector<SavedFile> saved = Rescue(l, spc);
      ASSERT_EQ(saved.size(), 1u) << c.what;
      EXPECT_FALSE(saved[0].Damaged) << c.what << ": " << saved[0].Problem;
      EXPECT_EQ(saved[0].Sectors, l.DbSectors) << c.what;
      EXPECT_EQ(TopLevel().size(), 1u) << c.what;
      if (TopLevel().size() == 1) {
        EXPECT_TRUE(ReadFileBytes(TopLevel()[0]) == db) << c.what;
      }
    }
  }
}

// 50 MB of log between the two pieces of a database of about a megabyte:
// far more than the file, within the search's reach, which grows with the
// file's size; with a reach too short for it, the second piece is not
// made up from what lies nearer.
TEST_F(Reassembling, APieceFarAheadIsFoundWithinTheReach) {
  const std::vector<uint8_t> db = Written("--seed 102 --scale 40");
  const uint32_t spc = 8;
  const uint64_t clusters = (db.size() + 4095) / 4096;
  const uint64_t gap = 50'000'000 / 4096;
  const Laid l = Pieces(db, spc, {clusters / 2}, {0, 1}, Filler::Ascii, gap, 400);
  auto s = CarveSession(l.Image, spc, 0);
  const Reassembly r = ReassembleCompoundFile(*s, l.Start * 512);
  ASSERT_TRUE(r.Found);
  EXPECT_TRUE(r.Certain) << r.Reason;
  EXPECT_EQ(r.Sectors, l.DbSectors);
  EXPECT_TRUE(r.File == db);
  ReassemblyLimits near;
  near.MaxForeignBytes = 1 << 20;
  near.ForeignPerFileByte = 1;
  const Reassembly n = ReassembleCompoundFile(*s, l.Start * 512, near);
  EXPECT_FALSE(n.Found && n.Certain);
  // The same through the carver: the file is whole.
  std::vector<SavedFile> saved = Rescue(l, spc);
  ASSERT_EQ(saved.size(), 1u);
  EXPECT_FALSE(saved[0].Damaged) << saved[0].Problem;
}

// Between pieces out of order lie bytes as random as the database's own:
// where one piece ends and the next begins cannot be told, so the file goes
// to damaged/, and no stream it calls intact differs from the original.
TEST_F(Reassembling, PiecesOutOfOrderThatCannotBeToldApartAreDamagedNotWrong) {
  const std::vector<uint8_t> db = Written("--seed 103 --scale 40");
  const uint32_t spc = 8;
  const uint64_t clusters = (db.size() + 4095) / 4096;
  int cases = 0;
  for (const std::vector<size_t>& order :
       {std::vector<size_t>{0, 2, 1}, std::vector<size_t>{2, 1, 0}, std::vector<size_t>{1, 0, 2}}) {
    const Laid l =
        Pieces(db, spc, {clusters / 3, 2 * clusters / 3}, order, Filler::Compressed, 6, 500 + ++cases);
    std::vector<SavedFile> saved = Rescue(l, spc);
    EXPECT_TRUE(TopLevel().empty()) << "case " << cases;
    for (const SavedFile& f : saved) {
      EXPECT_TRUE(f.Damaged) << "case " << cases;
      const std::set<std::string> wrong = DifferingStreams(f.Path, db, out_->Path());
      for (const std::string& p : f.IntactStreams)
        EXPECT_FALSE(wrong.count(p)) << "case " << cases << ": " << p << " called intact";
    }
  }
  // Three pieces out of order with text between: whole only when it is the
  // database byte for byte, and in damaged/ no wrong stream called intact.
  for (const std::vector<size_t>& order :
       {std::vector<size_t>{0, 2, 1}, std::vector<size_t>{2, 1, 0}, std::vector<size_t>{1, 0, 2}}) {
    const Laid l =
        Pieces(db, spc, {clusters / 3, 2 * clusters / 3}, order, Filler::Ascii, 6, 500 + ++cases);
    std::vector<SavedFile> saved = Rescue(l, spc);
    ASSERT_EQ(saved.size(), 1u) << "case " << cases;
    for (const SavedFile& f : saved) {
      if (!f.Damaged) {
        EXPECT_TRUE(ReadFileBytes(f.Path) == db) << "case " << cases;
        continue;
      }
      const std::set<std::string> wrong = DifferingStreams(f.Path, db, out_->Path());
      for (const std::string& p : f.IntactStreams)
        EXPECT_FALSE(wrong.count(p)) << "case " << cases << ": " << p << " called intact";
    }
  }
}

// Four pieces out of order with a few random clusters between: the guesses
// where pieces meet take some sectors that another piece holds as well. At
// most one of two such places is right, and the guessed one is the one in
// doubt: the streams that the anchors placed surely are still intact (none
// of them wrong), not the whole file called uncertain.
TEST_F(Reassembling, ASectorPlacedTwiceByAGuessLeavesTheSureStreamsIntact) {
  const std::vector<uint8_t> db = Written("--seed 103 --scale 40");
  const uint32_t spc = 8;
  const uint64_t clusters = (db.size() + 4095) / 4096;
  int cases = 0;
  for (const std::vector<size_t>& order :
       {std::vector<size_t>{0, 2, 3, 1}, std::vector<size_t>{3, 1, 2, 0}}) {
    const Laid l = Pieces(db, spc, {clusters / 4, clusters / 2, 3 * clusters / 4}, order,
                          Filler::Compressed, 3, 703 + cases++);
    std::vector<SavedFile> saved = Rescue(l, spc);
    ASSERT_EQ(saved.size(), 1u) << "case " << cases;
    const SavedFile& f = saved[0];
    EXPECT_TRUE(f.Damaged) << "case " << cases;
    EXPECT_FALSE(f.IntactStreams.empty()) << "case " << cases << ": " << f.Problem;
    const std::set<std::string> wrong = DifferingStreams(f.Path, db, out_->Path());
    EXPECT_FALSE(wrong.empty()) << "case " << cases;
    for (const std::string& p : f.IntactStreams)
      EXPECT_FALSE(wrong.count(p)) << "case " << cases << ": " << p << " called intact";
  }
}

// Another file's last cluster is that file's as a whole: a text file's
// cluster that holds a line of text and then old random bytes, and the
// sectors of a claimed file's last cluster behind its end, are no part of
// the database around them.
// The compound-file sectors of a database's FAT, DIFAT and directory.
std::vector<uint32_t> TableSectors(const std::vector<uint8_t>& db) {
  const CompoundCheck check = CheckCompoundFile(db);
  std::vector<uint32_t> out;
  for (uint32_t n = 0; n < check.SectorUse.size(); ++n) {
    if (check.SectorUse[n] == kSectorTable) out.push_back(n);
  }
  return out;
}

// Two large databases whose pieces alternate: each one's FAT, DIFAT and
// directory sectors lie among the other's, of the same shape. Each is put
// together from its own tables, wherever its pieces lie; where the other's
// random clusters border its own, the assembly is whole only when it is
// the database byte for byte.
TEST_F(Reassembling, DatabasesBesideDatabasesEachFindTheirOwnTables) {
  const std::vector<uint8_t> a = Written("--seed 110 --scale 300");
  const std::vector<uint8_t> b = Written("--seed 111 --scale 320");
  ASSERT_NE(LE32(a, 72), 0u) << "the sample should need DIFAT sectors";
  ASSERT_NE(LE32(b, 72), 0u);
  const uint32_t spc = 8;
  for (bool reversed : {false, true}) {
    const auto [la, lb] = Interleaved(a, b, spc, 4, reversed, 600);
    auto s = CarveSession(la.Image, spc, 0);
    for (const auto& [l, db] : {std::pair{&la, &a}, std::pair{&lb, &b}}) {
      const Reassembly r = ReassembleCompoundFile(*s, l->Start * 512);
      ASSERT_TRUE(r.Found && r.IsQQ) << "reversed " << reversed << ": " << r.Reason;
      ASSERT_EQ(r.Sectors.size(), l->DbSectors.size());
      size_t wrong = 0;
      const std::vector<uint32_t> tables = TableSectors(*db);
      ASSERT_GT(tables.size(), 100u);
      for (uint32_t n : tables) wrong += r.Sectors[n + 1] != l->DbSectors[n + 1];
      EXPECT_EQ(wrong, 0u) << "reversed " << reversed << ": tables placed elsewhere";
      if (r.Certain) {
        EXPECT_TRUE(r.File == *db) << "reversed " << reversed;
      }
    }
  }
}

// A deleted file's record still claims clusters that a database grew into
// after the deletion: stepping over them, the database is not found; its
// own tables there make the reassembly look through the record's claim.
// A claim the file system's record does not make is never looked through.
TEST_F(Reassembling, ADatabaseGrownOverADeletedFilesRecordComesBackWhole) {
  const std::vector<uint8_t> db = Written("--seed 112 --scale 60");
  const uint32_t spc = 8;
  const uint64_t clusters = (db.size() + 4095) / 4096;
  const Laid l = Pieces(db, spc, {clusters / 2}, {0, 1}, Filler::Ascii, 40, 700);
  const uint64_t half = (clusters / 2) * spc;  // the second piece: sectors from `half` on
  for (bool recordOnly : {true, false}) {
    auto s = CarveSession(l.Image, spc, 0);
    for (size_t k = half; k < l.DbSectors.size(); ++k) {
      s->Map.MarkSector(l.DbSectors[k]);
      if (recordOnly) s->DeletedClaims.Add(l.DbSectors[k], 1);
    }
    std::vector<SavedFile> saved;
    s->OnFileSaved = [&](const SavedFile& f) { saved.push_back(f); };
    test::TempDir out("reasm-records");
    CarveQQDatabase(*s, out.Path().string() + "/", l.Start * 512);
    if (recordOnly) {
      ASSERT_EQ(saved.size(), 1u);
      EXPECT_FALSE(saved[0].Damaged) << saved[0].Problem;
      EXPECT_TRUE(ReadFileBytes(saved[0].Path) == db);
      EXPECT_EQ(saved[0].Sectors, l.DbSectors);
      // What the database took is its own now, not a record's claim.
      EXPECT_FALSE(s->DeletedClaims.OnlyRecordClaims(l.DbSectors[half]));
    } else {
      for (const SavedFile& f : saved) EXPECT_TRUE(f.Damaged) << "whole past a carver's claim";
    }
  }
}

TEST_F(Reassembling, SlackIsForeignWithTheClusterItEnds) {
  const std::vector<uint8_t> db = Written("--seed 104 --scale 40");
  for (uint32_t spc : {64u, 128u}) {
    const uint64_t clusters = (db.size() + spc * 512 - 1) / (spc * 512);
    const Laid l = Pieces(db, spc, {clusters / 3, 2 * clusters / 3}, {0, 1, 2},
                          Filler::LittleTextThenSlack, 1, 600 + spc);
    std::vector<SavedFile> saved = Rescue(l, spc);
    ASSERT_EQ(saved.size(), 1u) << spc;
    EXPECT_FALSE(saved[0].Damaged) << spc << ": " << saved[0].Problem;
    EXPECT_EQ(saved[0].Sectors, l.DbSectors) << spc;
  }
  // Compressed files that another carver claimed up to their ends, the rest
  // of their last clusters old random bytes.
  const uint32_t spc = 64;
  const uint64_t clusters = (db.size() + spc * 512 - 1) / (spc * 512);
  const Laid l = Pieces(db, spc, {clusters / 3, 2 * clusters / 3}, {0, 1, 2}, Filler::Compressed,
                        2, 700);
  auto s = CarveSession(l.Image, spc, 0);
  const std::set<uint64_t> own(l.DbSectors.begin(), l.DbSectors.end());
  const uint64_t dbEnd = l.DbSectors.back() / spc * spc + spc;
  for (uint64_t c = 0; c * spc < l.Image.size() / 512; ++c) {
    if (own.count(c * spc) || c * spc >= dbEnd || c * spc + spc <= l.Start) continue;
    // Of each foreign run of two clusters, the first whole and 10 sectors
    // of the second are claimed.
    const bool second = own.count(c * spc - spc) == 0;
    for (uint32_t k = 0; k < (second ? 10u : spc); ++k) s->Map.MarkSector(c * spc + k);
  }
  const Reassembly r = ReassembleCompoundFile(*s, l.Start * 512);
  ASSERT_TRUE(r.Found);
  EXPECT_TRUE(r.Certain) << r.Reason;
  EXPECT_EQ(r.Sectors, l.DbSectors);
}

TEST_F(Reassembling, ACompoundFileWithoutTheQQNamesIsNeverWritten) {
  const Laid l =
      Fragment(Written("--seed 41 --plain"), 1, {Filler::Ascii, Filler::Compressed}, 3, 7);
  std::vector<SavedFile> saved = Rescue(l, 1);
  EXPECT_TRUE(saved.empty());
  EXPECT_TRUE(fs::is_empty(out_->Path()));
}

// Put together on disk, the assembly is the one made in memory: the same
// sectors, the same check, and the bytes copied out are the database's.
TEST_F(Reassembling, AnAssemblyOnDiskIsTheOneInMemory) {
  const std::vector<uint8_t> db = Written("--seed 52 --scale 40");
  for (uint32_t spc : {1u, 8u}) {
    const Laid l = Fragment(db, spc, {Filler::Ascii, Filler::Utf16, Filler::Zeros}, 3, spc + 40);
    auto s = CarveSession(l.Image, spc, 0);
    const Reassembly inMemory = ReassembleCompoundFile(*s, l.Start * 512);
    ASSERT_TRUE(inMemory.Found && inMemory.Certain) << inMemory.Reason;
    test::TempDir dir("on-disk");
    FileAssembly a;
    ASSERT_TRUE(a.Open(dir.Path().string()));
    const Reassembly onDisk = ReassembleCompoundFile(*s, l.Start * 512, {}, &a);
    ASSERT_TRUE(onDisk.Found && onDisk.Certain) << onDisk.Reason;
    EXPECT_TRUE(onDisk.File.empty());
    EXPECT_EQ(onDisk.Sectors, inMemory.Sectors);
    EXPECT_EQ(onDisk.Sectors, l.DbSectors);
    EXPECT_TRUE(onDisk.Check.Whole) << onDisk.Check.Problem;
    EXPECT_EQ(onDisk.Check.IntactStreams, inMemory.Check.IntactStreams);
    int error = 0;
    ASSERT_TRUE(a.CopyTo((dir / "copy.db").string(), error));
    EXPECT_EQ(ReadFileBytes(dir / "copy.db"), db);
  }
}

// A database whose FAT describes more than is held in memory is put
// together on disk from the start, in one piece or in several: it comes
// back byte for byte, from its own sectors, and leaves nothing else behind.
TEST_F(Reassembling, ALargeDatabaseIsPutTogetherOnDisk) {
  const std::vector<uint8_t> db = Written("--seed 7 --scale 700");
  ASSERT_GT(LE32(Bytes(db), 44), 1024u) << "more FAT sectors than are held in memory";
  for (const std::vector<Filler>& gaps :
       {std::vector<Filler>{}, std::vector<Filler>{Filler::Ascii, Filler::Utf16}}) {
    const Laid l = Fragment(db, 8, gaps, 4, 90 + static_cast<uint32_t>(gaps.size()));
    std::vector<SavedFile> saved = Rescue(l, 8);
    ASSERT_EQ(saved.size(), 1u) << gaps.size() << " gaps";
    EXPECT_FALSE(saved[0].Damaged) << gaps.size() << " gaps: " << saved[0].Problem;
    EXPECT_EQ(saved[0].Sectors, l.DbSectors);
    auto top = TopLevel();
    ASSERT_EQ(top.size(), 1u);
    EXPECT_EQ(top[0].filename().string().rfind("FILE_", 0), 0u);
    EXPECT_TRUE(ReadFileBytes(top[0]) == db) << "the database, byte for byte";
    EXPECT_EQ(std::distance(fs::directory_iterator(out_->Path()), fs::directory_iterator()), 1);
  }
}

TEST_F(Reassembling, TheSearchStopsAtItsBounds) {
  const std::vector<uint8_t> db = Written("--seed 51 --scale 3");
  const Laid l = Fragment(db, 1, {Filler::Ascii, Filler::Zeros}, 5, 8);
  auto s = CarveSession(l.Image, 1, 0);
  Reassembly free = ReassembleCompoundFile(*s, l.Start * 512);
  EXPECT_TRUE(free.Found && free.Certain) << free.Reason;
  EXPECT_EQ(free.File, db);
  ReassemblyLimits tight;
  tight.MaxWork = 1000;
  Reassembly r = ReassembleCompoundFile(*s, l.Start * 512, tight);
  EXPECT_FALSE(r.Found && r.Certain);
  // The foreign bytes between its pieces do not bound the search: the file's
  // own size does.
  tight = {};
  tight.MaxForeignBytes = 512;  // less than the gaps hold
  r = ReassembleCompoundFile(*s, l.Start * 512, tight);
  EXPECT_TRUE(r.Found && r.Certain && r.File == db) << r.Reason;
  tight = {};
  tight.MaxFileBytes = db.size() / 2;
  r = ReassembleCompoundFile(*s, l.Start * 512, tight);
  EXPECT_FALSE(r.Found);
  // Gaps too large to search still give the best assembly, the reason said
  // and their sectors guessed, while the anchors stay sure.
  tight = {};
  tight.MaxCellsPerGap = 2;
  r = ReassembleCompoundFile(*s, l.Start * 512, tight);
  ASSERT_TRUE(r.Found);
  EXPECT_FALSE(r.Certain);
  EXPECT_NE(r.Reason.find("too large"), std::string::npos) << r.Reason;
  EXPECT_EQ(r.File.size(), db.size());
  // Plain gaps among encrypted data: split by how the clusters look, which
  // gives the file's own bytes, still called a guess.
  EXPECT_EQ(r.File, db) << r.Reason;
  const auto guessed = std::count(r.Placements.begin(), r.Placements.end(), Placement::Guessed);
  EXPECT_GT(guessed, 0);
  EXPECT_LT(static_cast<size_t>(guessed), r.Placements.size());
}

// Spoilt tables and directories around a fragmented database: the search
// may give up or write to damaged/, but it never reads out of bounds, never
// presents a file that differs from the original as whole, and ends.
TEST_F(Reassembling, HostileTablesNeverPassAsWhole) {
  const std::vector<uint8_t> db = Written("--seed 61");
  const Laid base = Fragment(db, 1, {Filler::Ascii, Filler::Zeros}, 2, 9);
  const CompoundCheck check = CheckCompoundFile(db);
  std::vector<uint64_t> tables = {0};
  for (uint32_t n = 0; n < check.SectorUse.size(); ++n) {
    if (check.SectorUse[n] == kSectorTable) tables.push_back(n + 1);
  }
  std::mt19937 rng(13);
  for (int round = 0; round < 60; ++round) {
    Laid l = base;
    for (int hit = 0; hit < 6; ++hit) {
      const uint64_t block = tables[rng() % tables.size()];
      l.Image[l.DbSectors[block] * 512 + rng() % 512] = static_cast<uint8_t>(rng());
    }
    std::vector<SavedFile> saved = Rescue(l, 1);
    for (const SavedFile& f : saved) {
      if (!f.Damaged) {
        EXPECT_EQ(ReadFileBytes(f.Path), db) << "round " << round;
      }
    }
  }
}

}  // namespace
}  // namespace tarnwick
