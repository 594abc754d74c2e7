// tarnwick-cli rescue SOURCE --out DIR [GEOMETRY] [--range FIRST-LAST]
//                    [--free-only] [--jpeg] [--report FILE] [--on-save-error ...]
#include <strings.h>

#include <cstdio>
#include <memory>

#include "app/cli/atomic_write.h"
#include "app/cli/cli_common.h"
#include "app/cli/cli_frontend.h"
#include "app/cli/partitions_command.h"
#include "app/cli/report.h"
#include "scan/deep_scan.h"
#include "scan/session.h"

namespace tarnwick::cli {

namespace {

struct RescueArgs {
  SourceArgs Source;
  GeometryArgs Geometry;
  std::string Out;
  std::string Range;
  bool FreeOnly = false;
  bool Jpeg = false;
  std::string Report;
  std::string OnSaveError = "abort";
};

Answer SaveAnswer(const std::string& word) {
  if (strcasecmp(word.c_str(), "retry") == 0) return Answer::Retry;
  if (strcasecmp(word.c_str(), "ignore") == 0) return Answer::Ignore;
  return Answer::Abort;
}

int RunRescue(const RescueArgs& a) {
  Session s;
  auto o = OpenForScan(s, a.Source, a.Geometry);
  if (!o) return kExitFailed;
  ScanRequest request;
  request.FolderText = a.Out;
  request.FreeOnly = a.FreeOnly;
  ApplyRange(s, a.Range, request.FirstText, request.LastText);
  if (a.Jpeg) s.TypeMask |= kTypeMaskJpeg;

  std::vector<Json> rescued;
  // Reading the written files back is only worth its time when a report wants it.
  if (!a.Report.empty())
    s.OnFileSaved = [&](const SavedFile& f) {
      if (f.Written) rescued.push_back(RescuedFileEntry(f));
    };

  CliFrontend ui(s, SaveAnswer(a.OnSaveError));
  s.SetFrontend(&ui);
  CliFrontend::CatchInterrupts();
  ScanOutcome out = SearchPhase(s, o->Boxes, request);
  if (out.ErrorSlot != 0) {
    s.SetFrontend(nullptr);
    ReportSlot(s, out.ErrorSlot);
    if (out.ErrorSlot == 21) std::fprintf(stderr, "--out must name an existing folder.\n");
    if (out.ErrorSlot == 22) std::fprintf(stderr, "Choose a folder on another drive.\n");
    return kExitFailed;
  }
  const uint64_t found = s.Found.Count;
  const VolumeGeometry geometry = s.Scan;
  ReportPlannedGeometry(s);
  RescuePhase(s, out);
  s.SetFrontend(nullptr);
  if (out.UntickFreeOnly && out.DisableFreeOnly)
    std::fprintf(stderr, "The allocation map could not be read; scanning every sector.\n");

  int status = kExitDone;
  if (!a.Report.empty()) {
    Json report = BuildReport(s, geometry, found, rescued);
    report["stopped"] = StoppedEntry(out.Stop());
    const std::string text = Dump(report, 2) + "\n";
    const std::string failure = WriteFileAtomically(a.Report, text);
    if (!failure.empty()) {
      // What was rescued stays in the folder; only the report is missing.
      std::fprintf(stderr, "The report could not be written to %s: %s\n", a.Report.c_str(),
                   failure.c_str());
      status = kExitFailed;
    }
  }
  const int ended = EndWithNotes(s, out);
  if (ended == kExitStopped || status == kExitDone) status = ended;
  if (!out.DamagedText.empty()) std::printf("%s\n", out.DamagedText.c_str());
  std::printf("%s\n", out.EndText.c_str());
  return status;
}

}  // namespace

void AddRescueCommand(CLI::App& app, Commands& commands) {
  auto a = std::make_shared<RescueArgs>();
  CLI::App* c = app.add_subcommand("rescue", "find the QQ databases and write them into a folder");
  c->footer(
      "Runs the whole deep scan and writes every QQ database found into DIR, which\n"
      "must exist and must not be on SOURCE. Progress goes to stderr; the last line\n"
      "of stdout is the end message. Ctrl-C cancels the search, or stops the rescue\n"
      "after the file being carved; the end says where it stopped and the exit\n"
      "status is 130. A file already in DIR is never replaced: the same bytes are\n"
      "not written again, other bytes get the next free name (NAME-2.DB ...).\n" +
      std::string(kGeometryHelp));
  DeclareSource(*c, a->Source);
  c->add_option("--out", a->Out, "the folder to write the files into")
      ->type_name("DIR")
      ->required();
  DeclareGeometry(*c, a->Geometry);
  DeclareRange(*c, a->Range);
  c->add_flag("--free-only", a->FreeOnly, "skip sectors the file system still allocates");
  c->add_flag("--jpeg", a->Jpeg, "also write the pictures that decode");
  c->add_option("--report", a->Report, "write a JSON report of what was rescued")
      ->type_name("FILE");
  c->add_option("--on-save-error", a->OnSaveError,
                "the answer to a failed save when stdin is not a terminal (default abort)")
      ->type_name("abort|retry|ignore")
      ->check(OneOf({"abort", "retry", "ignore"}, "abort, retry or ignore"));
  commands.push_back({c, [a] { return RunRescue(*a); }});
}

}  // namespace tarnwick::cli
