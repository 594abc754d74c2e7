#pragma once
// The texts that the results view and the progress rate add to the interface,
// in the same three languages as the rest.
#include <string>
#include <string_view>

#include "app/face_texts.h"

namespace tarnwick {

enum class ResultsText {
  RateAndTimeLeft,  // "%1 MB/s, %2 left"
  RateOnly,         // "%1 MB/s"
  Title,
  ColumnName,
  ColumnSize,
  ColumnContacts,
  ColumnGroups,
  ColumnVerdict,
  Whole,
  Damaged,
  NotCompound,
  Unreadable,
  Hint,
  Close,
  BrokenStreams,     // "Broken streams: "
  UncertainStreams,  // "Uncertain streams: " (placed by a guess)
  IntactStreams,     // "Intact streams: "
  // The notes that end a rescue.
  SourceLost,  // "The source stopped answering (%1): ..."
  LostGone,    // the reasons for %1 above
  LostNoLongerReads,
  LostNeverRead,
  UnsavedOne,      // "1 file could not be saved (%1)."
  UnsavedMany,     // "%1 files could not be saved (%2)."
  UnreadableRuns,  // "Unreadable sectors: %1 in %2 runs: %3."
  SkippedRuns,     // "Sectors passed over ...: %1 (%2)."
  MoreRuns,        // " and %1 more runs", after the first runs listed
  DamagedFiles,    // "Damaged file %1 (in damaged/)"
  StoppedSearch,   // "The search was stopped at sector %1 (%2): sectors %1 to %3 ..."
  StoppedRescue,   // "The rescue was stopped after %1 of the %2 file starts ... (sector %3)"
  AlreadyThere,    // "Already in the folder, not written again: %1"
  ColumnOriginal,  // where the file system recorded the file
  Count
};

std::string_view ResultsTextFor(Language language, ResultsText text);

// The text with %1, %2, %3 replaced by the arguments.
std::string FillIn(std::string_view text, const std::string& first, const std::string& second = {},
                   const std::string& third = {});

}  // namespace tarnwick
