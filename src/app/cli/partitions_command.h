#pragma once
// The command line's "partitions" command, and the opening of a SOURCE that
// every command shares: a whole Source, or one partition of it (--partition N).
#include <optional>
#include <string>
#include <vector>

#include "scan/session_source.h"

namespace tarnwick {
struct Session;
struct RescueBoxes;
}

namespace tarnwick::cli {

// The partition number given to --partition: a whole number from 1.
std::optional<int> ParsePartitionNumber(const std::string& text);

// Opens SOURCE, or its partition when one is given. On failure the reason is
// on stderr already and the outcome says Opened false.
OpenOutcome OpenCliSource(Session& s, const std::string& path, std::optional<int> partition);

// Decides what a scan covers when no geometry was given (a whole disk part
// by part, a former volume's geometry, or the file starts') and says so on
// stderr.
void ChooseWhatToScanCli(Session& s, RescueBoxes& boxes, bool wholeSource, bool userGeometry);
// After the search: the geometry each planned part ended with, on stderr.
void ReportPlannedGeometry(const Session& s);

// What identify adds after DetectedGeometry: the partition table, and the
// geometry of a former volume whose boot sector survived. Name, JSON key,
// value, and whether the value is a number (unquoted in JSON).
struct IdentifyExtra {
  std::string Name, Key, Value;
  bool Number = false;
};
std::vector<IdentifyExtra> IdentifyExtras(Session& s);

}  // namespace tarnwick::cli
