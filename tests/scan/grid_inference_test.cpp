#include "scan/grid_inference.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "scan/classify.h"
#include "scan/deep_scan.h"
#include "scan/region_scan.h"
#include "support/recording_frontend.h"
#include "support/sessions.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

struct Starts {
  std::vector<uint64_t> Sectors;
  std::vector<uint8_t> Types;
  void Add(uint64_t sector, uint8_t type = kOle2) {
    Sectors.push_back(sector);
    Types.push_back(type);
  }
  // count starts on the grid (spc, phase), at clusters spread over the volume.
  void OnGrid(uint32_t spc, uint32_t phase, int count, uint32_t seed) {
    std::mt19937 rng(seed);
    for (int i = 0; i < count; ++i) Add(uint64_t(rng() % 4000) * spc + phase);
  }
  void Sort() {
    std::vector<std::pair<uint64_t, uint8_t>> v;
    for (size_t i = 0; i < Sectors.size(); ++i) v.emplace_back(Sectors[i], Types[i]);
    std::sort(v.begin(), v.end());
    Sectors.clear(), Types.clear();
    for (auto [s, t] : v) Add(s, t);
  }
};

ClusterGrid Grid(uint32_t spc, int32_t phase, const char* origin = "known") {
  ClusterGrid g;
  g.SectorsPerCluster = spc;
  g.Phase = phase;
  g.Origin = origin;
  return g;
}

TEST(GridsFromStarts, AnOldGridStandsOutAmongStartsInsideFiles) {
  Starts st;
  st.OnGrid(8, 3, 12, 1);
  for (uint64_t inside : {1001, 2050, 3077, 5005, 7770}) st.Add(inside, kJpegApp);
  ClusterGrids g = GridsFromStarts(st.Sectors, st.Types, 256);
  ASSERT_EQ(g.size(), 1u);
  EXPECT_EQ(g[0].SectorsPerCluster, 8u);
  EXPECT_EQ(g[0].Phase, 3);
  EXPECT_DOUBLE_EQ(g[0].Starts, 12);
}

TEST(GridsFromStarts, FewOrScatteredStartsShowNoGrid) {
  Starts scattered;
  for (uint64_t s : {11, 202, 3003, 4005, 5557, 6661, 7777}) scattered.Add(s);
  EXPECT_TRUE(GridsFromStarts(scattered.Sectors, scattered.Types, 256).empty());
  // Three starts on one residue of 64 may be chance.
  Starts three;
  three.OnGrid(64, 5, 3, 2);
  EXPECT_TRUE(GridsFromStarts(three.Sectors, three.Types, 256).empty());
  // Metadata and stream middles weigh nothing, however well they line up.
  Starts metadata;
  for (int i = 0; i < 40; ++i) metadata.Add(uint64_t(i) * 16 + 2, kMetadata);
  EXPECT_TRUE(GridsFromStarts(metadata.Sectors, metadata.Types, 256).empty());
}

TEST(GridsFromStarts, AFineGridNeedsMoreStartsThanACoarseOne) {
  // Half of all places lie on a grid of two sectors: six starts there are
  // not enough to tell it from chance, sixteen are.
  Starts six, sixteen;
  six.OnGrid(2, 1, 6, 3);
  sixteen.OnGrid(2, 1, 16, 4);
  EXPECT_TRUE(GridsFromStarts(six.Sectors, six.Types, 256).empty());
  ClusterGrids g = GridsFromStarts(sixteen.Sectors, sixteen.Types, 256);
  ASSERT_EQ(g.size(), 1u);
  EXPECT_EQ(g[0].SectorsPerCluster, 2u);
  EXPECT_EQ(g[0].Phase, 1);
}

TEST(GridsFromStarts, TwoFormerGridsAreBothFound) {
  Starts st;
  st.OnGrid(64, 10, 10, 5);
  st.OnGrid(8, 5, 10, 6);
  ClusterGrids g = GridsFromStarts(st.Sectors, st.Types, 256);
  ASSERT_EQ(g.size(), 2u);
  std::set<std::pair<uint32_t, int32_t>> found;
  for (const auto& x : g) found.insert({x.SectorsPerCluster, x.Phase});
  EXPECT_TRUE(found.count({64, 10}));
  EXPECT_TRUE(found.count({8, 5}));
}

TEST(ResolveGrids, KnownGridsComeFirstAndStartsOnNoGridAreLeftOut) {
  Starts st;
  st.OnGrid(32, 0, 3, 7);   // files of the file system in place
  st.OnGrid(8, 4, 10, 8);   // files laid by the one formatted over
  st.Add(12345);            // a signature inside a file
  st.Sort();
  ClusterGrids g = ResolveGrids(st.Sectors, st.Types, 0, 200000, {Grid(32, 0, "in place")},
                                std::nullopt, 256);
  ASSERT_EQ(g.size(), 2u);
  EXPECT_EQ(g[0].Origin, "in place");
  EXPECT_DOUBLE_EQ(g[0].Starts, 3);
  EXPECT_EQ(g[1].SectorsPerCluster, 8u);
  EXPECT_EQ(g[1].Phase, 4);
  EXPECT_EQ(GridFor(g, 12345), nullptr);
}

TEST(ResolveGrids, AGridWhoseOtherHalfAKnownGridTookIsTheFinerOne) {
  // Files on 4-sector clusters at phase 0 under a present grid of 8 at
  // phase 0: the present grid explains half of them, the rest lie at 4 mod 8.
  Starts st;
  for (uint64_t c : {3u, 4u, 9u, 14u, 15u, 22u, 27u, 33u, 41u, 56u}) st.Add(c * 8 + 4);
  st.Add(50 * 8);
  st.Add(70 * 8);
  st.Sort();
  ClusterGrids g =
      ResolveGrids(st.Sectors, st.Types, 0, 100000, {Grid(8, 0)}, std::nullopt, 256);
  ASSERT_EQ(g.size(), 2u);
  EXPECT_EQ(g[1].SectorsPerCluster, 4u);
  EXPECT_EQ(g[1].Phase, 0);
  // A start on both is carved with the finer grid.
  EXPECT_EQ(GridFor(g, 400)->SectorsPerCluster, 4u);
}

TEST(ResolveGrids, AnOldGridIsFoundWhereTheGridInPlaceHoldsMostOfItsStarts) {
  // Files laid on 4-sector clusters at phase 0, five of seven at 0 mod 8
  // where an empty file system of 8 puts its clusters now: the two left
  // over cannot show a grid, all seven together do.
  Starts st;
  for (uint64_t s : {164, 1448, 1752, 2508, 2592, 2864, 3200}) st.Add(s);
  ClusterGrids g =
      ResolveGrids(st.Sectors, st.Types, 0, 65535, {Grid(8, 0, "in place")}, std::nullopt, 256);
  ASSERT_EQ(g.size(), 2u);
  EXPECT_EQ(g[1].SectorsPerCluster, 4u);
  EXPECT_EQ(g[1].Phase, 0);
  EXPECT_NE(GridFor(g, 164), nullptr);
  EXPECT_NE(GridFor(g, 2508), nullptr);
}

TEST(ResolveGrids, TheGridInPlaceFoundAgainMakesNoFinerOne) {
  // A file system's own files and a few table packets inside its streams:
  // the packets must not make a grid twice as fine of the one in place.
  Starts st;
  st.OnGrid(4, 0, 18, 11);
  for (uint64_t s : {3862, 2290, 2335, 3011}) st.Add(s, kTs188Table);
  st.Sort();
  ClusterGrids g =
      ResolveGrids(st.Sectors, st.Types, 0, 65535, {Grid(4, 0, "in place")}, std::nullopt, 256);
  ASSERT_EQ(g.size(), 1u);
  EXPECT_EQ(GridFor(g, 3862), nullptr);
}

TEST(ResolveGrids, TheUsersWordCountsOnlyWhereTheStartsShowNothing) {
  Starts clear;
  clear.OnGrid(8, 2, 12, 9);
  clear.Sort();
  ClusterGrids g =
      ResolveGrids(clear.Sectors, clear.Types, 0, 100000, {}, Grid(32, -1, "chosen"), 256);
  ASSERT_EQ(g.size(), 1u) << "the starts show their grid; the wrong word adds nothing";
  EXPECT_EQ(g[0].SectorsPerCluster, 8u);

  Starts few;
  for (uint64_t s : {66, 130, 999}) few.Add(s);
  g = ResolveGrids(few.Sectors, few.Types, 0, 100000, {}, Grid(64, -1, "chosen"), 256);
  ASSERT_EQ(g.size(), 1u);
  EXPECT_EQ(g[0].Origin, "chosen");
  EXPECT_EQ(g[0].Phase, 2) << "the residue most of the starts lie at";
  EXPECT_NE(GridFor(g, 130), nullptr);
  EXPECT_EQ(GridFor(g, 999), nullptr);
}

TEST(ResolveGrids, AGridHoldsOnlyInsideItsStretch) {
  Starts st;
  st.Add(100);
  ClusterGrid former = Grid(4, 0);
  former.First = 200;
  former.Last = 400;
  ClusterGrids g = ResolveGrids(st.Sectors, st.Types, 0, 1000, {former}, std::nullopt, 256);
  ASSERT_EQ(g.size(), 1u);
  EXPECT_EQ(GridFor(g, 100), nullptr);
  EXPECT_NE(GridFor(g, 200), nullptr);
  EXPECT_EQ(GridFor(g, 404), nullptr);
}

TEST(RegionGrids, APartitionFormattedOverKeepsTheFilesOfItsFormerGrid) {
  auto s = std::make_unique<Session>();
  OpenImageDevice(*s, std::make_unique<MemoryDevice>(std::vector<uint8_t>(8192 * 512)), "m.img");
  ScanRegion part;
  part.First = 2048, part.Last = 8191, part.SectorsPerCluster = 32, part.ClusterPhase = 0;
  part.Partition = 1, part.Origin = "FAT16";
  s->Regions = {part};
  std::vector<uint64_t> old;
  for (uint64_t c = 300; c < 1000; c += 61) old.push_back(c * 8 + 5);
  for (uint64_t n : old) {
    if (n > 7001 && n - 7001 < 488) s->Found.Append(7001, kPng);  // inside the one before
    s->Found.Append(n, kOle2);
  }
  AlignRegions(*s);
  std::vector<uint64_t> kept(s->Found.Sectors.begin(), s->Found.Sectors.begin() + s->Found.Count);
  EXPECT_EQ(kept, old);
  ASSERT_EQ(s->Grids.size(), 2u);
  EXPECT_EQ(s->Grids[0].Origin, "FAT16");
  EXPECT_EQ(s->Grids[1].SectorsPerCluster, 8u);
  EXPECT_EQ(s->Grids[1].Phase, 5);
  EXPECT_EQ(s->Grids[1].First, 2048u);
  RegionGeometryScope scope(*s, old[0]);
  EXPECT_EQ(s->Scan.SectorsPerCluster, 8u);
  EXPECT_EQ(s->ScanClusterPhase, 5);
}

constexpr uint8_t kOleSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

// The search over an image whose files lie on a grid nobody told it: every
// sector is looked at, the grid is found, a signature off it is dropped, and
// a start on it is carved with that grid's geometry.
TEST(SearchGrids, AFormatOverAnotherIsSeenThroughWithTheUsersWrongWord) {
  std::vector<uint8_t> img(8192 * 512, 0);
  std::vector<uint64_t> onGrid;
  for (uint64_t c = 5; c < 1000; c += 83) onGrid.push_back(c * 8 + 3);
  for (uint64_t s : onGrid) std::copy(std::begin(kOleSignature), std::end(kOleSignature), img.begin() + s * 512);
  std::copy(std::begin(kOleSignature), std::end(kOleSignature), img.begin() + 6001 * 512);
  auto s = test::EnglishSession();
  test::RecordingFrontend ui;
  OpenOutcome o = OpenImageDevice(*s, std::make_unique<MemoryDevice>(std::move(img)), "/m/d.img");
  s->SetFrontend(&ui);
  RescueBoxes boxes;
  boxes.Reason = o.ReasonIndex;
  // The user says 16 KiB clusters at a phase he does not know.
  s->Scan.SectorsPerCluster = 32;
  s->Scan.ClusterPhase = -1;
  boxes.Cluster = 5;
  ScanRequest r;
  r.NeedFolder = false;
  r.FirstText = "0";
  r.LastText = std::to_string(s->Scan.LastSector);
  ASSERT_EQ(SearchPhase(*s, boxes, r).ErrorSlot, 0);
  std::vector<uint64_t> kept(s->Found.Sectors.begin(), s->Found.Sectors.begin() + s->Found.Count);
  EXPECT_EQ(kept, onGrid);
  ASSERT_EQ(s->Grids.size(), 1u);
  EXPECT_EQ(s->Grids[0].SectorsPerCluster, 8u);
  EXPECT_EQ(s->Grids[0].Phase, 3);
  {
    RegionGeometryScope scope(*s, onGrid[0]);
    EXPECT_EQ(s->Scan.SectorsPerCluster, 8u);
    EXPECT_EQ(s->ScanClusterPhase, 3);
  }
  EXPECT_EQ(s->Scan.SectorsPerCluster, 32u) << "the geometry is put back after the carve";
  ASSERT_FALSE(DescribeGrids(s->Grids).empty());
  EXPECT_EQ(DescribeGrids(s->Grids)[0],
            "8 sectors per cluster at phase 3, sectors 0-8191: file starts (12 starts)");
  EndSearchOnly(*s);
}

}  // namespace
}  // namespace tarnwick
