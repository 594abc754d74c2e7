// tarnwick-cli files SOURCE [--deleted] [--json]: what the file systems on
// the Source remember of their files, live and deleted, a volume at a time.
#include <cstdio>
#include <memory>
#include <string>

#include "app/cli/cli_common.h"
#include "app/cli/json_out.h"
#include "app/cli/recorded_json.h"
#include "scan/recorded_files.h"
#include "scan/session.h"
#include "volume/geometry.h"

namespace tarnwick::cli {

namespace {

struct FilesArgs {
  SourceArgs Source;
  bool DeletedOnly = false;
  bool Json = false;
};

// path, size, deleted or live, first sector, fragments, where the record was found.
std::string FileLine(const FileRecord& f) {
  size_t fragments = 0;
  for (const FileRun& r : f.Runs) fragments += r.Sparse ? 0 : 1;
  std::string line = f.Path + (f.Directory ? "/" : "");
  line += "\t" + std::to_string(f.Size);
  line += f.Deleted ? "\tdeleted" : "\tlive";
  line += "\t" + (f.FirstSector ? std::to_string(*f.FirstSector) : std::string("-"));
  line += "\t" + std::to_string(fragments);
  line += f.Origin == RecordOrigin::VolumeTree ? "\tvolume" : "\tloose";
  if (f.Compressed) line += "\tcompressed";
  if (f.Encrypted) line += "\tencrypted";
  return line + "\n";
}

int RunFiles(const FilesArgs& a) {
  Session s;
  auto opened = OpenSource(s, a.Source);
  if (!opened) return kExitFailed;
  const std::vector<RecordedVolume> volumes = ReadRecordedVolumes(s);
  Json files = Json::array();
  Json described = Json::array();
  bool anyRead = false;
  for (const RecordedVolume& v : volumes) {
    if (!v.Error.empty())
      std::fprintf(stderr, "%s (sectors %llu-%llu, %s): %s\n", v.Origin.c_str(),
                   static_cast<unsigned long long>(v.First),
                   static_cast<unsigned long long>(v.Last),
                   std::string(FsKindName(v.FsKind)).c_str(), v.Error.c_str());
    else
      anyRead = true;
    if (a.Json) {
      Json d;
      d["first_sector"] = v.First;
      d["last_sector"] = v.Last;
      d["fs_name"] = std::string(FsKindName(v.FsKind));
      d["bytes_per_sector"] = s.Scan.BytesPerSector;
      d["partition"] = v.Partition;
      d["origin"] = v.Origin;
      if (!v.Error.empty()) d["error"] = v.Error;
      described.push_back(std::move(d));
    } else if (volumes.size() > 1 && v.Error.empty()) {
      std::printf("# %s, sectors %llu-%llu, %s\n", v.Origin.c_str(),
                  static_cast<unsigned long long>(v.First),
                  static_cast<unsigned long long>(v.Last),
                  std::string(FsKindName(v.FsKind)).c_str());
    }
    for (const FileRecord& f : v.Files) {
      if (a.DeletedOnly && !f.Deleted) continue;
      if (a.Json) {
        Json entry = FileRecordJson(f);
        entry["partition"] = v.Partition;
        files.push_back(std::move(entry));
      } else {
        const std::string line = FileLine(f);
        std::fwrite(line.data(), 1, line.size(), stdout);
      }
    }
  }
  if (a.Json) {
    Json out;
    out["volumes"] = std::move(described);
    out["files"] = std::move(files);
    PrintJson(out);
  }
  if (volumes.empty())
    std::fprintf(stderr, "No NTFS, FAT or exFAT volume was found on %s.\n", a.Source.Path.c_str());
  return anyRead ? kExitDone : kExitFailed;
}

}  // namespace

void AddFilesCommand(CLI::App& app, Commands& commands) {
  auto a = std::make_shared<FilesArgs>();
  CLI::App* c = app.add_subcommand(
      "files",
      "What the file systems remember of their files, live and deleted: one a line\n"
      "(path, size, deleted or live, first sector, fragments, where the record lies)");
  DeclareSource(*c, a->Source);
  c->add_flag("--deleted", a->DeletedOnly, "only the deleted files");
  c->add_flag("--json", a->Json,
              "one JSON object: {\"files\": [{\"path\", \"size\", \"deleted\", \"runs\": "
              "[[first_sector, sectors], ...]}, ...]}");
  commands.push_back({c, [a] { return RunFiles(*a); }});
}

}  // namespace tarnwick::cli
