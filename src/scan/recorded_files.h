#pragma once
// What the file systems on the Source still remember of their files, and
// the rescue step that uses it first: a database whose record gives its
// exact layout is read along its runs, whatever the pieces and wherever they
// lie, and every layout known for certain is claimed before the carve so
// that the carver steps over it.
#include <cstdint>
#include <string>
#include <vector>

#include "filesystems/file_record.h"

namespace tarnwick {

struct Session;
struct SavedFile;

// One volume of the Source and the files its records tell of.
struct RecordedVolume {
  uint64_t First = 0, Last = 0;  // Source sectors
  uint8_t FsKind = 0;
  int Partition = 0;       // its index in the partition table; 0 for none
  std::string Origin;      // "the open volume", "partition 2", "former NTFS volume (...)"
  std::vector<FileRecord> Files;
  std::string Error;       // why its records could not be read (Files is then empty)
};

// The volumes of the open Source: the open volume itself, each partition of
// a whole disk (only partition `only` when it is not 0), and former volumes
// whose boot sector or its backup survives. Their files are read.
std::vector<RecordedVolume> ReadRecordedVolumes(Session& s, int only = 0);

// The first half of the rescue step, after the search: reads the records of
// every volume the disk plan knows (and the loose NTFS records the search
// found there), claims the runs of every file whose layout is known (a
// deleted database's once it is written from them; a deleted file whose
// clusters hold a compound file's start now, never), and
// keeps in Session::RecordedStarts the databases' candidates: every file
// whose first sector holds a compound-file header (the search found it
// there) and every .db file. Returns every file whose layout is known and
// that is live, so that a candidate's runs can be told apart from reuse.
struct RecordedScan {
  std::vector<RecordedVolume> Volumes;
  // Source sector runs [first, last] of the live files' data, sorted.
  std::vector<std::pair<uint64_t, uint64_t>> LiveRuns;
};
RecordedScan CollectRecordedFiles(Session& s);

// Claims the sectors of a file's runs in the ClusterMap. A deleted
// neighbour's claims are kept in Session::DeletedClaims too; a database's
// stand over those.
void ClaimRecordedRuns(Session& s, const FileRecord& f, bool deletedNeighbour = false);

// What a file system records of a file starting at a Source sector; null
// when nothing does.
const FileRecord* RecordedFileStartingAt(const Session& s, uint64_t sector);

// Fills in what the records know of a database about to be reported (its
// original path, times, whether it was deleted) and where its layout came
// from. Called once for every database saved.
void DescribeSavedDatabase(const Session& s, SavedFile& saved);

}  // namespace tarnwick
