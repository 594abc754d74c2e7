#include "app/cli/report_lookup.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace tarnwick::cli {

namespace {

namespace fs = std::filesystem;

constexpr uintmax_t kLargestReport = 64u << 20;
constexpr int kReportsLookedAt = 32;
constexpr const char* kRecordedKeys[] = {"original_path", "original_path_bytes_hex", "deleted",
                                         "modified", "created", "layout_from"};

bool SameFile(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  return fs::equivalent(a, b, ec) && !ec;
}

std::optional<Json> EntryIn(const fs::path& report, const fs::path& file) {
  std::error_code ec;
  if (fs::file_size(report, ec) > kLargestReport || ec) return std::nullopt;
  std::ifstream in(report, std::ios::binary);
  const Json doc = Json::parse(in, nullptr, false);
  if (!doc.is_object() || !doc.contains("rescued") || !doc["rescued"].is_array())
    return std::nullopt;
  for (const Json& entry : doc["rescued"]) {
    if (!entry.is_object() || !entry.contains("file") || !entry["file"].is_string()) continue;
    fs::path named = entry["file"].get<std::string>();
    // A relative path in the report is relative to where the rescue ran;
    // the file's own name in the report's folder tree is tried too.
    if (SameFile(named, file) || SameFile(report.parent_path() / named.filename(), file) ||
        SameFile(report.parent_path() / named.parent_path().filename() / named.filename(), file))
      return entry;
  }
  return std::nullopt;
}

}  // namespace

std::optional<Json> ReportEntryBeside(const std::string& path) {
  const fs::path file = fs::absolute(path);
  std::vector<fs::path> folders = {file.parent_path()};
  if (file.parent_path().filename() == "damaged") folders.push_back(file.parent_path().parent_path());
  int looked = 0;
  for (const fs::path& folder : folders) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      if (it->path().extension() != ".json" || !it->is_regular_file(ec)) continue;
      if (++looked > kReportsLookedAt) return std::nullopt;
      if (auto entry = EntryIn(it->path(), file)) return entry;
    }
  }
  return std::nullopt;
}

std::string RecordedLines(const Json& entry) {
  std::string t;
  if (entry.contains("original_path") && entry["original_path"].is_string()) {
    t += "  Original path: " + entry["original_path"].get<std::string>();
    if (entry.value("deleted", false)) t += " (deleted)";
    t += "\n";
    if (entry.contains("modified") && entry["modified"].is_string())
      t += "  Modified: " + entry["modified"].get<std::string>() + "\n";
    if (entry.contains("created") && entry["created"].is_string())
      t += "  Created: " + entry["created"].get<std::string>() + "\n";
  }
  if (entry.contains("layout_from") && entry["layout_from"].is_string())
    t += "  Layout from: " + entry["layout_from"].get<std::string>() + "\n";
  return t;
}

void PutRecordedKeys(Json& object, const Json& entry) {
  for (const char* key : kRecordedKeys)
    if (entry.contains(key)) object[key] = entry[key];
}

}  // namespace tarnwick::cli
