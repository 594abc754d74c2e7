#pragma once
// What every tarnwick-cli command shares: exit codes, the one place where the
// SOURCE argument (and its options) is declared and opened, the GEOMETRY and
// range options, and messages on stderr.
#include <CLI/CLI.hpp>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "scan/session_source.h"
#include "volume/identify.h"

namespace tarnwick {
struct Session;
struct ScanRequest;
struct ScanOutcome;
}  // namespace tarnwick

namespace tarnwick::cli {

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoMap = 3;
// The user stopped the run (Ctrl-C): what was done is kept, the rest was not.
constexpr int kExitStopped = 130;

// A subcommand and what runs it once the command line is parsed.
struct Command {
  CLI::App* App = nullptr;
  std::function<int()> Run;
};
using Commands = std::vector<Command>;

// The SOURCE of a command and the options that say how to open it. Every
// command that reads a Source declares it through DeclareSource and opens it
// through OpenSource, so an option added here reaches all of them.
struct SourceArgs {
  std::string Path;
  int Partition = 0;  // --partition N: one partition of a whole disk; 0 for the whole Source
};
void DeclareSource(CLI::App& command, SourceArgs& source);

struct Opened {
  OpenOutcome Outcome;
  RescueBoxes Boxes;
};
// Opens the Source read-only; on failure the reason is on stderr.
std::optional<Opened> OpenSource(Session& s, const SourceArgs& source);

// --reason, --fs and --cluster: the boxes of the rescue group.
struct GeometryArgs {
  std::string Reason, Fs, Cluster;
};
void DeclareGeometry(CLI::App& command, GeometryArgs& geometry);
// Applies them as clicks on those boxes, in that order.
void ApplyGeometry(Session& s, RescueBoxes& boxes, const GeometryArgs& geometry);

// Opens the Source, applies GEOMETRY and decides what a scan of it covers
// (saying so on stderr): what scan and rescue do before they search.
std::optional<Opened> OpenForScan(Session& s, const SourceArgs& source,
                                  const GeometryArgs& geometry);

// True when --fs or --cluster was given: the user's geometry then holds for
// the whole Source, and no plan or inference replaces it.
bool UserGaveGeometry(const GeometryArgs& geometry);

// The end notes of a scan (where it was stopped, a lost Source, files not
// saved, unreadable sectors) on stderr, and the exit status they make:
// kExitStopped when the user cut the run short, kExitFailed when it failed
// its job otherwise, kExitDone when it did all of it.
int EndWithNotes(const Session& s, const ScanOutcome& out);

// --range FIRST-LAST, as the two sector boxes' texts.
void DeclareRange(CLI::App& command, std::string& range);
// The boxes' texts: the range given, or the whole Source.
void ApplyRange(const Session& s, const std::string& range, std::string& firstText,
                std::string& lastText);

// A choice among names, case-insensitive; refused as "must be <said>".
CLI::Validator OneOf(std::initializer_list<const char*> names, std::string said,
                     bool (*extra)(const std::string&) = nullptr);

// The GEOMETRY paragraph of the help texts.
extern const char* const kGeometryHelp;

// The message of a FaceTexts slot on stderr, with the system's reason if any.
void ReportSlot(const Session& s, int slot, const std::string& reason = {});

// The commands, each adding itself to the program.
void AddDrivesCommand(CLI::App& app, Commands& commands);
void AddIdentifyCommand(CLI::App& app, Commands& commands);
void AddHexdumpCommand(CLI::App& app, Commands& commands);
void AddFreemapCommand(CLI::App& app, Commands& commands);
void AddScanCommand(CLI::App& app, Commands& commands);
void AddRescueCommand(CLI::App& app, Commands& commands);
void AddBackupCommand(CLI::App& app, Commands& commands);
void AddInspectCommand(CLI::App& app, Commands& commands);
void AddPartitionsCommand(CLI::App& app, Commands& commands);
void AddFilesCommand(CLI::App& app, Commands& commands);

}  // namespace tarnwick::cli
