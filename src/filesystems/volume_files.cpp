#include "filesystems/volume_files.h"

#include <optional>

#include "filesystems/exfat_volume.h"
#include "filesystems/fat_volume.h"
#include "filesystems/ntfs_volume.h"
#include "volume/geometry.h"

namespace tarnwick {

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
      files = ReadFatFiles(reader, firstSector, error);
      break;
    case kExFat:
      files = ReadExfatFiles(reader, firstSector, error);
      break;
    default:
      error = "the file system " + std::string(FsKindName(fsKind)) + " is not read";
      break;
  }
  if (!files) return {};
  return std::move(*files);
}

}  // namespace tarnwick
