#pragma once
// The rescue step between the search and the carve: databases whose file
// system record gives their exact layout are read along their runs and
// judged by the whole-file check; every layout known for certain is claimed
// first, so that the carve steps over it.
#include <cstdint>

namespace tarnwick {

struct Session;

// Largest database read along its runs (the carver's own limit is 200 MiB).
inline constexpr uint64_t kLargestRecordedDatabase = uint64_t{1} << 30;

// Writes every database the records lay out: whole as FILE_xxxxxxxx.DB, or
// under damaged/ with its streams named where some of its runs were taken
// by a live file since, could not be read, or the check fails. Databases
// whose start only is known are kept for the carver (Session::RecordedStarts).
void RescueRecordedDatabases(Session& s);

}  // namespace tarnwick
