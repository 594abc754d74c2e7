#pragma once
// Everything that the program keeps for one open Source and one scan. The
// window owns one Session, tarnwick-cli owns one, every test makes its own.
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/face_texts.h"
#include "app/flags.h"
#include "app/frontend.h"
#include "app/timer.h"
#include "filesystems/file_record.h"
#include "scan/cluster_map.h"
#include "scan/deleted_record_claims.h"
#include "scan/found_list.h"
#include "scan/grid_inference.h"
#include "scan/scan_regions.h"
#include "source/read_cache.h"
#include "source/source.h"
#include "volume/geometry.h"

namespace tarnwick {

struct DatabaseRounds;

constexpr uint32_t kTypeMaskQQ = 0x40000;
constexpr uint32_t kTypeMaskJpeg = 0x1;
constexpr uint32_t kMaxSectorSize = 4096;

// One file that a carver wrote, with the Source sectors it was assembled from.
struct SavedFile {
  std::string Path;
  uint64_t StartSector = 0;
  uint64_t Bytes = 0;
  std::vector<uint64_t> Sectors;            // in file order
  bool Written = false;                     // false when the save failed and was given up
  // A file with these bytes was in the folder already: Path names it.
  bool AlreadyThere = false;
  std::vector<uint64_t> UnreadableSectors;  // read as zeros: the Source failed them
  // A database that could not be validated as whole: written under damaged/.
  bool Damaged = false;
  std::string Problem;                                    // why it is damaged
  // Stream paths (databases only): intact when every sector of the stream is
  // known to be the file's own, uncertain when some were placed by a guess,
  // broken when a chain fails or a sector is known wrong.
  std::vector<std::string> IntactStreams, BrokenStreams, UncertainStreams;
  // What a file system recorded about the file, where a record of it was
  // found: its path there, whether it was deleted, its times.
  std::string OriginalPath;
  bool RecordedDeleted = false;
  std::optional<int64_t> Modified, Created;  // seconds since 1970, UTC
  // Where the file's layout came from: "file system record", "reassembly",
  // or empty for the plain carve.
  std::string LayoutFrom;
};

// A file that a file system records as starting at a sector, read before the
// carve. ReadAlongRuns: the file was (or is being) written from its record's runs.
struct RecordedStart {
  FileRecord File;
  bool ReadAlongRuns = false;
  // Other records naming the same start with a known layout (a file deleted
  // and its clusters taken by another since): tried when File does not check.
  std::vector<FileRecord> Alternatives;
};

struct Session {
  Session();
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const FaceTexts* Texts;
  Frontend* UI;  // never null; a silent front end until one is set

  SourceState Source;
  VolumeGeometry Detected;  // DetectedGeometry
  VolumeGeometry Scan;      // ScanGeometry
  ReadCache Cache;
  ClusterMap Map;
  FoundList Found;
  // Parts of the Source scanned each with its own geometry (a whole disk);
  // empty: ScanGeometry holds for all of it.
  ScanRegions Regions;
  // The cluster grids the last search found files laid on.
  ClusterGrids Grids;
  std::array<uint8_t, kMaxSectorSize> SectorBuffer{};
  uint64_t ViewSector = 0;

  // Scan-wide values.
  int64_t FirstScanSector = 0;
  int64_t LastScanSector = -1;
  std::string TargetFolder;
  int32_t ScanClusterPhase = 0;
  uint32_t RescuedCount = 0;
  uint32_t UnsavedCount = 0;  // files whose save failed and was given up
  std::string SaveError;      // the system's reason for the last failed save
  uint32_t DamagedCount = 0;  // databases written under damaged/
  // Files whose bytes were in the folder already, and whether Abort in the
  // save-failure box stopped the rescue.
  uint32_t AlreadyThereCount = 0;
  bool SaveAborted = false;
  uint32_t LabelShownMs = 0;
  uint32_t TypeMask = kTypeMaskQQ;

  ProgressFlags Flags;
  THiResTimer HiTimer1;

  // Picture settings of the JPEG carver (ThumbSiz.ini, ThumbSpc.ini).
  int64_t ThumbPixelLimit = -1;
  std::optional<std::vector<int64_t>> ThumbSizeList;

  // Databases' starts as the file systems record them, by Source sector:
  // filled before the carve, asked for when a database is saved.
  std::map<uint64_t, RecordedStart> RecordedStarts;
  // What of the map's claims only deleted files' records make (a database
  // may have grown over them since): the reassembly may look through them.
  DeletedRecordClaims DeletedClaims;

  // Sectors that hold the first sector of a compound file's directory, as
  // phase 1 found them: a database whose header was written over is found
  // by them after every other carve. And the Source sectors of the first
  // directory sectors of the databases written so far, whole or damaged, so
  // that none is rebuilt a second time.
  std::vector<uint64_t> RootDirectorySectors;
  std::set<uint64_t> WrittenDatabaseDirectories;

  // The databases of this rescue held back to be assembled side by side
  // (carvers/database_rounds.h); null when there are none to hold.
  std::shared_ptr<DatabaseRounds> Rounds;

  // Told of every file a carver saves (the CLI's report uses it).
  std::function<void(const SavedFile&)> OnFileSaved;

  void SetFrontend(Frontend* frontend) { UI = frontend ? frontend : &silent_; }
  std::string Text(int slot) const { return Texts->Text(slot); }
  // True when the label refresh is due: ElapsedMs moved since the last one.
  bool RefreshDue() {
    uint32_t now = Flags.ElapsedMs.load(std::memory_order_relaxed);
    if (now == LabelShownMs) return false;
    LabelShownMs = now;
    return true;
  }

 private:
  SilentFrontend silent_;
};

}  // namespace tarnwick

// The operations on the Session's Source come with it.
#include "scan/session_source.h"  // IWYU pragma: export
