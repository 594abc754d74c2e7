#pragma once
#include <cstdint>
#include <string>

namespace tarnwick {

struct Session;

// Follows a PDF document's text from "%PDF-" to the "%%EOF" that ends it and
// leaves the document's sectors claimed. Writes nothing.
void CarvePdf(Session& s, const std::string& targetFolder, uint64_t carveStart);

}  // namespace tarnwick
