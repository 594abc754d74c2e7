#pragma once
// Reassembly of a compound file past sectors that no carver claimed.
//
// The plain carve takes every unclaimed sector after the start as the file's
// own. When that does not give a sound file, the file is put together again
// from what it says about itself: the header and the DIFAT say where the FAT
// sectors lie in the file, the FAT where the directory and the mini FAT lie.
// Those sectors are recognisable on their own, so each found on the disk pins
// one file position to one disk sector (an anchor). Between two anchors the
// number of the file's own sectors is known, hence the number of foreign ones
// to step over; which clusters they are is chosen by what the file expects
// at each position (encrypted stream data looks random, text and zeros do
// not), by a dynamic programme over the clusters of the gap that also tells
// whether the choice was forced by the evidence or a guess. A sector the
// Source cannot read is taken as zeros that say nothing: it may be the
// file's own or foreign, and the clusters around it decide.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "carvers/file_assembly.h"
#include "carvers/meeting_pieces.h"
#include "compound/compound_file.h"
#include "compound/stream_states.h"

namespace tarnwick {

struct Session;

// Bounds on the work for one candidate.
struct ReassemblyLimits {
  // The file itself, as its FAT gives it. Only an index of a few dozen bytes
  // a sector is held for it, so a database far past 200 MiB is taken.
  uint64_t MaxFileBytes = 2'147'483'648;
  // Foreign bytes the search looks through on either side of the start: at
  // least this, and ForeignPerFileByte times the file's own size, so a large
  // database's pieces are looked for as far apart as another file of its
  // size and a few more may lie between them.
  uint64_t MaxForeignBytes = 134'217'728;
  uint32_t ForeignPerFileByte = 4;
  // Whether the stretch before the start is searched too (a later piece of
  // the file may lie there); a first, near look leaves it out.
  bool LookBehind = true;
  // Whether sectors that only deleted files' records claim are read as
  // unclaimed: a database may have grown into those clusters since.
  bool ThroughDeletedRecords = false;
  uint64_t MaxCellsPerGap = 4'000'000;    // cells of one gap's programme (two floats each)
  uint64_t MaxWork = 400'000'000;         // sector tests and state updates in all
  // Where the file's pieces meet, as the databases beside it settled it: a
  // cut among those the evidence left open there is taken as sure.
  std::vector<ChosenCut> Chosen;
};

struct Reassembly {
  bool Found = false;             // the FAT and the directory were found: an assembly was made
  bool IsQQ = false;              // the directory names both QQ streams
  bool Certain = false;           // every anchor found and every choice forced by the evidence
  std::string Reason;             // why it is not certain (empty when it is)
  std::vector<uint8_t> File;      // the assembled bytes, whole Source sectors (none on disk)
  std::vector<uint64_t> Sectors;  // the Source sectors they came from, in file order
  std::vector<uint64_t> Claim;    // every sector of the clusters taken as the file's own
  CompoundCheck Check;            // the whole-file check of File
  // Compound-file sectors of stream data that should look encrypted and do
  // not: overwritten after the loss, or a foreign cluster taken for the file's.
  std::vector<uint32_t> Suspect;
  // Source sectors of the assembly that could not be read: zeros stand in
  // their place, and the file is not whole however sound its shape.
  std::vector<uint64_t> Unreadable;
  // How each compound-file sector of File was placed: sure where an anchor,
  // a gap without foreign sectors or a forced choice put it, guessed where
  // the gap's clusters could not be told apart. Suspect and unreadable
  // sectors are not marked here.
  std::vector<Placement> Placements;
  // The places where two pieces meet and the cut was left open, for the
  // databases beside this one to settle.
  std::vector<OpenSplit> Open;
};

// True when the 512 bytes look like encrypted or compressed data.
bool LooksRandom(std::span<const uint8_t> block);

// Reassembles the compound file starting at carveStart from the sectors that
// nobody has claimed. Reads only; claims nothing. With onDisk (opened, empty)
// the file's bytes go there and File stays empty: what is held in memory is
// then an index of the sectors read, never their bytes. With header (512
// bytes) the file's header is taken from there, not from the start sector:
// one made again where the start sector was written over; the start sector
// is still the file's first, and the assembly begins with the given bytes.
Reassembly ReassembleCompoundFile(Session& s, uint64_t carveStart,
                                  const ReassemblyLimits& limits = {},
                                  FileAssembly* onDisk = nullptr,
                                  std::span<const uint8_t> header = {});

}  // namespace tarnwick
