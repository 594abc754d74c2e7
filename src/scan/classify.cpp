#include "scan/classify.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

#include "carvers/cab_7z.h"
#include "compound/header_rebuild.h"
#include "source/bytes.h"

namespace tarnwick {
namespace {

// A test either decides (a TypeCode, 0 included) or lets the next one try.
using Verdict = std::optional<uint8_t>;
constexpr Verdict kGoOn = std::nullopt;

template <size_t N>
using Pattern = std::array<uint8_t, N>;

// Byte signatures are compared up to and including their first zero byte;
// the bytes after it are not part of the comparison. Signatures that must
// match in full across a zero byte are compared as whole words instead.
template <size_t N>
bool Matches(Bytes s, size_t off, const Pattern<N>& stored) {
  size_t effective = 0;
  while (effective < N) {
    if (stored[effective++] == 0) break;
  }
  return BytesEqual(s, off, Bytes(stored.data(), effective));
}

// Compares ASCII letters without regard to case; upper holds upper-case text.
bool EqualsIgnoringCase(Bytes s, size_t off, std::string_view upper) {
  if (!InBounds(s, off, upper.size())) return false;
  for (size_t i = 0; i < upper.size(); ++i) {
    uint8_t c = s[off + i];
    if (c >= 'a' && c <= 'z') c = static_cast<uint8_t>(c - ('a' - 'A'));
    if (c != static_cast<uint8_t>(upper[i])) return false;
  }
  return true;
}

constexpr Pattern<3> kJpegStart{0xFF, 0xD8, 0xFF};
constexpr Pattern<8> kOle2Start{0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
// ASF object GUIDs in their stored byte order. The zero byte at index 10
// cuts the comparison to the first eleven bytes.
constexpr Pattern<16> kAsfHeaderGuid{0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                     0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr Pattern<16> kAsfFilePropertiesGuid{0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                             0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr Pattern<4> kPngStart{0x89, 0x50, 0x4E, 0x47};
constexpr Pattern<4> kTiffIntel{0x49, 0x49, 0x2A, 0x00};
constexpr Pattern<4> kOlympusIntel{0x49, 0x49, 0x52, 0x4F};
constexpr Pattern<4> kOlympusMotorola{0x4D, 0x4D, 0x4F, 0x52};
constexpr Pattern<4> kPanasonicIntel{0x49, 0x49, 0x55, 0x00};
constexpr uint32_t kTiffMotorola = 0x4D4D002A;
constexpr uint32_t kPanasonicMotorola = 0x4D4D0055;
constexpr Pattern<7> kRarStart{0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
constexpr Pattern<4> kZipLocalHeader{0x50, 0x4B, 0x03, 0x04};
constexpr uint32_t kPackStartCode = 0x000001BA;
constexpr uint32_t kSystemHeaderCode = 0x000001BB;

constexpr uint8_t kTsSync = 0x47;  // 'G'
constexpr uint32_t kArrivalTimeMask = 0x3FFFFFFF;
constexpr uint32_t kMaxArrivalStep = 3200000;
constexpr uint64_t kMpeg2MaxStartScr = 320000;  // about 3.6 s at 90 kHz

Verdict TestJpeg(Bytes s) {
  if (!Matches(s, 0, kJpegStart)) return kGoOn;
  return (U8(s, 3) & 0xFE) == 0xE0 ? kJpegApp : kJpegOther;
}

Verdict TestGif(Bytes s) {
  return BytesEqual(s, 0, "GIF89a") || BytesEqual(s, 0, "GIF87a") ? Verdict(kGif) : kGoOn;
}

Verdict TestBmp(Bytes s) {
  if (U8(s, 0) != 'B' || U8(s, 1) != 'M') return kGoOn;
  // Non-zero reserved words: not a bitmap, and nothing else either.
  return LE32(s, 6) == 0 ? kBmp : kNothing;
}

Verdict TestOle2(Bytes s) { return Matches(s, 0, kOle2Start) ? Verdict(kOle2) : kGoOn; }

Verdict TestJet(Bytes s) {
  if (U8(s, 4) != 'S') return kGoOn;
  return BytesEqual(s, 4, "Standard Jet DB") ? Verdict(kJetDb) : kGoOn;
}

Verdict TestRiff(Bytes s) {
  if (!BytesEqual(s, 0, "RIFF")) return kGoOn;
  if (BytesEqual(s, 8, "AVI ")) return kRiffAvi;
  if (BytesEqual(s, 8, "CDXA")) return kRiffCdxa;
  if (BytesEqual(s, 8, "WAVE")) return kRiffWave;
  if (BytesEqual(s, 8, "ACON")) return kRiffAcon;
  if (EqualsIgnoringCase(s, 8, "CDR")) return kRiffCdr;
  return kNothing;  // a RIFF of a kind we do not carve
}

Verdict TestAsf(Bytes s) {
  if (!Matches(s, 0, kAsfHeaderGuid)) return kGoOn;
  // The header object's own header is 30 bytes; the next object follows it.
  return Matches(s, 30, kAsfFilePropertiesGuid) ? kAsfHeaderFirst : kAsfOther;
}

Verdict TestIsoMedia(Bytes s) {
  // A first box below 64 KiB whose type is ftyp.
  if (LE16(s, 0) != 0 || !BytesEqual(s, 4, "ftyp")) return kGoOn;
  if (BytesEqual(s, 8, "3gp")) return kIso3gp;
  if (BytesEqual(s, 8, "mp4")) return kMp4;
  return kIsoOther;
}

// A system header (00 00 01 BB) at `at`: a length that covers its fixed six
// bytes, and the marker bits around the rate bound and before the video
// bound set.
bool IsSystemHeader(Bytes s, size_t at) {
  if (BE32(s, at) != kSystemHeaderCode) return false;
  const uint16_t length = BE16(s, at + 4);
  return length >= 6 && (U8(s, at + 6) & 0x80) != 0 && (U8(s, at + 8) & 0x01) != 0 &&
         (U8(s, at + 10) & 0x20) != 0;
}

// Program-stream packs sit in the middle of a stream as often as at its
// start, so they only give a tentative answer that later tests may override.
// A pack whose marker bits are not all set gives none. A stream's first pack
// must carry the system header, so a pack with one behind it may be a start
// whatever its clock says (later packs may carry it too).
uint8_t MpegTentative(Bytes s) {
  if (BE32(s, 0) != kPackStartCode) return kNothing;
  const uint8_t b4 = U8(s, 4);
  if ((b4 & 0xC0) == 0x40) {
    const PackScr pack = Mpeg2PackScr(s);
    if (!pack.valid) return kNothing;
    // The MPEG-2 pack header is 14 bytes and its stuffing.
    if (IsSystemHeader(s, 14 + (U8(s, 13) & 0x07u))) return kMpegPsSystem;
    if (pack.scr >= kMpeg2MaxStartScr) return kNothing;
    return pack.scr == 0 ? kMpeg2Scr0 : kMpeg2ScrLow;
  }
  if ((b4 & 0xE0) == 0x20) {
    const PackScr pack = Mpeg1PackScr(s);
    if (!pack.valid) return kNothing;
    if (pack.scr == 0) return kMpeg1Scr0;
    return IsSystemHeader(s, 12) ? kMpegPsSystem : kMpeg1ScrOther;
  }
  return kNothing;
}

bool ArrivalStepPlausible(uint32_t from, uint32_t to) {
  const uint32_t step = (to - from) & kArrivalTimeMask;  // wraps like the time stamp
  return step >= 1 && step <= kMaxArrivalStep;
}

// Three 192-byte packets: a 4-byte prefix (copy bits and a 30-bit arrival
// time stamp) before each 188-byte packet.
// A transport packet at `at` that starts a program-association, program-map
// or service-description section: a recorder or muxer begins a stream with
// these tables, so that a player can find its programs. The payload-unit
// start bit is set, no adaptation field comes first, the pointer field is 0,
// and the section header has its syntax bit and a length that fits.
bool StartsTable(Bytes s, size_t at) {
  const uint8_t flags = U8(s, at + 1);
  const uint16_t pid = static_cast<uint16_t>(BE16(s, at + 1) & 0x1FFF);
  if ((flags & 0xC0) != 0x40 || (U8(s, at + 3) & 0x30) != 0x10 || U8(s, at + 4) != 0) return false;
  const uint8_t tableId = U8(s, at + 5);
  const uint16_t head = BE16(s, at + 6);
  if ((head & 0xC000) != 0x8000 && !(tableId == 0x42 && (head & 0xC000) == 0xC000)) return false;
  if ((head & 0x0FFF) > 1021 || (head & 0x0FFF) < 9) return false;
  if (pid == 0) return tableId == 0x00;
  if (pid == 0x11) return tableId == 0x42;
  return tableId == 0x02 && pid >= 0x10 && pid != 0x1FFF;
}

Verdict TestTs192(Bytes s) {
  if (U8(s, 4) != kTsSync || U8(s, 196) != kTsSync || U8(s, 388) != kTsSync) return kGoOn;
  const uint32_t w0 = BE32(s, 0);
  const uint32_t w1 = BE32(s, 192);
  const uint32_t w2 = BE32(s, 384);
  if (!ArrivalStepPlausible(w0, w1) || !ArrivalStepPlausible(w1, w2)) return kGoOn;
  if (w0 == 0) return kTs192Start;
  return StartsTable(s, 4) ? kTs192Table : kTs192Mid;
}

Verdict TestTs188(Bytes s) {
  if (U8(s, 0) != kTsSync || U8(s, 188) != kTsSync || U8(s, 376) != kTsSync) return kGoOn;
  if (U8(s, 1) == kTsSync || U8(s, 189) == kTsSync || U8(s, 377) == kTsSync) return kGoOn;
  return StartsTable(s, 0) ? kTs188Table : kTs188;
}

Verdict TestPng(Bytes s) { return Matches(s, 0, kPngStart) ? Verdict(kPng) : kGoOn; }

// An ID3v2 tag header: version 2 to 4, no flag bits that its version does
// not define, and a size of four 7-bit bytes.
Verdict TestMp3(Bytes s) {
  if (!BytesEqual(s, 0, "ID3")) return kGoOn;
  const uint8_t version = U8(s, 3);
  if (version < 2 || version > 4 || U8(s, 4) == 0xFF) return kGoOn;
  const uint8_t undefinedFlags = version == 2 ? 0x3F : version == 3 ? 0x1F : 0x0F;
  if ((U8(s, 5) & undefinedFlags) != 0) return kGoOn;
  if (((U8(s, 6) | U8(s, 7) | U8(s, 8) | U8(s, 9)) & 0x80) != 0) return kGoOn;
  return kMp3Id3;
}

// The encoder's summary frame that opens most MP3 files: "Xing" or "Info"
// behind the side information of a layer III frame, or "VBRI" at 36.
bool HasSummaryTag(Bytes s, const MpegAudioFrame& f) {
  if (f.layer != 3) return false;
  const bool mono = (U8(s, 3) >> 6) == 3;
  const size_t side = f.version == 1 ? (mono ? 17 : 32) : (mono ? 9 : 17);
  return BytesEqual(s, 4 + side, "Xing") || BytesEqual(s, 4 + side, "Info") ||
         BytesEqual(s, 36, "VBRI");
}

// MPEG audio frames from byte 0 with no tag before them: a summary frame,
// or a second frame of the same stream right behind the first one, and
// every further frame header the sector holds. One header alone is too
// weak; it passes in one random sector of some 7,000.
Verdict TestMp3Frames(Bytes s) {
  if (U8(s, 0) != 0xFF || (U8(s, 1) & 0xE0) != 0xE0) return kGoOn;
  const MpegAudioFrame first = ReadMpegAudioFrame(s, 0);
  if (!first.valid) return kGoOn;
  if (HasSummaryTag(s, first)) return kMp3Frames;
  size_t frames = 1;
  for (size_t at = first.length; InBounds(s, at, 4); ++frames) {
    const MpegAudioFrame next = ReadMpegAudioFrame(s, at);
    if (!first.SameStream(next)) return kGoOn;
    at += next.length;
  }
  return frames >= 2 ? Verdict(kMp3Frames) : kGoOn;
}

Verdict TestTiffFamily(Bytes s) {
  const uint32_t head = BE32(s, 0);
  if (Matches(s, 0, kTiffIntel) || head == kTiffMotorola || Matches(s, 0, kOlympusIntel) ||
      Matches(s, 0, kOlympusMotorola) || Matches(s, 0, kPanasonicIntel) ||
      head == kPanasonicMotorola) {
    return kTiffRaw;
  }
  return BytesEqual(s, 0, "FOVb") ? Verdict(kX3f) : kGoOn;
}

Verdict TestRaf(Bytes s) { return BytesEqual(s, 0, "FUJIFILMCCD-RAW ") ? Verdict(kRaf) : kGoOn; }

Verdict TestRar(Bytes s) { return Matches(s, 0, kRarStart) ? Verdict(kRar) : kGoOn; }

Verdict TestZip(Bytes s) {
  if (!Matches(s, 0, kZipLocalHeader)) return kGoOn;
  // The first local header's file name starts at offset 30.
  if (BytesEqual(s, 30, "[Content_Types].xml")) return kOoxml;
  if (BytesEqual(s, 30, "content/riffData.cdr")) return kZipCdr;
  return kZip;
}

Verdict TestCab(Bytes s) {
  // Only version 1.3 cabinets (minor 3, major 1).
  return BytesEqual(s, 0, "MSCF") && LE16(s, 24) == 0x0103 ? Verdict(kCab) : kGoOn;
}

Verdict Test7z(Bytes s) {
  // Any 0.x format version, with a start header whose CRC holds.
  return Is7zStartHeader(s) ? Verdict(k7z) : kGoOn;
}

Verdict TestPdf(Bytes s) { return BytesEqual(s, 0, "%PDF-") ? Verdict(kPdf) : kGoOn; }

bool InRange(uint32_t v, uint32_t lo, uint32_t hi) { return v >= lo && v <= hi; }

// An NTFS file record whose header is plausible is decided here, whatever
// its first attribute looks like.
Verdict TestNtfsFileRecord(Bytes s, uint8_t tentative) {
  if (!BytesEqual(s, 0, "FILE")) return kGoOn;
  const uint16_t usaOffset = LE16(s, 4);
  const uint16_t usaCount = LE16(s, 6);
  const uint16_t firstAttribute = LE16(s, 20);
  const uint32_t bytesInUse = LE32(s, 24);
  const uint32_t bytesAllocated = LE32(s, 28);
  if (!InRange(usaOffset, 40, 96) || !InRange(usaCount, 1, 96) ||
      !InRange(firstAttribute, 48, 96) || bytesInUse > bytesAllocated || bytesAllocated == 0 ||
      bytesAllocated % 512 != 0) {
    return kGoOn;
  }
  if (static_cast<uint32_t>(usaOffset) + usaCount > firstAttribute) return tentative;
  const uint32_t type = LE32(s, firstAttribute);
  const uint32_t length = LE32(s, firstAttribute + 4u);
  if (type == 0xFFFFFFFF) return kMetadata;  // end-of-attributes marker
  if (InRange(type, 16, 512) && InRange(length, 8, 4096)) return kMetadata;
  return tentative;
}

bool IsNtfsIndexRecord(Bytes s) {
  if (!BytesEqual(s, 0, "INDX")) return false;
  if (!InRange(LE16(s, 4), 40, 96) || !InRange(LE16(s, 6), 1, 96)) return false;
  const uint32_t entriesSize = LE32(s, 28);
  const uint64_t entriesAllocated = LE32(s, 32);
  // The entries' area starts 24 bytes into the record.
  return entriesSize <= entriesAllocated && entriesAllocated != 0 &&
         (entriesAllocated + 24) % 512 == 0;
}

bool IsFatTime(uint16_t t) {
  return (t >> 11) <= 23 && ((t >> 5) & 0x3F) <= 59 && (t & 0x1F) <= 29;
}

// A date field of 0 is left so by some writers; any other must be a date.
bool IsFatDateOrZero(uint16_t d) {
  const unsigned month = (d >> 5) & 0x0F;
  return d == 0 || (month >= 1 && month <= 12 && (d & 0x1F) != 0);
}

// Deleting an entry changes only its first byte, so the rest must still be
// a directory entry: text whose bytes happen to start with E5 at 32-byte
// steps (CJK in UTF-8) fails on the attribute and the reserved bytes.
bool IsDeletedEntry(Bytes s, size_t e) {
  // A formatter's E5 fill: nothing was ever written there.
  bool filled = true;
  for (size_t i = 1; i < 32 && filled; ++i) filled = U8(s, e + i) == 0xE5;
  if (filled) return true;
  const uint8_t attribute = U8(s, e + 11);
  if (attribute == 0x0F) return U8(s, e + 12) == 0 && LE16(s, e + 26) == 0;  // long-name part
  if ((attribute & 0xC0) != 0) return false;
  if ((U8(s, e + 12) & ~0x18) != 0) return false;  // only the two lower-case flags
  if (U8(s, e + 13) > 199) return false;           // hundredths of the creation time
  if (!IsFatTime(LE16(s, e + 14)) || !IsFatTime(LE16(s, e + 22))) return false;
  if (!IsFatDateOrZero(LE16(s, e + 16)) || !IsFatDateOrZero(LE16(s, e + 18)) ||
      !IsFatDateOrZero(LE16(s, e + 24))) {
    return false;
  }
  const uint16_t clusterHigh = LE16(s, e + 20);
  if (clusterHigh > 0x0FFF) return false;  // cluster numbers have 28 bits
  const uint32_t cluster = (uint32_t{clusterHigh} << 16) | LE16(s, e + 26);
  const uint32_t size = LE32(s, e + 28);
  if (cluster == 1 || (size != 0 && cluster == 0)) return false;
  if ((attribute & 0x10) != 0 && size != 0) return false;  // a directory has no size
  for (size_t i = 1; i <= 10; ++i) {
    if (!IsNameChar(U8(s, e + i))) return false;
  }
  return true;
}

// Walks the sector as 32-byte FAT directory entries. Deleted entries that
// still have an entry's shape score 1, plausible short-name entries 2;
// long-name entries are stepped over. Any implausible entry ends the walk
// with the tentative result.
uint8_t WalkFatDirectory(Bytes s, uint8_t tentative) {
  constexpr size_t kEntry = 32;
  uint32_t score = 0;
  for (size_t e = 0; e < s.size(); e += kEntry) {
    const uint8_t first = U8(s, e);
    if (first == 0x00) {
      // The end of the directory: only unused entries may follow. Too few
      // entries before it decide the answer without looking at the rest.
      if (score < 2) return tentative;
      for (size_t rest = e + kEntry; rest < s.size(); rest += kEntry) {
        if (U8(s, rest) != 0x00) return tentative;
      }
      break;
    }
    if (first == 0xE5) {
      if (!IsDeletedEntry(s, e)) return tentative;
      ++score;
      continue;
    }
    const uint8_t attribute = U8(s, e + 11);
    if ((attribute & 0xF0) > 0x30) return tentative;
    if ((attribute & 0x10) != 0 && LE32(s, e + 28) != 0) return tentative;  // sized directory
    if (attribute == 0x0F) continue;                                        // long-name part
    if (first <= 0x20) return tentative;
    const uint16_t date = LE16(s, e + 24);
    const unsigned year = date >> 9;  // years since 1980
    const unsigned month = (date >> 5) & 0x0F;
    const unsigned day = date & 0x1F;
    if (year < 5 || month < 1 || month > 12 || day == 0) return tentative;
    score += 2;
    for (size_t i = 1; i <= 10; ++i) {
      if (!IsNameChar(U8(s, e + i))) return tentative;
    }
  }
  if (score >= 2) return kMetadata;
  return tentative;
}

using Test = Verdict (*)(Bytes);

// The first verdict of the tests, in their order. The tests are template
// arguments rather than a table of pointers so that the compiler can inline
// them: each runs for every sector the search reads.
template <Test... Tests>
Verdict FirstVerdict(Bytes s) {
  Verdict v;
  static_cast<void>(((v = Tests(s)).has_value() || ...));
  return v;
}

// Exact-byte tests, cheapest first, split where the MPEG pack test sits.
constexpr auto kLeadingTests = FirstVerdict<TestJpeg, TestGif, TestBmp, TestOle2, TestJet,
                                            TestRiff, TestAsf, TestIsoMedia>;
constexpr auto kTrailingTests =
    FirstVerdict<TestTs192, TestTs188, TestPng, TestMp3, TestMp3Frames, TestTiffFamily, TestRaf,
                 TestRar, TestZip, TestCab, Test7z, TestPdf>;

// Bytes 4..11 of the pack, shifted so that the lowest marker bit lands on
// bit 0: the clock reference is then three fields of 15, 15 and 3 bits, each
// above a marker bit at bits 0, 16 and 32. topMask selects the high field.
PackScr DecodePackScr(Bytes pack, unsigned shift, uint64_t topMask) {
  if (!InBounds(pack, 4, 8)) return {false, 0};
  const uint64_t w = BE64(pack, 4) >> shift;
  constexpr uint64_t kMarkers = (uint64_t{1} << 0) | (uint64_t{1} << 16) | (uint64_t{1} << 32);
  if ((w & kMarkers) != kMarkers) return {false, 0};
  const uint64_t scr = ((w & 0xFFFE) >> 1) | ((w & 0xFFFE0000) >> 2) | ((w & topMask) >> 3);
  return {true, scr};
}

}  // namespace

bool IsNameChar(uint8_t c) {
  if (c < 0x20 || c == 0xFF) return false;
  switch (c) {
    case '\\':
    case '/':
    case ':':
    case '*':
    case '?':
    case '"':
    case '<':
    case '>':
    case '|': return false;
    default: return true;
  }
}

PackScr Mpeg2PackScr(std::span<const uint8_t> pack) { return DecodePackScr(pack, 26, 0xE00000000); }

PackScr Mpeg1PackScr(std::span<const uint8_t> pack) {
  return DecodePackScr(pack, 24, 0x1E00000000);
}

MpegAudioFrame ReadMpegAudioFrame(std::span<const uint8_t> b, size_t at) {
  // Bit rates in kbit/s by index 1..14: version 1 layers I, II, III, then
  // versions 2 and 2.5 layer I, then their layers II and III.
  static constexpr uint16_t kRates[5][14] = {
      {32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
      {32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
      {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
      {32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
      {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}};
  static constexpr uint32_t kSampleRates[3] = {44100, 48000, 32000};
  MpegAudioFrame f;
  if (!InBounds(b, at, 4)) return f;
  const uint32_t h = BE32(b, at);
  if ((h >> 21) != 0x7FF) return f;
  const uint32_t versionBits = (h >> 19) & 3;  // 0: 2.5, 1: reserved, 2: 2, 3: 1
  const uint32_t layerBits = (h >> 17) & 3;    // 0: reserved, 1: III, 2: II, 3: I
  const uint32_t rateIndex = (h >> 12) & 15;
  const uint32_t sampleIndex = (h >> 10) & 3;
  const uint32_t padding = (h >> 9) & 1;
  if (versionBits == 1 || layerBits == 0 || rateIndex == 0 || rateIndex == 15 || sampleIndex == 3 ||
      (h & 3) == 2) {
    return f;
  }
  f.version = versionBits == 3 ? 1 : versionBits == 2 ? 2 : 25;
  f.layer = static_cast<uint8_t>(4 - layerBits);
  const uint32_t divisor = f.version == 1 ? 1 : f.version == 2 ? 2 : 4;
  f.sampleRate = kSampleRates[sampleIndex] / divisor;
  const size_t table = f.version == 1 ? f.layer - 1u : f.layer == 1 ? 3 : 4;
  const uint32_t bitRate = kRates[table][rateIndex - 1] * 1000u;
  if (f.layer == 1) {
    f.length = (12 * bitRate / f.sampleRate + padding) * 4;
  } else {
    // Layer III of versions 2 and 2.5 carries half the samples per frame.
    const uint32_t perFrame = (f.layer == 3 && f.version != 1) ? 72 : 144;
    f.length = perFrame * bitRate / f.sampleRate + padding;
  }
  f.valid = f.length > 4;
  return f;
}

namespace {

// The first bytes that some test other than the Jet, the 192-byte transport
// stream and the FAT directory tests needs.
constexpr std::array<bool, 256> kLeadingBytes = [] {
  std::array<bool, 256> t{};
  constexpr uint8_t kFirst[] = {0xFF, 'G', 'B', 0xD0, 'R', 0x30, 0x47,
                                0x89, 'I', 'M', 'F', 'P', '7',  '%'};
  for (uint8_t c : kFirst) t[c] = true;
  return t;
}();

// The search looks at every sector of a disk, most of them inside files or
// never written: a sector that starts with none of those bytes goes to the
// three tests alone. A zero byte needs the others only before an ISO media
// box or an MPEG pack.
bool NeedsEveryTest(Bytes s) {
  if (U8(s, 0) != 0) return kLeadingBytes[U8(s, 0)];
  return U8(s, 1) == 0 && (U8(s, 4) == 'f' || (U8(s, 2) == 1 && U8(s, 3) == 0xBA));
}

uint8_t ClassifyStart(Bytes s) {
  if (!s.empty() && !NeedsEveryTest(s)) {
    if (Verdict v = TestJet(s)) return *v;
    if (U8(s, 4) == kTsSync)
      if (Verdict v = TestTs192(s)) return *v;
    // The directory walk's first test, which most such sectors fail.
    if (s[0] != 0xE5 && (U8(s, 11) & 0xF0) > 0x30) return kNothing;
    return WalkFatDirectory(s, kNothing);
  }
  if (Verdict v = kLeadingTests(s)) return *v;
  const uint8_t tentative = MpegTentative(s);
  if (Verdict v = kTrailingTests(s)) return *v;
  if (Verdict v = TestNtfsFileRecord(s, tentative)) return *v;
  if (IsNtfsIndexRecord(s)) return kMetadata;
  return WalkFatDirectory(s, tentative);
}

// A compound file's directory may start in any 512-byte block of a larger
// sector; looked for only where nothing else was found.
bool HoldsRootDirectory(Bytes s) {
  for (size_t at = 0; at + 512 <= s.size(); at += 512) {
    if (IsRootDirectoryBlock(s.subspan(at, 512))) return true;
  }
  return false;
}

}  // namespace

uint8_t Classify(std::span<const uint8_t> block, uint32_t bytesPerSector) {
  const Bytes s = block.first(std::min<size_t>(bytesPerSector, block.size()));
  const uint8_t c = ClassifyStart(s);
  if (c == kNothing && HoldsRootDirectory(s)) return kOle2RootDirectory;
  return c;
}

}  // namespace tarnwick
