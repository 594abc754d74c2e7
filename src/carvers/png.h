#pragma once
#include <cstdint>
#include <string>

namespace tarnwick {

struct Session;

// Walks a PNG (APNG included) from its signature through its chunks to IEND
// and claims the sectors it occupies. Any chunk type of four letters is
// passed, but every chunk's CRC must hold, so the whole picture is read; the
// first chunk must be IHDR. Writes nothing: the folder is not used.
void CarvePng(Session& s, const std::string& targetFolder, uint64_t carveStart);

}  // namespace tarnwick
