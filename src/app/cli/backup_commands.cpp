// tarnwick-cli backup SOURCE IMAGE [--range FIRST-LAST] [--free-only]
// tarnwick-cli drives [--json]
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/cli/cli_common.h"
#include "app/cli/cli_frontend.h"
#include "app/cli/json_out.h"
#include "scan/session.h"
#include "scan/backup.h"
#include "source/drives.h"

namespace tarnwick::cli {

namespace {

int RunDrives(bool json) {
  const std::vector<DriveItem> items = DriveList();
  if (json) {
    Json list = Json::array();
    for (const DriveItem& d : items) {
      Json item;
      PutBytes(item, "text", d.Text);
      PutBytes(item, "device", d.DevicePath);
      item["kind"] = DriveKindName(d.Kind);
      item["disk"] = d.IsDisk;
      list.push_back(std::move(item));
    }
    PrintJson(list);
  } else {
    for (const DriveItem& d : items) std::printf("%s\t%s\n", d.Text.c_str(), d.DevicePath.c_str());
  }
  return kExitDone;
}

struct BackupArgs {
  SourceArgs Source;
  std::string Image;
  std::string Range;
  bool FreeOnly = false;
};

int RunBackup(const BackupArgs& a) {
  Session s;
  auto opened = OpenSource(s, a.Source);
  if (!opened) return kExitFailed;
  const OpenOutcome& o = opened->Outcome;
  BackupRequest request;
  request.ImagePath = a.Image;
  request.FreeOnly = a.FreeOnly && o.FreeOnlyEnabled;
  request.FirstText = o.FirstSectorText;
  request.LastText = o.LastSectorText;
  if (!a.Range.empty()) ApplyRange(s, a.Range, request.FirstText, request.LastText);
  if (a.FreeOnly && !o.FreeOnlyEnabled)
    std::fprintf(stderr, "The file system is not known; copying every sector.\n");

  CliFrontend ui(s, Answer::No);
  s.SetFrontend(&ui);
  CliFrontend::CatchInterrupts();
  BackupOutcome out = BackupToImage(s, request);
  s.SetFrontend(nullptr);
  if (out.UntickFreeOnly && out.DisableFreeOnly)
    std::fprintf(stderr, "The allocation map could not be read; copying every sector.\n");
  switch (out.End) {
    case BackupEnd::Finished:
    case BackupEnd::FinishedBadSectors:
      if (out.BadSectors > 0)
        std::fprintf(stderr, "Unreadable sectors written as zeros: %llu\n",
                     static_cast<unsigned long long>(out.BadSectors));
      std::printf("%s\n", s.Text(out.MessageSlot).c_str());
      return kExitDone;
    case BackupEnd::SourceLost:
      std::fprintf(stderr, "The source stopped answering (%s); the image holds what was read.\n",
                   out.SystemReason.c_str());
      return kExitFailed;
    case BackupEnd::Cancelled:
    case BackupEnd::CancelledKept:
    case BackupEnd::CancelledDeleted:
      std::fprintf(stderr, "Stopped before the end of the range.\n");
      return kExitStopped;
    default:
      if (!out.SystemReason.empty()) std::fprintf(stderr, "(%s)\n", out.SystemReason.c_str());
      return kExitFailed;
  }
}

}  // namespace

void AddDrivesCommand(CLI::App& app, Commands& commands) {
  auto json = std::make_shared<bool>(false);
  CLI::App* c = app.add_subcommand("drives", "the partitions and disks of this machine");
  c->footer(
      "Lists the volumes and whole disks of this machine as the window's drive list\n"
      "shows them, one 'text<TAB>device' a line.");
  c->add_flag("--json", *json, "an array of objects with text, device, kind and disk instead");
  commands.push_back({c, [json] { return RunDrives(*json); }});
}

void AddBackupCommand(CLI::App& app, Commands& commands) {
  auto a = std::make_shared<BackupArgs>();
  CLI::App* c = app.add_subcommand("backup", "copy a sector range into a raw image file");
  c->footer(
      "Copies the sectors FIRST to LAST of SOURCE (default: all) into the raw image\n"
      "file IMAGE, which must not lie on SOURCE. Sectors that cannot be read are\n"
      "written as zeros and counted. Ctrl-C cancels; the partial image is kept\n"
      "unless you answer yes when asked on a terminal. The last line of stdout is\n"
      "the end message.");
  DeclareSource(*c, a->Source);
  c->add_option("IMAGE", a->Image, "the image file to write")->required();
  DeclareRange(*c, a->Range);
  c->add_flag("--free-only", a->FreeOnly, "copy only the sectors the file system counts as free");
  commands.push_back({c, [a] { return RunBackup(*a); }});
}

}  // namespace tarnwick::cli
