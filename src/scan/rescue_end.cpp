// The notes that end a rescue besides "Rescued file N".
#include <string>

#include "scan/deep_scan.h"
#include "scan/session.h"
#include "source/source.h"

namespace tarnwick {

namespace {

constexpr size_t kRunsShown = 10;

std::string RunText(const SectorInterval& run) {
  if (run.first == run.second) return std::to_string(run.first);
  return std::to_string(run.first) + "-" + std::to_string(run.second);
}

std::string RunList(const SectorRuns& runs) {
  std::string text;
  const auto& list = runs.Runs();
  for (size_t i = 0; i < list.size() && i < kRunsShown; ++i)
    text += (i ? ", " : "") + RunText(list[i]);
  if (list.size() > kRunsShown)
    text += " and " + std::to_string(list.size() - kRunsShown) + " more runs";
  return text;
}

}  // namespace

RescueEndNotes EndNotes(const Session& s, const ScanOutcome& outcome) {
  RescueEndNotes notes;
  const ReadFaults& faults = SourceFaults(s);
  if (outcome.SourceLost) {
    notes.Failed = true;
    notes.Lines.push_back("The source stopped answering (" + faults.LostReason +
                          "): the scan ended early. Files rescued before that are kept.");
  }
  if (outcome.Unsaved > 0) {
    notes.Failed = true;
    notes.Lines.push_back(std::to_string(outcome.Unsaved) +
                          (outcome.Unsaved == 1 ? " file" : " files") + " could not be saved (" +
                          outcome.SaveError + ").");
  }
  if (!faults.Unreadable.Empty()) {
    notes.Lines.push_back("Unreadable sectors: " + std::to_string(faults.Unreadable.Count()) +
                          " in " + std::to_string(faults.Unreadable.Runs().size()) +
                          " runs: " + RunList(faults.Unreadable) + ".");
  }
  if (!faults.Skipped.Empty()) {
    notes.Lines.push_back("Sectors passed over after read failures and never read: " +
                          std::to_string(faults.Skipped.Count()) + " (" + RunList(faults.Skipped) +
                          ").");
  }
  return notes;
}

}  // namespace tarnwick
