// Cluster geometry from file starts and from boot sectors that survived.
#include "volume/geometry_inference.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "scan/region_scan.h"
#include "scan/session.h"
#include "scan/session_source.h"

namespace tarnwick {
namespace {

TEST(InferClusterTest, SizeAndPhaseFromTheStartsWithNoiseAndTooFewStarts) {
  // 20 starts on 16-sector clusters at phase 5, one stray start, one JPEG
  // start told by its markers, and metadata that weighs nothing.
  std::vector<uint64_t> sectors;
  std::vector<uint8_t> types;
  for (uint64_t k = 0; k < 20; ++k) {
    sectors.push_back(1000 * 16 + 37 * 16 * k + 5);
    types.push_back(5);
  }
  sectors.push_back(90001), types.push_back(1);
  sectors.push_back(90003), types.push_back(2);
  for (uint64_t k = 0; k < 30; ++k) sectors.push_back(2 * k + 100000), types.push_back(100);
  ClusterInference got = InferClusterFromStarts(sectors, types, 256);
  EXPECT_EQ(got.SectorsPerCluster, 16u);
  EXPECT_EQ(got.Phase, 5);
  EXPECT_DOUBLE_EQ(got.Total, 21.5);
  EXPECT_DOUBLE_EQ(got.Weight, 20.0);
  // The size is capped by the largest cluster a file system has.
  EXPECT_EQ(InferClusterFromStarts(sectors, types, 8).SectorsPerCluster, 8u);
  // Too many strays: the starts agree on no cluster at all.
  for (uint64_t k = 0; k < 4; ++k) sectors.push_back(200002 + 2 * k), types.push_back(9);
  EXPECT_EQ(InferClusterFromStarts(sectors, types, 256).SectorsPerCluster, 1u);
  // Five starts may line up by chance: one sector per cluster, nothing dropped.
  std::vector<uint64_t> few = {64, 128, 256, 512, 1024};
  std::vector<uint8_t> fiveTypes(5, 5);
  EXPECT_EQ(InferClusterFromStarts(few, fiveTypes, 256).SectorsPerCluster, 1u);
}

// A boot sector image: NTFS with 8 sectors per cluster and the given count.
std::vector<uint8_t> NtfsBoot(uint64_t totalSectors) {
  std::vector<uint8_t> b(512, 0);
  std::memcpy(&b[3], "NTFS    ", 8);
  b[11] = 0x00, b[12] = 0x02, b[13] = 8;
  for (int k = 0; k < 8; ++k) b[40 + k] = static_cast<uint8_t>(totalSectors >> (8 * k));
  b[510] = 0x55, b[511] = 0xAA;
  return b;
}

TEST(SurvivingVolumeTest, BackupsTellWhereTheirVolumeStartsAndHostileCountsAreRefused) {
  // A disk of 8192 sectors: an NTFS volume of 2048 sectors at 2048 whose
  // primary is gone and whose backup sits at its last sector.
  std::vector<uint8_t> disk(8192 * 512, 0);
  auto boot = NtfsBoot(2047);
  std::memcpy(&disk[(2048 + 2047) * 512], boot.data(), 512);
  MemoryDevice dev(disk);
  auto found = FindVolumesIn(dev, 512, 1, 8191);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].First, 2048u);
  EXPECT_EQ(found[0].Last, 4095u);
  EXPECT_EQ(found[0].Copy, BootCopy::NtfsBackup);
  EXPECT_EQ(found[0].Geometry.SectorsPerCluster, 8u);
  EXPECT_EQ(found[0].SourcePhase(), 0);

  // A backup whose count reaches before the disk's start tells nothing.
  auto hostile = NtfsBoot(UINT64_MAX - 5);
  std::memcpy(&disk[100 * 512], hostile.data(), 512);
  MemoryDevice dev2(disk);
  EXPECT_FALSE(ProbeBootCopy(dev2, 512, 100, BootCopy::NtfsBackup));
  // As a primary it describes a volume far beyond the disk, kept only as far
  // as the range asked about.
  auto primary = ProbeBootCopy(dev2, 512, 100, BootCopy::Primary);
  ASSERT_TRUE(primary);
  EXPECT_EQ(primary->First, 100u);
  // A boot sector for another sector size says nothing about this Source.
  EXPECT_FALSE(ProbeBootCopy(dev2, 4096, 0, BootCopy::Primary));
  // Probing past the end fails quietly.
  EXPECT_FALSE(ProbeBootCopy(dev2, 512, 1u << 30, BootCopy::Primary));
}

TEST(RegionScanTest, EachRegionAlignsOnItsOwnClustersAndLendsItsGeometryToACarve) {
  auto s = std::make_unique<Session>();
  OpenImageDevice(*s, std::make_unique<MemoryDevice>(std::vector<uint8_t>(4096 * 512)), "m.img");
  ScanRegion known;
  known.First = 0, known.Last = 1023, known.SectorsPerCluster = 4, known.ClusterPhase = 1;
  ScanRegion open;
  open.First = 1024, open.Last = 4095, open.InferSize = true;
  s->Regions = {known, open};
  // Known region: 5 and 9 lie on its clusters, 6 does not. Open region:
  // eight starts on 8-sector clusters at phase 3 and metadata that is not.
  for (uint64_t n : {5, 6, 9}) s->Found.Append(n, 5);
  for (uint64_t k = 0; k < 8; ++k) s->Found.Append(1024 + 40 * k + 3, 5);
  s->Found.Append(3000, 100);
  AlignRegions(*s);
  EXPECT_EQ(s->Regions[1].SectorsPerCluster, 8u);
  EXPECT_EQ(s->Regions[1].ClusterPhase, 3);
  std::vector<uint64_t> kept(s->Found.Sectors.begin(),
                             s->Found.Sectors.begin() + static_cast<long>(s->Found.Count));
  EXPECT_EQ(kept.size(), 10u);
  EXPECT_EQ(kept[0], 5u);
  EXPECT_EQ(kept[1], 9u);
  EXPECT_EQ(kept.back(), 1024u + 40 * 7 + 3);

  s->Scan.SectorsPerCluster = 1;
  s->ScanClusterPhase = 0;
  {
    RegionGeometryScope scope(*s, 1500);
    EXPECT_EQ(s->Scan.SectorsPerCluster, 8u);
    EXPECT_EQ(s->ScanClusterPhase, 3);
  }
  EXPECT_EQ(s->Scan.SectorsPerCluster, 1u);
  EXPECT_EQ(s->ScanClusterPhase, 0);

  RegionCursor cursor(s->Regions, 4, 0);
  EXPECT_TRUE(cursor.AtClusterStart(9));
  EXPECT_FALSE(cursor.AtClusterStart(10));
  EXPECT_TRUE(cursor.AtClusterStart(2003));
  EXPECT_FALSE(cursor.AtClusterStart(2004));
  EXPECT_FALSE(cursor.AtClusterStart(5001));  // beyond every region: the Source's geometry
  EXPECT_TRUE(cursor.AtClusterStart(5004));
  EXPECT_EQ(RegionOf(s->Regions, 5000), nullptr);
}

TEST(RegionScanTest, SteppingFromClusterStartToClusterStartMissesNoneThatWouldBeRead) {
  // Regions with gaps between them, a former volume's clusters, an open
  // phase and a one-sector geometry, around the Source's own 8-sector clusters.
  ScanRegions regions(4);
  regions[0].First = 10, regions[0].Last = 99, regions[0].SectorsPerCluster = 4;
  regions[0].ClusterPhase = 1;
  regions[1].First = 100, regions[1].Last = 250, regions[1].SectorsPerCluster = 16;
  regions[1].ClusterPhase = 5, regions[1].FormerSectorsPerCluster = 6;
  regions[1].FormerClusterPhase = 2;
  regions[2].First = 300, regions[2].Last = 340, regions[2].SectorsPerCluster = 8;
  regions[2].ClusterPhase = -1;
  regions[3].First = 400, regions[3].Last = 403, regions[3].SectorsPerCluster = 64;
  regions[3].ClusterPhase = 7;
  for (uint64_t from = 0; from < 520; from += 37) {
    RegionCursor every(regions, 8, 3), stepping(regions, 8, 3);
    std::vector<uint64_t> read, stepped;
    for (uint64_t n = from; n < 520; ++n)
      if (every.AtClusterStart(n)) read.push_back(n);
    for (uint64_t n = stepping.NextClusterStart(from); n < 520;
         n = stepping.NextClusterStart(n + 1)) {
      stepped.push_back(n);
      // The search asks again for the start it was given.
      ASSERT_EQ(stepping.NextClusterStart(n), n) << "from sector " << from;
    }
    EXPECT_EQ(stepped, read) << "from sector " << from;
  }
  const ScanRegions noRegions;
  RegionCursor none(noRegions, 8, 3);
  EXPECT_EQ(none.NextClusterStart(UINT64_MAX - 2), UINT64_MAX);
}

}  // namespace
}  // namespace tarnwick
