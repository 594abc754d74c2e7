#include "scan/disk_plan.h"

#include <algorithm>

#include "scan/session.h"
#include "source/slice_device.h"
#include "volume/geometry_inference.h"
#include "volume/identify_partitions.h"
#include "volume/identify.h"

namespace tarnwick {

namespace {

ScanRegion Unknown(uint64_t first, uint64_t last, int partition) {
  ScanRegion r;
  r.First = first;
  r.Last = last;
  r.SectorsPerCluster = 1;
  r.ClusterPhase = -1;
  r.InferSize = true;
  r.Partition = partition;
  r.Origin = "file starts";
  return r;
}

// [first, last] with nothing known: the volumes whose boot sectors survived
// there get their own geometry, the rest is left to the file starts.
void PlanUnknown(Session& s, uint64_t first, uint64_t last, int partition, ScanRegions& out,
                 std::vector<SurvivingVolume>* found = nullptr) {
  const uint32_t bps = s.Scan.BytesPerSector;
  uint64_t cursor = first;
  for (const SurvivingVolume& v : FindVolumesIn(*s.Source.Device, bps, first, last)) {
    if (found) found->push_back(v);
    const uint64_t from = std::max(v.First, cursor);
    const uint64_t to = std::min(v.Last, last);
    if (from > to) continue;
    if (from > cursor) out.push_back(Unknown(cursor, from - 1, partition));
    ScanRegion r;
    r.First = from;
    r.Last = to;
    r.SectorsPerCluster = std::max<uint32_t>(v.Geometry.SectorsPerCluster, 1);
    r.ClusterPhase = v.SourcePhase();
    r.Partition = partition;
    r.FsKind = v.Geometry.FsKind;
    r.Origin = v.Describe();
    out.push_back(r);
    cursor = to + 1;
    if (to == last) return;
  }
  if (cursor <= last) out.push_back(Unknown(cursor, last, partition));
}

// A partition made over an older volume: the older one's file starts lie on
// its own clusters, which phase 1 then reads too.
void AddFormer(ScanRegion& r, uint32_t spc, int32_t phase) {
  if (r.FormerSectorsPerCluster != 0 || spc <= 1) return;
  const uint32_t own = std::max<uint32_t>(r.SectorsPerCluster, 1);
  if (spc % own == 0 && AtClusterStart(static_cast<uint64_t>(phase), own, r.ClusterPhase))
    return;  // its cluster starts are among the region's own
  r.FormerSectorsPerCluster = spc;
  r.FormerClusterPhase = phase;
}

}  // namespace

ScanRegions PlanWholeDisk(Session& s, const PartitionTable& table) {
  ScanRegions out;
  if (!s.Source.IsOpen() || s.Scan.LastSector == UINT64_MAX) return out;
  if (table.SectorSize != s.Scan.BytesPerSector) return out;
  const uint64_t lastSector = s.Scan.LastSector;
  auto parts = IdentifyPartitions(*s.Source.Device, table, std::string());
  std::sort(parts.begin(), parts.end(), [](const PartitionContents& a, const PartitionContents& b) {
    return a.Entry.FirstSector < b.Entry.FirstSector;
  });
  uint64_t cursor = 0;
  std::vector<SurvivingVolume> found;
  for (const PartitionContents& c : parts) {
    // Overlapping entries: the part already planned keeps its geometry.
    const uint64_t first = std::max(c.Entry.FirstSector, cursor);
    const uint64_t last = std::min(c.Entry.LastSector, lastSector);
    if (first > last) continue;
    if (first > cursor) PlanUnknown(s, cursor, first - 1, 0, out, &found);
    if (c.Identified) {
      ScanRegion r;
      r.First = first;
      r.Last = last;
      const uint32_t spc = std::max<uint32_t>(c.Geometry.SectorsPerCluster, 1);
      r.SectorsPerCluster = spc;
      r.ClusterPhase = static_cast<int32_t>(
          (c.Entry.FirstSector + static_cast<uint64_t>(std::max(c.Geometry.ClusterPhase, 0))) %
          spc);
      r.Partition = c.Entry.Index;
      r.FsKind = c.Geometry.FsKind;
      r.Origin = c.FsName;
      // A volume formatted over another: the older one's backup boot sector.
      SliceDevice slice(*s.Source.Device, table.ByteOffset(c.Entry), table.ByteLength(c.Entry));
      for (const SurvivingVolume& v : FindFormerVolumes(slice, s.Scan.BytesPerSector,
                                                        c.Entry.SectorCount() - 1, c.Geometry)) {
        SurvivingVolume moved = v;
        moved.First += c.Entry.FirstSector;
        moved.Last += c.Entry.FirstSector;
        moved.BootSector += c.Entry.FirstSector;
        found.push_back(moved);
      }
      out.push_back(r);
    } else {
      PlanUnknown(s, first, last, c.Entry.Index, out, &found);
    }
    cursor = last + 1;
  }
  if (cursor <= lastSector) PlanUnknown(s, cursor, lastSector, 0, out, &found);
  // Volumes that reach into a partition of known geometry: a repartitioned
  // or reformatted disk whose older data still lies on the older clusters.
  for (ScanRegion& r : out) {
    if (r.InferSize || r.Partition == 0 || r.FsKind == kFsOther) continue;
    for (const SurvivingVolume& v : found) {
      if (v.Last < r.First || v.First > r.Last) continue;
      AddFormer(r, std::max<uint32_t>(v.Geometry.SectorsPerCluster, 1), v.SourcePhase());
    }
  }
  return out;
}

ScanRegions PlanInferred(const Session& s) {
  if (!s.Source.IsOpen() || s.Scan.LastSector == UINT64_MAX) return {};
  return {Unknown(0, s.Scan.LastSector, 0)};
}

std::vector<std::string> DescribeRegions(const ScanRegions& regions) {
  std::vector<std::string> out;
  for (const ScanRegion& r : regions) {
    std::string text = "sectors " + std::to_string(r.First) + "-" + std::to_string(r.Last) + ": ";
    text += r.Partition ? "partition " + std::to_string(r.Partition) : "outside the partitions";
    if (r.InferSize) {
      text += ", cluster size from the file starts";
    } else {
      text += ", " + r.Origin + ", " + std::to_string(r.SectorsPerCluster) +
              " sectors per cluster at phase " + std::to_string(r.ClusterPhase);
      if (r.FormerSectorsPerCluster != 0)
        text += ", and a former volume's " + std::to_string(r.FormerSectorsPerCluster) +
                " at phase " + std::to_string(r.FormerClusterPhase);
    }
    out.push_back(text);
  }
  return out;
}

}  // namespace tarnwick

namespace tarnwick {

ScanChoice ChooseWhatToScan(Session& s, RescueBoxes& boxes, bool wholeSource, bool userGeometry) {
  ScanChoice c;
  s.Regions.clear();
  if (!s.Source.IsOpen() || userGeometry || s.Scan.LastSector == UINT64_MAX) return c;
  const bool identified = s.Source.Kind != DeviceKind::Disk && s.Detected.FsKind != kFsOther;
  if (identified && boxes.Reason == 0) return c;
  SourceDevice& dev = *s.Source.Device;
  const uint32_t bps = s.Scan.BytesPerSector;

  if (wholeSource && !identified) {
    c.Table = ReadPartitionTable(dev);
    if (c.Table.Scheme != TableScheme::None) {
      for (const std::string& p : c.Table.Problems) c.Notes.push_back("Partition table: " + p);
      c.Regions = PlanWholeDisk(s, c.Table);
      if (!c.Regions.empty()) {
        c.Notes.push_back(std::string(SchemeName(c.Table.Scheme)) + " partition table with " +
                          std::to_string(c.Table.Partitions.size()) +
                          " partitions; each part is scanned with its own geometry:");
        for (const std::string& line : DescribeRegions(c.Regions)) c.Notes.push_back("  " + line);
        s.Regions = c.Regions;
        return c;
      }
    }
  }

  std::optional<VolumeGeometry> present;
  if (identified) present = s.Detected;
  auto former = FindFormerVolumes(dev, bps, s.Scan.LastSector, present);
  if (!former.empty()) {
    const SurvivingVolume& v = former.front();
    c.Suggested = v;
    const uint32_t spc = std::max<uint32_t>(v.Geometry.SectorsPerCluster, 1);
    boxes.Fs = FsIndexForKind(v.Geometry.FsKind);
    s.Scan.SectorsPerCluster = spc;
    s.Scan.ClusterPhase = v.SourcePhase();
    SetClusterBoxFromGeometry(s, boxes, spc);
    c.Notes.push_back("A former " + std::string(FsKindName(v.Geometry.FsKind)) +
                      " volume was found (" + v.Describe() + "): " + std::to_string(spc) +
                      " sectors per cluster at phase " + std::to_string(v.SourcePhase()) +
                      ". Choose the file system and cluster size to overrule it.");
    return c;
  }
  if (!identified) {
    PlanUnknown(s, 0, s.Scan.LastSector, 0, c.Regions);
  } else {
    c.Regions = PlanInferred(s);
  }
  c.Notes.push_back("The geometry is not known; it is taken from what is found:");
  for (const std::string& line : DescribeRegions(c.Regions)) c.Notes.push_back("  " + line);
  s.Regions = c.Regions;
  return c;
}

}  // namespace tarnwick
