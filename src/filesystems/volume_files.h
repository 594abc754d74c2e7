#pragma once
// The one way the rest of the engine asks a volume what its file system
// remembers of its files: whichever file system it is, the answer is the
// same list of records.
#include <cstdint>
#include <string>
#include <vector>

#include "filesystems/file_record.h"
#include "filesystems/sector_reader.h"

namespace tarnwick {

// The files of the volume in Source sectors [firstSector, lastSector], of
// the kind fsKind (kFsFat12 ... kFsExFat as identification numbers them).
// Empty with error set when the volume's structures cannot be read or its
// file system is not one that is read.
std::vector<FileRecord> ReadVolumeFiles(SectorReader& reader, uint64_t firstSector,
                                        uint64_t lastSector, uint8_t fsKind, std::string& error);

// True for the kinds ReadVolumeFiles reads.
bool VolumeFilesReadable(uint8_t fsKind);

}  // namespace tarnwick
