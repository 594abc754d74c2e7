// tarnwick-cli backup SOURCE IMAGE [--range FIRST-LAST] [--free-only]
// tarnwick-cli drives [--json]
#include "app/cli/backup_commands.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/cli/cli_frontend.h"
#include "scan/session.h"
#include "source/backup.h"
#include "source/drives.h"
#include "source/source.h"

namespace tarnwick::cli {

const char* const kBackupHelp =
    "usage: tarnwick-cli backup SOURCE IMAGE [--range FIRST-LAST] [--free-only]\n"
    "Copies the sectors FIRST to LAST of SOURCE (default: all) into the raw image\n"
    "file IMAGE, which must not lie on SOURCE. Sectors that cannot be read are\n"
    "written as zeros and counted. Ctrl-C cancels; the partial image is kept\n"
    "unless you answer yes when asked on a terminal.\n"
    "  --free-only   copy only the sectors the file system counts as free\n"
    "The last line of stdout is the end message.\n";

const char* const kDrivesHelp =
    "usage: tarnwick-cli drives [--json]\n"
    "Lists the volumes and whole disks of this machine as the window's drive list\n"
    "shows them, one 'text<TAB>device' a line (--json: an array of objects with\n"
    "text, device, kind and disk).\n";

namespace {

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int Usage(const char* help, const std::string& message) {
  std::fprintf(stderr, "tarnwick-cli: %s\n%s", message.c_str(), help);
  return kExitUsage;
}

std::string Json(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

}  // namespace

int RunDrivesCommand(int argc, char** argv) {
  bool json = false;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--json") == 0)
      json = true;
    else
      return Usage(kDrivesHelp, std::string("unknown argument ") + argv[i]);
  }
  std::vector<DriveItem> items = DriveList();
  if (json) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) {
      const DriveItem& d = items[i];
      out += (i ? ", " : "") + std::string("{\"text\": ") + Json(d.Text) +
             ", \"device\": " + Json(d.DevicePath) + ", \"kind\": \"" + DriveKindName(d.Kind) +
             "\", \"disk\": " + (d.IsDisk ? "true" : "false") + "}";
    }
    std::printf("%s]\n", out.c_str());
  } else {
    for (const DriveItem& d : items) std::printf("%s\t%s\n", d.Text.c_str(), d.DevicePath.c_str());
  }
  return kExitDone;
}

int RunBackupCommand(int argc, char** argv) {
  std::vector<std::string> positional;
  std::string range;
  bool freeOnly = false;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--free-only") {
      freeOnly = true;
    } else if (arg == "--range") {
      if (i + 1 >= argc) return Usage(kBackupHelp, "--range needs a value");
      range = argv[++i];
    } else if (arg.rfind("--", 0) == 0) {
      return Usage(kBackupHelp, "unknown option " + arg);
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != 2) return Usage(kBackupHelp, "backup needs SOURCE and IMAGE");
  size_t dash = range.empty() ? 0 : range.find('-', 1);
  if (!range.empty() && dash == std::string::npos)
    return Usage(kBackupHelp, "--range must be FIRST-LAST");

  Session s;
  OpenOutcome opened = OpenAny(s, positional[0]);
  if (!opened.Opened) {
    std::string text = s.Text(opened.ErrorSlot);
    if (opened.SystemReason.empty())
      std::fprintf(stderr, "%s\n", text.c_str());
    else
      std::fprintf(stderr, "%s (%s)\n", text.c_str(), opened.SystemReason.c_str());
    return kExitFailed;
  }
  if (std::string empty = EmptySourceReason(s); !empty.empty()) {
    std::fprintf(stderr, "tarnwick-cli: %s: %s.\n", positional[0].c_str(), empty.c_str());
    return kExitFailed;
  }

  BackupRequest request;
  request.ImagePath = positional[1];
  request.FreeOnly = freeOnly && opened.FreeOnlyEnabled;
  request.FirstText = range.empty() ? opened.FirstSectorText : range.substr(0, dash);
  request.LastText = range.empty() ? opened.LastSectorText : range.substr(dash + 1);
  if (freeOnly && !opened.FreeOnlyEnabled)
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
    default:
      if (!out.SystemReason.empty()) std::fprintf(stderr, "(%s)\n", out.SystemReason.c_str());
      return kExitFailed;
  }
}

}  // namespace tarnwick::cli
