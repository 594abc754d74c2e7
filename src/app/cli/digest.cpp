#include "app/cli/digest.h"

#ifdef _WIN32
#include <windows.h>
// bcrypt.h needs the types windows.h declares.
#include <bcrypt.h>
#else
#include <openssl/evp.h>
#endif

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "source/system_file.h"

namespace tarnwick::cli {

namespace {

constexpr unsigned kSha256Bytes = 32;

#ifdef _WIN32
// Windows' own SHA-256 (CNG), fed in pieces that its 32-bit lengths hold.
class Sha256 {
 public:
  Sha256() {
    ok_ = BCryptOpenAlgorithmProvider(&algorithm_, BCRYPT_SHA256_ALGORITHM, nullptr, 0) >= 0 &&
          BCryptCreateHash(algorithm_, &hash_, nullptr, 0, nullptr, 0, 0) >= 0;
  }
  ~Sha256() {
    if (hash_) BCryptDestroyHash(hash_);
    if (algorithm_) BCryptCloseAlgorithmProvider(algorithm_, 0);
  }
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Add(std::span<const uint8_t> data) {
    for (size_t done = 0; ok_ && done < data.size();) {
      const ULONG piece = static_cast<ULONG>(std::min<size_t>(data.size() - done, 1u << 30));
      ok_ = BCryptHashData(hash_, const_cast<PUCHAR>(data.data() + done), piece, 0) >= 0;
      done += piece;
    }
  }
  void Finish(unsigned char* md) {
    ok_ = ok_ && BCryptFinishHash(hash_, md, kSha256Bytes, 0) >= 0;
    if (!ok_) throw std::runtime_error("SHA-256 failed in CNG");
  }

 private:
  BCRYPT_ALG_HANDLE algorithm_ = nullptr;
  BCRYPT_HASH_HANDLE hash_ = nullptr;
  bool ok_ = false;
};
#else
class Sha256 {
 public:
  Sha256() : context_(EVP_MD_CTX_new()) {
    ok_ = context_ && EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) == 1;
  }
  ~Sha256() { EVP_MD_CTX_free(context_); }
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Add(std::span<const uint8_t> data) {
    ok_ = ok_ && EVP_DigestUpdate(context_, data.data(), data.size()) == 1;
  }
  void Finish(unsigned char* md) {
    unsigned int length = 0;
    ok_ = ok_ && EVP_DigestFinal_ex(context_, md, &length) == 1 && length == kSha256Bytes;
    if (!ok_) throw std::runtime_error("SHA-256 failed in libcrypto");
  }

 private:
  EVP_MD_CTX* context_;
  bool ok_ = false;
};
#endif

std::string Hex(const unsigned char* md) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < kSha256Bytes; ++i) {
    hex += kDigits[md[i] >> 4];
    hex += kDigits[md[i] & 15];
  }
  return hex;
}

}  // namespace

std::string Sha256Hex(std::span<const uint8_t> data) {
  unsigned char md[kSha256Bytes];
  Sha256 sha;
  sha.Add(data);
  sha.Finish(md);
  return Hex(md);
}

bool Sha256HexOfFile(const std::string& path, std::string& hex, int& error) {
  SystemFile file;
  if (!file.OpenToRead(path, true, error)) return false;
  std::vector<uint8_t> chunk(kDigestChunk);
  Sha256 sha;
  for (;;) {
    const int64_t n = file.Read(chunk, error);
    if (n < 0) return false;
    sha.Add(std::span<const uint8_t>(chunk.data(), static_cast<size_t>(n)));
    if (static_cast<size_t>(n) < chunk.size()) break;  // the end of the file
  }
  unsigned char md[kSha256Bytes];
  sha.Finish(md);
  hex = Hex(md);
  return true;
}

}  // namespace tarnwick::cli
