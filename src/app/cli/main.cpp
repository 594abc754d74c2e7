// tarnwick-cli: the engine without a window, one subcommand per job.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/backup_commands.h"
#include "app/cli/cli_frontend.h"
#include "app/cli/sha256.h"
#include "scan/deep_scan.h"
#include "scan/session.h"
#include "source/source.h"
#include "volume/freespace.h"
#include "volume/hexview.h"
#include "volume/identify.h"

namespace tarnwick::cli {
namespace {

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoMap = 3;

const char* const kUsage =
    "usage: tarnwick-cli COMMAND ...\n"
    "  drives [--json]\n"
    "  identify SOURCE [--json]\n"
    "  hexdump SOURCE SECTOR\n"
    "  freemap SOURCE [--json]\n"
    "  scan SOURCE [GEOMETRY] [--range FIRST-LAST] [--free-only] [--json]\n"
    "  rescue SOURCE --out DIR [GEOMETRY] [--range FIRST-LAST] [--free-only]\n"
    "         [--jpeg] [--report FILE] [--on-save-error abort|retry|ignore]\n"
    "  backup SOURCE IMAGE [--range FIRST-LAST] [--free-only]\n"
    "GEOMETRY, applied in this order, each as a choice in that box:\n"
    "  --reason deleted|formatted|repartitioned\n"
    "  --fs FAT|FAT32|NTFS|exFAT|HFS|HFS+|OTHER\n"
    "  --cluster 0.5K|1K|2K|4K|8K|16K|32K|64K|128K\n"
    "SOURCE is an image file or a block device (a partition or a whole disk).\n"
    "Run 'tarnwick-cli COMMAND --help' for one command.\n";

struct CommandHelp {
  const char* name;
  const char* text;
};

const CommandHelp kHelp[] = {
    {"drives", kDrivesHelp},
    {"backup", kBackupHelp},
    {"identify",
     "usage: tarnwick-cli identify SOURCE [--json]\n"
     "Opens SOURCE read-only and prints what identification found:\n"
     "Source, Kind, Identified, FsKind, BytesPerSector, SectorsPerCluster,\n"
     "ClusterPhase and LastSector, one 'Name: value' a line (--json: one object).\n"},
    {"hexdump",
     "usage: tarnwick-cli hexdump SOURCE SECTOR\n"
     "Prints sector SECTOR of SOURCE as the sector view shows it.\n"},
    {"freemap",
     "usage: tarnwick-cli freemap SOURCE [--json]\n"
     "Reads the file system's allocation map and prints the in-use sectors as\n"
     "first-last runs. Exit status 3 when no allocation map could be read.\n"},
    {"scan",
     "usage: tarnwick-cli scan SOURCE [GEOMETRY] [--range FIRST-LAST] [--free-only] [--json]\n"
     "Runs the search phase and prints the file starts found, 'sector<TAB>typecode'.\n"
     "  --reason deleted|formatted|repartitioned   why the data was lost\n"
     "  --fs FAT|FAT32|NTFS|exFAT|HFS|HFS+|OTHER    the previous file system\n"
     "  --cluster 0.5K|1K|...|128K                 the previous cluster size\n"
     "  --range FIRST-LAST   sectors to scan (default: all)\n"
     "  --free-only          skip sectors the file system still allocates\n"},
    {"rescue",
     "usage: tarnwick-cli rescue SOURCE --out DIR [GEOMETRY] [--range FIRST-LAST]\n"
     "                          [--free-only] [--jpeg] [--report FILE]\n"
     "                          [--on-save-error abort|retry|ignore]\n"
     "Runs the whole deep scan and writes every QQ database found into DIR, which\n"
     "must exist and must not be on SOURCE. Progress goes to stderr; the last line\n"
     "of stdout is the end message. Ctrl-C cancels the search, or stops the rescue\n"
     "after the file being carved.\n"
     "  --reason, --fs, --cluster   the previous geometry, as for scan\n"
     "  --jpeg              also write the pictures that decode\n"
     "  --report FILE       write a JSON report of what was rescued\n"
     "  --on-save-error     the answer to a failed save when stdin is not a terminal\n"
     "                      (default abort)\n"},
};

int Usage(const std::string& message) {
  if (!message.empty()) std::fprintf(stderr, "tarnwick-cli: %s\n", message.c_str());
  std::fputs(kUsage, stderr);
  return kExitUsage;
}

// Parsed arguments: positionals and --options, each option once.
struct Args {
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;
  bool Has(const std::string& o) const { return options.count(o) != 0; }
  std::string Get(const std::string& o) const {
    auto it = options.find(o);
    return it == options.end() ? std::string() : it->second;
  }
};

std::optional<Args> Parse(int argc, char** argv, const std::vector<std::string>& flags,
                          const std::vector<std::string>& valued, std::string& error) {
  Args a;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    auto in = [&](const std::vector<std::string>& v) {
      return std::find(v.begin(), v.end(), arg) != v.end();
    };
    if (arg.rfind("--", 0) != 0) {
      a.positional.push_back(arg);
    } else if (in(flags)) {
      a.options[arg] = "";
    } else if (in(valued)) {
      if (i + 1 >= argc) {
        error = arg + " needs a value";
        return std::nullopt;
      }
      a.options[arg] = argv[++i];
    } else {
      error = "unknown option " + arg;
      return std::nullopt;
    }
  }
  return a;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

// The system's wording of a message slot on stderr, with a reason if any.
void Report(const Session& s, int slot, const std::string& reason = {}) {
  std::string text = s.Text(slot);
  for (auto& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  if (reason.empty())
    std::fprintf(stderr, "%s\n", text.c_str());
  else
    std::fprintf(stderr, "%s (%s)\n", text.c_str(), reason.c_str());
}

struct Opened {
  OpenOutcome outcome;
  RescueBoxes boxes;
};

std::optional<Opened> OpenSource(Session& s, const std::string& path) {
  Opened o;
  o.outcome = OpenAny(s, path);
  if (!o.outcome.Opened) {
    Report(s, o.outcome.ErrorSlot, o.outcome.SystemReason);
    if (o.outcome.ErrorSlot == 16)
      std::fprintf(stderr, "Raw devices need root or membership of the disk group.\n");
    return std::nullopt;
  }
  if (std::string empty = EmptySourceReason(s); !empty.empty()) {
    std::fprintf(stderr, "tarnwick-cli: %s: %s.\n", path.c_str(), empty.c_str());
    return std::nullopt;
  }
  o.boxes.Reason = o.outcome.ReasonIndex;
  o.boxes.Fs = o.outcome.FsIndex;
  o.boxes.Cluster = o.outcome.ClusterIndex;
  o.boxes.FsEnabled = o.outcome.FsBoxesEnabled;
  return o;
}

const char* KindName(DeviceKind k) {
  switch (k) {
    case DeviceKind::Image: return "image";
    case DeviceKind::Partition: return "partition";
    case DeviceKind::Disk: return "disk";
  }
  return "image";
}

int64_t Signed(uint64_t lastSector) { return static_cast<int64_t>(lastSector); }

int CmdIdentify(Session& s, const Args& a) {
  if (a.positional.size() != 1) return Usage("identify needs SOURCE");
  auto o = OpenSource(s, a.positional[0]);
  if (!o) return kExitFailed;
  const VolumeGeometry& g = s.Detected;
  const bool identified = s.Source.Kind != DeviceKind::Disk && o->outcome.ReasonIndex == 0;
  std::string fsName(FsKindName(g.FsKind));
  if (a.Has("--json")) {
    std::printf(
        "{\"source\": %s, \"kind\": \"%s\", \"identified\": %s, \"fs_kind\": %u, "
        "\"fs_name\": %s, \"bytes_per_sector\": %u, \"sectors_per_cluster\": %u, "
        "\"cluster_phase\": %d, \"last_sector\": %lld}\n",
        JsonString(s.Source.Name).c_str(), KindName(s.Source.Kind), identified ? "true" : "false",
        unsigned{g.FsKind}, JsonString(fsName).c_str(), g.BytesPerSector, g.SectorsPerCluster,
        g.ClusterPhase, static_cast<long long>(Signed(g.LastSector)));
  } else {
    std::printf(
        "Source: %s\nKind: %s\nIdentified: %s\nFsKind: %u %s\nBytesPerSector: %u\n"
        "SectorsPerCluster: %u\nClusterPhase: %d\nLastSector: %lld\n",
        s.Source.Name.c_str(), KindName(s.Source.Kind), identified ? "yes" : "no",
        unsigned{g.FsKind}, fsName.c_str(), g.BytesPerSector, g.SectorsPerCluster, g.ClusterPhase,
        static_cast<long long>(Signed(g.LastSector)));
  }
  return kExitDone;
}

int CmdHexdump(Session& s, const Args& a) {
  if (a.positional.size() != 2) return Usage("hexdump needs SOURCE and SECTOR");
  if (!OpenSource(s, a.positional[0])) return kExitFailed;
  int64_t sector = ParseSectorNumber(a.positional[1]);
  if (sector < 0 || s.Scan.LastSector == UINT64_MAX ||
      static_cast<uint64_t>(sector) > s.Scan.LastSector) {
    Report(s, 19);
    return kExitFailed;
  }
  auto shown = ShowSector(s, static_cast<uint64_t>(sector));
  if (!shown) {
    std::fprintf(stderr, "sector %lld could not be read\n", static_cast<long long>(sector));
    return kExitFailed;
  }
  for (const std::string& line : shown->Lines) std::printf("%s\n", line.c_str());
  return kExitDone;
}

// Marked sectors as inclusive runs.
std::vector<std::pair<uint64_t, uint64_t>> MarkedRuns(const ClusterMap& map, uint64_t lastSector) {
  std::vector<std::pair<uint64_t, uint64_t>> runs;
  const auto& bits = map.Bits();
  for (uint64_t byte = 0; byte < bits.size(); ++byte) {
    if (bits[byte] == 0) continue;
    for (uint64_t k = 0; k < 8; ++k) {
      uint64_t sector = byte * 8 + k;
      if (sector > lastSector || !(bits[byte] & (1u << k))) continue;
      if (!runs.empty() && runs.back().second + 1 == sector)
        runs.back().second = sector;
      else
        runs.emplace_back(sector, sector);
    }
  }
  return runs;
}

int CmdFreemap(Session& s, const Args& a) {
  if (a.positional.size() != 1) return Usage("freemap needs SOURCE");
  if (!OpenSource(s, a.positional[0])) return kExitFailed;
  CliFrontend ui(s, Answer::Abort);
  s.SetFrontend(&ui);
  CliFrontend::CatchInterrupts();
  s.HiTimer1.SetEnabled(true);
  if (!s.Map.Allocate(s.Detected.LastSector)) {
    Report(s, 88);
    return kExitFailed;
  }
  ui.SetCaption(Dialog::Search, s.Text(87));
  s.Flags.SearchCancel = false;
  ui.ShowDialog(Dialog::Search);
  bool complete = false;
  bool cancelled = CollectFreeSpace(s, complete);
  s.Flags.SearchCancel = true;
  ui.CloseDialog(Dialog::Search);
  s.SetFrontend(nullptr);
  auto runs = MarkedRuns(s.Map, s.Detected.LastSector);
  if (a.Has("--json")) {
    std::string out = std::string("{\"complete\": ") + (complete ? "true" : "false") +
                      ", \"cancelled\": " + (cancelled ? "true" : "false") + ", \"runs\": [";
    for (size_t i = 0; i < runs.size(); ++i) {
      out += (i ? ", [" : "[") + std::to_string(runs[i].first) + ", " +
             std::to_string(runs[i].second) + "]";
    }
    std::printf("%s]}\n", out.c_str());
  } else {
    for (auto [first, last] : runs)
      std::printf("%llu-%llu\n", (unsigned long long)first, (unsigned long long)last);
  }
  if (cancelled) return kExitFailed;
  if (!complete) {
    std::fprintf(stderr, "No allocation map could be read for this file system.\n");
    return kExitNoMap;
  }
  return kExitDone;
}

std::optional<int> IndexOf(const std::string& value, std::initializer_list<const char*> names) {
  int i = 0;
  for (const char* n : names) {
    if (strcasecmp(value.c_str(), n) == 0) return i;
    ++i;
  }
  return std::nullopt;
}

// Applies --reason, --fs and --cluster as clicks on those boxes, in that order.
bool ApplyGeometry(Session& s, RescueBoxes& boxes, const Args& a) {
  if (a.Has("--reason")) {
    auto item = IndexOf(a.Get("--reason"), {"deleted", "formatted", "repartitioned"});
    if (!item) {
      Usage("--reason must be deleted, formatted or repartitioned");
      return false;
    }
    boxes.Reason = *item;
    if (auto slot = ReasonBoxClick(s, boxes, *item)) Report(s, *slot);
  }
  if (a.Has("--fs")) {
    auto item = IndexOf(a.Get("--fs"), {"FAT", "FAT32", "NTFS", "exFAT", "HFS", "HFS+", "OTHER"});
    if (!item && strcasecmp(a.Get("--fs").c_str(), "HFS+/HFSX") == 0) item = 5;
    if (!item) {
      Usage("--fs must be FAT, FAT32, NTFS, exFAT, HFS, HFS+ or OTHER");
      return false;
    }
    boxes.Fs = *item;
    FsBoxClick(s, boxes, *item);
  }
  if (a.Has("--cluster")) {
    auto item =
        IndexOf(a.Get("--cluster"), {"0.5K", "1K", "2K", "4K", "8K", "16K", "32K", "64K", "128K"});
    if (!item) {
      Usage("--cluster must be one of 0.5K 1K 2K 4K 8K 16K 32K 64K 128K");
      return false;
    }
    boxes.Cluster = *item;
    ClusterBoxClick(s, boxes, *item, true);
  }
  return true;
}

// Refuses a box value that names no item, before anything is opened.
bool GeometryValuesValid(const Args& a) {
  if (a.Has("--reason") && !IndexOf(a.Get("--reason"), {"deleted", "formatted", "repartitioned"})) {
    Usage("--reason must be deleted, formatted or repartitioned");
    return false;
  }
  if (a.Has("--fs") && !IndexOf(a.Get("--fs"), {"FAT", "FAT32", "NTFS", "exFAT", "HFS", "HFS+",
                                                "OTHER", "HFS+/HFSX"})) {
    Usage("--fs must be FAT, FAT32, NTFS, exFAT, HFS, HFS+ or OTHER");
    return false;
  }
  if (a.Has("--cluster") &&
      !IndexOf(a.Get("--cluster"), {"0.5K", "1K", "2K", "4K", "8K", "16K", "32K", "64K", "128K"})) {
    Usage("--cluster must be one of 0.5K 1K 2K 4K 8K 16K 32K 64K 128K");
    return false;
  }
  if (a.Has("--range") && a.Get("--range").find('-', 1) == std::string::npos) {
    Usage("--range must be FIRST-LAST");
    return false;
  }
  return true;
}

bool ApplyRange(const Session& s, const Args& a, ScanRequest& r) {
  r.FirstText = "0";
  r.LastText = std::to_string(Signed(s.Scan.LastSector));
  if (!a.Has("--range")) return true;
  std::string range = a.Get("--range");
  size_t dash = range.find('-', 1);
  if (dash == std::string::npos) {
    Usage("--range must be FIRST-LAST");
    return false;
  }
  r.FirstText = range.substr(0, dash);
  r.LastText = range.substr(dash + 1);
  return true;
}

// The end notes on stderr; true when the command failed its job.
bool EndWithNotes(const Session& s, const ScanOutcome& out) {
  RescueEndNotes notes = EndNotes(s, out);
  for (const auto& line : notes.Lines) std::fprintf(stderr, "%s\n", line.c_str());
  return notes.Failed;
}

void ReportScanProblems(const Session& s, const ScanOutcome& out) {
  if (out.UntickFreeOnly && out.DisableFreeOnly)
    std::fprintf(stderr, "The allocation map could not be read; scanning every sector.\n");
  (void)s;
}

int CmdScan(Session& s, const Args& a) {
  if (a.positional.size() != 1) return Usage("scan needs SOURCE");
  if (!GeometryValuesValid(a)) return kExitUsage;
  auto o = OpenSource(s, a.positional[0]);
  if (!o) return kExitFailed;
  if (!ApplyGeometry(s, o->boxes, a)) return kExitUsage;
  ScanRequest request;
  request.NeedFolder = false;
  request.FreeOnly = a.Has("--free-only");
  if (!ApplyRange(s, a, request)) return kExitUsage;
  CliFrontend ui(s, Answer::Abort);
  s.SetFrontend(&ui);
  CliFrontend::CatchInterrupts();
  ScanOutcome out = SearchPhase(s, o->boxes, request);
  if (out.ErrorSlot != 0) {
    s.SetFrontend(nullptr);
    Report(s, out.ErrorSlot);
    return kExitFailed;
  }
  std::string text;
  if (a.Has("--json")) {
    text = "{\"scan_cluster_phase\": " + std::to_string(s.ScanClusterPhase) + ", \"entries\": [";
    for (uint64_t i = 0; i < s.Found.Count; ++i) {
      text += (i ? ", [" : "[") + std::to_string(s.Found.Sectors[i]) + ", " +
              std::to_string(unsigned{s.Found.Types[i]}) + "]";
    }
    text += "]}\n";
  } else {
    for (uint64_t i = 0; i < s.Found.Count; ++i) {
      text += std::to_string(s.Found.Sectors[i]) + "\t" +
              std::to_string(unsigned{s.Found.Types[i]}) + "\n";
    }
  }
  EndSearchOnly(s);
  s.SetFrontend(nullptr);
  ReportScanProblems(s, out);
  std::fwrite(text.data(), 1, text.size(), stdout);
  return EndWithNotes(s, out) ? kExitFailed : kExitDone;
}

std::string SectorRunsJson(const std::vector<uint64_t>& sectors) {
  std::string out = "[";
  size_t i = 0;
  bool firstRun = true;
  while (i < sectors.size()) {
    size_t j = i;
    while (j + 1 < sectors.size() && sectors[j + 1] == sectors[j] + 1) ++j;
    out += (firstRun ? "[" : ", [") + std::to_string(sectors[i]) + ", " +
           std::to_string(sectors[j]) + "]";
    firstRun = false;
    i = j + 1;
  }
  return out + "]";
}

std::string FileSha256(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::vector<uint8_t> bytes(static_cast<size_t>(std::max<std::streamoff>(in.tellg(), 0)));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return Sha256Hex(bytes);
}

int CmdRescue(Session& s, const Args& a) {
  if (a.positional.size() != 1) return Usage("rescue needs SOURCE");
  if (!a.Has("--out")) return Usage("rescue needs --out DIR");
  Answer saveAnswer = Answer::Abort;
  if (a.Has("--on-save-error")) {
    auto item = IndexOf(a.Get("--on-save-error"), {"abort", "retry", "ignore"});
    if (!item) return Usage("--on-save-error must be abort, retry or ignore");
    saveAnswer = *item == 0 ? Answer::Abort : (*item == 1 ? Answer::Retry : Answer::Ignore);
  }
  if (!GeometryValuesValid(a)) return kExitUsage;
  auto o = OpenSource(s, a.positional[0]);
  if (!o) return kExitFailed;
  if (!ApplyGeometry(s, o->boxes, a)) return kExitUsage;
  ScanRequest request;
  request.FolderText = a.Get("--out");
  request.FreeOnly = a.Has("--free-only");
  if (!ApplyRange(s, a, request)) return kExitUsage;
  if (a.Has("--jpeg")) s.TypeMask |= kTypeMaskJpeg;

  std::vector<std::string> rescued;
  // Hashing the written files is only worth its time when a report wants it.
  if (a.Has("--report"))
    s.OnFileSaved = [&](const SavedFile& f) {
      if (!f.Written) return;
      rescued.push_back("{\"file\": " + JsonString(f.Path) + ", \"start_sector\": " +
                        std::to_string(f.StartSector) + ", \"bytes\": " + std::to_string(f.Bytes) +
                        ", \"sectors\": " + SectorRunsJson(f.Sectors) + ", \"sha256\": \"" +
                        FileSha256(f.Path) +
                        "\", \"unreadable_sectors\": " + SectorRunsJson(f.UnreadableSectors) + "}");
    };
  const VolumeGeometry geometryBefore = s.Scan;

  CliFrontend ui(s, saveAnswer);
  s.SetFrontend(&ui);
  CliFrontend::CatchInterrupts();
  ScanOutcome out = SearchPhase(s, o->boxes, request);
  if (out.ErrorSlot != 0) {
    s.SetFrontend(nullptr);
    Report(s, out.ErrorSlot);
    if (out.ErrorSlot == 21) std::fprintf(stderr, "--out must name an existing folder.\n");
    if (out.ErrorSlot == 22) std::fprintf(stderr, "Choose a folder on another drive.\n");
    return kExitFailed;
  }
  const uint64_t found = s.Found.Count;
  const VolumeGeometry geometry = s.Scan;
  RescuePhase(s, out);
  s.SetFrontend(nullptr);
  ReportScanProblems(s, out);
  (void)geometryBefore;

  if (a.Has("--report")) {
    std::ofstream report(a.Get("--report"), std::ios::trunc);
    report << "{\"source\": " << JsonString(s.Source.Name) << ", \"geometry\": {"
           << "\"fs_kind\": " << unsigned{geometry.FsKind}
           << ", \"bytes_per_sector\": " << geometry.BytesPerSector
           << ", \"sectors_per_cluster\": " << geometry.SectorsPerCluster
           << ", \"cluster_phase\": " << geometry.ClusterPhase
           << ", \"last_sector\": " << Signed(geometry.LastSector) << "}"
           << ", \"scan_cluster_phase\": " << s.ScanClusterPhase << ", \"found\": " << found
           << ", \"rescued\": [";
    for (size_t i = 0; i < rescued.size(); ++i) report << (i ? ", " : "") << rescued[i];
    report << "], \"unreadable\": [";
    const auto& runs = SourceFaults(s).Unreadable.Runs();
    for (size_t i = 0; i < runs.size(); ++i)
      report << (i ? ", [" : "[") << runs[i].first << ", " << runs[i].second << "]";
    report << "]}\n";
    if (!report) {
      std::fprintf(stderr, "The report could not be written to %s\n", a.Get("--report").c_str());
      EndWithNotes(s, out);
      std::printf("%s\n", out.EndText.c_str());
      return kExitFailed;
    }
  }
  const bool failed = EndWithNotes(s, out);
  std::printf("%s\n", out.EndText.c_str());
  return failed ? kExitFailed : kExitDone;
}

int Main(int argc, char** argv) {
  if (argc < 2) return Usage("");
  std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return kExitDone;
  }
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      for (const auto& h : kHelp) {
        if (command == h.name) {
          std::fputs(h.text, stdout);
          return kExitDone;
        }
      }
      return Usage("unknown command " + command);
    }
  }
  if (command == "backup") return RunBackupCommand(argc, argv);
  if (command == "drives") return RunDrivesCommand(argc, argv);
  const std::vector<std::string> geometry = {"--reason", "--fs", "--cluster", "--range"};
  std::string error;
  std::optional<Args> args;
  using Cmd = int (*)(Session&, const Args&);
  Cmd run = nullptr;
  if (command == "identify") {
    args = Parse(argc, argv, {"--json"}, {}, error);
    run = CmdIdentify;
  } else if (command == "hexdump") {
    args = Parse(argc, argv, {}, {}, error);
    run = CmdHexdump;
  } else if (command == "freemap") {
    args = Parse(argc, argv, {"--json"}, {}, error);
    run = CmdFreemap;
  } else if (command == "scan") {
    args = Parse(argc, argv, {"--json", "--free-only"}, geometry, error);
    run = CmdScan;
  } else if (command == "rescue") {
    std::vector<std::string> valued = geometry;
    valued.insert(valued.end(), {"--out", "--report", "--on-save-error"});
    args = Parse(argc, argv, {"--free-only", "--jpeg"}, valued, error);
    run = CmdRescue;
  } else {
    return Usage("unknown command " + command);
  }
  if (!args) return Usage(error);
  Session session;
  try {
    return run(session, *args);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tarnwick-cli: %s\n", e.what());
    return kExitFailed;
  }
}

}  // namespace
}  // namespace tarnwick::cli

int main(int argc, char** argv) { return tarnwick::cli::Main(argc, argv); }
