#pragma once
// What an exFAT volume records about its files, live and deleted: the entry
// sets of its directories, followed from the root along FAT chains or
// consecutive clusters.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "filesystems/file_record.h"
#include "filesystems/sector_reader.h"

namespace tarnwick {

// Every file and directory of the exFAT volume whose boot sector is at
// volumeFirstSector (a Source sector). Nothing, and error says why, when
// no exFAT boot sector is there or its clusters do not fall on the reader's
// sectors.
//
// Paths run from the root without a leading '/'. Size is the valid data
// length (what was written; the rest of the allocation reads as zeros). A
// file whose data lies in consecutive clusters (no FAT chain), live or
// deleted, and a live file whose chain is whole, get their exact layout
// (LayoutKnown, Runs); a deleted file with a chain gets FirstSector and
// Size only. Everything under a deleted directory is Deleted. Times are UTC
// where the volume recorded the offset, else the clock's reading. Id is the
// Source byte offset of the file entry.
std::optional<std::vector<FileRecord>> ReadExfatFiles(SectorReader& reader,
                                                      uint64_t volumeFirstSector,
                                                      std::string& error);

}  // namespace tarnwick
