#include "filesystems/volume_files.h"

#include <optional>

#include "filesystems/ntfs_volume.h"
#include "volume/geometry.h"

namespace tarnwick {

namespace {

// FAT12/16/32 and exFAT: their readers go in here, each returning none with
// error set when the volume cannot be read.
std::optional<std::vector<FileRecord>> ReadFatFamily(SectorReader& reader, uint64_t firstSector,
                                                     uint8_t fsKind, std::string& error) {
  (void)reader;
  (void)firstSector;
  error = std::string(FsKindName(fsKind)) + " volumes are not read yet";
  return std::nullopt;
}

}  // namespace

bool VolumeFilesReadable(uint8_t fsKind) {
  return fsKind == kNtfs || fsKind == kFat12 || fsKind == kFat16 || fsKind == kFat32 ||
         fsKind == kExFat;
}

std::vector<FileRecord> ReadVolumeFiles(SectorReader& reader, uint64_t firstSector,
                                        uint64_t lastSector, uint8_t fsKind, std::string& error) {
  error.clear();
  std::optional<std::vector<FileRecord>> files;
  switch (fsKind) {
    case kNtfs:
      files = ReadNtfsFiles(reader, firstSector, lastSector, error);
      break;
    case kFat12:
    case kFat16:
    case kFat32:
    case kExFat:
      files = ReadFatFamily(reader, firstSector, fsKind, error);
      break;
    default:
      error = "the file system " + std::string(FsKindName(fsKind)) + " is not read";
      break;
  }
  if (!files) return {};
  return std::move(*files);
}

}  // namespace tarnwick
