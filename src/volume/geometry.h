#pragma once
#include <cstdint>
#include <string_view>

namespace tarnwick {

enum FsKind : uint8_t {
  kFat12 = 0,
  kFat16 = 1,
  kFat32 = 2,
  kNtfs = 3,
  kExFat = 4,
  kHfs = 5,
  kHfsPlus = 6,  // HFS+ and HFSX
  kFsOther = 7,
};

struct VolumeGeometry {
  uint64_t LastSector = 0;  // number of the last sector; all bits set for an empty Source
  uint32_t BytesPerSector = 0;
  uint32_t SectorsPerCluster = 0;
  int32_t ClusterPhase = -1;  // -1: undetermined
  uint8_t FsKind = kFsOther;

  uint64_t ClusterSize() const { return uint64_t{BytesPerSector} * SectorsPerCluster; }
  bool operator==(const VolumeGeometry&) const = default;
};

std::string_view FsKindName(uint8_t kind);

}  // namespace tarnwick
