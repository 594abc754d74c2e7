#include "app/cli/recorded_json.h"

#include <chrono>
#include <cstdio>

#include "filesystems/file_record.h"
#include "scan/session.h"

namespace tarnwick::cli {

std::string UtcTime(int64_t seconds) {
  using namespace std::chrono;
  // Past the years the calendar holds, the count itself.
  constexpr int64_t kYearsHeld = 32'000;
  constexpr int64_t kSecondsHeld = kYearsHeld * 366 * 86'400;
  if (seconds > kSecondsHeld || seconds < -kSecondsHeld) return std::to_string(seconds);
  const sys_seconds t{std::chrono::seconds{seconds}};
  const sys_days day = floor<days>(t);
  const year_month_day date{day};
  const hh_mm_ss time{t - day};
  char text[48];
  std::snprintf(text, sizeof text, "%d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
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
