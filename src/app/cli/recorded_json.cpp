#include "app/cli/recorded_json.h"

#include <ctime>

#include "filesystems/file_record.h"
#include "scan/session.h"

namespace tarnwick::cli {

std::string UtcTime(int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  if (gmtime_r(&t, &tm) == nullptr) return std::to_string(seconds);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

Json FileRecordJson(const FileRecord& f) {
  Json entry;
  PutBytes(entry, "path", f.Path);
  entry["size"] = f.Size;
  entry["deleted"] = f.Deleted;
  Json runs = Json::array();
  for (const FileRun& r : f.Runs) {
    if (r.Sparse)
      runs.push_back({nullptr, r.Sectors});
    else
      runs.push_back({r.FirstSector, r.Sectors});
  }
  entry["runs"] = std::move(runs);
  entry["directory"] = f.Directory;
  entry["first_sector"] = f.FirstSector ? Json(*f.FirstSector) : Json(nullptr);
  entry["layout_known"] = f.LayoutKnown;
  if (f.Resident) entry["resident"] = true;
  if (f.Compressed) entry["compressed"] = true;
  if (f.Encrypted) entry["encrypted"] = true;
  if (f.Modified) entry["modified"] = UtcTime(*f.Modified);
  if (f.Created) entry["created"] = UtcTime(*f.Created);
  entry["record"] = f.Origin == RecordOrigin::VolumeTree ? "volume" : "loose";
  entry["record_sector"] = f.RecordSector;
  entry["id"] = f.Id;
  return entry;
}

void PutRecordedFacts(Json& entry, const SavedFile& file) {
  entry["layout_from"] = file.LayoutFrom.empty() ? std::string("carve") : file.LayoutFrom;
  if (file.OriginalPath.empty()) return;
  PutBytes(entry, "original_path", file.OriginalPath);
  entry["deleted"] = file.RecordedDeleted;
  if (file.Modified) entry["modified"] = UtcTime(*file.Modified);
  if (file.Created) entry["created"] = UtcTime(*file.Created);
}

}  // namespace tarnwick::cli
