#include "scan/cluster_map.h"

#include <gtest/gtest.h>

#include "scan/found_list.h"
#include "scan/scan_state.h"

namespace tarnwick {
namespace {

std::vector<uint64_t> Marked(const ClusterMap& m, uint64_t upTo) {
  std::vector<uint64_t> out;
  for (uint64_t s = 0; s <= upTo; ++s)
    if (m.IsSectorMarked(s)) out.push_back(s);
  return out;
}

TEST(ClusterMap, SizeIsOneBitPerSectorRoundedUp) {
  ClusterMap m;
  ASSERT_TRUE(m.Allocate(8));  // 9 sectors
  EXPECT_EQ(m.SizeInBytes(), 2u);
  ASSERT_TRUE(m.Allocate(7));
  EXPECT_EQ(m.SizeInBytes(), 1u);
  ASSERT_TRUE(m.Allocate(UINT64_MAX));  // an empty Source
  EXPECT_EQ(m.SizeInBytes(), 0u);
  EXPECT_TRUE(m.Allocated());
  m.MarkSector(0);  // outside an empty map: ignored, not a crash
  EXPECT_FALSE(m.IsSectorMarked(0));
  m.Free();
  EXPECT_FALSE(m.Allocated());
}

TEST(ClusterMap, MarkRunSetsSingleBitsThenWholeBytes) {
  ClusterMap m;
  ASSERT_TRUE(m.Allocate(63));
  m.MarkSectorRun(3, 20);
  std::vector<uint64_t> want;
  for (uint64_t s = 3; s <= 22; ++s) want.push_back(s);
  EXPECT_EQ(Marked(m, 63), want);
  EXPECT_EQ(m.Bits()[0], 0xF8);
  EXPECT_EQ(m.Bits()[1], 0xFF);
  EXPECT_EQ(m.Bits()[2], 0x7F);

  ASSERT_TRUE(m.Allocate(63));
  m.MarkSectorRun(8, 16);
  EXPECT_EQ(m.Bits()[0], 0x00);
  EXPECT_EQ(m.Bits()[1], 0xFF);
  EXPECT_EQ(m.Bits()[2], 0xFF);
  EXPECT_EQ(m.Bits()[3], 0x00);
  m.MarkSectorRun(40, 0);
  m.MarkSectorRun(40, -5);
  EXPECT_EQ(Marked(m, 63).size(), 16u);
}

TEST(ClusterMap, UnmarkGivesOneSectorBack) {
  ClusterMap m;
  ASSERT_TRUE(m.Allocate(100));
  m.MarkSectorRun(0, 16);
  m.UnmarkSector(9);
  EXPECT_FALSE(m.IsSectorMarked(9));
  EXPECT_TRUE(m.IsSectorMarked(8));
  EXPECT_TRUE(m.IsSectorMarked(10));
  EXPECT_FALSE(m.IsSectorMarked(5000));  // beyond the map reads as clear
}

TEST(FormatPercent, TwoDecimalsPaddedToThreeDigits) {
  EXPECT_EQ(FormatPercent(10000, 1234), "12.34%");
  EXPECT_EQ(FormatPercent(10000, 5), "0.05%");
  EXPECT_EQ(FormatPercent(10000, 10000), "100.00%");
  EXPECT_EQ(FormatPercent(3, 1), "33.33%");
  EXPECT_EQ(FormatPercent(10, 0), "0.00%");
  // Sector counts of a huge disk do not wrap.
  EXPECT_EQ(FormatPercent(UINT64_MAX, UINT64_MAX / 2), "49.99%");
}

TEST(TargetFolder, SlashAppendedOnlyWhenMissing) {
  EXPECT_EQ(TargetFolderForm("/mnt/rescued"), "/mnt/rescued/");
  EXPECT_EQ(TargetFolderForm("/"), "/");
  EXPECT_EQ(TargetFolderForm(""), "");
}

TEST(FoundList, GrowsInMillionsAndCompactsInOrder) {
  FoundList list;
  list.Append(7, 5);
  EXPECT_EQ(list.Capacity, FoundList::kGrowth);
  list.Append(uint64_t{1} << 33, 9);  // beyond 32 bits: kept whole
  list.Append(12, 1);
  list.Types[0] = 0;
  list.Compact();
  ASSERT_EQ(list.Count, 2u);
  EXPECT_EQ(list.Capacity, 2u);
  EXPECT_EQ(list.Sectors[0], uint64_t{1} << 33);
  EXPECT_EQ(list.Sectors[1], 12u);
  list.Reset();
  EXPECT_EQ(list.Count, 0u);
  EXPECT_EQ(list.Capacity, 0u);
}

}  // namespace
}  // namespace tarnwick
