#pragma once
#include <cstdint>
#include <string>

namespace tarnwick {

struct Session;

// Walks a ZIP archive's records from its first local file header and keeps
// its sectors claimed. The bodies of large entries are claimed without being
// read. An unrecognised record after the first 100 bytes ends the archive.
void CarveZip(Session& s, const std::string& targetFolder, uint64_t carveStart);

// Walks an Office Open XML package (a ZIP archive) reading every byte; only
// a package that ends with its end-of-central-directory record is kept.
void CarveOoxml(Session& s, const std::string& targetFolder, uint64_t carveStart);

}  // namespace tarnwick
