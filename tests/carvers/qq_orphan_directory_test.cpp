#include "carvers/qq_orphan_directory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "carvers/qq_database.h"
#include "compound/compound_file.h"
#include "scan/classify.h"
#include "scan/deep_scan.h"
#include "source/bytes.h"
#include "support/recording_frontend.h"
#include "support/sessions.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using test::ShellQuote;


class OrphanDirectory : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::HaveOlefile()) GTEST_SKIP() << "no python3-olefile";
  }

  std::vector<uint8_t> Written(const std::string& args) {
    return test::LongLivedDatabase(dir_ / ("db" + std::to_string(++made_) + ".db"), args);
  }

  // The database at sector `at` of a volume of text files; with
  // overwritten, a new text file took its first cluster.
  static std::vector<uint8_t> Volume(const std::vector<uint8_t>& db, uint64_t at, uint32_t spc,
                                     bool overwritten) {
    const std::string line = "2024-05-01 10:00 sync finished, 12 items\r\n";
    std::string text;
    const uint64_t sectors = at + (db.size() + 511) / 512 + 64;
    while (text.size() < sectors * 512) text += line;
    std::vector<uint8_t> img(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(sectors * 512));
    std::copy(db.begin(), db.end(), img.begin() + static_cast<std::ptrdiff_t>(at * 512));
    if (overwritten) {
      const std::string note = "Shopping: rice, tea, eggs.\n";
      for (size_t k = 0; k < size_t{spc} * 512; ++k)
        img[at * 512 + k] = static_cast<uint8_t>(note[k % note.size()]);
    }
    return img;
  }

  // The lost database at sector 64, its header written over, and another,
  // intact one right behind it, as a volume fills: the other's FAT lies
  // near the lost one's directory.
  static std::vector<uint8_t> TwoDatabases(const std::vector<uint8_t>& lost,
                                           const std::vector<uint8_t>& other) {
    std::vector<uint8_t> img = Volume(lost, 64, 1, true);
    const size_t at = 64 * 512 + lost.size();
    const std::vector<uint8_t> tail(img.begin() + static_cast<std::ptrdiff_t>(at), img.end());
    img.resize(at);
    img.insert(img.end(), other.begin(), other.end());
    img.insert(img.end(), tail.begin(), tail.end());
    return img;
  }

  // A whole rescue of the image: what was saved, and the outcome.
  std::vector<SavedFile> Rescue(std::vector<uint8_t> img, uint32_t spc, ScanOutcome& out) {
    auto s = test::EnglishSession();
    test::RecordingFrontend ui;
    OpenOutcome o = OpenImageDevice(*s, std::make_unique<MemoryDevice>(std::move(img)), "/m/d.img");
    RescueBoxes boxes;
    boxes.Reason = o.ReasonIndex;
    boxes.Fs = o.FsIndex;
    // The geometry a user states for a formatted volume.
    s->Detected.SectorsPerCluster = s->Scan.SectorsPerCluster = spc;
    s->Detected.ClusterPhase = s->Scan.ClusterPhase = 0;
    boxes.Cluster = 0;
    while ((512u << boxes.Cluster) < spc * 512u) ++boxes.Cluster;
    s->SetFrontend(&ui);
    ui.OnPump = [&] { s->Flags.ElapsedMs += 200; };
    std::vector<SavedFile> saved;
    s->OnFileSaved = [&](const SavedFile& f) { saved.push_back(f); };
    out_ = std::make_unique<test::TempDir>("orphan-out");
    ScanRequest r;
    r.FolderText = out_->Path().string();
    r.FirstText = "0";
    r.LastText = std::to_string(s->Scan.LastSector);
    out = DeepScan(*s, boxes, r);
    s->SetFrontend(nullptr);
    return saved;
  }

  // The streams of the file that olefile reads otherwise than the
  // original's, and those it cannot open at all.
  std::string DifferingStreams(const fs::path& path, const std::vector<uint8_t>& original) {
    const fs::path org = dir_ / "original.db";
    test::WriteFileBytes(org, original);
    const std::string script =
        "import olefile,sys\n"
        "a=olefile.OleFileIO(sys.argv[1]); b=olefile.OleFileIO(sys.argv[2])\n"
        "n=0\n"
        "for p in b.listdir(streams=True, storages=False):\n"
        "  n+=1\n"
        "  try: same = a.openstream(p).read() == b.openstream(p).read()\n"
        "  except Exception: same = False\n"
        "  if not same: print('/'.join(p))\n"
        "print('streams', n)\n";
    auto r = test::Run("/usr/bin/python3 -c " + ShellQuote(script) + " " +
                       ShellQuote(path.string()) + " " + ShellQuote(org.string()));
    EXPECT_EQ(r.Status, 0) << r.Err;
    return r.Out;
  }

  test::TempDir dir_{"orphan"};
  std::unique_ptr<test::TempDir> out_;
  int made_ = 0;
};

// The header sector, and with 4 KiB clusters its whole first cluster, written
// over by text: one database in damaged/, its header made again, at the
// place the header was; with 512-byte clusters every stream is the original's.
// (The 4 KiB layout keeps its FAT and directory sectors out of that cluster.)
TEST_F(OrphanDirectory, ADatabaseWhoseHeaderWasWrittenOverComesBackDamaged) {
  for (uint32_t spc : {1u, 8u}) {
    SCOPED_TRACE(spc);
    const std::vector<uint8_t> db = Written("--seed " + std::to_string(spc == 1 ? 7 : 15) + " --scale 6");
    ScanOutcome out;
    const std::vector<SavedFile> saved = Rescue(Volume(db, 64, spc, true), spc, out);
    ASSERT_EQ(saved.size(), 1u);
    const SavedFile& f = saved[0];
    EXPECT_TRUE(f.Damaged);
    EXPECT_EQ(f.StartSector, 64u);
    EXPECT_EQ(f.Problem.rfind("header rebuilt", 0), 0u) << f.Problem;
    EXPECT_EQ(out.Rescued, 0u);
    EXPECT_EQ(out.Damaged, 1u);
    EXPECT_EQ(out.RescueStop.Starts, 0u) << "a directory is no file start";
    EXPECT_EQ(fs::path(f.Path).parent_path().filename(), kDamagedFolder);
    const std::vector<uint8_t> back = test::ReadFileBytes(f.Path);
    ASSERT_EQ(back.size(), db.size());
    EXPECT_TRUE(std::equal(back.begin(), back.begin() + 512, db.begin())) << "the header";
    const std::string differing = DifferingStreams(f.Path, db);
    if (spc == 1) {
      EXPECT_TRUE(std::equal(back.begin(), back.end(), db.begin()));
      EXPECT_EQ(differing.rfind("streams", 0), 0u) << differing;
      EXPECT_TRUE(f.BrokenStreams.empty());
      // Made without a doubt and whole under it: every stream is sure.
      EXPECT_EQ(f.Problem, "header rebuilt");
      EXPECT_TRUE(f.UncertainStreams.empty());
      EXPECT_EQ("streams " + std::to_string(f.IntactStreams.size()) + "\n", differing);
    } else {
      // The rest of the first cluster is text now: what it held is broken,
      // and nothing called intact differs.
      std::istringstream lines(differing);
      for (std::string line; std::getline(lines, line);) {
        if (line.rfind("streams", 0) == 0) continue;
        EXPECT_EQ(std::count(f.IntactStreams.begin(), f.IntactStreams.end(), line), 0) << line;
      }
    }
  }
}

// The header written over, another database beside it: the lost one in
// damaged/ with its streams named intact, each the original's, and only
// the one file there (its assembly's file in the folder is gone). With one
// of its FAT sectors written over too, the header is made in doubt, and
// no stream of it is named intact.
TEST_F(OrphanDirectory, BesideAnotherDatabaseItsStreamsAreIntactOnlyWhenTheHeaderIsSure) {
  const std::vector<uint8_t> lost = Written("--seed 37 --scale 5");
  const std::vector<uint8_t> other = Written("--seed 32 --scale 8");
  // Its last FAT sector lies in the stretch an earlier one covers, which
  // marks it: written over, the FAT's size is still known, its entries not.
  const uint32_t last = LE32(Bytes(lost), 44) - 1;
  ASSERT_GE(last, 2u);
  ASSERT_LT(LE32(Bytes(lost), 76 + 4 * size_t{last}) / 128, last);
  for (bool fatLost : {false, true}) {
    SCOPED_TRACE(fatLost ? "a FAT sector written over" : "its FAT whole");
    std::vector<uint8_t> img = TwoDatabases(lost, other);
    if (fatLost) {
      const uint64_t fat = 64 + 1 + LE32(Bytes(lost), 76 + 4 * size_t{last});
      std::fill_n(img.begin() + static_cast<std::ptrdiff_t>(fat * 512), 512, uint8_t{'x'});
    }
    ScanOutcome out;
    const std::vector<SavedFile> saved = Rescue(std::move(img), 1, out);
    ASSERT_EQ(saved.size(), 2u);
    const auto damaged = std::find_if(saved.begin(), saved.end(), [](const SavedFile& f) { return f.Damaged; });
    ASSERT_NE(damaged, saved.end());
    EXPECT_EQ(damaged->StartSector, 64u);
    EXPECT_EQ(damaged->Problem.rfind("header rebuilt", 0), 0u) << damaged->Problem;
    const std::string differing = DifferingStreams(damaged->Path, lost);
    size_t files = 0;
    for (const auto& e : fs::directory_iterator(fs::path(damaged->Path).parent_path())) files += e.is_regular_file();
    EXPECT_EQ(files, 1u);
    if (!fatLost) {
      EXPECT_EQ("streams " + std::to_string(damaged->IntactStreams.size()) + "\n", differing);
      EXPECT_EQ(test::ReadFileBytes(damaged->Path), lost);
    } else {
      EXPECT_TRUE(damaged->IntactStreams.empty()) << damaged->Problem;
      EXPECT_NE(damaged->Problem, "header rebuilt");
    }
  }
}

// An intact database is found by its header and written once: its
// directory is not made into a second file, whole or damaged.
TEST_F(OrphanDirectory, ADatabaseWithItsHeaderGivesOneFileNotTwo) {
  const std::vector<uint8_t> db = Written("--seed 12 --scale 4");
  ScanOutcome out;
  std::vector<SavedFile> saved = Rescue(Volume(db, 64, 1, false), 1, out);
  ASSERT_EQ(saved.size(), 1u);
  EXPECT_FALSE(saved[0].Damaged);
  EXPECT_EQ(test::ReadFileBytes(saved[0].Path), db);

  // One damaged by a sector of text in a stream's data: damaged, still once.
  std::vector<uint8_t> img = Volume(db, 64, 1, false);
  const CompoundCheck check = CheckCompoundFile(db);
  const auto full = std::find(check.SectorUse.begin() + static_cast<std::ptrdiff_t>(check.SectorUse.size() / 2),
                              check.SectorUse.end(), kSectorFullData);
  ASSERT_NE(full, check.SectorUse.end());
  const uint64_t over = 64 + 1 + static_cast<uint64_t>(full - check.SectorUse.begin());
  for (size_t k = 0; k < 512; ++k) img[over * 512 + k] = static_cast<uint8_t>('a' + k % 26);
  saved = Rescue(std::move(img), 1, out);
  ASSERT_EQ(saved.size(), 1u);
  EXPECT_TRUE(saved[0].Damaged);
  EXPECT_EQ(saved[0].Problem.find("header rebuilt"), std::string::npos);
}

// Another program's compound file, header written over: nothing is written.
TEST_F(OrphanDirectory, ACompoundFileWithoutTheQQNamesIsNeverWritten) {
  const std::vector<uint8_t> db = Written("--seed 4 --plain");
  ScanOutcome out;
  const std::vector<SavedFile> saved = Rescue(Volume(db, 64, 1, true), 1, out);
  EXPECT_TRUE(saved.empty());
  EXPECT_EQ(out.Damaged, 0u);
}

// The classifier names a directory's first sector in any 512-byte block of
// a larger sector, and nothing that merely starts like one.
TEST_F(OrphanDirectory, TheClassifierFindsADirectoryInAnyBlockOfASector) {
  const std::vector<uint8_t> db = Written("--seed 2");
  const size_t dir = (size_t{LE32(Bytes(db), 48)} + 1) * 512;
  std::vector<uint8_t> sector(4096, 0x20);
  for (size_t at : {size_t{0}, size_t{1536}, size_t{3584}}) {
    std::fill(sector.begin(), sector.end(), 0x20);
    std::copy_n(db.begin() + static_cast<std::ptrdiff_t>(dir), 512,
                sector.begin() + static_cast<std::ptrdiff_t>(at));
    EXPECT_EQ(Classify(sector, 4096), kOle2RootDirectory) << at;
  }
  std::vector<uint8_t> block(db.begin() + static_cast<std::ptrdiff_t>(dir),
                             db.begin() + static_cast<std::ptrdiff_t>(dir + 512));
  EXPECT_EQ(Classify(block, 512), kOle2RootDirectory);
  block[66] = 1;  // a storage, not the root
  EXPECT_EQ(Classify(block, 512), kNothing);
  // The header sector stays a file start.
  EXPECT_EQ(Classify(std::span<const uint8_t>(db).first(512), 512), kOle2);
}

}  // namespace
}  // namespace tarnwick
