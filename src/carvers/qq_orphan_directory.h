#pragma once
#include <cstdint>
#include <string>

namespace tarnwick {

struct Session;

// A database whose header sector was written over, found by the first
// sector of its directory (in the sector at carveStart): its header is made
// again from the FAT sectors near the directory, and the file is put
// together from there as a header found on the disk would be. The outcome
// goes to damaged/ always, the header being rebuilt, not read, its bytes
// put together in a file in the target folder rather than in memory. Its
// streams are named intact as in any damaged database only when the header
// was made without a doubt and the file checks whole and certain under it;
// otherwise none is. Nothing is written unless the directory names both QQ
// streams, nor when the sector is claimed or is the directory of a database
// written already. Claims nothing.
void CarveQQOrphanDirectory(Session& s, const std::string& targetFolder, uint64_t carveStart);

}  // namespace tarnwick
