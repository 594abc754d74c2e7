#pragma once
// What every carver shares: reads through the ReadCache, the carve context
// with FetchSector and ReadUntil, the carve frame that claims and gives back
// sectors, and the saving of rescued files.
//
// A file is assumed to continue in the next sector that nobody has claimed:
// sectors already marked in the ClusterMap (earlier carves, metadata, or
// space the file system still allocates) are stepped over.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "carvers/carve_buffer.h"
#include "scan/session.h"

namespace tarnwick {

// Capital letters spelling value in base 26 ("A" = 0), most significant first.
std::string LetterName(int count, uint64_t value);

// Where the bytes of a file being saved are: in memory, or already written
// whole to a file of their own (a temporary on the target's file system),
// which the save takes over: it becomes the saved file or is removed.
struct SaveSource {
  std::span<const uint8_t> Bytes;
  std::string File;  // when not empty, the bytes are in this file and Bytes is unused

  static SaveSource InMemory(std::span<const uint8_t> bytes) { return {bytes, {}}; }
  static SaveSource InFile(std::string path) { return {{}, std::move(path)}; }
};

// How a new file's name is taken. Each is atomic: a name that another file
// took first is never replaced. The first that the file system supports is
// used; tests choose where to begin.
enum class ClaimMethod { RenameNoReplace, Link, ExclusivePlaceholder };

struct SavePlacement {
  bool Saved = false;         // the bytes are in the folder at Path
  bool AlreadyThere = false;  // ... in a file that held them already: nothing was written
  std::string Path;
  int Error = 0;  // on failure: the system's error code (0 for a write that stopped short)
};

// Puts the bytes at `wanted`, or beside it as NAME-2.EXT, NAME-3.EXT ... when
// a file with other bytes already has the name. A file that already holds
// the same bytes under one of those names is kept and named instead; nothing
// in the folder is ever replaced or changed. One attempt, no questions; a
// source file is left where it is when the save fails.
SavePlacement PlaceWithoutReplacing(const SaveSource& source, const std::string& wanted,
                                ClaimMethod first = ClaimMethod::RenameNoReplace);

// PlaceWithoutReplacing with the failure box: on a failure keeps the
// system's reason in SaveError and asks Abort/Retry/Ignore; Abort sets
// RunState to stop. saved.Path is the name wanted; afterwards it is the
// name the file has, and AlreadyThere says whether it was there before
// (counted in AlreadyThereCount). True when the bytes are in the folder.
bool SaveWithoutReplacing(Session& s, const SaveSource& source, SavedFile& saved);
bool SaveBufferToFile(Session& s, std::span<const uint8_t> buffer, SavedFile& saved);
// The same when the caller needs no more than whether it worked.
bool SaveBufferToFile(Session& s, std::span<const uint8_t> buffer, const std::string& path);

// The state of one carve. The collected bytes are Buffer[0 .. Collected).
struct CarveContext {
  CarveContext(Session& session, uint64_t carveStart);

  Session& S;
  uint32_t Bps;
  uint64_t CarveStart;
  uint64_t ReadPos;
  uint64_t CurrentSector = 0;
  uint64_t Collected = 0;
  CarveBuffer Buffer;  // its size runs ahead of Collected: 64 KiB, then 1 MiB steps
  std::vector<uint64_t> ClaimList;  // claimed sectors, in claim order
  // An unreadable sector is taken as zeros (and listed in UnreadableSectors)
  // rather than failing the carve: a bad sector in the middle of a file
  // should neither lose the file nor leave its sectors to be taken by the
  // file it lies between. A carve that cannot use zeros clears this.
  bool ZeroUnreadable = true;
  std::vector<uint64_t> UnreadableSectors;
  // Bytes dropped from the front of Buffer so far, and where (counted with
  // them) each sector read as zeros begins.
  uint64_t Dropped = 0;
  std::vector<uint64_t> ZeroedAt;

  std::span<const uint8_t> Data() const { return {Buffer.data(), static_cast<size_t>(Collected)}; }
  uint64_t StartSector() const { return CarveStart / Bps; }
};

// Takes the next sector nobody has claimed, claims it and appends its bytes.
bool FetchSector(CarveContext& c);
// The same without reading it: claims the next sector nobody has claimed and
// moves ReadPos past it. For carvers that pass over a file's body unread.
bool ClaimUnreadSector(CarveContext& c);
// Claims sectors unread until they hold `total` bytes, the start sector
// counted, for formats whose header gives the whole file's size. Reaching the
// end of the scan range only stops the claim: what was claimed is kept.
void ClaimUnreadUpTo(CarveContext& c, uint64_t total);
// The rescue dialog's sector line ("Sector: start, now"), and pending messages.
void ShowCarveProgress(CarveContext& c);
// The unreadable sectors among those that hold the Collected bytes.
std::vector<uint64_t> UnreadableInFile(const CarveContext& c);
// True when any of the count bytes at buffer position pos were read as
// zeros for an unreadable sector: what they held is not known.
bool HoldsUnreadable(const CarveContext& c, uint64_t pos, uint64_t count);
// The same for the bytes first .. end - 1 counted from the carve's start
// (Dropped + a buffer position), which outlive dropping the buffer's front.
bool ZeroedBetween(const CarveContext& c, uint64_t first, uint64_t end);
// The buffer position just past the run of unreadable sectors that holds
// pos: the first byte after it that was read. False when the carve cannot
// read that far.
bool PastUnreadable(CarveContext& c, uint64_t pos, uint64_t& end);
// Repeats FetchSector until Collected reaches target.
bool ReadUntil(CarveContext& c, uint64_t target);
// The 32-bit counting form: a file that would pass 2 GiB fails.
bool ReadUntil32(CarveContext& c, int32_t target);

// The frame around one carve. Begin() claims and reads the start sector;
// the destructor gives every claim back unless Succeed() was called, and
// after a success claims the unread rest of the file's last cluster.
class CarveFrame {
 public:
  CarveFrame(Session& s, uint64_t carveStart) : ctx_(s, carveStart) {}
  ~CarveFrame();
  CarveFrame(const CarveFrame&) = delete;
  CarveFrame& operator=(const CarveFrame&) = delete;

  // False when the start sector is already claimed (nothing is done) or
  // cannot be read (the carve has failed).
  bool Begin();
  CarveContext& Ctx() { return ctx_; }

  // The carve succeeded with Collected bytes: the claims are kept.
  void Succeed();
  // Succeeds and, when folder is not empty, saves the collected bytes as
  // folder + "FILE_" + eight letters + extension and counts the file.
  void SucceedAndSave(const std::string& folder, const std::string& extension);

 private:
  void ClaimClusterRest();
  CarveContext ctx_;
  bool begun_ = false;
};

// The name a carve from carveStart writes: the eight letters count 512-byte units.
std::string OutputName(const std::string& folder, uint64_t carveStart,
                       const std::string& extension);

}  // namespace tarnwick
