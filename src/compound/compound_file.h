#pragma once
// The one whole-file check of an OLE2 compound file: header, DIFAT, FAT,
// directory tree, mini FAT and mini stream, and every stream's chain. The
// carver, the reassembly, `inspect` and the report all judge a file by it.
//
// The bytes are hostile: every field is bounds-checked, every chain is
// followed at most once per sector, and the work grows with the file's size.
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace tarnwick {

struct CompoundEntry {
  std::string Name;    // UTF-8 from the UTF-16 directory name
  std::string Path;    // names from below the root down, joined with '/'
  uint8_t Type = 0;    // 1 storage, 2 stream, 5 root
  uint64_t Size = 0;   // stream size (0 for storages)
  int Depth = 0;       // 0 for the root
  bool Intact = true;  // stream: its chain is sound and covers Size; storage: always true
};

struct CompoundCheck {
  bool IsCompound = false;             // the header parsed as a compound file
  bool Whole = false;                  // every check passed
  std::string Problem;                 // the first check that failed, in words (empty when whole)
  uint64_t Length = 0;                 // the file's length as its FAT gives it
  uint32_t SectorSize = 0;             // 512 or 4096
  std::vector<CompoundEntry> Entries;  // the tree, depth first, root first
  std::vector<std::string> IntactStreams, BrokenStreams;  // paths
  // Directory entries named "Matrix.dat" or "seqbase.dat", counted from the
  // directory's first entry up to the first one whose name length is not
  // 4 to 64 bytes (the carver's rule; a count of 2 makes a QQ database).
  int QQNameCount = 0;
  // What each compound-file sector holds, as far as the chains were followed.
  std::vector<uint8_t> SectorUse;
  // For each compound-file sector, the index in Entries of the stream whose
  // chain holds it; kNoCompoundEntry for the others and the mini stream.
  std::vector<uint32_t> SectorStream;
  // The compound-file sectors of the mini stream, in its order, and for each
  // 64-byte mini sector the index in Entries of the small stream holding it
  // (kNoCompoundEntry for none).
  std::vector<uint32_t> MiniStreamSectors;
  std::vector<uint32_t> MiniSectorStream;
};

constexpr uint32_t kNoCompoundEntry = 0xFFFFFFFF;

// Values of CompoundCheck::SectorUse.
constexpr uint8_t kSectorUnused = 0;
constexpr uint8_t kSectorTable = 1;     // FAT, DIFAT, directory or mini FAT
constexpr uint8_t kSectorFullData = 2;  // a stream's data filling the whole sector
constexpr uint8_t kSectorPartData = 3;  // a stream's last sector, or the mini stream

// release, when given, is called every few hundred table sectors read: a
// caller whose bytes are a mapped file lets the pages read so far go. The
// system maps the cached pages around each page read (64 KiB on Linux), and
// over a FAT spread through the file those would add up to all of it.
CompoundCheck CheckCompoundFile(std::span<const uint8_t> file,
                                const std::function<void()>& release = {});

// Both "Matrix.dat" and "seqbase.dat" (or one of them twice) in the directory.
bool HasQQNames(const CompoundCheck& check);

// Whether a 128-byte directory entry is shaped as one: unused, or a storage
// or stream (the root entry where root is set) whose name fills its stated
// length and ends in a zero. Reads only the entry's own bytes.
bool DirectoryEntryLooksSound(std::span<const uint8_t> entry, bool root);

// The index among its file's FAT sectors that a 512-byte FAT sector gives
// itself, or -1 when it does not say. A chain mostly steps on to a sector a
// little further on: entry e of FAT sector k holding v, with v 1 to 128
// sectors past its own 128 k + e, puts (v - e - 1) / 128 at k. A sector of
// FAT with at least 8 such entries agreeing, a third of those in use, is
// taken at its word; another file's FAT sector gives its own index, which
// seldom is the one looked for. With limit, entries at or past it do not vote.
int64_t SelfIndexOfFatSector(std::span<const uint8_t> block, uint64_t limit = UINT64_MAX);

// Special sector numbers of the FAT.
constexpr uint32_t kCompoundFree = 0xFFFFFFFF;
constexpr uint32_t kCompoundEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kCompoundFatMark = 0xFFFFFFFD;
constexpr uint32_t kCompoundDifatMark = 0xFFFFFFFC;

}  // namespace tarnwick
