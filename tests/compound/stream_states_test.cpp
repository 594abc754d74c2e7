#include "compound/stream_states.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/test_support.h"

namespace tarnwick {
namespace {

const std::string kWriter = std::string(TARNWICK_SOURCE_DIR) + "/tests/corpus/ole_writer.py";

bool Has(const std::vector<std::string>& v, const std::string& p) {
  return std::find(v.begin(), v.end(), p) != v.end();
}

class StreamStatesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto path = dir_ / "db.db";
    auto r = test::Run("/usr/bin/python3 " + test::ShellQuote(kWriter) + " " +
                       test::ShellQuote(path.string()) + " --seed 5 --scale 2");
    if (r.Status != 0) GTEST_SKIP() << "the layout writer did not run: " << r.Err;
    check_ = CheckCompoundFile(test::ReadFileBytes(path));
    ASSERT_TRUE(check_.Whole) << check_.Problem;
  }
  // A big stream, and a compound-file sector of its chain.
  std::pair<std::string, uint32_t> BigStream() const {
    for (uint32_t n = 0; n < check_.SectorStream.size(); ++n) {
      const uint32_t k = check_.SectorStream[n];
      if (k != kNoCompoundEntry) return {check_.Entries[k].Path, n};
    }
    return {};
  }
  test::TempDir dir_{"states"};
  CompoundCheck check_;
};

TEST_F(StreamStatesTest, EachStreamTakesTheWorstPlacementOfItsOwnSectors) {
  const size_t streams = check_.IntactStreams.size();
  // Nothing said: every sound stream is intact.
  StreamStates all = JudgeStreams(check_, {});
  EXPECT_EQ(all.Intact.size(), streams);
  EXPECT_TRUE(all.Uncertain.empty() && all.Broken.empty());

  const auto [big, n] = BigStream();
  ASSERT_FALSE(big.empty());
  std::vector<Placement> p(check_.SectorUse.size(), Placement::Sure);
  p[n] = Placement::Guessed;
  StreamStates one = JudgeStreams(check_, p);
  EXPECT_EQ(one.Uncertain, std::vector<std::string>{big});
  EXPECT_EQ(one.Intact.size(), streams - 1);
  EXPECT_FALSE(Has(one.Intact, big));
  p[n] = Placement::Wrong;
  StreamStates wrong = JudgeStreams(check_, p);
  EXPECT_EQ(wrong.Broken, std::vector<std::string>{big});
  EXPECT_TRUE(wrong.Uncertain.empty());
}

TEST_F(StreamStatesTest, AGuessedMiniStreamSectorTouchesOnlyTheSmallStreamsInIt) {
  ASSERT_FALSE(check_.MiniStreamSectors.empty());
  ASSERT_FALSE(check_.MiniSectorStream.empty());
  // The small streams with bytes in the mini stream's first sector.
  std::vector<std::string> inFirst;
  for (size_t m = 0; m < 8 && m < check_.MiniSectorStream.size(); ++m) {
    const uint32_t k = check_.MiniSectorStream[m];
    if (k != kNoCompoundEntry && !Has(inFirst, check_.Entries[k].Path))
      inFirst.push_back(check_.Entries[k].Path);
  }
  ASSERT_FALSE(inFirst.empty());
  std::vector<Placement> p(check_.SectorUse.size(), Placement::Sure);
  p[check_.MiniStreamSectors[0]] = Placement::Guessed;
  StreamStates s = JudgeStreams(check_, p);
  std::vector<std::string> got = s.Uncertain, want = inFirst;
  std::sort(got.begin(), got.end());
  std::sort(want.begin(), want.end());
  EXPECT_EQ(got, want);
  EXPECT_EQ(s.Intact.size() + s.Uncertain.size(), check_.IntactStreams.size());
}

TEST_F(StreamStatesTest, ABrokenChainStaysBrokenWhateverThePlacement) {
  CompoundCheck c = check_;
  const auto [big, n] = BigStream();
  for (CompoundEntry& e : c.Entries)
    if (e.Path == big) e.Intact = false;
  StreamStates s = JudgeStreams(c, {});
  EXPECT_EQ(s.Broken, std::vector<std::string>{big});
  EXPECT_FALSE(Has(s.Intact, big));
}

}  // namespace
}  // namespace tarnwick
