#include "app/cli/cli_common.h"

#include <strings.h>

#include <cstdio>
#include <initializer_list>

#include "app/cli/partitions_command.h"
#include "scan/deep_scan.h"
#include "scan/session.h"

namespace tarnwick::cli {

namespace {

constexpr std::initializer_list<const char*> kReasons = {"deleted", "formatted", "repartitioned"};
constexpr std::initializer_list<const char*> kFileSystems = {"FAT", "FAT32", "NTFS", "exFAT",
                                                             "HFS", "HFS+",  "OTHER"};
constexpr std::initializer_list<const char*> kClusters = {"0.5K", "1K",  "2K",  "4K",  "8K",
                                                          "16K",  "32K", "64K", "128K"};

std::optional<int> IndexOf(const std::string& value, std::initializer_list<const char*> names) {
  int i = 0;
  for (const char* n : names) {
    if (strcasecmp(value.c_str(), n) == 0) return i;
    ++i;
  }
  return std::nullopt;
}

int FsIndex(const std::string& value) {
  if (auto i = IndexOf(value, kFileSystems)) return *i;
  return strcasecmp(value.c_str(), "HFS+/HFSX") == 0 ? 5 : -1;
}

}  // namespace

const char* const kGeometryHelp =
    "GEOMETRY, applied in this order, each as a choice in that box:\n"
    "  --reason deleted|formatted|repartitioned\n"
    "  --fs FAT|FAT32|NTFS|exFAT|HFS|HFS+|OTHER\n"
    "  --cluster 0.5K|1K|2K|4K|8K|16K|32K|64K|128K";

CLI::Validator OneOf(std::initializer_list<const char*> names, std::string said,
                     bool (*extra)(const std::string&)) {
  // The list is copied: a braced list's array lives only as long as the call.
  std::vector<std::string> list(names.begin(), names.end());
  return CLI::Validator(
      [list, said, extra](std::string& value) -> std::string {
        for (const std::string& name : list)
          if (strcasecmp(value.c_str(), name.c_str()) == 0) return {};
        if (extra && extra(value)) return {};
        return "must be " + said;
      },
      "");
}

void DeclareSource(CLI::App& command, SourceArgs& source) {
  command.add_option("SOURCE", source.Path, "an image file or a block device")->required();
  command
      .add_option("--partition", source.Partition,
                  "one partition of a whole disk or whole-disk image, numbered as "
                  "'partitions' lists them")
      ->type_name("N")
      ->check(CLI::Validator(
          [](std::string& value) -> std::string {
            return ParsePartitionNumber(value) ? std::string{}
                                               : "must be a partition number from 1";
          },
          ""));
}

std::optional<Opened> OpenSource(Session& s, const SourceArgs& source) {
  Opened o;
  std::optional<int> partition;
  if (source.Partition > 0) partition = source.Partition;
  // Failures, and a Source with no whole sector, are on stderr already.
  o.Outcome = OpenCliSource(s, source.Path, partition);
  if (!o.Outcome.Opened) return std::nullopt;
  o.Boxes.Reason = o.Outcome.ReasonIndex;
  o.Boxes.Fs = o.Outcome.FsIndex;
  o.Boxes.Cluster = o.Outcome.ClusterIndex;
  o.Boxes.FsEnabled = o.Outcome.FsBoxesEnabled;
  return o;
}

std::optional<Opened> OpenForScan(Session& s, const SourceArgs& source,
                                  const GeometryArgs& geometry) {
  auto o = OpenSource(s, source);
  if (!o) return o;
  ApplyGeometry(s, o->Boxes, geometry);
  ChooseWhatToScanCli(s, o->Boxes, source.Partition == 0, UserGaveGeometry(geometry));
  return o;
}

bool UserGaveGeometry(const GeometryArgs& geometry) {
  return !geometry.Fs.empty() || !geometry.Cluster.empty();
}

int EndWithNotes(const Session& s, const ScanOutcome& out) {
  RescueEndNotes notes = EndNotes(s, out);
  for (const auto& line : notes.Lines) std::fprintf(stderr, "%s\n", line.c_str());
  // A stop comes first: whatever else went wrong, the run is not finished.
  if (notes.StoppedByUser) return kExitStopped;
  return notes.Failed ? kExitFailed : kExitDone;
}

void DeclareGeometry(CLI::App& command, GeometryArgs& g) {
  command.add_option("--reason", g.Reason, "why the data was lost")
      ->type_name("deleted|formatted|repartitioned")
      ->check(OneOf(kReasons, "deleted, formatted or repartitioned"));
  command.add_option("--fs", g.Fs, "the previous file system")
      ->type_name("FAT|FAT32|NTFS|exFAT|HFS|HFS+|OTHER")
      ->check(OneOf(kFileSystems, "FAT, FAT32, NTFS, exFAT, HFS, HFS+ or OTHER",
                    [](const std::string& v) { return FsIndex(v) >= 0; }));
  command.add_option("--cluster", g.Cluster, "the previous cluster size")
      ->type_name("0.5K|1K|...|128K")
      ->check(OneOf(kClusters, "one of 0.5K 1K 2K 4K 8K 16K 32K 64K 128K"));
}

void ApplyGeometry(Session& s, RescueBoxes& boxes, const GeometryArgs& g) {
  if (!g.Reason.empty()) {
    boxes.Reason = IndexOf(g.Reason, kReasons).value_or(0);
    if (auto slot = ReasonBoxClick(s, boxes, boxes.Reason)) ReportSlot(s, *slot);
  }
  if (!g.Fs.empty()) {
    boxes.Fs = FsIndex(g.Fs);
    FsBoxClick(s, boxes, boxes.Fs);
  }
  if (!g.Cluster.empty()) {
    boxes.Cluster = IndexOf(g.Cluster, kClusters).value_or(0);
    ClusterBoxClick(s, boxes, boxes.Cluster, true);
  }
}

void DeclareRange(CLI::App& command, std::string& range) {
  command.add_option("--range", range, "the sectors to work on (default: all)")
      ->type_name("FIRST-LAST")
      ->check(CLI::Validator(
          [](std::string& v) -> std::string {
            return v.find('-', 1) == std::string::npos ? "must be FIRST-LAST" : "";
          },
          ""));
}

void ApplyRange(const Session& s, const std::string& range, std::string& firstText,
                std::string& lastText) {
  if (range.empty()) {
    firstText = "0";
    lastText = std::to_string(static_cast<int64_t>(s.Scan.LastSector));
    return;
  }
  const size_t dash = range.find('-', 1);
  firstText = range.substr(0, dash);
  lastText = range.substr(dash + 1);
}

void ReportSlot(const Session& s, int slot, const std::string& reason) {
  std::string text = s.Text(slot);
  for (auto& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  if (reason.empty())
    std::fprintf(stderr, "%s\n", text.c_str());
  else
    std::fprintf(stderr, "%s (%s)\n", text.c_str(), reason.c_str());
}

}  // namespace tarnwick::cli
