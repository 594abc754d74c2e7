#pragma once
#include <cstdint>
#include <string>

namespace tarnwick {

struct Session;

// Follows a PDF document's text from "%PDF-" to the "%%EOF" that ends it and
// leaves the document's sectors claimed. An "%%EOF" followed by an update
// section (one that starts with "xref", or with an object, as one whose
// cross-reference is a stream does) does not end it. Writes nothing.
void CarvePdf(Session& s, const std::string& targetFolder, uint64_t carveStart);

}  // namespace tarnwick
