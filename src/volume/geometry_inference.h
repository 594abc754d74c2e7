#pragma once
// The geometry nobody remembers: volumes told by boot sectors that survived
// a format or a repartitioning (a primary one, FAT32's backup at sector 6,
// exFAT's backup region at sector 12, NTFS's backup at the volume's last
// sector), and the cluster size and phase that the file starts imply.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "source/device.h"
#include "volume/geometry.h"

namespace tarnwick {

enum class BootCopy { Primary, Fat32Backup, ExFatBackup, NtfsBackup };

// A volume a boot sector tells of.
struct SurvivingVolume {
  uint64_t First = 0;       // Source sector at which the volume starts
  uint64_t Last = 0;        // its last sector, as the boot sector gives it
  VolumeGeometry Geometry;  // ClusterPhase relative to First
  uint64_t BootSector = 0;  // where the telling sector lies
  BootCopy Copy = BootCopy::Primary;
  // Source sector mod SectorsPerCluster at which its clusters start.
  int32_t SourcePhase() const;
  std::string Describe() const;  // "backup FAT32 boot sector at sector 6"
};

// The volume told by a boot sector at `sector` in the role of copy, or none.
// bytesPerSector is the Source's.
std::optional<SurvivingVolume> ProbeBootCopy(SourceDevice& d, uint32_t bytesPerSector,
                                             uint64_t sector, BootCopy copy);

// The copies that tell of a volume starting at sector 0 of a volume-sized
// Source whose present file system may be another: the backups at 6 and 12
// and NTFS's backup at the last sector. The ones that agree with `present`
// (the file system in place) are left out.
std::vector<SurvivingVolume> FindFormerVolumes(SourceDevice& d, uint32_t bytesPerSector,
                                               uint64_t lastSector,
                                               const std::optional<VolumeGeometry>& present);

// Volumes whose boot sectors lie in [first, last], looked for where
// partitions start (every 2048th and every 63rd sector) and where they end,
// at most `budget` places from the start of the range (a volume of a deleted
// partition mostly starts where the space before it ends), so that a huge
// unknown disk costs a few thousand reads and not a pass over it. Sorted by
// start, none overlapping another.
std::vector<SurvivingVolume> FindVolumesIn(SourceDevice& d, uint32_t bytesPerSector,
                                           uint64_t first, uint64_t last,
                                           uint64_t budget = 1024);

// What a file start weighs when clusters are inferred: 1, 0.5 for a JPEG
// start seen only by its markers, 0 for stream middles and metadata.
double StartWeight(uint8_t typeCode);

struct ClusterInference {
  uint32_t SectorsPerCluster = 1;
  int32_t Phase = 0;   // sector mod SectorsPerCluster
  double Weight = 0;   // of the starts that agree
  double Total = 0;    // of all starts
};

// The largest cluster (up to maxSectorsPerCluster) at whose starts nearly all
// file starts lie, given enough of them; one sector otherwise. The sectors
// are Source sectors, so the phase is too.
ClusterInference InferClusterFromStarts(std::span<const uint64_t> sectors,
                                        std::span<const uint8_t> types,
                                        uint32_t maxSectorsPerCluster);

}  // namespace tarnwick
