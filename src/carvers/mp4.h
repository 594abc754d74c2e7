#pragma once
#include <cstdint>
#include <string>

namespace tarnwick {

struct Session;

// MP4, 3GP, QuickTime and other ISO media files that start with an "ftyp"
// (or an "mdat") box: walks the top-level boxes while their types are known
// and claims the file's sectors. Writes nothing; the folder is not used.
void CarveMp4(Session& s, const std::string& targetFolder, uint64_t carveStart);

}  // namespace tarnwick
