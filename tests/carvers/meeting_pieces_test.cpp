#include "carvers/meeting_pieces.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

// A cut whose tail ends at tailEnd and whose head starts at headStart, the
// sectors around them unclaimed and contiguous; plain ends need no neighbour.
PieceCut Cut(uint64_t behind, int64_t tailEnd, bool tailPlain, int64_t headStart, bool headPlain) {
  PieceCut c;
  c.Behind = behind;
  c.TailEnd = tailEnd;
  c.AfterTail = tailEnd + 1;
  c.TailEndsPlain = tailPlain;
  c.HeadStart = headStart;
  c.BeforeHead = headStart - 1;
  c.HeadStartsPlain = headPlain;
  return c;
}

// Database A's first piece ends somewhere in 1000-1023 where B's second
// piece begins; A's next piece begins after plain text, B's first piece
// ends before plain text. Two of A's cuts meet one of B's, but only one
// pair has its other ends met as well.
std::vector<std::vector<OpenSplit>> Flush() {
  OpenSplit a{900, 5000, 100, {}};
  a.Cuts = {Cut(99, 999, false, 4901, false), Cut(107, 1007, false, 4909, true),
            Cut(115, 1015, false, 4917, false)};
  OpenSplit b{3000, 1200, 150, {}};
  // B's head leads up to its anchor at 1200: 1008 begins it when 142 run on.
  b.Cuts = {Cut(142, 3142, true, 1008, false), Cut(134, 3134, false, 1016, false)};
  return {{a}, {b}};
}

TEST(MeetingCuts, TheOnlyCutsWhoseEndsMeetAreChosenForBoth) {
  const auto chosen = ChooseMeetingCuts(Flush());
  ASSERT_EQ(chosen.size(), 2u);
  ASSERT_EQ(chosen[0].size(), 1u);
  ASSERT_EQ(chosen[1].size(), 1u);
  EXPECT_EQ(chosen[0][0].Behind, 107u);
  EXPECT_EQ(chosen[0][0].After, 900u);
  EXPECT_EQ(chosen[0][0].Before, 5000u);
  EXPECT_EQ(chosen[0][0].Own, 100u);
  EXPECT_EQ(chosen[1][0].Behind, 142u);
}

TEST(MeetingCuts, AViewThroughClaimedSectorsStillMeets) {
  // B sees the sector in front of its head (A's tail end) across sectors it
  // steps over: the neighbour is found by B's view, not by A's.
  auto open = Flush();
  open[0][0].Cuts[1].AfterTail = 1500;
  const auto chosen = ChooseMeetingCuts(open);
  ASSERT_EQ(chosen[0].size(), 1u);
  EXPECT_EQ(chosen[0][0].Behind, 107u);
}

TEST(MeetingCuts, APlaceThatNoCutFitsLeavesEverythingOpen) {
  auto open = Flush();
  // A third database whose only cut ends among stream data nobody begins.
  OpenSplit c{7000, 9000, 40, {Cut(8, 7008, false, 8968, true)}};
  open.push_back({c});
  const auto chosen = ChooseMeetingCuts(open);
  ASSERT_EQ(chosen.size(), 3u);
  for (const auto& d : chosen) EXPECT_TRUE(d.empty());
}

TEST(MeetingCuts, TwoNeighboursForOneEndChooseNothing) {
  auto open = Flush();
  // Another database's piece could begin at 1008 as well.
  OpenSplit c{6000, 1100, 60, {Cut(0, 6000, true, 1008, false)}};
  open.push_back({c});
  const auto chosen = ChooseMeetingCuts(open);
  for (const auto& d : chosen) EXPECT_TRUE(d.empty());
}

TEST(MeetingCuts, APlaceWithTwoFittingCutsStaysOpenWhileTheOthersAreChosen) {
  auto open = Flush();
  // A place of A's own whose two cuts both end in plain data.
  OpenSplit more{
      20000, 30000, 50, {Cut(10, 20010, true, 29961, true), Cut(18, 20018, true, 29969, true)}};
  open[0].push_back(more);
  const auto chosen = ChooseMeetingCuts(open);
  ASSERT_EQ(chosen[0].size(), 1u);
  EXPECT_EQ(chosen[0][0].After, 900u);
  EXPECT_EQ(chosen[1].size(), 1u);
}

TEST(MeetingCuts, NothingOpenChoosesNothing) {
  EXPECT_TRUE(ChooseMeetingCuts({}).empty());
  const auto chosen = ChooseMeetingCuts({{}, {}});
  ASSERT_EQ(chosen.size(), 2u);
  EXPECT_TRUE(chosen[0].empty() && chosen[1].empty());
}

}  // namespace
}  // namespace tarnwick
