// The notes that end a rescue besides "Rescued file N".
#include <string>

#include "app/results_texts.h"
#include "scan/deep_scan.h"
#include "scan/session.h"
#include "scan/session_source.h"

namespace tarnwick {

namespace {

constexpr size_t kRunsShown = 10;

std::string RunText(const SectorInterval& run) {
  if (run.first == run.second) return std::to_string(run.first);
  return std::to_string(run.first) + "-" + std::to_string(run.second);
}

std::string RunList(const SectorRuns& runs, Language language) {
  std::string text;
  const auto& list = runs.Runs();
  for (size_t i = 0; i < list.size() && i < kRunsShown; ++i)
    text += (i ? ", " : "") + RunText(list[i]);
  if (list.size() > kRunsShown)
    text += FillIn(ResultsTextFor(language, ResultsText::MoreRuns),
                   std::to_string(list.size() - kRunsShown));
  return text;
}

ResultsText LossText(SourceLoss loss) {
  switch (loss) {
    case SourceLoss::NoLongerReads: return ResultsText::LostNoLongerReads;
    case SourceLoss::NeverRead: return ResultsText::LostNeverRead;
    default: return ResultsText::LostGone;
  }
}

std::string StopLine(const ScanStop& stop, Language language) {
  if (stop.Phase == StopPhase::Search)
    return FillIn(ResultsTextFor(language, ResultsText::StoppedSearch),
                  std::to_string(stop.AtSector), stop.Percent, std::to_string(stop.LastSector));
  return FillIn(ResultsTextFor(language, ResultsText::StoppedRescue), std::to_string(stop.Carved),
                std::to_string(stop.Starts), std::to_string(stop.AtSector));
}

}  // namespace

RescueEndNotes EndNotes(const Session& s, const ScanOutcome& outcome) {
  RescueEndNotes notes;
  const Language language = s.Texts->language;
  auto text = [language](ResultsText t) { return ResultsTextFor(language, t); };
  const ReadFaults& faults = SourceFaults(s);
  // What was left undone comes first: the user must not take a cut-short
  // run for a whole one.
  for (const ScanStop* stop : {&outcome.SearchStop, &outcome.RescueStop}) {
    if (stop->Phase == StopPhase::None) continue;
    notes.Lines.push_back(StopLine(*stop, language));
    if (stop->ByUser)
      notes.StoppedByUser = true;
    else
      notes.Failed = true;
  }
  if (outcome.AlreadyThere > 0)
    notes.Lines.push_back(
        FillIn(text(ResultsText::AlreadyThere), std::to_string(outcome.AlreadyThere)));
  if (outcome.SourceLost) {
    notes.Failed = true;
    notes.Lines.push_back(
        FillIn(text(ResultsText::SourceLost), std::string(text(LossText(faults.Loss)))));
  }
  if (outcome.Unsaved > 0) {
    notes.Failed = true;
    notes.Lines.push_back(outcome.Unsaved == 1
                              ? FillIn(text(ResultsText::UnsavedOne), outcome.SaveError)
                              : FillIn(text(ResultsText::UnsavedMany),
                                       std::to_string(outcome.Unsaved), outcome.SaveError));
  }
  if (!faults.Unreadable.Empty()) {
    notes.Lines.push_back(FillIn(
        text(ResultsText::UnreadableRuns), std::to_string(faults.Unreadable.Count()),
        std::to_string(faults.Unreadable.Runs().size()), RunList(faults.Unreadable, language)));
  }
  if (!faults.Skipped.Empty()) {
    notes.Lines.push_back(FillIn(text(ResultsText::SkippedRuns),
                                 std::to_string(faults.Skipped.Count()),
                                 RunList(faults.Skipped, language)));
  }
  return notes;
}

}  // namespace tarnwick
