#include "source/utf16.h"

#include <cstdint>

namespace tarnwick {

namespace {

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

std::string Utf16LeToUtf8(Bytes b, size_t offset, size_t units, bool stopAtZero) {
  std::string out;
  for (size_t i = 0; i < units; ++i) {
    uint32_t u = LE16(b, offset + 2 * i);
    if (u == 0 && stopAtZero) break;
    if (u >= 0xD800 && u < 0xDC00 && i + 1 < units) {
      const uint32_t low = LE16(b, offset + 2 * (i + 1));
      if (low >= 0xDC00 && low < 0xE000) {
        AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    if (u >= 0xD800 && u < 0xE000) u = 0xFFFD;
    AppendUtf8(out, u);
  }
  return out;
}

}  // namespace tarnwick
