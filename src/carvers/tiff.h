#pragma once
#include <cstdint>
#include <string>

namespace tarnwick {

struct Session;

// Follows a TIFF file or a TIFF-based camera raw (CR2, ORF, RW2) through its
// image file directories and every block they point to, and claims the file's
// sectors up to the furthest byte referenced. Writes nothing: the folder is
// taken only because phase 2 hands it to this row.
void CarveTiff(Session& s, const std::string& targetFolder, uint64_t carveStart);

}  // namespace tarnwick
