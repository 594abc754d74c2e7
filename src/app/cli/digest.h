#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace tarnwick::cli {

// Lowercase hex SHA-256 of a byte block: OpenSSL's libcrypto on Linux,
// Windows' own CNG there.
std::string Sha256Hex(std::span<const uint8_t> data);

// How much of a file is held at once while it is hashed.
inline constexpr size_t kDigestChunk = size_t{1} << 20;

// The same of the file at path, read a chunk at a time: a large file costs
// one chunk of memory. False, with the system's error code (for
// SystemErrorText), when it cannot be opened or read.
bool Sha256HexOfFile(const std::string& path, std::string& hex, int& error);

}  // namespace tarnwick::cli
