// tarnwick-cli inspect FILE... [--json]: what a rescued file holds and
// whether it is whole. It reads the files only; no Source is opened.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/cli/cli_common.h"
#include "app/cli/inspection.h"
#include "app/cli/json_out.h"
#include "app/cli/report_lookup.h"

namespace tarnwick::cli {

namespace {

struct InspectArgs {
  std::vector<std::string> Files;
  bool Json = false;
};

int RunInspect(const InspectArgs& a) {
  int status = kExitDone;
  Json files = Json::array();
  for (const std::string& path : a.Files) {
    const Inspection inspection = InspectFile(path);
    const std::string& failure = inspection.ReadError;
    if (!failure.empty()) {
      std::fprintf(stderr, "%s could not be read: %s\n", path.c_str(), failure.c_str());
      status = kExitFailed;
      if (a.Json) {
        Json entry;
        PutBytes(entry, "file", path);
        entry["error"] = failure;
        files.push_back(std::move(entry));
      }
      continue;
    }
    if (a.Json) {
      Json entry;
      PutBytes(entry, "file", path);
      entry["bytes"] = inspection.FileBytes;
      if (auto recorded = ReportEntryBeside(path)) PutRecordedKeys(entry, *recorded);
      PutInspection(entry, inspection);
      files.push_back(std::move(entry));
    } else {
      std::string text = InspectionText(inspection);
      // What a report beside the file says of it goes under its first line.
      if (auto recorded = ReportEntryBeside(path))
        text.insert(text.find('\n') + 1, RecordedLines(*recorded));
      std::fwrite(text.data(), 1, text.size(), stdout);
    }
  }
  if (a.Json) {
    Json out;
    out["files"] = std::move(files);
    PrintJson(out);
  }
  return status;
}

}  // namespace

void AddInspectCommand(CLI::App& app, Commands& commands) {
  auto a = std::make_shared<InspectArgs>();
  CLI::App* c =
      app.add_subcommand("inspect", "what rescued files hold, and whether they are whole");
  c->footer(
      "For each compound file: the verdict of the whole-file check (whole, or\n"
      "damaged with the broken streams), the contacts and groups its storages name\n"
      "by number, the size of its message store (the Data.msj streams) and its\n"
      "storage and stream tree with sizes. Where a rescue report lies beside the\n"
      "file (or above damaged/), the path the file system remembered, its times and\n"
      "where its layout came from. Only the files are read. Exit status 1 when a\n"
      "file could not be read.");
  c->add_option("FILE", a->Files, "the files to inspect")->required();
  c->add_flag("--json", a->Json, "{\"files\": [...]} instead, as in the report");
  commands.push_back({c, [a] { return RunInspect(*a); }});
}

}  // namespace tarnwick::cli
