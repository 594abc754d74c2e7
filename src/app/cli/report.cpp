#include "app/cli/report.h"

#include "app/cli/digest.h"
#include "app/cli/inspection.h"
#include "app/cli/recorded_json.h"
#include "scan/deep_scan.h"
#include "scan/session.h"
#include "scan/session_source.h"
#include "source/system_file.h"

namespace tarnwick::cli {

Json SectorRuns(const std::vector<uint64_t>& sectors) {
  Json runs = Json::array();
  for (size_t i = 0; i < sectors.size();) {
    size_t j = i;
    while (j + 1 < sectors.size() && sectors[j + 1] == sectors[j] + 1) ++j;
    runs.push_back({sectors[i], sectors[j]});
    i = j + 1;
  }
  return runs;
}

Json RescuedFileEntry(const SavedFile& file) {
  Json entry;
  PutBytes(entry, "file", file.Path);
  entry["start_sector"] = file.StartSector;
  entry["bytes"] = file.Bytes;
  entry["sectors"] = SectorRuns(file.Sectors);
  PutRecordedFacts(entry, file);
  const Inspection inspection = InspectFile(file.Path);
  std::string failure = inspection.ReadError;
  std::string sha256;
  int error = 0;
  if (failure.empty() && !Sha256HexOfFile(file.Path, sha256, error))
    failure = SystemErrorText(error);
  if (!failure.empty()) {
    // Written but gone or unreadable since: the report says so instead of guessing.
    entry["sha256"] = nullptr;
    entry["error"] = failure;
    return entry;
  }
  entry["sha256"] = sha256;
  if (file.AlreadyThere) entry["already_there"] = true;
  if (!file.UnreadableSectors.empty())
    entry["unreadable_sectors"] = SectorRuns(file.UnreadableSectors);
  PutInspection(entry, inspection);
  if (file.Damaged) {
    // The rescue knows more than the file's structure shows: zeros where the
    // Source failed, or data the reassembly could not place for certain.
    entry["verdict"] = "damaged";
    entry["problem"] = file.Problem;
    entry["intact_streams"] = file.IntactStreams;
    entry["uncertain_streams"] = file.UncertainStreams;
    entry["broken_streams"] = file.BrokenStreams;
  } else if (inspection.Check.IsCompound) {
    // Validated as whole: no stream of it rests on a guess.
    entry["uncertain_streams"] = Json::array();
  }
  return entry;
}

Json UnreadableSectorRuns(const Session& s) {
  Json runs = Json::array();
  for (const auto& [first, last] : SourceFaults(s).Unreadable.Runs()) runs.push_back({first, last});
  return runs;
}

Json StoppedEntry(const ScanStop& stop) {
  if (stop.Phase == StopPhase::None) return nullptr;
  Json entry;
  entry["phase"] = stop.Phase == StopPhase::Search ? "search" : "rescue";
  entry["at_sector"] = stop.AtSector;
  if (stop.Phase == StopPhase::Rescue) {
    entry["carved"] = stop.Carved;
    entry["of"] = stop.Starts;
  }
  entry["by_user"] = stop.ByUser;
  return entry;
}

Json BuildReport(const Session& s, const VolumeGeometry& g, uint64_t found,
                 const std::vector<Json>& rescued) {
  Json report;
  report["version"] = kReportVersion;
  PutBytes(report, "source", s.Source.Name);
  Json geometry;
  geometry["fs_kind"] = g.FsKind;
  geometry["bytes_per_sector"] = g.BytesPerSector;
  geometry["sectors_per_cluster"] = g.SectorsPerCluster;
  geometry["cluster_phase"] = g.ClusterPhase;
  geometry["last_sector"] = static_cast<int64_t>(g.LastSector);
  report["geometry"] = geometry;
  report["scan_cluster_phase"] = s.ScanClusterPhase;
  report["found"] = found;
  report["unreadable_sectors"] = UnreadableSectorRuns(s);
  report["rescued"] = rescued;
  return report;
}

}  // namespace tarnwick::cli
