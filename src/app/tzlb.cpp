#include "app/tzlb.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace tarnwick {

namespace {

// zlib counts in uInt; larger buffers are fed in pieces of this size.
constexpr size_t kMaxPiece = std::numeric_limits<uInt>::max();
constexpr size_t kOutStep = 256 * 1024;

[[noreturn]] void Fail(int code, const z_stream& zs) {
  std::string message = zs.msg ? zs.msg : zError(code);
  throw EZlibError(code, message);
}

void FeedInput(z_stream& zs, const uint8_t*& next, size_t& remaining) {
  if (zs.avail_in != 0 || remaining == 0) return;
  size_t piece = std::min(remaining, kMaxPiece);
  zs.next_in = const_cast<Bytef*>(next);
  zs.avail_in = static_cast<uInt>(piece);
  next += piece;
  remaining -= piece;
}

// Makes room at the end of out and points zlib's output there.
void GrowOutput(z_stream& zs, std::vector<uint8_t>& out, size_t& used) {
  if (out.size() - used < kOutStep) out.resize(used + std::max(kOutStep, out.size() / 2));
  size_t room = std::min(out.size() - used, kMaxPiece);
  zs.next_out = out.data() + used;
  zs.avail_out = static_cast<uInt>(room);
}

}  // namespace

size_t TMemoryStream::Read(void* out, size_t count) {
  size_t n = std::min(count, bytes_.size() - position_);
  if (n) std::memcpy(out, bytes_.data() + position_, n);
  position_ += n;
  return n;
}

int TZLB::ZlibLevel(TCompressLevel level) {
  switch (level) {
    case clNone: return Z_NO_COMPRESSION;
    case clFastest: return Z_BEST_SPEED;
    case clNormal: return Z_DEFAULT_COMPRESSION;
    case clMax: return Z_BEST_COMPRESSION;
  }
  return Z_DEFAULT_COMPRESSION;
}

void TZLB::Compress(const void* data, size_t length) {
  z_stream zs{};
  int rc = deflateInit(&zs, ZlibLevel(CompressLevel));
  if (rc != Z_OK) Fail(rc, zs);

  std::vector<uint8_t> out;
  size_t used = 0;
  const uint8_t* next = static_cast<const uint8_t*>(data);
  size_t remaining = length;
  for (;;) {
    FeedInput(zs, next, remaining);
    GrowOutput(zs, out, used);
    uInt room = zs.avail_out;
    int flush = remaining == 0 ? Z_FINISH : Z_NO_FLUSH;
    rc = deflate(&zs, flush);
    used += room - zs.avail_out;
    if (rc == Z_STREAM_END) break;
    if (rc != Z_OK && rc != Z_BUF_ERROR) {
      std::string message = zs.msg ? zs.msg : zError(rc);
      deflateEnd(&zs);
      throw EZlibError(rc, message);
    }
  }
  deflateEnd(&zs);
  out.resize(used);
  output_.bytes_ = std::move(out);
  output_.position_ = 0;
}

void TZLB::Decompress(const void* data, size_t length) {
  z_stream zs{};
  int rc = inflateInit(&zs);
  if (rc != Z_OK) Fail(rc, zs);

  std::vector<uint8_t> out;
  size_t used = 0;
  const uint8_t* next = static_cast<const uint8_t*>(data);
  size_t remaining = length;
  for (;;) {
    FeedInput(zs, next, remaining);
    GrowOutput(zs, out, used);
    uInt room = zs.avail_out;
    rc = inflate(&zs, Z_NO_FLUSH);
    used += room - zs.avail_out;
    if (rc == Z_STREAM_END) break;
    bool inputSpent = zs.avail_in == 0 && remaining == 0;
    if (rc == Z_OK && !(inputSpent && zs.avail_out != 0)) continue;

    // Either zlib refused the data, or all input is used up before the
    // stream's end: the stream was cut short.
    int code = rc;
    std::string message;
    if (rc == Z_OK || rc == Z_BUF_ERROR) {
      code = Z_BUF_ERROR;
      message = "unexpected end of compressed data";
    } else if (rc == Z_NEED_DICT) {
      code = Z_DATA_ERROR;
      message = "need dictionary";
    } else {
      message = zs.msg ? zs.msg : zError(rc);
    }
    inflateEnd(&zs);
    throw EZlibError(code, message);
  }
  inflateEnd(&zs);
  out.resize(used);
  output_.bytes_ = std::move(out);
  output_.position_ = 0;
}

}  // namespace tarnwick
