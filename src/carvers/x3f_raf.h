#pragma once
#include <cstdint>
#include <string>

namespace tarnwick {

struct Session;

// Sigma X3F: collects sectors until one holds the trailing pointer back to
// the "SECd" section directory, and claims the file up to that pointer.
void CarveX3f(Session& s, const std::string& targetFolder, uint64_t carveStart);

// Fujifilm RAF: takes the end of the raw data from the fixed header and
// claims that many bytes' worth of sectors without reading them.
void CarveRaf(Session& s, const std::string& targetFolder, uint64_t carveStart);

}  // namespace tarnwick
