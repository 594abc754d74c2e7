#pragma once
#include <cstdint>
#include <string>

namespace tarnwick {

struct Session;

// Walks a PNG from its signature through its chunks to IEND and claims the
// sectors it occupies. Writes nothing: the folder is not used. A picture
// holding any chunk besides IHDR, sRGB, gAMA, cHRM, PLTE, IDAT and IEND is
// left unclaimed.
void CarvePng(Session& s, const std::string& targetFolder, uint64_t carveStart);

}  // namespace tarnwick
