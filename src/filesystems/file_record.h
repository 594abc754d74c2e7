#pragma once
// What a file system records about one of its files, live or deleted, in
// the one shape that the rest of the engine reads: the NTFS, FAT and exFAT
// readers each fill it from their own records.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick {

// A stretch of the file's bytes on the Source, in file order. Sectors are
// the Source's (absolute, in the reader's sector size).
struct FileRun {
  uint64_t FirstSector = 0;
  uint64_t Sectors = 0;
  bool Sparse = false;  // a hole of the file: reads as zeros, lies nowhere
};

// Where a record was read from.
enum class RecordOrigin : uint8_t {
  VolumeTree,   // the live volume's own structure: its MFT, its directory tree
  LooseRecord,  // a record or directory cluster found outside that structure
};

struct FileRecord {
  // UTF-8, '/'-separated from the volume's root, the name last. A file whose
  // parent is gone or was reused lies under kOrphansFolder.
  std::string Path;
  std::string Name;
  uint64_t Size = 0;  // bytes of the file's data
  bool Deleted = false;
  bool Directory = false;
  // Seconds since 1970-01-01 UTC, where the file system records them.
  std::optional<int64_t> Modified;
  std::optional<int64_t> Created;

  // The exact layout, when the record gives it (NTFS run lists, exFAT without
  // a FAT chain): every byte of the file is in Runs, in order.
  std::vector<FileRun> Runs;
  bool LayoutKnown = false;
  // The first sector of the data, where only the start is known (FAT, exFAT
  // with a chain). With LayoutKnown it is Runs' first non-sparse sector.
  std::optional<uint64_t> FirstSector;

  bool Resident = false;    // the data lies inside the record itself (small NTFS files)
  bool Compressed = false;  // reported, not read
  bool Encrypted = false;   // reported, not read

  RecordOrigin Origin = RecordOrigin::VolumeTree;
  uint64_t RecordSector = 0;  // the Source sector holding the record or entry
  uint64_t Id = 0;            // MFT record number; for FAT and exFAT the entry's byte offset
};

// The folder that files whose parent cannot be named are put under.
inline constexpr const char* kOrphansFolder = "$OrphanFiles";

}  // namespace tarnwick
