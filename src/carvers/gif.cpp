#include "carvers/gif.h"

#include "carvers/chunk_walk.h"
#include "carvers/framework.h"
#include "source/bytes.h"

namespace tarnwick {

namespace {

constexpr uint64_t kHeaderAndScreen = 13;  // "GIF89a" and the logical screen descriptor
constexpr uint64_t kImageDescriptor = 10;  // the 2C byte and nine more
constexpr uint8_t kExtensionIntroducer = 0x21;
constexpr uint8_t kImageSeparator = 0x2C;
constexpr uint8_t kTrailer = 0x3B;
constexpr uint8_t kColourTableFlag = 0x80;
constexpr uint8_t kLargestLzwCodeSize = 11;    // codes have at most 12 bits
constexpr uint64_t kLargestGif = 268'435'456;  // 256 MiB

// The walk over the collected bytes. pos indexes the buffer, whose front is
// dropped now and then; fileBytes counts the file's bytes passed.
class GifWalk {
 public:
  explicit GifWalk(CarveContext& c) : c_(c) {}

  bool Run() {
    if (!Need(kHeaderAndScreen)) return false;
    if (!BytesEqual(c_.Data(), 0, "GIF87a") && !BytesEqual(c_.Data(), 0, "GIF89a")) return false;
    const uint8_t screenFlags = At(10);
    Pass(kHeaderAndScreen);
    if (!PassColourTable(screenFlags)) return false;
    while (true) {
      if (!Need(1)) return false;
      const uint8_t introducer = At(0);
      if (introducer == kTrailer) {
        Pass(1);
        return true;
      }
      if (introducer == kExtensionIntroducer) {
        if (!Need(2)) return false;
        Pass(2);  // the introducer and the extension's label
        if (!PassSubBlocks()) return false;
      } else if (introducer == kImageSeparator) {
        if (!PassImage()) return false;
      } else {
        return false;
      }
    }
  }

 private:
  uint8_t At(uint64_t k) const { return U8(c_.Data(), static_cast<size_t>(pos_ + k)); }

  // Makes the next n bytes present; false past the size limit, at the end
  // of the scan range or on a read that fails.
  bool Need(uint64_t n) {
    if (fileBytes_ + n > kLargestGif) return false;
    return ReadUntil(c_, pos_ + n);
  }

  void Pass(uint64_t n) {
    pos_ += n;
    fileBytes_ += n;
  }

  // A colour table of 2^(size + 1) RGB entries, when the flags say one follows.
  bool PassColourTable(uint8_t flags) {
    if ((flags & kColourTableFlag) == 0) return true;
    const uint64_t bytes = uint64_t{3} << ((flags & 0x07) + 1);
    if (!Need(bytes)) return false;
    Pass(bytes);
    return true;
  }

  bool PassImage() {
    if (!Need(kImageDescriptor)) return false;
    const Bytes d = c_.Data().subspan(static_cast<size_t>(pos_));
    if (LE16(d, 5) == 0 || LE16(d, 7) == 0) return false;  // an image has pixels
    const uint8_t flags = U8(d, 9);
    Pass(kImageDescriptor);
    if (!PassColourTable(flags)) return false;
    if (!Need(1)) return false;
    const uint8_t codeSize = At(0);
    if (codeSize == 0 || codeSize > kLargestLzwCodeSize) return false;
    Pass(1);
    return PassSubBlocks();
  }

  // Sub-blocks of a length byte and that many bytes, up to one of length 0.
  bool PassSubBlocks() {
    while (true) {
      if (!Need(1)) return false;
      const uint8_t length = At(0);
      Pass(1);
      if (length == 0) return true;
      if (!Need(length)) return false;
      Pass(length);
      CompactBuffer(c_, pos_);
    }
  }

  CarveContext& c_;
  uint64_t pos_ = 0;
  uint64_t fileBytes_ = 0;
};

}  // namespace

void CarveGif(Session& s, const std::string& /*targetFolder*/, uint64_t carveStart) {
  CarveFrame frame(s, carveStart);
  if (!frame.Begin()) return;
  if (!GifWalk(frame.Ctx()).Run()) return;
  frame.Succeed();
}

}  // namespace tarnwick
