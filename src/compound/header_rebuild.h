#pragma once
// The header of a compound file whose first sector was written over, made
// again from the tables that survive it.
//
// A first-fit allocator gives a deleted file's first cluster to the next new
// file, so the header is what a database loses first; its FAT, DIFAT and
// directory sectors lie further on and are recognisable on their own. The
// FAT marks its own sectors and the DIFAT's, in file order, so the FAT count,
// the header's DIFAT entries and the DIFAT chain follow from the marks; each
// FAT sector found on the disk beside the file position its mark gives tells
// where the file's first sector lay. Another database's FAT, a mini FAT or a
// stale table near the directory looks the same: a FAT sector is taken as
// the file's only where the file's own FAT marks its place and its chains
// name the index that place gives it, or none. The directory's start is the
// file position of its first sector; the mini FAT's the one chain start
// that no directory entry names.
//
// Works on 512-byte blocks of the Source through a reader, so that it holds
// no more than the FAT and the directory; every block read is hostile.
#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace tarnwick {

// Reads 512-byte block `block` of the Source into out; false when it cannot.
using BlockReader = std::function<bool(uint64_t block, std::span<uint8_t, 512> out)>;

struct HeaderRebuildLimits {
  // Blocks looked at on either side of the directory for FAT sectors.
  uint64_t WindowBlocks = 16384;
  // The FAT sectors taken at most: 2 GiB of file.
  uint32_t MaxFatSectors = 32768;
  // Directory sectors followed at most.
  uint32_t MaxDirectorySectors = 40960;
};

struct RebuiltHeader {
  bool Found = false;   // a header was made
  bool IsQQ = false;    // the directory, as far as it was followed, names both QQ streams
  bool InOneRun = false;  // every FAT and directory sector lies where the header block puts it
  std::array<uint8_t, 512> Header{};
  uint64_t HeaderBlock = 0;  // the block the lost header lay in
  // Why none was made, or what is unsure about it. Empty only when every
  // FAT sector was found in its place and bears the others out, the DIFAT
  // lists them, and one place for the header, one directory start and one
  // mini FAT start fit.
  std::string Problem;
};

// Entry 0 of the block is a sound root entry ("Root Entry", type 5, no
// siblings) and the three after it are sound entries or unused. Cheap
// enough for the scan's classifier: most blocks fail on their first bytes.
bool IsRootDirectoryBlock(std::span<const uint8_t> block);

// The header of the compound file whose directory starts at directoryBlock,
// from the FAT sectors found near it; blocks up to lastBlock may be read.
RebuiltHeader RebuildHeader(const BlockReader& read, uint64_t directoryBlock, uint64_t lastBlock,
                            const HeaderRebuildLimits& limits = {});

}  // namespace tarnwick
