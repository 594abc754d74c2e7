#pragma once
// Explicit little- and big-endian readers over byte spans. Every read is
// bounds-checked: a field that does not lie wholly inside the span reads as 0,
// so hostile disk contents can never make us read outside a buffer.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace tarnwick {

using Bytes = std::span<const uint8_t>;

inline bool InBounds(Bytes b, size_t off, size_t len) {
  return off <= b.size() && len <= b.size() - off;
}

inline uint8_t U8(Bytes b, size_t off) { return off < b.size() ? b[off] : 0; }

inline uint16_t LE16(Bytes b, size_t off) {
  if (!InBounds(b, off, 2)) return 0;
  return static_cast<uint16_t>(b[off] | (b[off + 1] << 8));
}

inline uint32_t LE32(Bytes b, size_t off) {
  if (!InBounds(b, off, 4)) return 0;
  return static_cast<uint32_t>(b[off]) | (static_cast<uint32_t>(b[off + 1]) << 8) |
         (static_cast<uint32_t>(b[off + 2]) << 16) | (static_cast<uint32_t>(b[off + 3]) << 24);
}

inline uint64_t LE64(Bytes b, size_t off) {
  if (!InBounds(b, off, 8)) return 0;
  return static_cast<uint64_t>(LE32(b, off)) | (static_cast<uint64_t>(LE32(b, off + 4)) << 32);
}

inline uint16_t BE16(Bytes b, size_t off) {
  if (!InBounds(b, off, 2)) return 0;
  return static_cast<uint16_t>((b[off] << 8) | b[off + 1]);
}

inline uint32_t BE32(Bytes b, size_t off) {
  if (!InBounds(b, off, 4)) return 0;
  return (static_cast<uint32_t>(b[off]) << 24) | (static_cast<uint32_t>(b[off + 1]) << 16) |
         (static_cast<uint32_t>(b[off + 2]) << 8) | static_cast<uint32_t>(b[off + 3]);
}

inline uint64_t BE64(Bytes b, size_t off) {
  if (!InBounds(b, off, 8)) return 0;
  return (static_cast<uint64_t>(BE32(b, off)) << 32) | BE32(b, off + 4);
}

// True when the bytes at off equal the text exactly (all of its characters).
inline bool BytesEqual(Bytes b, size_t off, std::string_view text) {
  if (!InBounds(b, off, text.size())) return false;
  return std::memcmp(b.data() + off, text.data(), text.size()) == 0;
}

inline bool BytesEqual(Bytes b, size_t off, Bytes pattern) {
  if (!InBounds(b, off, pattern.size())) return false;
  return std::memcmp(b.data() + off, pattern.data(), pattern.size()) == 0;
}

}  // namespace tarnwick
