#pragma once
#include <cstdint>
#include <string>

namespace tarnwick {

struct Session;

// A drawing stored as a ZIP package: walks the local headers, the central
// directory and the end record with its comment, and claims every sector up
// to there. Writes nothing; counts the file only when given a folder.
void CarveZipDrawing(Session& s, const std::string& targetFolder, uint64_t carveStart);

}  // namespace tarnwick
