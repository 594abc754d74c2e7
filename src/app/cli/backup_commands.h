#pragma once
// The command line's "backup" and "drives" commands. argv[1] is the command.
namespace tarnwick::cli {

int RunBackupCommand(int argc, char** argv);
int RunDrivesCommand(int argc, char** argv);

extern const char* const kBackupHelp;
extern const char* const kDrivesHelp;

}  // namespace tarnwick::cli
