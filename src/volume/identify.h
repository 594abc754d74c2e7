#pragma once
// Boot-sector identification, the default cluster sizes, and the three boxes
// of the rescue group (reason, previous file system, cluster size).
#include <cstdint>
#include <optional>
#include <span>

#include "source/partition_table.h"
#include "volume/geometry.h"

namespace tarnwick {

struct Session;

constexpr uint32_t kBootBlockSize = 4096;

// Reads 4096 bytes at offset 0 of the Source and fills DetectedGeometry's
// BytesPerSector, SectorsPerCluster, ClusterPhase and FsKind. Some fields may
// be changed even when it fails; the opener overwrites them then.
bool Identify(Session& s);
// The same on a block already read (at most 4096 bytes; missing bytes count as 0).
bool IdentifyBlock(std::span<const uint8_t> block, VolumeGeometry& g);

// The partition table of a device, a volume's own boot sector counting as none.
inline PartitionTable ReadPartitionTable(SourceDevice& device) {
  return ReadPartitionTable(device, [](std::span<const uint8_t> head) {
    VolumeGeometry probe;
    return IdentifyBlock(head, probe);
  });
}

// Item of the file-system box for an FsKind: 0/1 FAT, 2 FAT32, ... 7 OTHER (6).
int FsIndexForKind(uint8_t kind);
// Item of the cluster-size box for sectorsPerCluster x bytesPerSector.
int ClusterIndexFor(uint32_t sectorsPerCluster, uint32_t bytesPerSector);

// The rescue group's three boxes as the engine sees them.
struct RescueBoxes {
  int Reason = 0;         // ComboBox3: 0 deleted, 1 formatted, 2 repartitioned
  int Fs = 6;             // ComboBox2: FAT, FAT32, NTFS, exFAT, HFS, HFS+/HFSX, OTHER
  int Cluster = 0;        // ComboBox1: 0.5K ... 128K
  bool FsEnabled = true;  // ComboBox2 and ComboBox1 enabled
};

// Each returns the FaceTexts slot of a message to show (only the reason box
// has one: 70), after having done all its work.
std::optional<int> ReasonBoxClick(Session& s, RescueBoxes& boxes, int item);
void FsBoxClick(Session& s, RescueBoxes& boxes, int item);
// fromBox: the box itself was clicked (the phase is reset); false when the
// deep scan applies the box again.
void ClusterBoxClick(Session& s, RescueBoxes& boxes, int item, bool fromBox);
// Selects the cluster-size item for sectorsPerCluster x ScanGeometry.BytesPerSector.
void SetClusterBoxFromGeometry(const Session& s, RescueBoxes& boxes, uint32_t sectorsPerCluster);

constexpr uint32_t CtlCode(uint32_t deviceType, uint32_t function, uint32_t method,
                           uint32_t access) {
  return (deviceType << 16) | (access << 14) | (function << 2) | method;
}

}  // namespace tarnwick
