#pragma once
#include <cstdint>
#include <span>
#include <string>

namespace tarnwick::cli {

// Lowercase hex SHA-256 of a byte block: OpenSSL's libcrypto on Linux,
// Windows' own CNG there.
std::string Sha256Hex(std::span<const uint8_t> data);

}  // namespace tarnwick::cli
