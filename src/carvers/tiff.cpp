#include "carvers/tiff.h"

#include <array>
#include <cstring>
#include <vector>

#include "carvers/framework.h"
#include "source/bytes.h"

namespace tarnwick {

namespace {

// No byte range of a TIFF-family file may end beyond this.
constexpr uint64_t kLargestEnd = 209'715'200;
// Directories nested deeper than this are taken as a corrupt or crafted file.
constexpr int kMaxDepth = 16;
constexpr int64_t kNoStrips = -1;

struct Signature {
  std::array<uint8_t, 4> Bytes;
  bool BigEndian;
};

constexpr std::array<Signature, 6> kSignatures = {{
    {{0x49, 0x49, 0x2A, 0x00}, false},  // TIFF, CR2
    {{0x49, 0x49, 0x55, 0x00}, false},  // RW2
    {{0x49, 0x49, 0x52, 0x4F}, false},  // ORF
    {{0x4D, 0x4D, 0x00, 0x2A}, true},   // TIFF
    {{0x4D, 0x4D, 0x4F, 0x52}, true},   // ORF
    {{0x4D, 0x4D, 0x00, 0x55}, true},   // RW2
}};

// Bytes per value of an entry type; 0 for the types that are passed over,
// -1 for a type that no sound file has.
int TypeSize(uint16_t type) {
  switch (type) {
    case 1:
    case 2:
    case 6:
    case 7: return 1;
    case 3:
    case 8: return 2;
    case 4:
    case 9:
    case 11: return 4;
    case 5:
    case 10:
    case 12: return 8;
    default: return (type >= 13 && type <= 20) ? 0 : -1;
  }
}

bool IsSubIfdTag(uint16_t tag) {
  return tag == 330 || tag == 400 || tag == 34665 || tag == 34853 || tag == 40965 || tag == 50933;
}

// Byte-wise comparison, the letters folded to capitals.
int CompareIgnoringCase(Bytes a, std::string_view b) {
  auto fold = [](uint8_t ch) {
    return (ch >= 'a' && ch <= 'z') ? static_cast<uint8_t>(ch - 32) : ch;
  };
  for (size_t i = 0; i < b.size(); ++i) {
    uint8_t x = fold(a[i]);
    uint8_t y = fold(static_cast<uint8_t>(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

// The offsets and lengths of one kind of data run, as one IFD gives them.
struct RunTable {
  int64_t OffsetsAt = 0;
  uint32_t Count = 0;
  uint32_t OffsetSize = 0;
};

// What one IFD has told so far; fresh for every IFD.
struct IfdState {
  RunTable Strips, Free, Tiles;
  uint32_t ThumbOffset = 0;
  uint32_t ThumbLength = 0;
  uint32_t HdImageOffset = 0;
  uint32_t HdAlphaOffset = 0;
};

struct Entry {
  uint16_t Tag, Type;
  uint32_t Count, Value;
  uint32_t Size;    // bytes per value
  uint64_t DataAt;  // where the entry's data lies in the file
};

class TiffWalk {
 public:
  TiffWalk(CarveContext& c, bool bigEndian) : c_(c), big_(bigEndian) {}

  bool WalkIfd(uint32_t offset) {
    if (depth_ >= kMaxDepth) return false;
    ++depth_;
    bool ok = WalkChain(offset);
    --depth_;
    return ok;
  }

  uint32_t Read32(uint64_t at) const {
    return big_ ? BE32(c_.Data(), static_cast<size_t>(at))
                : LE32(c_.Data(), static_cast<size_t>(at));
  }

 private:
  uint16_t Read16(uint64_t at) const {
    return big_ ? BE16(c_.Data(), static_cast<size_t>(at))
                : LE16(c_.Data(), static_cast<size_t>(at));
  }

  // Collects the file up to byte end, which must lie within the limit.
  bool Collect(uint64_t end) {
    if (end > kLargestEnd) return false;
    return ReadUntil32(c_, static_cast<int32_t>(end));
  }

  bool WalkChain(uint32_t offset) {
    while (true) {
      if (!Collect(uint64_t{offset} + 2)) return false;
      if (!FirstVisit(offset)) return false;
      const int16_t n = static_cast<int16_t>(Read16(offset));
      if (n < 1) return false;
      const uint64_t end = uint64_t{offset} + 2 + 12 * static_cast<uint64_t>(n) + 4;
      if (!Collect(end)) return false;
      IfdState st;
      for (int i = 0; i < n; ++i) {
        if (!WalkEntry(uint64_t{offset} + 2 + 12 * static_cast<uint64_t>(i), st)) return false;
      }
      const uint32_t next = Read32(end - 4);
      if (next == 0) return true;
      offset = next;
    }
  }

  // An IFD met twice means the chain or a sub-IFD pointer loops. One bit
  // per byte offset walked so far: an eighth of the collected size at most.
  bool FirstVisit(uint32_t offset) {
    if (visited_.size() <= offset) visited_.resize(uint64_t{offset} + 1);
    if (visited_[offset]) return false;
    visited_[offset] = true;
    return true;
  }

  bool WalkEntry(uint64_t at, IfdState& st) {
    Entry e{Read16(at), Read16(at + 2), Read32(at + 4), Read32(at + 8), 0, at + 8};
    const int size = TypeSize(e.Type);
    if (size < 0) return false;
    e.Size = static_cast<uint32_t>(size);
    // 64-bit: a count that wraps a 32-bit product must not pass as small.
    const uint64_t dataSize = uint64_t{e.Count} * e.Size;
    if (dataSize == 0) return true;
    if (dataSize > 4) {
      if (!Collect(uint64_t{e.Value} + dataSize)) return false;
      e.DataAt = e.Value;
    }
    if (!ByTag(e, st)) return false;
    if (IsSubIfdTag(e.Tag)) return WalkSubIfds(e);
    return true;
  }

  bool ByTag(const Entry& e, IfdState& st) {
    switch (e.Tag) {
      case 273:
        st.Strips = {e.Value == 0xFFFFFFFF ? kNoStrips : static_cast<int64_t>(e.DataAt), e.Count,
                     e.Size};
        return true;
      case 279: return st.Strips.OffsetsAt == kNoStrips || CheckDataRuns(st.Strips, e);
      case 280:
        // RW2 keeps its raw data offset here and no strip offsets.
        if (st.Strips.OffsetsAt != kNoStrips) return true;
        st.Strips.OffsetsAt = e.Value;
        return Collect(e.Value);
      case 288: st.Free = {static_cast<int64_t>(e.DataAt), e.Count, e.Size}; return true;
      case 289: return CheckDataRuns(st.Free, e);
      case 324: st.Tiles = {static_cast<int64_t>(e.DataAt), e.Count, e.Size}; return true;
      case 325: return CheckDataRuns(st.Tiles, e);
      case 513: st.ThumbOffset = e.Value; return true;
      case 514: st.ThumbLength = e.Value; return Collect(uint64_t{st.ThumbOffset} + st.ThumbLength);
      case 48320: st.HdImageOffset = e.Value; return true;
      case 48321: return Collect(uint64_t{st.HdImageOffset} + e.Value);
      case 48322: st.HdAlphaOffset = e.Value; return true;
      case 48323: return Collect(uint64_t{st.HdAlphaOffset} + e.Value);
      case 46:
        if (e.Type == 7) {  // the RW2 preview, collected with the entry's data
          st.ThumbOffset = e.Value;
          st.ThumbLength = e.Count;
        }
        return true;
      case 37500: return e.Count < 16 || CheckMakerNote(e.DataAt);
      default: return true;
    }
  }

  // Some maker notes ("STMN" and a four-digit version) point at a preview of their own.
  bool CheckMakerNote(uint64_t dataAt) {
    Bytes data = c_.Data();
    if (!InBounds(data, static_cast<size_t>(dataAt), 16)) return true;
    Bytes tag = data.subspan(static_cast<size_t>(dataAt), 8);
    if (std::memcmp(tag.data(), "STMN0001", 8) < 0) return true;
    if (CompareIgnoringCase(tag, "STMN9999") > 0) return true;
    return Collect(uint64_t{Read32(dataAt + 8)} + Read32(dataAt + 12));
  }

  bool CheckDataRuns(const RunTable& runs, const Entry& lengths) {
    return CheckDataRuns(runs.Count, runs.OffsetsAt, static_cast<int64_t>(lengths.DataAt),
                         runs.OffsetSize, lengths.Size);
  }

  bool ReadSized(uint64_t at, uint32_t size, uint32_t& out) const {
    if (size == 2)
      out = Read16(at);
    else if (size == 4)
      out = Read32(at);
    else
      return false;
    return true;
  }

  // Every strip, tile or free run of a table is collected.
  bool CheckDataRuns(uint32_t count, int64_t offsetsAt, int64_t lengthsAt, uint32_t offsetSize,
                     uint32_t lengthSize) {
    for (uint64_t i = 0; i < count; ++i) {
      uint32_t offset = 0;
      uint32_t length = 0;
      if (!ReadSized(static_cast<uint64_t>(offsetsAt) + i * offsetSize, offsetSize, offset))
        return false;
      if (!ReadSized(static_cast<uint64_t>(lengthsAt) + i * lengthSize, lengthSize, length))
        return false;
      if (!Collect(uint64_t{offset} + length)) return false;
    }
    return true;
  }

  bool WalkSubIfds(const Entry& e) {
    if (e.Count == 1) return WalkIfd(e.Value);
    // The offsets lie one after the other from byte Value on.
    if (!Collect(uint64_t{e.Value} + 4 * uint64_t{e.Count})) return false;
    for (uint64_t k = 0; k < e.Count; ++k) {
      if (!WalkIfd(Read32(uint64_t{e.Value} + 4 * k))) return false;
    }
    return true;
  }

  CarveContext& c_;
  const bool big_;
  int depth_ = 0;
  std::vector<bool> visited_;
};

}  // namespace

void CarveTiff(Session& s, const std::string& /*targetFolder*/, uint64_t carveStart) {
  CarveFrame frame(s, carveStart);
  if (!frame.Begin()) return;
  CarveContext& c = frame.Ctx();
  for (const Signature& sig : kSignatures) {
    if (!BytesEqual(c.Data(), 0, Bytes(sig.Bytes))) continue;
    TiffWalk walk(c, sig.BigEndian);
    if (walk.WalkIfd(walk.Read32(4))) frame.Succeed();
    return;
  }
}

}  // namespace tarnwick
