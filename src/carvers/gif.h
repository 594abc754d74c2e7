#pragma once
#include <cstdint>
#include <string>

namespace tarnwick {

struct Session;

// Follows a GIF (87a or 89a) from its header through the logical screen,
// the colour tables, and every image and extension block with its
// sub-blocks, to the trailer, and claims the sectors it occupies. Writes
// nothing: the folder is not used.
void CarveGif(Session& s, const std::string& targetFolder, uint64_t carveStart);

}  // namespace tarnwick
