// tarnwick-cli identify, hexdump, freemap and scan: one engine call each.
#include <cstdio>
#include <memory>

#include "app/cli/cli_common.h"
#include "app/cli/cli_frontend.h"
#include "app/cli/json_out.h"
#include "app/cli/partitions_command.h"
#include "scan/deep_scan.h"
#include "scan/session.h"
#include "volume/freespace.h"
#include "volume/geometry.h"
#include "volume/hexview.h"

namespace tarnwick::cli {

namespace {

const char* KindName(DeviceKind k) {
  switch (k) {
    case DeviceKind::Image: return "image";
    case DeviceKind::Partition: return "partition";
    case DeviceKind::Disk: return "disk";
  }
  return "image";
}

struct IdentifyArgs {
  SourceArgs Source;
  bool Json = false;
};

int RunIdentify(const IdentifyArgs& a) {
  Session s;
  auto o = OpenSource(s, a.Source);
  if (!o) return kExitFailed;
  const VolumeGeometry& g = s.Detected;
  const bool identified = s.Source.Kind != DeviceKind::Disk && o->Outcome.ReasonIndex == 0;
  const std::string fsName(FsKindName(g.FsKind));
  const auto lastSector = static_cast<int64_t>(g.LastSector);
  const std::vector<IdentifyExtra> extras = IdentifyExtras(s);
  if (a.Json) {
    Json j;
    PutBytes(j, "source", s.Source.Name);
    j["kind"] = KindName(s.Source.Kind);
    j["identified"] = identified;
    j["fs_kind"] = g.FsKind;
    j["fs_name"] = fsName;
    j["bytes_per_sector"] = g.BytesPerSector;
    j["sectors_per_cluster"] = g.SectorsPerCluster;
    j["cluster_phase"] = g.ClusterPhase;
    j["last_sector"] = lastSector;
    for (const IdentifyExtra& e : extras) {
      if (e.Number)
        j[e.Key] = std::stoll(e.Value);
      else
        PutBytes(j, e.Key, e.Value);
    }
    PrintJson(j);
  } else {
    std::printf(
        "Source: %s\nKind: %s\nIdentified: %s\nFsKind: %u %s\nBytesPerSector: %u\n"
        "SectorsPerCluster: %u\nClusterPhase: %d\nLastSector: %lld\n",
        s.Source.Name.c_str(), KindName(s.Source.Kind), identified ? "yes" : "no",
        unsigned{g.FsKind}, fsName.c_str(), g.BytesPerSector, g.SectorsPerCluster, g.ClusterPhase,
        static_cast<long long>(lastSector));
    for (const IdentifyExtra& e : extras) std::printf("%s: %s\n", e.Name.c_str(), e.Value.c_str());
  }
  return kExitDone;
}

struct HexdumpArgs {
  SourceArgs Source;
  std::string Sector;
};

int RunHexdump(const HexdumpArgs& a) {
  Session s;
  if (!OpenSource(s, a.Source)) return kExitFailed;
  const int64_t sector = ParseSectorNumber(a.Sector);
  if (sector < 0 || s.Scan.LastSector == UINT64_MAX ||
      static_cast<uint64_t>(sector) > s.Scan.LastSector) {
    ReportSlot(s, 19);
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

struct FreemapArgs {
  SourceArgs Source;
  bool Json = false;
};

int RunFreemap(const FreemapArgs& a) {
  Session s;
  if (!OpenSource(s, a.Source)) return kExitFailed;
  CliFrontend ui(s, Answer::Abort);
  s.SetFrontend(&ui);
  CliFrontend::CatchInterrupts();
  s.HiTimer1.SetEnabled(true);
  if (!s.Map.Allocate(s.Detected.LastSector)) {
    s.SetFrontend(nullptr);
    ReportSlot(s, 88);
    return kExitFailed;
  }
  ui.SetCaption(Dialog::Search, s.Text(87));
  s.Flags.SearchCancel = false;
  ui.ShowDialog(Dialog::Search);
  bool complete = false;
  const bool cancelled = CollectFreeSpace(s, complete);
  s.Flags.SearchCancel = true;
  ui.CloseDialog(Dialog::Search);
  s.SetFrontend(nullptr);
  const auto runs = s.Map.MarkedRuns(s.Detected.LastSector);
  if (a.Json) {
    Json j;
    j["complete"] = complete;
    j["cancelled"] = cancelled;
    j["runs"] = Json::array();
    for (auto [first, last] : runs) j["runs"].push_back({first, last});
    PrintJson(j);
  } else {
    for (auto [first, last] : runs)
      std::printf("%llu-%llu\n", static_cast<unsigned long long>(first),
                  static_cast<unsigned long long>(last));
  }
  if (cancelled) return kExitFailed;
  if (!complete) {
    std::fprintf(stderr, "No allocation map could be read for this file system.\n");
    return kExitNoMap;
  }
  return kExitDone;
}

struct ScanArgs {
  SourceArgs Source;
  GeometryArgs Geometry;
  std::string Range;
  bool FreeOnly = false;
  bool Json = false;
};

int RunScan(const ScanArgs& a) {
  Session s;
  auto o = OpenForScan(s, a.Source, a.Geometry);
  if (!o) return kExitFailed;
  ScanRequest request;
  request.NeedFolder = false;
  request.FreeOnly = a.FreeOnly;
  ApplyRange(s, a.Range, request.FirstText, request.LastText);
  CliFrontend ui(s, Answer::Abort);
  s.SetFrontend(&ui);
  CliFrontend::CatchInterrupts();
  ScanOutcome out = SearchPhase(s, o->Boxes, request);
  if (out.ErrorSlot != 0) {
    s.SetFrontend(nullptr);
    ReportSlot(s, out.ErrorSlot);
    return kExitFailed;
  }
  ReportPlannedGeometry(s);
  std::string text;
  if (a.Json) {
    Json j;
    j["scan_cluster_phase"] = s.ScanClusterPhase;
    j["entries"] = Json::array();
    for (uint64_t i = 0; i < s.Found.Count; ++i)
      j["entries"].push_back({s.Found.Sectors[i], s.Found.Types[i]});
    text = Dump(j) + "\n";
  } else {
    for (uint64_t i = 0; i < s.Found.Count; ++i)
      text += std::to_string(s.Found.Sectors[i]) + "\t" +
              std::to_string(unsigned{s.Found.Types[i]}) + "\n";
  }
  EndSearchOnly(s);
  s.SetFrontend(nullptr);
  if (out.UntickFreeOnly && out.DisableFreeOnly)
    std::fprintf(stderr, "The allocation map could not be read; scanning every sector.\n");
  std::fwrite(text.data(), 1, text.size(), stdout);
  return EndWithNotes(s, out);
}

}  // namespace

void AddIdentifyCommand(CLI::App& app, Commands& commands) {
  auto a = std::make_shared<IdentifyArgs>();
  CLI::App* c = app.add_subcommand(
      "identify", "what opening SOURCE found: file system, sector and cluster size");
  c->footer(
      "Opens SOURCE read-only and prints Source, Kind, Identified, FsKind,\n"
      "BytesPerSector, SectorsPerCluster, ClusterPhase and LastSector, one\n"
      "'Name: value' a line.");
  DeclareSource(*c, a->Source);
  c->add_flag("--json", a->Json, "one JSON object instead");
  commands.push_back({c, [a] { return RunIdentify(*a); }});
}

void AddHexdumpCommand(CLI::App& app, Commands& commands) {
  auto a = std::make_shared<HexdumpArgs>();
  CLI::App* c = app.add_subcommand(
      "hexdump", "one sector of SOURCE in hexadecimal, as the sector view shows it");
  DeclareSource(*c, a->Source);
  c->add_option("SECTOR", a->Sector, "the sector number")->required();
  commands.push_back({c, [a] { return RunHexdump(*a); }});
}

void AddFreemapCommand(CLI::App& app, Commands& commands) {
  auto a = std::make_shared<FreemapArgs>();
  CLI::App* c = app.add_subcommand("freemap", "the sectors the file system marks as in use");
  c->footer(
      "Reads the file system's allocation map and prints the in-use sectors as\n"
      "first-last runs. Exit status 3 when no allocation map could be read.");
  DeclareSource(*c, a->Source);
  c->add_flag("--json", a->Json, "{\"complete\", \"cancelled\", \"runs\"} instead");
  commands.push_back({c, [a] { return RunFreemap(*a); }});
}

void AddScanCommand(CLI::App& app, Commands& commands) {
  auto a = std::make_shared<ScanArgs>();
  CLI::App* c = app.add_subcommand("scan", "the file starts the search finds");
  c->footer("Runs the search phase and prints the file starts found, 'sector<TAB>typecode'.\n" +
            std::string(kGeometryHelp));
  DeclareSource(*c, a->Source);
  DeclareGeometry(*c, a->Geometry);
  DeclareRange(*c, a->Range);
  c->add_flag("--free-only", a->FreeOnly, "skip sectors the file system still allocates");
  c->add_flag("--json", a->Json, "{\"scan_cluster_phase\", \"entries\"} instead");
  commands.push_back({c, [a] { return RunScan(*a); }});
}

}  // namespace tarnwick::cli
