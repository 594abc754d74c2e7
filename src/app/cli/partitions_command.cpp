// tarnwick-cli partitions SOURCE [--json] [--partition N]
#include "app/cli/partitions_command.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "scan/disk_plan.h"
#include "scan/session.h"
#include "source/device.h"
#include "source/partition_open.h"
#include "source/partition_table.h"
#include "source/source.h"
#include "volume/identify_partitions.h"

namespace tarnwick::cli {

const char* const kPartitionsHelp =
    "usage: tarnwick-cli partitions SOURCE [--json] [--partition N]\n"
    "Reads the partition table (MBR with logical partitions, or GPT) of a whole\n"
    "disk or whole-disk image and prints one line per partition:\n"
    "  index<TAB>first sector<TAB>last sector<TAB>type<TAB>file system<TAB>label\n"
    "The index is what --partition N takes. The table's kind and anything wrong\n"
    "with it go to stderr. --json: one object with scheme, sector_size,\n"
    "backup_used, problems and partitions. Exit status 1 when SOURCE has no table.\n";

namespace {

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int Usage(const std::string& message) {
  std::fprintf(stderr, "tarnwick-cli: %s\n%s", message.c_str(), kPartitionsHelp);
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

std::string JsonListing(const PartitionTable& t, const std::vector<PartitionContents>& parts) {
  std::string out = std::string("{\"scheme\": \"") + SchemeName(t.Scheme) +
                    "\", \"sector_size\": " + std::to_string(t.SectorSize) +
                    ", \"backup_used\": " + (t.BackupGptUsed ? "true" : "false") +
                    ", \"problems\": [";
  for (size_t i = 0; i < t.Problems.size(); ++i) out += (i ? ", " : "") + Json(t.Problems[i]);
  out += "], \"partitions\": [";
  for (size_t i = 0; i < parts.size(); ++i) {
    const PartitionContents& c = parts[i];
    const PartitionEntry& p = c.Entry;
    out += (i ? ", " : "") + std::string("{\"index\": ") + std::to_string(p.Index) +
           ", \"first_sector\": " + std::to_string(p.FirstSector) +
           ", \"last_sector\": " + std::to_string(p.LastSector) +
           ", \"sectors\": " + std::to_string(p.SectorCount()) + ", \"type\": " +
           Json(p.TypeGuid.empty() ? MbrTypeHex(p.MbrType) : p.TypeGuid) +
           ", \"type_name\": " + Json(p.TypeName) + ", \"logical\": " +
           (p.Logical ? "true" : "false") + ", \"name\": " + Json(p.Name) +
           ", \"fs\": " + Json(c.FsName) + ", \"identified\": " +
           (c.Identified ? "true" : "false") +
           ", \"sectors_per_cluster\": " + std::to_string(c.Geometry.SectorsPerCluster) +
           ", \"cluster_phase\": " + std::to_string(c.Geometry.ClusterPhase) +
           ", \"label\": " + Json(c.Label) + "}";
  }
  return out + "]}\n";
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

int RunPartitionsCommand(int argc, char** argv) {
  std::vector<std::string> positional;
  bool json = false;
  std::optional<int> only;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--json") {
      json = true;
    } else if (arg == "--partition") {
      if (i + 1 >= argc) return Usage("--partition needs a value");
      only = ParsePartitionNumber(argv[++i]);
      if (!only) return Usage("--partition must be a partition number from 1");
    } else if (arg.rfind("--", 0) == 0) {
      return Usage("unknown option " + arg);
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != 1) return Usage("partitions needs SOURCE");
  const std::string& path = positional[0];

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
    if (json) std::printf("%s", JsonListing(table, {}).c_str());
    return kExitFailed;
  }
  if (only) {
    const PartitionEntry* p = table.Find(*only);
    if (p == nullptr) {
      std::fprintf(stderr, "tarnwick-cli: there is no partition %d on %s\n", *only, path.c_str());
      return kExitFailed;
    }
    PartitionEntry kept = *p;
    table.Partitions = {kept};
  }
  auto parts = IdentifyPartitions(*device, table, path);
  if (json) {
    std::printf("%s", JsonListing(table, parts).c_str());
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

void ChooseWhatToScanCli(Session& s, RescueBoxes& boxes, bool wholeSource, bool userGeometry) {
  ScanChoice c = ChooseWhatToScan(s, boxes, wholeSource, userGeometry);
  for (const std::string& line : c.Notes) std::fprintf(stderr, "%s\n", line.c_str());
}

void ReportPlannedGeometry(const Session& s) {
  if (s.Regions.empty()) return;
  std::fprintf(stderr, "Geometry used:\n");
  for (const std::string& line : DescribeRegions(s.Regions))
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
    out.push_back({"FormerFsKind", "former_fs_name", std::string(FsKindName(v.Geometry.FsKind)),
                   false});
    out.push_back({"FormerSectorsPerCluster", "former_sectors_per_cluster",
                   std::to_string(v.Geometry.SectorsPerCluster), true});
    out.push_back({"FormerClusterPhase", "former_cluster_phase",
                   std::to_string(v.SourcePhase()), true});
    out.push_back({"FormerFrom", "former_from", v.Describe(), false});
  }
  return out;
}

}  // namespace tarnwick::cli
