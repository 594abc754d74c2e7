#include "volume/geometry.h"

namespace tarnwick {

std::string_view FsKindName(uint8_t kind) {
  switch (kind) {
    case kFat12: return "FAT12";
    case kFat16: return "FAT16";
    case kFat32: return "FAT32";
    case kNtfs: return "NTFS";
    case kExFat: return "exFAT";
    case kHfs: return "HFS";
    case kHfsPlus: return "HFS+/HFSX";
    default: return "OTHER";
  }
}

}  // namespace tarnwick
