#include "volume/geometry_inference.h"

#include <algorithm>
#include <array>
#include <map>

#include "source/bytes.h"
#include "volume/identify.h"

namespace tarnwick {

namespace {

constexpr uint64_t kFat32BackupSector = 6;
constexpr uint64_t kExFatBackupSector = 12;
// Fewer starts than this may line up on a large cluster by chance.
constexpr double kMinStarts = 6;
// The share of the starts that must lie on the cluster starts.
constexpr double kAgreeing = 0.9;

// The number of sectors a boot sector says its volume holds.
uint64_t VolumeSectors(Bytes b, uint8_t kind) {
  switch (kind) {
    case kFat12:
    case kFat16:
    case kFat32: {
      uint64_t small = LE16(b, 19);
      return small != 0 ? small : LE32(b, 32);
    }
    case kNtfs: return LE64(b, 40) + 1;  // the backup sector lies past the count
    case kExFat: return LE64(b, 72);
    default: return 0;
  }
}

const char* CopyName(BootCopy c) {
  switch (c) {
    case BootCopy::Primary: return "boot sector";
    case BootCopy::Fat32Backup:
    case BootCopy::ExFatBackup:
    case BootCopy::NtfsBackup: return "backup boot sector";
  }
  return "boot sector";
}

}  // namespace

int32_t SurvivingVolume::SourcePhase() const {
  const uint32_t spc = std::max<uint32_t>(Geometry.SectorsPerCluster, 1);
  const uint64_t rel = Geometry.ClusterPhase < 0 ? 0 : uint64_t(Geometry.ClusterPhase);
  return static_cast<int32_t>((First + rel) % spc);
}

std::string SurvivingVolume::Describe() const {
  return std::string(FsKindName(Geometry.FsKind)) + " " + CopyName(Copy) + " at sector " +
         std::to_string(BootSector);
}

std::optional<SurvivingVolume> ProbeBootCopy(SourceDevice& d, uint32_t bytesPerSector,
                                             uint64_t sector, BootCopy copy) {
  if (bytesPerSector == 0 || sector > d.Size() / bytesPerSector) return std::nullopt;
  std::array<uint8_t, kBootBlockSize> block{};
  if (d.ReadAt(sector * bytesPerSector, block) <= 0) return std::nullopt;
  SurvivingVolume v;
  if (!IdentifyBlock(block, v.Geometry)) return std::nullopt;
  // The volume's sectors must be the Source's: a boot sector written for
  // another sector size tells nothing about where things lie here.
  if (v.Geometry.BytesPerSector != bytesPerSector) return std::nullopt;
  const uint8_t kind = v.Geometry.FsKind;
  const uint64_t count = VolumeSectors(block, kind);
  if (count == 0) return std::nullopt;
  v.BootSector = sector;
  v.Copy = copy;
  switch (copy) {
    case BootCopy::Primary: v.First = sector; break;
    case BootCopy::Fat32Backup:
      if (kind != kFat32 || LE16(block, 50) != kFat32BackupSector || sector < kFat32BackupSector)
        return std::nullopt;
      v.First = sector - kFat32BackupSector;
      break;
    case BootCopy::ExFatBackup:
      if (kind != kExFat || sector < kExFatBackupSector) return std::nullopt;
      v.First = sector - kExFatBackupSector;
      break;
    case BootCopy::NtfsBackup:
      if (kind != kNtfs || count - 1 > sector) return std::nullopt;
      v.First = sector - (count - 1);
      break;
  }
  v.Last = v.First + count - 1;
  v.Geometry.LastSector = count - 1;
  return v;
}

std::vector<SurvivingVolume> FindFormerVolumes(SourceDevice& d, uint32_t bytesPerSector,
                                               uint64_t lastSector,
                                               const std::optional<VolumeGeometry>& present) {
  std::vector<SurvivingVolume> out;
  auto consider = [&](std::optional<SurvivingVolume> v) {
    if (!v || v->First != 0) return;
    const VolumeGeometry& g = v->Geometry;
    if (present && present->FsKind == g.FsKind &&
        present->SectorsPerCluster == g.SectorsPerCluster &&
        present->ClusterPhase == g.ClusterPhase)
      return;
    out.push_back(*v);
  };
  consider(ProbeBootCopy(d, bytesPerSector, 0, BootCopy::Primary));
  consider(ProbeBootCopy(d, bytesPerSector, kFat32BackupSector, BootCopy::Fat32Backup));
  consider(ProbeBootCopy(d, bytesPerSector, kExFatBackupSector, BootCopy::ExFatBackup));
  consider(ProbeBootCopy(d, bytesPerSector, lastSector, BootCopy::NtfsBackup));
  return out;
}

std::vector<SurvivingVolume> FindVolumesIn(SourceDevice& d, uint32_t bytesPerSector,
                                           uint64_t first, uint64_t last, uint64_t budget) {
  std::map<uint64_t, SurvivingVolume> byStart;
  auto keep = [&](std::optional<SurvivingVolume> v) {
    if (!v || v->Last < first || v->First > last) return;
    byStart.emplace(v->First, *v);  // the first word on a start holds
  };
  uint64_t spent = 0;
  auto place = [&](uint64_t p) {
    ++spent;
    keep(ProbeBootCopy(d, bytesPerSector, p, BootCopy::Primary));
    keep(ProbeBootCopy(d, bytesPerSector, p + kFat32BackupSector, BootCopy::Fat32Backup));
    keep(ProbeBootCopy(d, bytesPerSector, p + kExFatBackupSector, BootCopy::ExFatBackup));
    // A volume that ended just before this place.
    if (p > first) keep(ProbeBootCopy(d, bytesPerSector, p - 1, BootCopy::NtfsBackup));
  };
  place(first);
  for (uint64_t p = first + 1; p <= last && spent < budget; ++p) {
    // The next place where partitions are put: a 2048 or a 63 boundary.
    const uint64_t next2048 = (p + 2047) / 2048 * 2048;
    const uint64_t next63 = (p + 62) / 63 * 63;
    p = std::min(next2048, next63);
    if (p > last) break;
    place(p);
    if (p == UINT64_MAX) break;
  }
  keep(ProbeBootCopy(d, bytesPerSector, last, BootCopy::NtfsBackup));

  std::vector<SurvivingVolume> out;
  for (auto& [start, v] : byStart) {
    if (!out.empty() && v.First <= out.back().Last) continue;
    out.push_back(v);
  }
  return out;
}

double StartWeight(uint8_t t) {
  if (t == 2) return 0.5;  // a JPEG start told by its markers alone
  if (t == 30 || t == 32 || t == 34 || t == 35 || t == 100) return 0.0;
  return 1.0;
}

ClusterInference InferClusterFromStarts(std::span<const uint64_t> sectors,
                                        std::span<const uint8_t> types,
                                        uint32_t maxSectorsPerCluster) {
  ClusterInference out;
  const size_t n = std::min(sectors.size(), types.size());
  for (size_t i = 0; i < n; ++i) out.Total += StartWeight(types[i]);
  out.Weight = out.Total;
  if (out.Total < kMinStarts) return out;
  std::vector<double> bins;
  for (uint32_t c = 2; c <= maxSectorsPerCluster; c *= 2) {
    bins.assign(c, 0.0);
    for (size_t i = 0; i < n; ++i) bins[sectors[i] % c] += StartWeight(types[i]);
    // The lower residue wins a tie, as in the alignment of a known size.
    uint32_t best = 0;
    for (uint32_t k = 1; k < c; ++k)
      if (bins[k] > bins[best]) best = k;
    if (bins[best] < kAgreeing * out.Total) break;
    // A larger cluster must keep the starts the smaller one kept.
    if (best % out.SectorsPerCluster != static_cast<uint32_t>(out.Phase)) break;
    out.SectorsPerCluster = c;
    out.Phase = static_cast<int32_t>(best);
    out.Weight = bins[best];
  }
  return out;
}

}  // namespace tarnwick
