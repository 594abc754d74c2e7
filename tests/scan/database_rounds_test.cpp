#include "carvers/database_rounds.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "scan/deep_scan.h"
#include "support/opened_image.h"
#include "support/recording_frontend.h"
#include "support/sessions.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

const std::string kWriter = std::string(TARNWICK_SOURCE_DIR) + "/tests/corpus/ole_writer.py";

std::vector<uint8_t> LongLived(uint32_t seed, uint32_t scale = 0) {
  test::TempDir d("rounds-db");
  const fs::path p = d / "db.db";
  const std::string more = scale ? " --scale " + std::to_string(scale) : "";
  auto r = test::Run("/usr/bin/python3 " + test::ShellQuote(kWriter) + " " +
                     test::ShellQuote(p.string()) + " --seed " + std::to_string(seed) + more);
  EXPECT_EQ(r.Status, 0) << r.Err;
  return test::ReadFileBytes(p);
}

// Log lines, as a text file beside the databases holds them.
std::vector<uint8_t> LogText(size_t bytes) {
  std::string t;
  while (t.size() < bytes) t += "2026-12-11 09:00:00 INFO sync ok, queue empty\r\n";
  t.resize(bytes);
  return std::vector<uint8_t>(t.begin(), t.end());
}

// Byte ranges [from, to) of databases laid one after another, flush, with
// log text before and after them.
struct Part {
  const std::vector<uint8_t>* Of;
  size_t From, To;
};
std::vector<uint8_t> BetweenLogText(const std::vector<Part>& parts) {
  std::vector<uint8_t> img = LogText(16 * 4096);
  for (const Part& p : parts)
    img.insert(img.end(), p.Of->begin() + static_cast<std::ptrdiff_t>(p.From),
               p.Of->begin() + static_cast<std::ptrdiff_t>(p.To));
  const std::vector<uint8_t> after = LogText(16 * 4096);
  img.insert(img.end(), after.begin(), after.end());
  return img;
}

// One database cut in two around another:
// A1 B A2, random bytes around them.
std::vector<uint8_t> Interleaved(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  auto half = [](const std::vector<uint8_t>& v) { return (v.size() / 1024) * 512; };
  std::vector<uint8_t> img = test::RandomBytes(16 * 512, 99);
  auto put = [&](const std::vector<uint8_t>& v, size_t from, size_t to) {
    img.insert(img.end(), v.begin() + static_cast<std::ptrdiff_t>(from),
               v.begin() + static_cast<std::ptrdiff_t>(to));
    img.resize((img.size() + 511) / 512 * 512, 0);
  };
  put(a, 0, half(a));
  put(b, 0, b.size());
  put(a, half(a), a.size());
  const std::vector<uint8_t> tail = test::RandomBytes(64 * 512, 98);
  img.insert(img.end(), tail.begin(), tail.end());
  return img;
}

struct Rescue : test::OpenedImage {
  std::vector<SavedFile> saved;

  explicit Rescue(std::vector<uint8_t> img) : OpenedImage(std::move(img)) {
    s->OnFileSaved = [this](const SavedFile& f) { saved.push_back(f); };
  }
  ScanOutcome Run(const fs::path& folder) { return DeepScan(*s, boxes, Request(folder.string())); }
};

class DatabaseRoundsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (test::Run("/usr/bin/python3 -c 'import olefile'").Status != 0)
      GTEST_SKIP() << "no python3-olefile";
  }
};

TEST(SurelyPlaced, OnlySectorsWhoseEveryBlockIsSureAndWithinTheFile) {
  // 4096-byte sectors hold 8 blocks; the first holds the header.
  const std::vector<uint64_t> sectors = {100, 50, 70};
  std::vector<Placement> placements(20, Placement::Sure);
  placements[9] = Placement::Guessed;  // block 10: in the second sector
  EXPECT_EQ(SurelyPlacedSectors(sectors, placements, 4096, 3 * 4096),
            (std::vector<uint64_t>{70, 100}));
  // A file that ends in the second sector leaves the third nobody's.
  placements[9] = Placement::Sure;
  EXPECT_EQ(SurelyPlacedSectors(sectors, placements, 4096, 4096 + 512),
            (std::vector<uint64_t>{50, 100}));
  placements[0] = Placement::Wrong;
  EXPECT_EQ(SurelyPlacedSectors(sectors, placements, 4096, 4096 + 512),
            (std::vector<uint64_t>{50}));
}

TEST(BeginRounds, OnlyACompoundStartKeepsRounds) {
  auto s = test::CarveSession(std::vector<uint8_t>(64 * 512, 0));
  BeginDatabaseRounds(*s, 0);
  EXPECT_FALSE(s->Rounds);
  EXPECT_FALSE(HoldingDatabases(*s, 3 * 512));
  BeginDatabaseRounds(*s, 1);
  ASSERT_TRUE(s->Rounds);
  EXPECT_TRUE(HoldingDatabases(*s, 3 * 512));
  CarveHeldDatabases(*s, [] { return true; });
  EXPECT_FALSE(s->Rounds);
}

TEST_F(DatabaseRoundsTest, ADatabaseAroundAnotherAreBothWholeAndEachWrittenOnce) {
  const std::vector<uint8_t> a = LongLived(1), b = LongLived(2);
  test::TempDir out("rounds-out");
  Rescue r(Interleaved(a, b));
  ScanOutcome o = r.Run(out.Path());
  EXPECT_GE(o.FoundCount, 2u);
  std::set<uint64_t> starts;
  for (const SavedFile& f : r.saved) starts.insert(f.StartSector);
  EXPECT_EQ(r.saved.size(), 2u);
  EXPECT_EQ(starts.size(), 2u);
  EXPECT_EQ(o.Rescued, 2u);
  EXPECT_EQ(o.Damaged, 0u);
  ASSERT_EQ(r.saved.size(), 2u);
  const std::vector<uint8_t> first = test::ReadFileBytes(r.saved[0].Path);
  const std::vector<uint8_t> second = test::ReadFileBytes(r.saved[1].Path);
  EXPECT_TRUE((first == a && second == b) || (first == b && second == a));
}

// Two databases each in two pieces, each piece flush against the other's
// with nothing between: A1 B1 A2 B2, log text before and after. Alone,
// neither can tell where its first piece ends; together the cuts meet.
TEST_F(DatabaseRoundsTest, PiecesFlushAgainstEachOtherAreToldApartTogether) {
  const std::vector<uint8_t> a = LongLived(4), b = LongLived(5);
  const size_t ca = a.size() / 2 / 4096 * 4096 + 1536, cb = b.size() / 2 / 4096 * 4096 + 1536;
  test::TempDir out("rounds-flush");
  Rescue r(BetweenLogText({{&a, 0, ca}, {&b, 0, cb}, {&a, ca, a.size()}, {&b, cb, b.size()}}));
  ScanOutcome o = r.Run(out.Path());
  ASSERT_EQ(r.saved.size(), 2u);
  EXPECT_EQ(o.Rescued, 2u);
  EXPECT_EQ(o.Damaged, 0u);
  const std::vector<uint8_t> first = test::ReadFileBytes(r.saved[0].Path);
  const std::vector<uint8_t> second = test::ReadFileBytes(r.saved[1].Path);
  EXPECT_TRUE((first == a && second == b) || (first == b && second == a));
}

// One database in three pieces laid out of order, flush against each
// other: its first piece runs straight into its third. Alone it cannot
// tell where its first piece ends; its own sure pieces beside the cuts
// settle it.
TEST_F(DatabaseRoundsTest, ADatabaseAloneInPiecesOutOfOrderMeetsItself) {
  const std::vector<uint8_t> a = LongLived(6, 40);
  const size_t c1 = a.size() / 3 / 4096 * 4096 + 1536;
  const size_t c2 = 2 * a.size() / 3 / 4096 * 4096 + 512;
  test::TempDir out("rounds-alone");
  Rescue r(BetweenLogText({{&a, 0, c1}, {&a, c2, a.size()}, {&a, c1, c2}}));
  ScanOutcome o = r.Run(out.Path());
  ASSERT_EQ(r.saved.size(), 1u);
  EXPECT_EQ(o.Rescued, 1u);
  EXPECT_FALSE(r.saved[0].Damaged) << r.saved[0].Problem;
  EXPECT_TRUE(test::ReadFileBytes(r.saved[0].Path) == a);
}

TEST_F(DatabaseRoundsTest, OneDatabaseAloneIsCarvedAsBefore) {
  const std::vector<uint8_t> a = LongLived(3);
  std::vector<uint8_t> img = test::RandomBytes(8 * 512, 5);
  img.insert(img.end(), a.begin(), a.end());
  img.resize((img.size() + 511) / 512 * 512 + 32 * 512, 0);
  test::TempDir out("rounds-one");
  Rescue r(std::move(img));
  ScanOutcome o = r.Run(out.Path());
  ASSERT_EQ(r.saved.size(), 1u);
  EXPECT_EQ(o.Rescued, 1u);
  EXPECT_EQ(test::ReadFileBytes(r.saved[0].Path), a);
  EXPECT_FALSE(r.s->Rounds);
}

TEST_F(DatabaseRoundsTest, AStopDuringThePassesStillWritesWhatIsHeld) {
  const std::vector<uint8_t> a = LongLived(1), b = LongLived(2);
  test::TempDir out("rounds-stop");
  Rescue r(Interleaved(a, b));
  // Stop as soon as the first database has been carved (held or written).
  r.ui.OnPump = [&] {
    r.s->Flags.ElapsedMs += 200;
    if (r.s->Rounds && (!r.s->Rounds->Held.empty() || !r.saved.empty()))
      r.s->Flags.RunState = kStop;
  };
  ScanOutcome o = r.Run(out.Path());
  EXPECT_EQ(o.RescueStop.Phase, StopPhase::Rescue);
  ASSERT_EQ(r.saved.size(), 1u);  // the one carved, held or not, is written
  EXPECT_EQ(o.Rescued + o.Damaged, 1u);
  EXPECT_TRUE(fs::exists(r.saved[0].Path));
}

}  // namespace
}  // namespace tarnwick
