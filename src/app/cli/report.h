#pragma once
// The report that "rescue --report FILE" writes: what was scanned, and for
// every file written what it is made of and what its tree says. Its shape is
// documented in docs/report.md; kReportVersion changes when it does.
#include <cstdint>
#include <string>
#include <vector>

#include "app/cli/json_out.h"

namespace tarnwick {
struct Session;
struct SavedFile;
struct VolumeGeometry;
struct ScanStop;
}  // namespace tarnwick

namespace tarnwick::cli {

constexpr int kReportVersion = 2;

// Inclusive runs of consecutive sector numbers, in the order given.
Json SectorRuns(const std::vector<uint64_t>& sectors);

// The report's entry for one written file: path, start sector, size, runs,
// sha256, and what inspect says of it (read back from the folder).
Json RescuedFileEntry(const SavedFile& file);

// The unreadable sector runs met during the scan, as [[first, last], ...].
// The one place where the Session's record of them reaches the report.
Json UnreadableSectorRuns(const Session& s);

// Where a cut-short run stopped: {"phase", "at_sector", ...}; null when it
// ran to its end.
Json StoppedEntry(const ScanStop& stop);

// The whole report.
Json BuildReport(const Session& s, const VolumeGeometry& geometry, uint64_t found,
                 const std::vector<Json>& rescued);

}  // namespace tarnwick::cli
