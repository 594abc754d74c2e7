#pragma once
// Databases of one Source put together side by side, in rounds.
//
// Carved one after the other, two databases whose pieces lie between each
// other's each see the other's clusters as unclaimed, and the one carved
// first takes some of them for its own guesses: both come out damaged. So
// while a compound file starts on the Source, a database whose outcome is
// damaged is held back rather than written. Once every start has been
// carved, each held one is carved again with the sectors that the others'
// assemblies placed surely (their tables, and what the evidence forced)
// stepped over as foreign, round after round until nothing changes (no
// round when one is held and no other was written); then where their
// pieces meet is settled for all of them together (see meeting_pieces.h;
// a database alone in pieces out of order meets itself) and each whose cuts
// that settles is carved once more with them; then each is written as it
// last came out, once. A database that comes out whole is written at once
// and claims its clusters, as alone.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "carvers/file_assembly.h"
#include "carvers/meeting_pieces.h"
#include "compound/compound_file.h"
#include "compound/stream_states.h"

namespace tarnwick {

struct Session;

// A damaged outcome kept for later: everything its save needs, its bytes in
// an unnamed file in the target folder (not in memory).
struct HeldDatabase {
  std::string TargetFolder;
  uint64_t CarveStart = 0;  // bytes
  std::unique_ptr<FileAssembly> Assembly;
  std::vector<uint64_t> Sectors;  // in file order
  std::string Reason;
  std::vector<Placement> Placements;
  std::vector<uint64_t> Unreadable;
  CompoundCheck Check;
  // The geometry it was carved with: a start on a former volume's clusters
  // is carved again with the same.
  uint32_t SectorsPerCluster = 1;
  int32_t ClusterPhase = 0;
  // Source sectors that its assembly placed surely, ascending: foreign to
  // every other database in the next round.
  std::vector<uint64_t> Pins;
  // Which of the reassembly's looks (nearest first) gave it: carved again,
  // the looks before it are not taken again.
  uint8_t Look = 0;
  // Where its pieces meet and the cut was left open; and the cuts the
  // databases beside it settled, for it to be carved with.
  std::vector<OpenSplit> Open;
  std::vector<ChosenCut> Chosen;
};

struct DatabaseRounds {
  // Held outcomes, in the order their databases were first carved.
  std::vector<HeldDatabase> Held;
  // Sure sectors of damaged databases written at once (a database in one
  // run whose only fault is unreadable sectors), which claim nothing.
  std::vector<uint64_t> WrittenPins;
  bool Writing = false;       // the held ones are being written: nothing more is held
  bool Changed = false;       // an outcome differed from the one it replaced
  uint32_t RoundsRun = 0;     // rounds carved again (for tests and notes)
};

// At most this many rounds; in each every held database is carved once.
inline constexpr uint32_t kMaxDatabaseRounds = 3;
// Beyond this many held at once a damaged outcome is written at once: each
// held one keeps a file open.
inline constexpr size_t kMaxHeldDatabases = 64;

// Before the carve: rounds are kept (s.Rounds) when the search found a
// compound-file start, else s.Rounds is cleared and nothing changes.
void BeginDatabaseRounds(Session& s, uint64_t compoundStarts);

// True when a damaged outcome of the database at carveStart is to be held
// now: rounds are kept, their held ones not yet written, and there is room.
bool HoldingDatabases(const Session& s, uint64_t carveStart);

// The look the outcome held for carveStart came from; 0 when none is held.
uint8_t HeldLook(const Session& s, uint64_t carveStart);

// The cuts settled for the database held for carveStart; none when none is.
std::vector<ChosenCut> HeldCuts(const Session& s, uint64_t carveStart);

// Holds the outcome; one held already for the same start is replaced.
void DeferDamagedDatabase(Session& s, HeldDatabase held);

// The database at carveStart was written (whole or damaged): it is held no
// longer. pins: its sure sectors where its save claims nothing.
void NoteWrittenDatabase(Session& s, uint64_t carveStart, const std::vector<uint64_t>& pins = {});

// Source sectors of an assembly of fileBytes whose every 512-byte block was
// placed surely, ascending: sectors holds the Source sectors in file order
// (bps bytes each), placements each compound-file sector's (the header and
// the sectors past its end are sure).
std::vector<uint64_t> SurelyPlacedSectors(const std::vector<uint64_t>& sectors,
                                          const std::vector<Placement>& placements, uint32_t bps,
                                          uint64_t fileBytes);

// After the carve passes: carves the held databases again in rounds while
// goOn() (false: the user stopped or the Source is gone; checked before
// each carve), then once more each whose meeting cuts were settled, then
// writes every one still held, and clears s.Rounds.
void CarveHeldDatabases(Session& s, const std::function<bool()>& goOn);

}  // namespace tarnwick
