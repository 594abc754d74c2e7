#pragma once
// What a rescue report lying beside a rescued file says of it: the path the
// file system remembered, whether it was deleted, its times, and where its
// layout came from. `inspect` shows it.
#include <optional>
#include <string>

#include "app/cli/json_out.h"

namespace tarnwick::cli {

// The report's entry for the file at path, from a report (*.json) in the
// file's folder or, for a file under damaged/, in the folder above it.
// Reports that do not parse, or name other files, are passed over.
std::optional<Json> ReportEntryBeside(const std::string& path);

// The lines `inspect` adds for such an entry ("  Original path: ...").
std::string RecordedLines(const Json& entry);

// The entry's recorded keys (original_path, deleted, modified, created,
// layout_from) copied into object.
void PutRecordedKeys(Json& object, const Json& entry);

}  // namespace tarnwick::cli
