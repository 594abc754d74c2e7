#pragma once
#include <cstdint>
#include <span>
#include <string>

namespace tarnwick::cli {

// Hex SHA-256 of a byte block.
std::string Sha256Hex(std::span<const uint8_t> data);

}  // namespace tarnwick::cli
