#pragma once
// "Backup to IMG file": copies the ScanRange of the open Source into a raw
// image file, optionally only the sectors the file system counts as free.
// Every message goes through the Session's front end.
#include <cstdint>
#include <string>

namespace tarnwick {

struct Session;

constexpr uint32_t kBackupBufferBytes = 1'048'576;

struct BackupRequest {
  std::string FirstText;  // Edit3
  std::string LastText;   // Edit4
  std::string ImagePath;  // the save dialog's choice
  bool FreeOnly = false;  // CheckBox8 ticked
};

enum class BackupEnd {
  NotRun,         // no Source open
  Refused,        // a check failed; its message was shown
  Cancelled,      // Cancel during the free-space collection: no file, no message
  CancelledKept,  // Cancel while copying; the partial image was kept
  CancelledDeleted,
  WriteFailed,  // the image could not be created or written whole
  SourceLost,   // the Source stopped answering; the image was kept up to there
  Finished,
  FinishedBadSectors,
};

struct BackupOutcome {
  BackupEnd End = BackupEnd::NotRun;
  int MessageSlot = 0;           // the last message shown (35, 36, 88, 40, 44, 46, 47)
  bool UntickFreeOnly = false;   // the free-space map could not be used
  bool DisableFreeOnly = false;  // ... and not because the user cancelled
  bool FreeOnlyApplied = false;
  uint64_t SectorsWritten = 0;
  uint64_t BadSectors = 0;   // sectors that could not be read (zero-filled)
  bool SourceLost = false;   // the copy stopped because the Source stopped answering
  std::string SystemReason;  // the system's reason for a failed write, or why the Source was lost
};

// The range check that comes before the save dialog: 0, or 35 after showing it.
int CheckBackupRange(Session& s, const std::string& firstText, const std::string& lastText);

// True when an image at path would be the Source itself or lie on it.
bool ImageTargetOnSource(const Session& s, const std::string& path);

// Button11Click's work after the save dialog.
BackupOutcome BackupToImage(Session& s, const BackupRequest& request);

}  // namespace tarnwick
