#pragma once
// The deep scan that "Start Rescue" runs: start checks, the optional
// free-space map, phase 1 (classify every candidate sector into the
// FoundList), the alignment step, and phase 2 (carve from the last entry to
// the first).
#include <cstdint>
#include <string>
#include <vector>

#include "volume/identify.h"

namespace tarnwick {

struct Session;

// What the rescue group holds when the user starts.
struct ScanRequest {
  std::string FolderText;  // Edit2
  std::string FirstText;   // Edit3
  std::string LastText;    // Edit4
  bool FreeOnly = false;   // CheckBox8 ticked
  // A search that writes nothing (the command line's scan) needs no folder.
  bool NeedFolder = true;
};

// Where a run that was cut short stopped: Cancel in the search (Ctrl-C on the
// command line), Stop in the rescue, or Abort in the save-failure box.
enum class StopPhase { None, Search, Rescue };
struct ScanStop {
  StopPhase Phase = StopPhase::None;
  // Search: the first sector not searched. Rescue: the file start that was
  // next to be carved.
  uint64_t AtSector = 0;
  uint64_t LastSector = 0;  // search: the end of the range left unsearched
  std::string Percent;      // search: how much of the range was searched, "4.00%"
  uint64_t Carved = 0;      // rescue: file starts handed to their carvers before the stop
  uint64_t Starts = 0;      // ... of all those found
  bool ByUser = true;       // false when Abort in the save-failure box ended it
};

struct ScanOutcome {
  // A start check that failed, or 88 when the sector map could not be had:
  // nothing was scanned. 0 otherwise.
  int ErrorSlot = 0;
  bool FocusFolder = false;      // the error concerns the folder box
  bool UntickFreeOnly = false;   // the free-space map could not be used
  bool DisableFreeOnly = false;  // ... and not because the user cancelled
  bool FreeOnlyApplied = false;  // phase 1 skipped the allocated sectors
  uint64_t FoundCount = 0;       // FoundList entries after the alignment step
  uint32_t Rescued = 0;
  std::string EndText;      // "Rescued file N"
  uint32_t Unsaved = 0;     // files found whose save failed and was given up
  std::string SaveError;    // the system's reason for the last failed save
  bool SourceLost = false;  // the Source stopped answering: the scan ended early
  uint32_t Damaged = 0;     // databases written under damaged/
  std::string DamagedText;  // the line that counts them; empty when there are none
  // Files found whose bytes were in the folder already.
  uint32_t AlreadyThere = 0;
  // Where the run was cut short, if it was.
  ScanStop SearchStop, RescueStop;
  // The stop that the report and the exit status name: the search's, else the rescue's.
  const ScanStop& Stop() const {
    return SearchStop.Phase != StopPhase::None ? SearchStop : RescueStop;
  }
};

// What the end of a rescue must tell besides "Rescued file N": the files
// that could not be saved, the sectors that could not be read, a Source
// that stopped answering. Failed is set when the rescue did not do its whole
// job (a file not saved, the Source lost), which a script must see.
struct RescueEndNotes {
  std::vector<std::string> Lines;
  bool Failed = false;
  bool StoppedByUser = false;  // the user cut the run short: it did not do its whole job
};
RescueEndNotes EndNotes(const Session& s, const ScanOutcome& outcome);

// Button12Click's work from the checks to the end message.
ScanOutcome DeepScan(Session& s, RescueBoxes& boxes, const ScanRequest& request);

// The same in two halves: the checks, set-up, phase 1 and the alignment
// step; then phase 2 and the end. A caller that only wants the FoundList
// ends with EndSearchOnly instead of RescuePhase.
ScanOutcome SearchPhase(Session& s, RescueBoxes& boxes, const ScanRequest& request);
void RescuePhase(Session& s, ScanOutcome& outcome);
void EndSearchOnly(Session& s);

}  // namespace tarnwick
