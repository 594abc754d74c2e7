#pragma once
// The plan of a whole-disk scan: each partition with the geometry of its
// own file system, and the space outside them (or inside a partition whose
// file system is not recognised) with the geometry of a volume whose boot
// sector survived there, or else with one inferred from the file starts.
#include <string>
#include <vector>

#include "scan/scan_regions.h"
#include "source/partition_table.h"

namespace tarnwick {

struct Session;

// Regions covering every sector of the open Source, in order. Empty when the
// table's sector size is not the Source's.
ScanRegions PlanWholeDisk(Session& s, const PartitionTable& table);

// One region over the whole Source whose cluster size and phase the file
// starts will tell (a Source whose geometry nobody gave).
ScanRegions PlanInferred(const Session& s);

// One line a region, for the user: "sectors 2048-22527: partition 1, FAT32,
// 8 sectors per cluster at phase 0".
std::vector<std::string> DescribeRegions(const ScanRegions& regions);

}  // namespace tarnwick

#include <optional>

#include "volume/geometry_inference.h"
#include "volume/identify.h"

namespace tarnwick {

// What a scan covers when the user has not given the geometry, decided once
// after the open (and again when the reason changes).
struct ScanChoice {
  ScanRegions Regions;  // put in Session::Regions
  // A former volume's geometry, put in ScanGeometry and shown in the boxes.
  std::optional<SurvivingVolume> Suggested;
  PartitionTable Table;            // the whole Source's, when it was read
  std::vector<std::string> Notes;  // what the user is told, a line each
};

// wholeSource: the Source is not one partition picked from a disk.
// userGeometry: the user chose a file system or a cluster size; then his
// choice holds for all of the Source and nothing is planned.
// An identified volume with the reason "Deleted" keeps its own geometry.
// A whole disk is planned partition by partition; a volume formatted or of
// unknown kind takes a surviving boot sector's geometry when one agrees with
// it, or else the one that its file starts show.
ScanChoice ChooseWhatToScan(Session& s, RescueBoxes& boxes, bool wholeSource, bool userGeometry);

}  // namespace tarnwick
