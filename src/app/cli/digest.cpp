#include "app/cli/digest.h"

#ifdef _WIN32
#include <windows.h>
#include <bcrypt.h>
#else
#include <openssl/evp.h>
#endif

#include <algorithm>
#include <stdexcept>

namespace tarnwick::cli {

namespace {

constexpr unsigned kSha256Bytes = 32;

#ifdef _WIN32
// Windows' own SHA-256 (CNG), fed in pieces that its 32-bit lengths hold.
void Sha256(std::span<const uint8_t> data, unsigned char* md) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) >= 0 &&
            BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) >= 0;
  for (size_t done = 0; ok && done < data.size();) {
    const ULONG piece = static_cast<ULONG>(std::min<size_t>(data.size() - done, 1u << 30));
    ok = BCryptHashData(hash, const_cast<PUCHAR>(data.data() + done), piece, 0) >= 0;
    done += piece;
  }
  ok = ok && BCryptFinishHash(hash, md, kSha256Bytes, 0) >= 0;
  if (hash) BCryptDestroyHash(hash);
  if (algorithm) BCryptCloseAlgorithmProvider(algorithm, 0);
  if (!ok) throw std::runtime_error("SHA-256 failed in CNG");
}
#else
void Sha256(std::span<const uint8_t> data, unsigned char* md) {
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), md, &length, EVP_sha256(), nullptr) != 1 ||
      length != kSha256Bytes)
    throw std::runtime_error("SHA-256 failed in libcrypto");
}
#endif

}  // namespace

std::string Sha256Hex(std::span<const uint8_t> data) {
  unsigned char md[kSha256Bytes];
  Sha256(data, md);
  const unsigned length = kSha256Bytes;
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kDigits[md[i] >> 4];
    hex += kDigits[md[i] & 15];
  }
  return hex;
}

}  // namespace tarnwick::cli
