#pragma once
#include <cstdint>
#include <string>

namespace tarnwick {

struct Session;

// Walks the blocks of a RAR 1.5 to 4.x archive from its marker block to its
// end-of-archive block and keeps its sectors claimed. Packed data is claimed
// without being read, and only the last few dozen sectors stay in memory.
void CarveRar(Session& s, const std::string& targetFolder, uint64_t carveStart);

}  // namespace tarnwick
