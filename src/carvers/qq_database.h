#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "compound/stream_states.h"

namespace tarnwick {

struct Session;
struct HeldDatabase;

// The sub-folder of the target folder for databases not validated as whole.
inline constexpr const char* kDamagedFolder = "damaged";

// Follows an OLE2 compound file from its header through its FAT and
// directory; writes it as FILE_xxxxxxxx.DB when its directory names both
// "Matrix.dat" and "seqbase.dat" and the whole-file check passes. Other sound
// compound files are only claimed. A database that the plain carve does not
// give whole is reassembled past foreign sectors; when that cannot be
// validated either, the best assembly goes to the damaged/ sub-folder. So
// does one with sectors the Source could not read, zeros in their place and
// those sectors named, whether it lies in one run or in pieces.
void CarveQQDatabase(Session& s, const std::string& targetFolder, uint64_t carveStart);

// The damaged outcome: writes the assembly as targetFolder + "damaged/" +
// FILE_xxxxxxxx.DB, with the streams it holds intact, uncertain and broken,
// and counts it in DamagedCount; reason says why it is not whole.
// placements says how each compound-file sector was placed (past its end:
// sure); a stream with a sector known wrong is broken, one with a guessed
// sector uncertain. unreadable names the Source sectors read as zeros.
// Nothing is written unless the assembly's directory holds both QQ names.
// Claims nothing.
void SaveDamagedDatabase(Session& s, const std::string& targetFolder, uint64_t carveStart,
                         std::span<const uint8_t> assembly, const std::vector<uint64_t>& sectors,
                         const std::string& reason, const std::vector<Placement>& placements = {},
                         const std::vector<uint64_t>& unreadable = {});

// Writes a damaged outcome held back for the rounds, as SaveDamagedDatabase
// would have written it then.
void SaveHeldDatabase(Session& s, const HeldDatabase& held);

}  // namespace tarnwick
