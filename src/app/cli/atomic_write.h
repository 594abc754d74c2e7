#pragma once
#include <string>

namespace tarnwick::cli {

// Writes text to path so that path never holds a part of it: into a new
// temporary file in the same folder, flushed to disk, then renamed over
// path. A path that names a device or a pipe is written in place. Returns
// the system's reason on failure (the temporary file is removed), or an
// empty text.
std::string WriteFileAtomically(const std::string& path, const std::string& text);

}  // namespace tarnwick::cli
