#pragma once
// Names stored on disk as UTF-16LE (compound-file directory entries, GPT
// partition names), turned into the UTF-8 the program uses inside.
#include <cstddef>
#include <string>

#include "source/bytes.h"

namespace tarnwick {

// The `units` UTF-16LE code units at b[offset ..], as UTF-8. A surrogate
// without its partner becomes U+FFFD; with stopAtZero the text ends at the
// first zero unit. Units past the end of b read as zero.
std::string Utf16LeToUtf8(Bytes b, size_t offset, size_t units, bool stopAtZero);

}  // namespace tarnwick
