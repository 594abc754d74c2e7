#include "scan/cluster_map.h"

#include <gtest/gtest.h>

#include <random>

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
  EXPECT_FALSE(m.Allocate(UINT64_MAX - 1)) << "more sectors than 64-bit counts can hold";
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
  EXPECT_EQ(m.ByteAt(0), 0xF8);
  EXPECT_EQ(m.ByteAt(1), 0xFF);
  EXPECT_EQ(m.ByteAt(2), 0x7F);

  ASSERT_TRUE(m.Allocate(63));
  m.MarkSectorRun(8, 16);
  EXPECT_EQ(m.ByteAt(0), 0x00);
  EXPECT_EQ(m.ByteAt(1), 0xFF);
  EXPECT_EQ(m.ByteAt(2), 0xFF);
  EXPECT_EQ(m.ByteAt(3), 0x00);
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

// A flat bit per sector, the form whose meaning the paged map keeps.
struct FlatMap {
  explicit FlatMap(uint64_t sectors) : bits(sectors, false) {}
  void Mark(uint64_t s) {
    if (s < bits.size()) bits[s] = true;
  }
  std::vector<bool> bits;
};

TEST(ClusterMap, PagedMapAnswersAsOneBitPerSectorAcrossPageEdges) {
  constexpr uint64_t kPage = ClusterMap::kPageSectors;
  const uint64_t last = 5 * kPage + 1234;  // a last page cut short
  ClusterMap m;
  ASSERT_TRUE(m.Allocate(last));
  FlatMap flat((last / 8 + 1) * 8);
  std::mt19937_64 rng(11);
  auto pick = [&] {
    // Mostly near page edges, where pages are split, joined and made shared.
    uint64_t edge = (rng() % 6) * kPage;
    uint64_t s = edge + rng() % 200 - (edge > 0 ? 100 : 0);
    return rng() % 4 == 0 ? rng() % (last + 50) : s;
  };
  for (int i = 0; i < 4000; ++i) {
    uint64_t s = pick();
    switch (rng() % 4) {
      case 0: {
        int32_t count =
            static_cast<int32_t>(rng() % 3 == 0 ? rng() % (2 * kPage + 50) : rng() % 300);
        m.MarkSectorRun(s, count);
        for (uint64_t k = 0; k < static_cast<uint64_t>(count); ++k) flat.Mark(s + k);
        break;
      }
      case 1:
        m.UnmarkSector(s);
        if (s < flat.bits.size()) flat.bits[s] = false;
        break;
      default: m.MarkSector(s); flat.Mark(s);
    }
  }
  std::vector<std::pair<uint64_t, uint64_t>> runs;
  for (uint64_t s = 0; s < flat.bits.size() + 70; ++s) {
    bool want = s < flat.bits.size() && flat.bits[s];
    ASSERT_EQ(m.IsSectorMarked(s), want) << "sector " << s;
    if (!want || s > last) continue;
    if (!runs.empty() && runs.back().second + 1 == s)
      runs.back().second = s;
    else
      runs.emplace_back(s, s);
  }
  EXPECT_EQ(m.MarkedRuns(last), runs);
  // The next clear sector, from anywhere, up to any last sector: stepping
  // over marked words and whole marked pages finds what testing each finds.
  for (int i = 0; i < 3000; ++i) {
    const uint64_t from = pick(), upTo = from + rng() % (3 * kPage);
    uint64_t want = from;
    while (want <= upTo && m.IsSectorMarked(want)) ++want;
    ASSERT_EQ(m.NextClear(from, upTo), want) << "from " << from << " up to " << upTo;
  }
  for (uint64_t byte = 0; byte < m.SizeInBytes(); ++byte) {
    uint8_t want = 0;
    for (uint64_t k = 0; k < 8; ++k)
      want = static_cast<uint8_t>(want | (flat.bits[byte * 8 + k] ? 1u << k : 0u));
    ASSERT_EQ(m.ByteAt(byte), want) << "byte " << byte;
  }
}

TEST(ClusterMap, MemoryFollowsWhatIsMarkedNotTheSourceSize) {
  constexpr uint64_t kPage = ClusterMap::kPageSectors;
  ClusterMap m;
  const uint64_t last = (uint64_t{20'000'000'000'000} / 512) - 1;  // a 20 TB disk
  ASSERT_TRUE(m.Allocate(last));
  const uint64_t table = m.MemoryInUse();
  EXPECT_LT(table, uint64_t{8} << 20) << "a page table, not a bit per sector";

  // Sectors past 2^32 are kept apart from their low 32 bits.
  const uint64_t high = (uint64_t{1} << 32) + 5;
  m.MarkSector(high);
  m.MarkSector(last);
  EXPECT_TRUE(m.IsSectorMarked(high));
  EXPECT_FALSE(m.IsSectorMarked(5));
  EXPECT_TRUE(m.IsSectorMarked(last));
  EXPECT_FALSE(m.IsSectorMarked(last + 8));
  EXPECT_EQ(m.MemoryInUse(), table + 2 * kPage / 8);

  // Whole pages marked by a run share one all-set page; a sector given back
  // from one of them costs that page alone.
  m.MarkSectorRun(kPage, static_cast<int32_t>(4 * kPage));
  EXPECT_EQ(m.MemoryInUse(), table + 2 * kPage / 8);
  m.UnmarkSector(2 * kPage + 7);
  EXPECT_FALSE(m.IsSectorMarked(2 * kPage + 7));
  EXPECT_TRUE(m.IsSectorMarked(2 * kPage + 8));
  EXPECT_EQ(m.MemoryInUse(), table + 3 * kPage / 8);
  EXPECT_EQ(
      m.MarkedRuns(last),
      (std::vector<std::pair<uint64_t, uint64_t>>{
          {kPage, 2 * kPage + 6}, {2 * kPage + 8, 5 * kPage - 1}, {high, high}, {last, last}}));

  // A failed carve gives its claims back, and the memory with them.
  m.UnmarkSector(high);
  EXPECT_EQ(m.MemoryInUse(), table + 2 * kPage / 8);
  m.Free();
  EXPECT_EQ(m.MemoryInUse(), 0u);
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

TEST(FoundList, GrowsWithWhatIsFoundAndCompactsInOrder) {
  FoundList list;
  list.Append(7, 5);
  EXPECT_EQ(list.Capacity, FoundList::kFirstCapacity);
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
