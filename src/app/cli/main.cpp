// tarnwick-cli: the engine without a window, one subcommand per job.
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <vector>

#include "app/cli/cli_common.h"
#ifdef _WIN32
#include <windows.h>

#include "source/windows_device.h"
#endif

namespace tarnwick::cli {
namespace {

const char* const kSynopsis =
    "  tarnwick-cli drives [--json]\n"
    "  tarnwick-cli identify SOURCE [--json]\n"
    "  tarnwick-cli hexdump SOURCE SECTOR\n"
    "  tarnwick-cli freemap SOURCE [--json]\n"
    "  tarnwick-cli scan SOURCE [GEOMETRY] [--range FIRST-LAST] [--free-only] [--json]\n"
    "  tarnwick-cli rescue SOURCE --out DIR [GEOMETRY] [--range FIRST-LAST] [--free-only]\n"
    "                     [--jpeg] [--report FILE] [--on-save-error abort|retry|ignore]\n"
    "  tarnwick-cli backup SOURCE IMAGE [--range FIRST-LAST] [--free-only]\n"
    "  tarnwick-cli partitions SOURCE [--json]\n"
    "  tarnwick-cli inspect FILE... [--json]\n"
    "  tarnwick-cli files SOURCE [--deleted] [--json]\n"
    "Every command that takes SOURCE also takes --partition N (a partition of a\n"
    "whole-disk image or disk, numbered as 'partitions' lists them).\n";

const char* const kFooter =
    "SOURCE is an image file or a block device (a partition or a whole disk).\n"
    "Exit status: 0 done, 1 refused or failed, 2 bad usage, 3 (freemap) no\n"
    "allocation map could be read, 130 (scan, rescue, backup) stopped by Ctrl-C\n"
    "before the end.\n"
    "Run 'tarnwick-cli COMMAND --help' for one command.";

int Main(int argc, char** argv) {
  CLI::App app(
      std::string("Rescues deleted QQ chat databases from disks and disk images.\n") + kSynopsis,
      "tarnwick-cli");
  app.require_subcommand(1);
  app.fallthrough(false);
  // The same options everywhere: on Windows, too, "/x" is a path, not an option.
  app.allow_windows_style_options(false);
  Commands commands;
  AddDrivesCommand(app, commands);
  AddIdentifyCommand(app, commands);
  AddHexdumpCommand(app, commands);
  AddFreemapCommand(app, commands);
  AddScanCommand(app, commands);
  AddRescueCommand(app, commands);
  AddBackupCommand(app, commands);
  AddPartitionsCommand(app, commands);
  AddInspectCommand(app, commands);
  AddFilesCommand(app, commands);
  app.footer(std::string(kGeometryHelp) + "\n" + kFooter);

  // "tarnwick-cli help" is the same as --help.
  std::vector<char*> args(argv, argv + argc);
  static char helpFlag[] = "--help";
  if (argc == 2 && std::strcmp(argv[1], "help") == 0) args[1] = helpFlag;
  if (argc >= 2 && argv[1][0] != '-' && args[1] != helpFlag) {
    bool known = false;
    for (const Command& c : commands) known = known || c.App->get_name() == argv[1];
    if (!known) {
      std::fprintf(stderr, "tarnwick-cli: unknown command %s\nRun 'tarnwick-cli --help'.\n",
                   argv[1]);
      return kExitUsage;
    }
  }
  try {
    app.parse(static_cast<int>(args.size()), args.data());
  } catch (const CLI::CallForHelp&) {
    std::cout << app.help();
    return kExitDone;
  } catch (const CLI::CallForAllHelp&) {
    std::cout << app.help("", CLI::AppFormatMode::All);
    return kExitDone;
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "tarnwick-cli: %s\n", e.what());
    const auto chosen = app.get_subcommands();
    std::fprintf(stderr, "Run 'tarnwick-cli %s--help' for how to use it.\n",
                 chosen.empty() ? "" : (chosen[0]->get_name() + " ").c_str());
    return kExitUsage;
  }
  for (const Command& c : commands) {
    if (!c.App->parsed()) continue;
    try {
      return c.Run();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "tarnwick-cli: %s\n", e.what());
      return kExitFailed;
    }
  }
  return kExitUsage;
}

}  // namespace
}  // namespace tarnwick::cli

#ifdef _WIN32
// The arguments as the system holds them (UTF-16, so that Chinese folder
// names arrive whole), handed on in UTF-8; the console shows UTF-8.
int wmain(int argc, wchar_t** wargv) {
  SetConsoleOutputCP(CP_UTF8);
  std::vector<std::string> texts;
  for (int i = 0; i < argc; ++i) texts.push_back(tarnwick::NarrowText(wargv[i]));
  std::vector<char*> argv;
  for (std::string& text : texts) argv.push_back(text.data());
  argv.push_back(nullptr);
  return tarnwick::cli::Main(argc, argv.data());
}
#else
int main(int argc, char** argv) { return tarnwick::cli::Main(argc, argv); }
#endif
