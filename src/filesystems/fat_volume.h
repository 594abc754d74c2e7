#pragma once
// What a FAT12, FAT16 or FAT32 volume records about its files, live and
// deleted: its directory tree from the root, deleted entries with their long
// names, and deleted directories whose clusters still hold their entries.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "filesystems/file_record.h"
#include "filesystems/sector_reader.h"

namespace tarnwick {

// Every file and directory of the FAT volume whose boot sector is at
// volumeFirstSector (a Source sector), the root's own entry left out; a
// FAT32 volume whose boot sector is lost is read through its backup copy.
// Nothing, and error says why, when no FAT boot sector is there or its
// clusters do not fall on the reader's sectors.
//
// Paths run from the root without a leading '/'. A live file whose cluster
// chain is whole gets its exact layout (LayoutKnown, Runs); every other file
// with a first cluster inside the volume gets FirstSector and Size only:
// a deleted file's chain is freed, and what lies after its first cluster is
// not known. Everything under a deleted directory is Deleted. Times are the
// local clock readings FAT stores, taken as if they were UTC (FAT records no
// zone). Id is the Source byte offset of the file's short entry.
std::optional<std::vector<FileRecord>> ReadFatFiles(SectorReader& reader,
                                                    uint64_t volumeFirstSector, std::string& error);

// What is known, or guessed, of where a FAT volume's clusters lie.
struct FatClusterLayout {
  uint32_t SectorsPerCluster = 0;          // in the reader's sectors; 0 when not known
  std::optional<uint64_t> Cluster2Sector;  // Source sector where cluster 2 begins
  uint32_t ClusterCount = 0;               // 0 when not known: the Source's end bounds them
};

// The layout that the FAT boot sector at volumeFirstSector gives; nothing,
// and error says why, when there is none.
std::optional<FatClusterLayout> ReadFatClusterLayout(SectorReader& reader,
                                                     uint64_t volumeFirstSector,
                                                     std::string& error);

// The entries of one directory sector found by the search outside any
// volume's tree (a formatted or repartitioned volume's old directories), as
// records under kOrphansFolder with Origin LooseRecord and Deleted set: no
// live directory leads to them. A caller drops those whose RecordSector is
// one of a live tree's.
//
// layout may be a guess, or empty. Where Cluster2Sector is missing but
// SectorsPerCluster is known, a sector that opens a subdirectory ("." and
// ".." entries) tells where cluster 2 lies itself. With a place for cluster 2
// the records get FirstSector; without one only names, sizes and times. The
// sector before, when it lies in the same cluster (or the layout is not
// known), lends its long-name parts to the sector's first entries. Nothing
// when the sector cannot be read or is not wholly directory entries (the
// search calls NTFS records by the same name).
std::vector<FileRecord> ReadLooseFatDirectorySector(SectorReader& reader, uint64_t sector,
                                                    const FatClusterLayout& layout);

}  // namespace tarnwick
