#pragma once
#include <cstdint>
#include <span>
#include <string>

namespace tarnwick::cli {

// Lowercase hex SHA-256 of a byte block, by OpenSSL's libcrypto.
std::string Sha256Hex(std::span<const uint8_t> data);

}  // namespace tarnwick::cli
