#include "carvers/pdf.h"

#include <cstdint>
#include <string>
#include <string_view>

#include "carvers/framework.h"
#include "source/bytes.h"

namespace tarnwick {

namespace {

constexpr std::string_view kSignature = "%PDF-";
constexpr std::string_view kStartxref = "startxref";
constexpr std::string_view kEof = "%%EOF";
constexpr std::string_view kXref = "xref";
constexpr std::string_view kNoEndOffset = "0";
constexpr uint64_t kFirstScanned = 20;
constexpr uint64_t kLargestCollected = 314'572'800;
// Enough for any offset; a longer digit run can never read "0", so the
// digits past these need not be kept.
constexpr size_t kOffsetDigitsKept = 24;
// An object's head: up to 10 digits, white space, up to 5 digits, white
// space, "obj" and one byte after it.
constexpr size_t kLongestObjectNumber = 10;
constexpr size_t kLongestGeneration = 5;
constexpr size_t kLongestSpace = 8;
constexpr uint64_t kLongestObjectHead =
    kLongestObjectNumber + kLongestSpace + kLongestGeneration + kLongestSpace + 3 + 1;

enum class State {
  InLine,
  LineStart,
  AfterStartxref,
  OffsetLineStart,
  InOffset,
  AfterOffset,
  AfterEof
};

bool IsLineEnd(uint8_t b) { return b == 13 || b == 10; }
bool IsPdfSpace(uint8_t b) { return b == 0 || b == 9 || b == 10 || b == 12 || b == 13 || b == ' '; }
bool IsDigit(uint8_t b) { return b >= '0' && b <= '9'; }

class PdfScan {
 public:
  explicit PdfScan(CarveContext& c) : c_(c) {}

  // Scans from the first scanned byte to the document's end; false when the
  // document cannot be followed to one.
  bool Run(uint64_t& length) {
    if (!BytesEqual(c_.Data(), 0, kSignature)) return false;
    uint64_t p = kFirstScanned;
    State state = State::InLine;
    std::string offset;
    bool ended = false;
    while (!ended) {
      if (!Have(p + 1)) return false;
      const uint8_t b = U8(c_.Data(), static_cast<size_t>(p));
      const bool lineEnd = IsLineEnd(b);
      switch (state) {
        case State::InLine:
          state = lineEnd ? State::LineStart : State::InLine;
          ++p;
          break;
        case State::LineStart:
          if (lineEnd) {
            ++p;
          } else if (!Have(p + kStartxref.size())) {
            return false;
          } else if (At(p, kStartxref)) {
            p += kStartxref.size();
            state = State::AfterStartxref;
          } else {
            ++p;
            state = State::InLine;
          }
          break;
        case State::AfterStartxref:
          // Anything but a line end is looked at again as ordinary text.
          if (lineEnd) {
            ++p;
            state = State::OffsetLineStart;
          } else {
            state = State::InLine;
          }
          break;
        case State::OffsetLineStart:
          if (IsDigit(b)) {
            offset.assign(1, static_cast<char>(b));
            state = State::InOffset;
          } else if (!lineEnd) {
            state = State::InLine;
          }
          ++p;
          break;
        case State::InOffset:
          if (lineEnd) {
            state = State::AfterOffset;
          } else if (IsDigit(b)) {
            if (offset.size() < kOffsetDigitsKept) offset.push_back(static_cast<char>(b));
          } else {
            state = State::InLine;
          }
          ++p;
          break;
        case State::AfterOffset:
          if (lineEnd) {
            ++p;
          } else if (!Have(p + kEof.size())) {
            return false;
          } else if (offset != kNoEndOffset && At(p, kEof)) {
            p += kEof.size();
            state = State::AfterEof;
          } else {
            ++p;
            state = State::InLine;
          }
          break;
        case State::AfterEof:
          if (lineEnd) {
            ++p;
          } else if (!Have(p + kXref.size())) {
            return false;
          } else if (At(p, kXref)) {
            p += kXref.size();
            state = State::InLine;
          } else if (IsDigit(b) && !HaveAsFarAsThere(p + kLongestObjectHead)) {
            return false;
          } else if (IsDigit(b) && ObjectHeadAt(p)) {
            // An update whose cross-reference is a stream starts with an object.
            state = State::InLine;
          } else {
            length = p;
            ended = true;
          }
          break;
      }
      // Also after the last step: the bytes read to rule out "xref" count.
      if (c_.Collected > kLargestCollected) return false;
    }
    return true;
  }

 private:
  bool Have(uint64_t n) {
    if (c_.Collected >= n) return true;
    if (n > static_cast<uint64_t>(INT32_MAX)) return false;
    return ReadUntil32(c_, static_cast<int32_t>(n));
  }

  // Like Have, but the end of the scan range only shortens what is there.
  bool HaveAsFarAsThere(uint64_t n) {
    if (Have(n)) return true;
    return c_.CurrentSector > static_cast<uint64_t>(c_.S.LastScanSector) &&
           c_.Collected <= kLargestCollected;
  }

  // "N G obj": an object number, a generation, the keyword, then white
  // space or a delimiter.
  bool ObjectHeadAt(uint64_t p) const {
    const Bytes b = c_.Data();
    auto digits = [&](size_t most) {
      size_t n = 0;
      while (n < most && IsDigit(U8(b, static_cast<size_t>(p)))) ++n, ++p;
      return n > 0 && !IsDigit(U8(b, static_cast<size_t>(p)));
    };
    auto space = [&] {
      size_t n = 0;
      while (p < b.size() && n < kLongestSpace && IsPdfSpace(b[static_cast<size_t>(p)])) ++n, ++p;
      return n > 0;
    };
    if (!digits(kLongestObjectNumber) || !space() || !digits(kLongestGeneration) || !space()) {
      return false;
    }
    if (!BytesEqual(b, static_cast<size_t>(p), "obj")) return false;
    p += 3;
    if (p >= b.size()) return false;
    const uint8_t after = b[static_cast<size_t>(p)];
    return IsPdfSpace(after) || after == '<' || after == '[' || after == '(' || after == '/' ||
           after == '%';
  }

  bool At(uint64_t p, std::string_view marker) const {
    return BytesEqual(c_.Data(), static_cast<size_t>(p), marker);
  }

  CarveContext& c_;
};

// Gives back the sectors collected past the document's last byte; the
// cluster claim after the carve then starts at the first one given back.
void ReleaseBeyond(CarveContext& c, uint64_t length) {
  const uint64_t needed = (length + c.Bps - 1) / c.Bps;
  while (c.ClaimList.size() > needed) {
    const uint64_t sector = c.ClaimList.back();
    c.S.Map.UnmarkSector(sector);
    c.ClaimList.pop_back();
    c.ReadPos = sector * c.Bps;
  }
}

}  // namespace

void CarvePdf(Session& s, const std::string& /*targetFolder*/, uint64_t carveStart) {
  CarveFrame frame(s, carveStart);
  if (!frame.Begin()) return;
  uint64_t length = 0;
  if (!PdfScan(frame.Ctx()).Run(length)) return;
  ReleaseBeyond(frame.Ctx(), length);
  frame.Succeed();
}

}  // namespace tarnwick
