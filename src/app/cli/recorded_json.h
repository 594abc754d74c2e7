#pragma once
// How the command line writes what a file system records of a file: the
// `files` listing and the report's original path and times share it.
#include <cstdint>
#include <string>

#include "app/cli/json_out.h"

namespace tarnwick {
struct FileRecord;
struct SavedFile;
}  // namespace tarnwick

namespace tarnwick::cli {

// "2024-03-01T12:00:00Z" (seconds since 1970, UTC).
std::string UtcTime(int64_t seconds);

// One file of the `files` listing: path, size, deleted, runs
// [[first_sector, sectors], ...] and what else the record says.
Json FileRecordJson(const FileRecord& f);

// The report's original_path, deleted, modified, created (where a record
// gave them) and layout_from of a saved file.
void PutRecordedFacts(Json& entry, const SavedFile& file);

}  // namespace tarnwick::cli
