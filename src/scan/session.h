#pragma once
// Everything that the program keeps for one open Source and one scan. The
// window owns one Session, tarnwick-cli owns one, every test makes its own.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/face_texts.h"
#include "app/flags.h"
#include "app/frontend.h"
#include "app/timer.h"
#include "scan/cluster_map.h"
#include "scan/found_list.h"
#include "scan/scan_regions.h"
#include "source/read_cache.h"
#include "source/source.h"
#include "volume/geometry.h"

namespace tarnwick {

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
  std::vector<uint64_t> UnreadableSectors;  // read as zeros: the Source failed them
  // A database that could not be validated as whole: written under damaged/.
  bool Damaged = false;
  std::string Problem;                                    // why it is damaged
  // Stream paths (databases only): intact when every sector of the stream is
  // known to be the file's own, uncertain when some were placed by a guess,
  // broken when a chain fails or a sector is known wrong.
  std::vector<std::string> IntactStreams, BrokenStreams, UncertainStreams;
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
  uint32_t LabelShownMs = 0;
  uint32_t TypeMask = kTypeMaskQQ;

  ProgressFlags Flags;
  THiResTimer HiTimer1;

  // Picture settings of the JPEG carver (ThumbSiz.ini, ThumbSpc.ini).
  int64_t ThumbPixelLimit = -1;
  std::optional<std::vector<int64_t>> ThumbSizeList;

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
