#pragma once
#include <cstdint>
#include <string>

namespace tarnwick {

struct Session;

// AVI, WAVE, animated cursors and CD-XA: walks the chunks one after the
// other (stepping into further "RIFF" parts) until an identifier it does not
// know, and claims the file's sectors. Writes nothing.
void CarveRiff(Session& s, const std::string& targetFolder, uint64_t carveStart);

// A RIFF drawing: trusts the size in its RIFF header and reads every sector
// up to it. Writes nothing; counts the file only when given a folder.
void CarveRiffCdr(Session& s, const std::string& targetFolder, uint64_t carveStart);

}  // namespace tarnwick
