// tarnwick-cli partitions SOURCE [--json] [--partition N]
#include "app/cli/partitions_command.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "app/cli/cli_common.h"
#include "app/cli/json_out.h"
#include "scan/disk_plan.h"
#include "scan/session.h"
#include "source/device.h"
#include "scan/partition_open.h"
#include "source/partition_table.h"
#include "scan/session_source.h"
#include "volume/identify_partitions.h"
#include "volume/identify.h"

namespace tarnwick::cli {

namespace {

std::string MbrTypeHex(uint8_t t) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%02x", t);
  return hex;
}

// "0x0c FAT32 (LBA)" for MBR; the type's name, or its GUID when unknown, for GPT.
std::string TypeText(const PartitionEntry& p) {
  if (!p.TypeGuid.empty()) return p.TypeName == "Unknown" ? p.TypeGuid : p.TypeName;
  return MbrTypeHex(p.MbrType) + " " + p.TypeName;
}

// Tabs or line breaks in a label would break the columns.
std::string OneColumn(std::string text) {
  for (char& c : text)
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  return text.empty() ? "-" : text;
}

Json JsonListing(const PartitionTable& t, const std::vector<PartitionContents>& parts) {
  Json out;
  out["scheme"] = SchemeName(t.Scheme);
  out["sector_size"] = t.SectorSize;
  out["backup_used"] = t.BackupGptUsed;
  out["problems"] = Json::array();
  for (const std::string& problem : t.Problems) out["problems"].push_back(problem);
  out["partitions"] = Json::array();
  for (const PartitionContents& c : parts) {
    const PartitionEntry& p = c.Entry;
    Json item;
    item["index"] = p.Index;
    item["first_sector"] = p.FirstSector;
    item["last_sector"] = p.LastSector;
    item["sectors"] = p.SectorCount();
    item["type"] = p.TypeGuid.empty() ? MbrTypeHex(p.MbrType) : p.TypeGuid;
    item["type_name"] = p.TypeName;
    item["logical"] = p.Logical;
    PutBytes(item, "name", p.Name);
    PutBytes(item, "fs", c.FsName);
    item["identified"] = c.Identified;
    item["sectors_per_cluster"] = c.Geometry.SectorsPerCluster;
    item["cluster_phase"] = c.Geometry.ClusterPhase;
    PutBytes(item, "label", c.Label);
    out["partitions"].push_back(std::move(item));
  }
  return out;
}

void PrintOpenFailure(const Session& s, const OpenOutcome& o) {
  std::string text = s.Text(o.ErrorSlot);
  for (auto& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  if (o.SystemReason.empty())
    std::fprintf(stderr, "%s\n", text.c_str());
  else
    std::fprintf(stderr, "%s (%s)\n", text.c_str(), o.SystemReason.c_str());
  if (o.ErrorSlot == 16)
    std::fprintf(stderr, "Raw devices need root or membership of the disk group.\n");
}

}  // namespace

std::optional<int> ParsePartitionNumber(const std::string& text) {
  if (text.empty() || text.size() > 6) return std::nullopt;
  int n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
  }
  if (n < 1) return std::nullopt;
  return n;
}

namespace {

// An image or partition with no whole sector in it has nothing to scan: say
// so rather than letting a command fail later on its sector range.
OpenOutcome RefuseEmpty(const Session& s, const std::string& path, OpenOutcome o) {
  if (!o.Opened) return o;
  if (std::string empty = EmptySourceReason(s); !empty.empty()) {
    std::fprintf(stderr, "tarnwick-cli: %s: %s.\n", path.c_str(), empty.c_str());
    o.Opened = false;
  }
  return o;
}

}  // namespace

OpenOutcome OpenCliSource(Session& s, const std::string& path, std::optional<int> partition) {
  if (!partition) {
    OpenOutcome o = OpenAny(s, path);
    if (!o.Opened) PrintOpenFailure(s, o);
    return RefuseEmpty(s, path, o);
  }
  PartitionOpen p = OpenPartitionOf(s, path, *partition);
  if (!p.Outcome.Opened) {
    if (p.Outcome.ErrorSlot != 0)
      PrintOpenFailure(s, p.Outcome);
    else
      std::fprintf(stderr, "tarnwick-cli: %s\n", p.Problem.c_str());
  }
  for (const std::string& problem : p.Table.Problems)
    std::fprintf(stderr, "Partition table: %s\n", problem.c_str());
  return RefuseEmpty(s, path, p.Outcome);
}

namespace {

int RunPartitions(const std::string& path, bool json, int only) {
  Session s;
  std::string error;
  auto device = FileDevice::Open(path, error);
  if (!device) {
    OpenOutcome o;
    o.ErrorSlot = KindOfPath(path) == DeviceKind::Image ? 48 : 16;
    o.SystemReason = error;
    PrintOpenFailure(s, o);
    return kExitFailed;
  }
  PartitionTable table = ReadPartitionTable(*device);
  for (const std::string& problem : table.Problems)
    std::fprintf(stderr, "Partition table: %s\n", problem.c_str());
  if (table.Scheme == TableScheme::None) {
    std::fprintf(stderr, "No partition table was found on %s; it opens as one volume.\n",
                 path.c_str());
    if (json) PrintJson(JsonListing(table, {}));
    return kExitFailed;
  }
  if (only > 0) {
    const PartitionEntry* p = table.Find(only);
    if (p == nullptr) {
      std::fprintf(stderr, "tarnwick-cli: there is no partition %d on %s\n", only, path.c_str());
      return kExitFailed;
    }
    PartitionEntry kept = *p;
    table.Partitions = {kept};
  }
  auto parts = IdentifyPartitions(*device, table, path);
  if (json) {
    PrintJson(JsonListing(table, parts));
    return kExitDone;
  }
  std::fprintf(stderr, "%s partition table, %u-byte sectors%s\n", SchemeName(table.Scheme),
               table.SectorSize, table.BackupGptUsed ? ", read from the backup GPT header" : "");
  for (const PartitionContents& c : parts) {
    const PartitionEntry& p = c.Entry;
    std::printf("%d\t%llu\t%llu\t%s\t%s\t%s\n", p.Index,
                static_cast<unsigned long long>(p.FirstSector),
                static_cast<unsigned long long>(p.LastSector), OneColumn(TypeText(p)).c_str(),
                OneColumn(c.FsName).c_str(), OneColumn(c.Label).c_str());
  }
  return kExitDone;
}

}  // namespace

void AddPartitionsCommand(CLI::App& app, Commands& commands) {
  auto source = std::make_shared<SourceArgs>();
  auto json = std::make_shared<bool>(false);
  CLI::App* c = app.add_subcommand("partitions", "the partition table of a whole disk or image");
  c->footer(
      "Reads the partition table (MBR with logical partitions, or GPT) of a whole\n"
      "disk or whole-disk image and prints one line per partition:\n"
      "  index<TAB>first sector<TAB>last sector<TAB>type<TAB>file system<TAB>label\n"
      "The index is what --partition N takes. The table's kind and anything wrong\n"
      "with it go to stderr. Exit status 1 when SOURCE has no table.");
  DeclareSource(*c, *source);
  c->add_flag("--json", *json,
              "one object with scheme, sector_size, backup_used, problems and partitions");
  commands.push_back(
      {c, [source, json] { return RunPartitions(source->Path, *json, source->Partition); }});
}

void ChooseWhatToScanCli(Session& s, RescueBoxes& boxes, bool wholeSource, bool userGeometry) {
  ScanChoice c = ChooseWhatToScan(s, boxes, wholeSource, userGeometry);
  for (const std::string& line : c.Notes) std::fprintf(stderr, "%s\n", line.c_str());
}

void ReportPlannedGeometry(const Session& s) {
  if (!s.Regions.empty()) {
    std::fprintf(stderr, "Geometry used:\n");
    for (const std::string& line : DescribeRegions(s.Regions))
      std::fprintf(stderr, "  %s\n", line.c_str());
  }
  if (s.Grids.empty()) return;
  std::fprintf(stderr, "Cluster grids the files were found on:\n");
  for (const std::string& line : DescribeGrids(s.Grids))
    std::fprintf(stderr, "  %s\n", line.c_str());
}

std::vector<IdentifyExtra> IdentifyExtras(Session& s) {
  std::vector<IdentifyExtra> out;
  if (!s.Source.IsOpen() || s.Scan.LastSector == UINT64_MAX) return out;
  const bool identified = s.Source.Kind != DeviceKind::Disk && s.Detected.FsKind != kFsOther;
  SourceDevice& dev = *s.Source.Device;
  if (!identified) {
    PartitionTable t = ReadPartitionTable(dev);
    out.push_back({"PartitionTable", "partition_table", SchemeName(t.Scheme), false});
    out.push_back({"Partitions", "partitions", std::to_string(t.Partitions.size()), true});
  }
  std::optional<VolumeGeometry> present;
  if (identified) present = s.Detected;
  auto former = FindFormerVolumes(dev, s.Scan.BytesPerSector, s.Scan.LastSector, present);
  if (!former.empty()) {
    const SurvivingVolume& v = former.front();
    out.push_back(
        {"FormerFsKind", "former_fs_name", std::string(FsKindName(v.Geometry.FsKind)), false});
    out.push_back({"FormerSectorsPerCluster", "former_sectors_per_cluster",
                   std::to_string(v.Geometry.SectorsPerCluster), true});
    out.push_back(
        {"FormerClusterPhase", "former_cluster_phase", std::to_string(v.SourcePhase()), true});
    out.push_back({"FormerFrom", "former_from", v.Describe(), false});
  }
  return out;
}

}  // namespace tarnwick::cli
