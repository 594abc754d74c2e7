#pragma once
// The free-space map: reads the present file system's own allocation
// structure (FAT, NTFS or exFAT cluster bitmap, HFS or HFS+ volume bitmap)
// and marks in the ClusterMap every sector of an allocated cluster and of the
// reserved area before the first cluster. Sectors left clear are free space.
#include <cstdint>

namespace tarnwick {

struct Session;

// Uses DetectedGeometry, not the ScanGeometry that the boxes may have changed.
// The ClusterMap must be allocated (and clear) by the caller.
//
// freeOnly is set to false on entry and to true only when the whole
// allocation structure was walked. Returns true only when the user cancelled
// the search dialog during a walk (freeOnly is then false). Marks set before
// a failure or a cancel stay set.
bool CollectFreeSpace(Session& s, bool& freeOnly);

}  // namespace tarnwick
