#pragma once
// The small zlib component: deflates or inflates one memory buffer into an
// output memory stream that it owns. zlib failures are thrown as EZlibError.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarnwick {

class EZlibError : public std::runtime_error {
 public:
  EZlibError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
  int Code() const { return code_; }  // zlib's return code (Z_DATA_ERROR ...)

 private:
  int code_;
};

// A growable byte buffer with a read position.
class TMemoryStream {
 public:
  const std::vector<uint8_t>& Bytes() const { return bytes_; }
  const uint8_t* Data() const { return bytes_.data(); }
  size_t Size() const { return bytes_.size(); }
  size_t Position() const { return position_; }
  void SetPosition(size_t position) {
    position_ = position < bytes_.size() ? position : bytes_.size();
  }
  // Copies up to count bytes from the position on and advances it.
  size_t Read(void* out, size_t count);
  void Clear() {
    bytes_.clear();
    position_ = 0;
  }

 private:
  friend class TZLB;
  std::vector<uint8_t> bytes_;
  size_t position_ = 0;
};

class TZLB {
 public:
  enum TCompressLevel { clNone, clFastest, clNormal, clMax };

  TCompressLevel CompressLevel = clNormal;

  // Deflates the buffer into a zlib stream; the output is replaced and its
  // position set to 0.
  void Compress(const void* data, size_t length);
  // Inflates one zlib stream held in the buffer (bytes after the stream's end
  // are ignored); the output is replaced and its position set to 0. A stream
  // that is damaged or ends early throws EZlibError.
  void Decompress(const void* data, size_t length);

  TMemoryStream& Output() { return output_; }
  const TMemoryStream& Output() const { return output_; }

  // The zlib level that a CompressLevel stands for.
  static int ZlibLevel(TCompressLevel level);

 private:
  TMemoryStream output_;
};

}  // namespace tarnwick
