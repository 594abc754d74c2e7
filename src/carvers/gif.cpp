#include "carvers/gif.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <unordered_map>
#include <vector>

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
constexpr uint8_t kGraphicControl = 0xF9;
constexpr uint8_t kPlainText = 0x01;
constexpr uint8_t kApplication = 0xFF;
constexpr uint8_t kComment = 0xFE;
// How far past an unreadable stretch the next length byte of a sub-block
// chain can lie: the stretch may have hidden the length byte of a
// sub-block of 255 bytes that runs on past it, its chain's terminator, a
// graphic control extension, and an image descriptor and its local colour
// table of 256 entries and code size.
constexpr uint64_t kGraphicControlBytes = 8;
constexpr uint64_t kResyncReach = 256 + kGraphicControlBytes + kImageDescriptor + 3 * 256 + 1;
// How far a chain followed from a guessed start may run to its terminator.
constexpr uint64_t kLongestTrial = 16 * 1'048'576;

// The walk over the collected bytes. pos indexes the buffer, whose front is
// dropped now and then; fileBytes counts the file's bytes passed.
class GifWalk {
 public:
  explicit GifWalk(CarveContext& c) : c_(c) {}

  bool Run() {
    if (!Need(kHeaderAndScreen)) return false;
    if (!BytesEqual(c_.Data(), 0, "GIF87a") && !BytesEqual(c_.Data(), 0, "GIF89a")) return false;
    const uint8_t screenFlags = At(10);
    screenWidth_ = LE16(c_.Data(), 6);
    screenHeight_ = LE16(c_.Data(), 8);
    Pass(kHeaderAndScreen);
    if (!PassColourTable(screenFlags)) return false;
    while (true) {
      if (!Need(1)) return false;
      if (Unknown(0, 1)) {
        if (!Resync()) return false;
        continue;
      }
      const uint8_t introducer = At(0);
      if (introducer == kTrailer) {
        Pass(1);
        // Chains followed from guessed starts may have read past the end.
        if (resynced_) GiveBackSurplus(c_, fileBytes_);
        return true;
      }
      if (introducer == kExtensionIntroducer) {
        if (!Need(2)) return false;
        if (Unknown(1, 1)) {
          if (!Resync()) return false;
          continue;
        }
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
  uint8_t ByteAt(uint64_t p) const { return U8(c_.Data(), static_cast<size_t>(p)); }

  // True when some of the n bytes from pos + k were unreadable.
  bool Unknown(uint64_t k, uint64_t n) const { return HoldsUnreadable(c_, pos_ + k, n); }

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
    if (Unknown(0, kImageDescriptor)) return Resync();
    const Bytes d = c_.Data().subspan(static_cast<size_t>(pos_));
    if (LE16(d, 5) == 0 || LE16(d, 7) == 0) return false;  // an image has pixels
    const uint8_t flags = U8(d, 9);
    Pass(kImageDescriptor);
    if (!PassColourTable(flags)) return false;
    if (!Need(1)) return false;
    if (Unknown(0, 1)) return Resync();
    const uint8_t codeSize = At(0);
    if (codeSize == 0 || codeSize > kLargestLzwCodeSize) return false;
    Pass(1);
    return PassSubBlocks();
  }

  // Sub-blocks of a length byte and that many bytes, up to one of length 0.
  bool PassSubBlocks() {
    while (true) {
      if (!Need(1)) return false;
      if (Unknown(0, 1)) return Resync();
      const uint8_t length = At(0);
      Pass(1);
      if (length == 0) return true;
      if (!Need(length)) return false;
      Pass(length);
      CompactBuffer(c_, pos_);
    }
  }

  // The byte at pos_ could not be read, so the walk has lost its place. The
  // chain it was in, or the block that began there, goes on past the
  // unreadable stretch: each offset up to kResyncReach bytes past the stretch's
  // end is tried as a chain's length byte, and the chain from it followed to
  // its terminator. A terminator counts when what follows it is a block
  // whose fixed fields check out (an image inside the logical screen, an
  // extension of a known label and size) or the trailer. Chains from
  // offsets in the middle of the data mostly fall into the true chain and
  // end where it ends; those that do not either stop early on a zero in the
  // data, where a checked block rarely follows and a trailer byte now and
  // then does, or leap over the true terminator into a later block's data
  // and end with that block. So the earliest terminator before a checked
  // block is taken. A trailer is taken when it is the only one reached by
  // a chain shaped as encoders write image data.
  // Otherwise the place is not found again and the walk fails. On success
  // pos_ lies on the block after the terminator.
  bool Resync() {
    uint64_t end = 0;
    if (!PastUnreadable(c_, pos_, end)) return false;
    std::set<uint64_t> blocks;
    std::map<uint64_t, std::vector<uint64_t>>
        trailers;  // by terminator, the offsets that led there
    std::unordered_map<uint64_t, std::optional<uint64_t>> ends;  // by a chain's byte
    for (uint64_t q = end; q < end + kResyncReach; ++q) {
      const std::optional<uint64_t> t = ChainEnd(q, end + kLongestTrial, ends);
      if (!t) continue;
      switch (BlockAfter(*t + 1)) {
        case Follows::Block: blocks.insert(*t); break;
        case Follows::Trailer: trailers[*t].push_back(q); break;
        case Follows::Nothing: break;
      }
    }
    std::optional<uint64_t> chosen;
    if (!blocks.empty()) {
      chosen = *blocks.begin();
    } else {
      // A trailer byte behind a zero is no rare sight in image data, nor in
      // whatever follows the picture when the true trailer was unreadable.
      // An image's data is written in sub-blocks of one size and a shorter
      // last one: only a chain of that shape from its first byte on is
      // taken for the picture's own.
      for (const auto& [t, starts] : trailers) {
        const bool regular =
            std::any_of(starts.begin(), starts.end(), [&](uint64_t q) { return EvenChain(q); });
        if (!regular) continue;
        if (chosen) return false;
        chosen = t;
      }
    }
    if (!chosen) return false;
    const uint64_t next = *chosen + 1;
    if (fileBytes_ + (next - pos_) > kLargestGif) return false;
    fileBytes_ += next - pos_;
    pos_ = next;
    resynced_ = true;
    return true;
  }

  // The terminator of the sub-block chain whose first length byte is at
  // buffer position q, when every length byte on the way could be read and
  // the chain ends before `limit`. Positions already walked are kept in
  // `ends` with where they led.
  std::optional<uint64_t> ChainEnd(uint64_t q, uint64_t limit,
                                   std::unordered_map<uint64_t, std::optional<uint64_t>>& ends) {
    std::vector<uint64_t> path;
    std::optional<uint64_t> result;
    uint64_t p = q;
    while (true) {
      if (auto known = ends.find(p); known != ends.end()) {
        result = known->second;
        break;
      }
      path.push_back(p);
      if (p >= limit || !ReadUntil(c_, p + 1) || HoldsUnreadable(c_, p, 1)) break;
      const uint8_t length = ByteAt(p);
      if (length == 0) {
        result = p;
        break;
      }
      p += 1 + uint64_t{length};
    }
    for (uint64_t walked : path) ends[walked] = result;
    return result;
  }

  // True when the chain from q has three sub-blocks or more before its
  // terminator and all but the last have the same length.
  bool EvenChain(uint64_t q) const {
    uint64_t p = q, hops = 0;
    uint8_t first = 0;
    bool even = true, pendingOdd = false;
    while (p < c_.Collected) {
      const uint8_t length = ByteAt(p);
      if (length == 0) return even && hops >= 3;
      if (hops == 0) first = length;
      if (pendingOdd) even = false;  // a short sub-block that was not the last
      if (length != first) pendingOdd = true;
      ++hops;
      p += 1 + uint64_t{length};
    }
    return false;
  }

  enum class Follows { Nothing, Block, Trailer };

  // What starts at buffer position p, judged by fields that leave little
  // to chance.
  Follows BlockAfter(uint64_t p) {
    if (!ReadUntil(c_, p + 1) || HoldsUnreadable(c_, p, 1)) return Follows::Nothing;
    const uint8_t introducer = ByteAt(p);
    if (introducer == kTrailer) return Follows::Trailer;
    if (introducer == kImageSeparator) {
      if (!ReadUntil(c_, p + kImageDescriptor + 1)) return Follows::Nothing;
      if (HoldsUnreadable(c_, p, kImageDescriptor)) return Follows::Nothing;
      const Bytes d = c_.Data();
      const size_t at = static_cast<size_t>(p);
      const uint32_t left = LE16(d, at + 1), top = LE16(d, at + 3);
      const uint32_t width = LE16(d, at + 5), height = LE16(d, at + 7);
      if (width == 0 || height == 0 || left + width > screenWidth_ || top + height > screenHeight_)
        return Follows::Nothing;
      const uint8_t flags = U8(d, at + 9);
      const uint64_t table =
          (flags & kColourTableFlag) != 0 ? uint64_t{3} << ((flags & 0x07) + 1) : 0;
      const uint64_t code = p + kImageDescriptor + table;
      if (!ReadUntil(c_, code + 1) || HoldsUnreadable(c_, code, 1)) return Follows::Nothing;
      const uint8_t codeSize = ByteAt(code);
      return codeSize >= 1 && codeSize <= kLargestLzwCodeSize ? Follows::Block : Follows::Nothing;
    }
    if (introducer != kExtensionIntroducer) return Follows::Nothing;
    if (!ReadUntil(c_, p + 3) || HoldsUnreadable(c_, p, 3)) return Follows::Nothing;
    const uint8_t label = ByteAt(p + 1), size = ByteAt(p + 2);
    if (label == kGraphicControl) {
      // Four bytes, then the terminator.
      if (size != 4 || !ReadUntil(c_, p + 8) || HoldsUnreadable(c_, p + 7, 1))
        return Follows::Nothing;
      return ByteAt(p + 7) == 0 ? Follows::Block : Follows::Nothing;
    }
    if ((label == kApplication && size == 11) || (label == kPlainText && size == 12))
      return Follows::Block;
    if (label == kComment) {
      std::unordered_map<uint64_t, std::optional<uint64_t>> none;
      const std::optional<uint64_t> t = ChainEnd(p + 2, p + 2 + kLongestTrial, none);
      if (!t || !ReadUntil(c_, *t + 2) || HoldsUnreadable(c_, *t + 1, 1)) return Follows::Nothing;
      const uint8_t after = ByteAt(*t + 1);
      return after == kExtensionIntroducer || after == kImageSeparator || after == kTrailer
                 ? Follows::Block
                 : Follows::Nothing;
    }
    return Follows::Nothing;
  }

  CarveContext& c_;
  uint64_t pos_ = 0;
  uint64_t fileBytes_ = 0;
  uint32_t screenWidth_ = 0;
  uint32_t screenHeight_ = 0;
  bool resynced_ = false;
};

}  // namespace

void CarveGif(Session& s, const std::string& /*targetFolder*/, uint64_t carveStart) {
  CarveFrame frame(s, carveStart);
  if (!frame.Begin()) return;
  if (!GifWalk(frame.Ctx()).Run()) return;
  frame.Succeed();
}

}  // namespace tarnwick
