#pragma once
#include <cstdint>
#include <string>

namespace tarnwick {

struct Session;

// Follows an OLE2 compound file from its header through its FAT and
// directory; writes it as FILE_xxxxxxxx.DB when its directory names both
// "Matrix.dat" and "seqbase.dat". Other sound compound files are only claimed.
void CarveQQDatabase(Session& s, const std::string& targetFolder, uint64_t carveStart);

}  // namespace tarnwick
