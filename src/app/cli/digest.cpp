#include "app/cli/digest.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace tarnwick::cli {

std::string Sha256Hex(std::span<const uint8_t> data) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), md, &length, EVP_sha256(), nullptr) != 1)
    throw std::runtime_error("SHA-256 failed in libcrypto");
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kDigits[md[i] >> 4];
    hex += kDigits[md[i] & 15];
  }
  return hex;
}

}  // namespace tarnwick::cli
