#include "scan/classify.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <random>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "support/test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using test::HaveTool;
using test::ShellQuote;

// A sector buffer as the scan holds it: 4096 bytes, of which the first
// bytesPerSector are the sector.
struct Block {
  std::vector<uint8_t> b = std::vector<uint8_t>(4096, 0);

  Block& Fill(uint8_t v) {
    std::fill(b.begin(), b.end(), v);
    return *this;
  }
  Block& Text(size_t off, std::string_view t) {
    std::copy(t.begin(), t.end(), b.begin() + static_cast<std::ptrdiff_t>(off));
    return *this;
  }
  Block& Raw(size_t off, std::initializer_list<uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<std::ptrdiff_t>(off));
    return *this;
  }
  Block& Le16(size_t off, uint16_t v) {
    b[off] = static_cast<uint8_t>(v);
    b[off + 1] = static_cast<uint8_t>(v >> 8);
    return *this;
  }
  Block& Le32(size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[off + i] = static_cast<uint8_t>(v >> (8 * i));
    return *this;
  }
  Block& Be32(size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[off + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
    return *this;
  }
  uint8_t Classify(uint32_t bytesPerSector = 512) const {
    return tarnwick::Classify(b, bytesPerSector);
  }
};

// ---------------------------------------------------------------------------
// Exact signatures

TEST(ClassifySignatures, JpegFirstMarkerDecidesBetweenOneAndTwo) {
  EXPECT_EQ(Block().Raw(0, {0xFF, 0xD8, 0xFF, 0xE0}).Classify(), kJpegApp);
  EXPECT_EQ(Block().Raw(0, {0xFF, 0xD8, 0xFF, 0xE1}).Classify(), kJpegApp);
  EXPECT_EQ(Block().Raw(0, {0xFF, 0xD8, 0xFF, 0xDB}).Classify(), kJpegOther);
  EXPECT_EQ(Block().Raw(0, {0xFF, 0xD8, 0xFF, 0xE2}).Classify(), kJpegOther);
  EXPECT_EQ(Block().Raw(0, {0xFF, 0xD8, 0xFE, 0xE0}).Classify(), kNothing);
}

TEST(ClassifySignatures, GifOfBothVersions) {
  EXPECT_EQ(Block().Text(0, "GIF89a").Classify(), kGif);
  EXPECT_EQ(Block().Text(0, "GIF87a").Classify(), kGif);
  EXPECT_EQ(Block().Text(0, "GIF88a").Classify(), kNothing);
}

TEST(ClassifySignatures, BitmapWithReservedWordsSetIsNothingAtOnce) {
  EXPECT_EQ(Block().Text(0, "BM").Le32(2, 70).Classify(), kBmp);
  // A FAT directory whose first entry is named "BMFILE  TXT": a valid
  // directory sector, but it begins "BM" with non-zero bytes at 6..9.
  Block dir;
  dir.Text(0, "BMFILE  TXT").Raw(11, {0x20}).Le16(24, (30 << 9) | (6 << 5) | 15);
  EXPECT_EQ(dir.Classify(), kNothing);
  dir.b[0] = 'C';
  EXPECT_EQ(dir.Classify(), kMetadata);
}

TEST(ClassifySignatures, Ole2AndJet) {
  EXPECT_EQ(Block().Raw(0, {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1}).Classify(), kOle2);
  EXPECT_EQ(Block().Raw(0, {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE0}).Classify(), kNothing);
  EXPECT_EQ(Block().Raw(0, {0, 1, 0, 0}).Text(4, "Standard Jet DB").Classify(), kJetDb);
  EXPECT_EQ(Block().Text(4, "Standard Jet D").Classify(), kNothing);
}

TEST(ClassifySignatures, RiffSubtypes) {
  auto riff = [](std::string_view sub) { return Block().Text(0, "RIFF").Text(8, sub).Classify(); };
  EXPECT_EQ(riff("AVI "), kRiffAvi);
  EXPECT_EQ(riff("CDXA"), kRiffCdxa);
  EXPECT_EQ(riff("WAVE"), kRiffWave);
  EXPECT_EQ(riff("ACON"), kRiffAcon);
  EXPECT_EQ(riff("cdr7"), kRiffCdr);
  EXPECT_EQ(riff("CDR9"), kRiffCdr);
  EXPECT_EQ(riff("cDrA"), kRiffCdr);
  EXPECT_EQ(riff("AVIX"), kNothing);
  EXPECT_EQ(riff("RMID"), kNothing);
  EXPECT_EQ(riff("wave"), kNothing);  // only the drawing subtype ignores case
  EXPECT_EQ(riff("CDQ7"), kNothing);
}

TEST(ClassifySignatures, RiffOfOtherKindStopsBeforeTheDirectoryWalk) {
  // Bytes 8..11 "AVIX" put 'X' (0x58) where a directory entry has its
  // attribute; use a subtype whose fourth byte is a plausible attribute.
  Block b;
  b.Text(0, "RIFFFILETXT").Raw(11, {0x20}).Le16(24, (30 << 9) | (1 << 5) | 1);
  EXPECT_EQ(b.Classify(), kNothing);
  b.b[0] = 'S';
  EXPECT_EQ(b.Classify(), kMetadata);
}

constexpr uint8_t kAsfHeader[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                    0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr uint8_t kAsfFileProps[16] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                       0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};

TEST(ClassifySignatures, AsfObjectOrder) {
  Block b;
  std::copy(std::begin(kAsfHeader), std::end(kAsfHeader), b.b.begin());
  std::copy(std::begin(kAsfFileProps), std::end(kAsfFileProps), b.b.begin() + 30);
  EXPECT_EQ(b.Classify(), kAsfHeaderFirst);
  b.b[30 + 3] = 0x00;  // another object first
  EXPECT_EQ(b.Classify(), kAsfOther);
}

TEST(ClassifySignatures, AsfGuidsCompareUpToTheirFirstZeroByte) {
  Block b;
  std::copy(std::begin(kAsfHeader), std::end(kAsfHeader), b.b.begin());
  std::copy(std::begin(kAsfFileProps), std::end(kAsfFileProps), b.b.begin() + 30);
  // Bytes after index 10 of either GUID are not compared.
  for (size_t i = 11; i < 16; ++i) {
    b.b[i] ^= 0x5A;
    b.b[30 + i] ^= 0x5A;
  }
  EXPECT_EQ(b.Classify(), kAsfHeaderFirst);
  b.b[30 + 10] = 0x01;  // the zero byte itself is compared
  EXPECT_EQ(b.Classify(), kAsfOther);
  b.b[10] = 0x01;
  EXPECT_EQ(b.Classify(), kNothing);
}

TEST(ClassifySignatures, IsoMediaBrands) {
  auto iso = [](std::string_view brand) {
    return Block().Be32(0, 0x20).Text(4, "ftyp").Text(8, brand).Classify();
  };
  EXPECT_EQ(iso("3gp4"), kIso3gp);
  EXPECT_EQ(iso("mp42"), kMp4);
  EXPECT_EQ(iso("isom"), kIsoOther);
  EXPECT_EQ(iso("qt  "), kIsoOther);
  // A first box of 64 KiB or more is not taken.
  EXPECT_EQ(Block().Be32(0, 0x10000).Text(4, "ftypmp42").Classify(), kNothing);
}

TEST(ClassifySignatures, LaterExactSignatures) {
  EXPECT_EQ(Block().Raw(0, {0x89, 'P', 'N', 'G', 0x0D, 0x0A}).Classify(), kPng);
  EXPECT_EQ(Block().Text(0, "ID3").Raw(3, {4}).Classify(), kMp3Id3);
  EXPECT_EQ(Block().Text(0, "FUJIFILMCCD-RAW ").Classify(), kRaf);
  EXPECT_EQ(Block().Text(0, "FUJIFILMCCD-RAW0").Classify(), kNothing);
  EXPECT_EQ(Block().Text(0, "%PDF-1.7").Classify(), kPdf);
  EXPECT_EQ(Block().Text(0, "%PDF1.7").Classify(), kNothing);
  EXPECT_EQ(Block().Text(0, "FOVb").Classify(), kX3f);
}

TEST(ClassifySignatures, TiffFamilyPatterns) {
  const std::vector<std::vector<uint8_t>> tiff = {
      {0x49, 0x49, 0x2A, 0x00}, {0x4D, 0x4D, 0x00, 0x2A}, {0x49, 0x49, 0x52, 0x4F},
      {0x4D, 0x4D, 0x4F, 0x52}, {0x49, 0x49, 0x55, 0x00}, {0x4D, 0x4D, 0x00, 0x55}};
  for (const auto& p : tiff) {
    Block b;
    std::copy(p.begin(), p.end(), b.b.begin());
    EXPECT_EQ(b.Classify(), kTiffRaw) << int(p[2]) << " " << int(p[3]);
  }
  // The big-endian patterns match in full across their zero byte.
  EXPECT_EQ(Block().Raw(0, {0x4D, 0x4D, 0x00, 0x2B}).Classify(), kNothing);
  EXPECT_EQ(Block().Raw(0, {0x49, 0x49, 0x2B, 0x00}).Classify(), kNothing);
}

TEST(ClassifySignatures, RarVersionFourOnly) {
  EXPECT_EQ(Block().Raw(0, {'R', 'a', 'r', '!', 0x1A, 0x07, 0x00, 0xCF}).Classify(), kRar);
  // RAR 5: 07 01 00.
  EXPECT_EQ(Block().Raw(0, {'R', 'a', 'r', '!', 0x1A, 0x07, 0x01, 0x00}).Classify(), kNothing);
}

TEST(ClassifySignatures, ZipFirstEntryName) {
  auto zip = [](std::string_view name) {
    return Block().Raw(0, {'P', 'K', 3, 4}).Text(30, name).Classify();
  };
  EXPECT_EQ(zip("[Content_Types].xml"), kOoxml);
  EXPECT_EQ(zip("content/riffData.cdr"), kZipCdr);
  EXPECT_EQ(zip("mimetype"), kZip);
  EXPECT_EQ(zip("[Content_Types].xm"), kZip);
  EXPECT_EQ(zip("content/riffData.cd"), kZip);
  EXPECT_EQ(Block().Raw(0, {'P', 'K', 5, 6}).Classify(), kNothing);
}

TEST(ClassifySignatures, CabinetAndSevenZipVersions) {
  EXPECT_EQ(Block().Text(0, "MSCF").Le16(24, 0x0103).Classify(), kCab);
  EXPECT_EQ(Block().Text(0, "MSCF").Le16(24, 0x0102).Classify(), kNothing);
  // A start header of the given version whose CRC covers its 20 bytes of fields.
  auto sevenZip = [](uint8_t major, uint8_t minor) {
    Block b;
    b.Raw(0, {0x37, 0x7A, 0xBC, 0xAF, 0x27, 0x1C, major, minor});
    b.Le32(12, 4000).Le32(20, 90).Le32(28, 0x12345678);
    b.Le32(8, static_cast<uint32_t>(crc32(0, b.b.data() + 12, 20)));
    return b;
  };
  for (uint8_t minor : {uint8_t{2}, uint8_t{3}, uint8_t{4}, uint8_t{9}})
    EXPECT_EQ(sevenZip(0, minor).Classify(), k7z) << int(minor);
  EXPECT_EQ(sevenZip(1, 0).Classify(), kNothing);
  Block torn = sevenZip(0, 4);
  torn.b[21] ^= 1;  // a next-header size the CRC does not cover
  EXPECT_EQ(torn.Classify(), kNothing);
}

// ---------------------------------------------------------------------------
// MPEG program-stream packs

// Packs encoded field by field as the stream formats lay them out.
Block Mpeg2Pack(uint64_t scr, uint16_t ext = 0) {
  Block b;
  b.Raw(0, {0x00, 0x00, 0x01, 0xBA});
  b.b[4] = static_cast<uint8_t>(0x40 | ((scr >> 30) & 7) << 3 | 0x04 | ((scr >> 28) & 3));
  b.b[5] = static_cast<uint8_t>(scr >> 20);
  b.b[6] = static_cast<uint8_t>(((scr >> 15) & 0x1F) << 3 | 0x04 | ((scr >> 13) & 3));
  b.b[7] = static_cast<uint8_t>(scr >> 5);
  b.b[8] = static_cast<uint8_t>((scr & 0x1F) << 3 | 0x04 | ((ext >> 7) & 3));
  b.b[9] = static_cast<uint8_t>((ext & 0x7F) << 1 | 1);
  b.Raw(10, {0x01, 0x89, 0xC3, 0xF8});  // mux rate, markers, stuffing length 0
  return b;
}

Block Mpeg1Pack(uint64_t scr) {
  Block b;
  b.Raw(0, {0x00, 0x00, 0x01, 0xBA});
  b.b[4] = static_cast<uint8_t>(0x20 | ((scr >> 30) & 7) << 1 | 1);
  b.b[5] = static_cast<uint8_t>(scr >> 22);
  b.b[6] = static_cast<uint8_t>(((scr >> 15) & 0x7F) << 1 | 1);
  b.b[7] = static_cast<uint8_t>(scr >> 7);
  b.b[8] = static_cast<uint8_t>((scr & 0x7F) << 1 | 1);
  b.Raw(9, {0x80, 0x1B, 0x91});  // mux rate with its markers
  return b;
}

TEST(PackScr, DecodesWhatTheEncoderWrote) {
  std::mt19937_64 rng(7);
  std::vector<uint64_t> values = {0, 1, 0x7FFF, 0x8000, 0x3FFFFFFF, 0x40000000, 0x1FFFFFFFF};
  for (int i = 0; i < 200; ++i) values.push_back(rng() & 0x1FFFFFFFF);
  for (uint64_t scr : values) {
    const Block two = Mpeg2Pack(scr, static_cast<uint16_t>(scr % 300));
    const PackScr p2 = Mpeg2PackScr(two.b);
    EXPECT_TRUE(p2.valid);
    EXPECT_EQ(p2.scr, scr);
    const PackScr p1 = Mpeg1PackScr(Mpeg1Pack(scr).b);
    EXPECT_TRUE(p1.valid);
    EXPECT_EQ(p1.scr, scr);
  }
}

TEST(PackScr, AnyClearMarkerBitMakesThePackInvalid) {
  struct Marker {
    size_t byte;
    uint8_t bit;
  };
  for (Marker m : {Marker{4, 0x04}, Marker{6, 0x04}, Marker{8, 0x04}}) {
    Block b = Mpeg2Pack(0);
    b.b[m.byte] &= static_cast<uint8_t>(~m.bit);
    EXPECT_FALSE(Mpeg2PackScr(b.b).valid) << m.byte;
    EXPECT_EQ(b.Classify(), kNothing) << m.byte;
  }
  for (Marker m : {Marker{4, 0x01}, Marker{6, 0x01}, Marker{8, 0x01}}) {
    Block b = Mpeg1Pack(0);
    b.b[m.byte] &= static_cast<uint8_t>(~m.bit);
    EXPECT_FALSE(Mpeg1PackScr(b.b).valid) << m.byte;
    EXPECT_EQ(b.Classify(), kNothing) << m.byte;
  }
  // Too short to hold the clock reference.
  const uint8_t shortPack[] = {0x00, 0x00, 0x01, 0xBA, 0x44, 0, 4, 0, 4, 1, 1};
  EXPECT_FALSE(Mpeg2PackScr(shortPack).valid);
  EXPECT_FALSE(Mpeg1PackScr(std::span<const uint8_t>()).valid);
}

TEST(PackScr, Mpeg1PrefixThreeSetsBit33) {
  Block b = Mpeg1Pack(0);
  b.b[4] |= 0x10;  // 0011 instead of 0010: still taken as MPEG-1
  const PackScr p = Mpeg1PackScr(b.b);
  EXPECT_TRUE(p.valid);
  EXPECT_EQ(p.scr, uint64_t{1} << 33);
  EXPECT_EQ(b.Classify(), kMpeg1ScrOther);
}

TEST(ClassifyMpeg, Mpeg2ClockReferenceBounds) {
  EXPECT_EQ(Mpeg2Pack(0).Classify(), kMpeg2Scr0);
  EXPECT_EQ(Mpeg2Pack(0, 299).Classify(), kMpeg2Scr0);  // the extension does not count
  EXPECT_EQ(Mpeg2Pack(1).Classify(), kMpeg2ScrLow);
  EXPECT_EQ(Mpeg2Pack(319999).Classify(), kMpeg2ScrLow);
  EXPECT_EQ(Mpeg2Pack(320000).Classify(), kNothing);
  EXPECT_EQ(Mpeg2Pack(0x1FFFFFFFF).Classify(), kNothing);
}

TEST(ClassifyMpeg, Mpeg1HasNoUpperBound) {
  EXPECT_EQ(Mpeg1Pack(0).Classify(), kMpeg1Scr0);
  EXPECT_EQ(Mpeg1Pack(1).Classify(), kMpeg1ScrOther);
  EXPECT_EQ(Mpeg1Pack(0x1FFFFFFFF).Classify(), kMpeg1ScrOther);
}

TEST(ClassifyMpeg, OtherPackPrefixesGiveNothing) {
  Block b = Mpeg1Pack(0);
  b.b[4] = static_cast<uint8_t>((b.b[4] & 0x0F) | 0x80);
  EXPECT_EQ(b.Classify(), kNothing);
  Block c = Mpeg2Pack(0);
  c.b[3] = 0xBB;  // system header, not a pack
  EXPECT_EQ(c.Classify(), kNothing);
}

TEST(ClassifyMpeg, TentativeResultComesBackFromTheDirectoryWalk) {
  // Whether the rest of the sector is empty or not, a pack that no later
  // test claims keeps its answer.
  Block b = Mpeg2Pack(12345);
  EXPECT_EQ(b.Classify(), kMpeg2ScrLow);
  b.Text(200, "payload bytes");
  EXPECT_EQ(b.Classify(), kMpeg2ScrLow);
  Block c = Mpeg1Pack(0);
  std::fill(c.b.begin() + 32, c.b.end(), uint8_t{0xE5});
  EXPECT_EQ(c.Classify(), kMpeg1Scr0);
}

// ---------------------------------------------------------------------------
// Transport streams

Block Ts192(uint32_t w0, uint32_t w1, uint32_t w2) {
  Block b;
  b.Be32(0, w0).Raw(4, {'G', 0x40, 0x00, 0x10});
  b.Be32(192, w1).Raw(196, {'G', 0x01, 0x00, 0x11});
  b.Be32(384, w2).Raw(388, {'G', 0x01, 0x00, 0x12});
  return b;
}

TEST(ClassifyTransportStream, ArrivalStepBounds) {
  EXPECT_EQ(Ts192(0, 1, 2).Classify(), kTs192Start);
  EXPECT_EQ(Ts192(0, 3200000, 6400000).Classify(), kTs192Start);
  EXPECT_EQ(Ts192(0, 3200001, 3200002).Classify(), kNothing);
  EXPECT_EQ(Ts192(0, 1000, 1000 + 3200001).Classify(), kNothing);
  EXPECT_EQ(Ts192(0, 0, 1000).Classify(), kNothing);       // d1 == 0
  EXPECT_EQ(Ts192(0, 1000, 1000).Classify(), kNothing);    // d2 == 0
  EXPECT_EQ(Ts192(1000, 999, 2000).Classify(), kNothing);  // backwards: a huge step
}

TEST(ClassifyTransportStream, ArrivalStampWrapsAndCopyBitsAreIgnored) {
  EXPECT_EQ(Ts192(0x3FFFFF00, 0x00000100, 0x00000200).Classify(), kTs192Mid);
  // Copy-permission bits in the top two bits: masked off for the steps, but
  // a non-zero first word is not a stream start.
  EXPECT_EQ(Ts192(0xC0000000, 0x00000064, 0x400000C8).Classify(), kTs192Mid);
  EXPECT_EQ(Ts192(0x40000000, 0x40000100, 0x40000200).Classify(), kTs192Mid);
  EXPECT_EQ(Ts192(1, 101, 201).Classify(), kTs192Mid);
}

TEST(ClassifyTransportStream, SyncBytesOf192BytePackets) {
  Block b = Ts192(0, 100, 200);
  b.b[196] = 0x46;
  EXPECT_EQ(b.Classify(), kNothing);
}

TEST(ClassifyTransportStream, PlainPackets) {
  Block b;
  b.Raw(0, {'G', 0x40, 0x00, 0x10})
      .Raw(188, {'G', 0x01, 0x00, 0x11})
      .Raw(376, {'G', 0x01, 0, 0x12});
  EXPECT_EQ(b.Classify(), kTs188);
  Block g = b;
  g.b[377] = 'G';
  EXPECT_EQ(g.Classify(), kNothing);
  Block h = b;
  h.b[188] = 0;
  EXPECT_EQ(h.Classify(), kNothing);
}

// ---------------------------------------------------------------------------
// Sector size and bounds

TEST(ClassifyBounds, FixedOffsetsStayInsideTheSector) {
  Block b;
  b.Raw(0, {'G', 0x40, 0x00, 0x10})
      .Raw(188, {'G', 0x01, 0x00, 0x11})
      .Raw(376, {'G', 0x01, 0, 0x12});
  EXPECT_EQ(b.Classify(512), kTs188);
  EXPECT_EQ(b.Classify(256), kNothing);  // byte 376 lies past a 256-byte sector
  // A sector size beyond the buffer is the buffer.
  EXPECT_EQ(b.Classify(65536), kTs188);
}

TEST(ClassifyBounds, ShortBuffersAreReadSafely) {
  const uint8_t jpeg[] = {0xFF, 0xD8, 0xFF};
  EXPECT_EQ(Classify(jpeg, 512), kJpegOther);
  const uint8_t riff[] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'A', 'V'};
  EXPECT_EQ(Classify(riff, 512), kNothing);
  const uint8_t file[] = {'F', 'I', 'L', 'E', 48, 0, 3, 0};
  EXPECT_EQ(Classify(file, 512), kNothing);
  const uint8_t pack[] = {0x00, 0x00, 0x01, 0xBA, 0x44};
  EXPECT_EQ(Classify(pack, 512), kNothing);
  EXPECT_EQ(Classify(std::span<const uint8_t>(), 512), kNothing);
  Block b;
  b.Fill(0xE5);
  EXPECT_EQ(b.Classify(0), kNothing);
}

// ---------------------------------------------------------------------------
// NTFS records

Block FileRecord(uint16_t usaOffset, uint16_t usaCount, uint16_t firstAttribute) {
  Block b;
  b.Text(0, "FILE").Le16(4, usaOffset).Le16(6, usaCount).Le16(16, 1).Le16(18, 1);
  b.Le16(20, firstAttribute).Le16(22, 1).Le32(24, 400).Le32(28, 1024);
  b.Le32(firstAttribute, 16).Le32(firstAttribute + 4u, 96);
  return b;
}

TEST(ClassifyNtfs, FileRecordWithPlausibleFirstAttribute) {
  EXPECT_EQ(FileRecord(48, 3, 56).Classify(), kMetadata);
  EXPECT_EQ(FileRecord(48, 9, 56).Classify(), kNothing);   // 48 + 9 > 56
  EXPECT_EQ(FileRecord(48, 8, 56).Classify(), kMetadata);  // 48 + 8 = 56
  EXPECT_EQ(FileRecord(48, 3, 56).Le32(56, 0xFFFFFFFF).Le32(60, 0).Classify(), kMetadata);
  EXPECT_EQ(FileRecord(48, 3, 56).Le32(56, 512).Le32(60, 4096).Classify(), kMetadata);
  EXPECT_EQ(FileRecord(48, 3, 56).Le32(56, 513).Classify(), kNothing);
  EXPECT_EQ(FileRecord(48, 3, 56).Le32(56, 15).Classify(), kNothing);
  EXPECT_EQ(FileRecord(48, 3, 56).Le32(60, 4097).Classify(), kNothing);
  EXPECT_EQ(FileRecord(48, 3, 56).Le32(60, 7).Classify(), kNothing);
}

TEST(ClassifyNtfs, FileRecordHeaderLimits) {
  EXPECT_EQ(FileRecord(40, 1, 48).Classify(), kMetadata);
  EXPECT_EQ(FileRecord(96, 0, 96).Classify(), kNothing);
  EXPECT_EQ(FileRecord(39, 3, 56).Classify(), kNothing);
  EXPECT_EQ(FileRecord(97, 3, 56).Classify(), kNothing);
  EXPECT_EQ(FileRecord(48, 97, 56).Classify(), kNothing);
  EXPECT_EQ(FileRecord(40, 3, 47).Classify(), kNothing);
  EXPECT_EQ(FileRecord(40, 3, 98).Classify(), kNothing);
  EXPECT_EQ(FileRecord(48, 3, 56).Le32(24, 1025).Classify(), kNothing);  // in use > allocated
  EXPECT_EQ(FileRecord(48, 3, 56).Le32(24, 1024).Classify(), kMetadata);
  EXPECT_EQ(FileRecord(48, 3, 56).Le32(24, 0).Le32(28, 0).Classify(), kNothing);
  EXPECT_EQ(FileRecord(48, 3, 56).Le32(28, 1000).Classify(), kNothing);
  EXPECT_EQ(FileRecord(48, 3, 56).Le32(28, 4096).Classify(), kMetadata);
}

Block IndexRecord(uint32_t entriesSize, uint32_t entriesAllocated) {
  Block b;
  b.Text(0, "INDX").Le16(4, 40).Le16(6, 9).Le32(24, 40).Le32(28, entriesSize);
  b.Le32(32, entriesAllocated);
  return b;
}

TEST(ClassifyNtfs, IndexRecordAllocatedSize) {
  EXPECT_EQ(IndexRecord(1232, 4072).Classify(4096), kMetadata);
  EXPECT_EQ(IndexRecord(1232, 4000).Classify(4096), kNothing);
  EXPECT_EQ(IndexRecord(100, 488).Classify(), kMetadata);
  EXPECT_EQ(IndexRecord(4073, 4072).Classify(), kNothing);
  EXPECT_EQ(IndexRecord(0, 0).Classify(), kNothing);
  EXPECT_EQ(IndexRecord(10, 4072).Le16(4, 39).Classify(), kNothing);
  EXPECT_EQ(IndexRecord(10, 4072).Le16(6, 0).Classify(), kNothing);
  EXPECT_EQ(IndexRecord(10, 4072).Le16(6, 97).Classify(), kNothing);
}

// ---------------------------------------------------------------------------
// FAT directory sectors

uint16_t FatDate(unsigned yearField, unsigned month, unsigned day) {
  return static_cast<uint16_t>(yearField << 9 | month << 5 | day);
}

void PutEntry(Block& b, size_t off, std::string_view name11, uint8_t attribute = 0x20,
              uint16_t date = FatDate(44, 6, 1), uint32_t size = 1234) {
  b.Text(off, name11).Raw(off + 11, {attribute}).Le16(off + 14, 0x5A3C);
  b.Le16(off + 16, date).Le16(off + 18, date).Le16(off + 22, 0x6000);
  b.Le16(off + 24, date).Le16(off + 26, 3).Le32(off + 28, size);
}

void PutLongNameEntry(Block& b, size_t off, uint8_t sequence) {
  b.Raw(off, {sequence, 'a', 0, 'b', 0, 'c', 0, 'd', 0, 'e', 0, 0x0F, 0x00, 0x7C});
  for (size_t i = 14; i < 32; ++i) b.b[off + i] = 0xFF;
  b.Le16(off + 26, 0);
}

TEST(ClassifyFatDirectory, EmptyAndFreshlyFormattedSectors) {
  EXPECT_EQ(Block().Classify(512), kNothing);
  EXPECT_EQ(Block().Classify(4096), kNothing);
  EXPECT_EQ(Block().Fill(0xE5).Classify(512), kMetadata);
  EXPECT_EQ(Block().Fill(0xE5).Classify(4096), kMetadata);
  Block one;
  PutEntry(one, 0, "README  TXT");
  one.b[0] = 0xE5;  // a single deleted entry scores 1
  EXPECT_EQ(one.Classify(), kNothing);
  PutEntry(one, 32, "NOTES   TXT");
  one.b[32] = 0xE5;
  EXPECT_EQ(one.Classify(), kMetadata);
}

TEST(ClassifyFatDirectory, OnlyUnusedEntriesFollowTheEndOfADirectory) {
  Block dir;
  PutEntry(dir, 0, "README  TXT");
  PutEntry(dir, 32, "NOTES   TXT");
  EXPECT_EQ(dir.Classify(), kMetadata);  // the end at entry 2, zeros after it
  dir.b[320] = 'X';                      // something in an entry past the end
  EXPECT_EQ(dir.Classify(), kNothing);
  // A lone deleted entry before the end scores too little, whatever follows.
  Block one;
  PutEntry(one, 0, "README  TXT");
  one.b[0] = 0xE5;
  EXPECT_EQ(one.Classify(), kNothing);
  PutEntry(one, 64, "NOTES   TXT");
  EXPECT_EQ(one.Classify(), kNothing);
}

// Chinese chat text in UTF-8 whose lead bytes E5 fall at 32-byte steps,
// padded with zeros like the end of a stream: every entry begins with E5,
// and none is a directory entry.
TEST(ClassifyFatDirectory, TextWhoseEntriesBeginWithE5IsNotADirectory) {
  const std::string hao = "\xE5\xA5\xBD";  // lead byte E5
  const std::string zai = "\xE5\x9C\xA8";  // lead byte E5
  const std::string wo = "\xE6\x88\x91";   // lead byte E6
  std::vector<std::string> entries = {
      hao + wo + wo + wo + wo + wo + wo + wo + wo + wo + "ok",  // CJK only
      zai + "12:30 see u!" + wo + wo + wo + wo + wo + ", ",     // with ASCII
      hao + "0000000000  " + wo + wo + wo + wo + wo + ".\n",    // digits over the reserved bytes
  };
  for (const std::string& entry : entries) ASSERT_EQ(entry.size(), 32u);
  for (size_t first = 0; first < entries.size(); ++first) {
    Block b;
    for (size_t e = 0; e < 6; ++e) b.Text(32 * e, entries[(first + e) % entries.size()]);
    b.Text(32 * 6, hao + "!!");  // the stream's last bytes, then zeros
    EXPECT_EQ(b.Classify(), kNothing) << first;
  }
}

TEST(ClassifyFatDirectory, DeletedEntriesKeepTheirFieldsInRange) {
  Block base;
  PutEntry(base, 0, "README  TXT");
  PutEntry(base, 32, "OTHER   BIN");
  base.Le16(32 + 26, 9).Le32(32 + 28, 70000);  // first cluster and size
  base.b[0] = base.b[32] = 0xE5;
  ASSERT_EQ(base.Classify(), kMetadata);
  struct Case {
    const char* what;
    size_t at;
    uint32_t value;
    int bytes;
  };
  for (Case c :
       {Case{"attribute with bit 7", 32 + 11, 0xA0, 1}, Case{"reserved byte", 32 + 12, 0x41, 1},
        Case{"creation hundredths of 200", 32 + 13, 200, 1},
        Case{"write time hour 24", 32 + 22, 24u << 11, 2},
        Case{"write date month 13", 32 + 24, (30u << 9) | (13u << 5) | 1, 2},
        Case{"cluster above 28 bits", 32 + 20, 0x1000, 2}, Case{"cluster 1", 32 + 26, 1, 2},
        Case{"a size without a cluster", 32 + 26, 0, 2}}) {
    Block b = base;
    if (c.bytes == 1)
      b.b[c.at] = static_cast<uint8_t>(c.value);
    else
      b.Le16(c.at, static_cast<uint16_t>(c.value));
    EXPECT_EQ(b.Classify(), kNothing) << c.what;
  }
  Block dir = base;
  dir.b[32 + 11] = 0x10;  // a deleted directory has no size
  EXPECT_EQ(dir.Classify(), kNothing);
  dir.Le32(32 + 28, 0);
  EXPECT_EQ(dir.Classify(), kMetadata);
  // A deleted long-name part: type 0 and first cluster 0.
  Block lfn;
  PutLongNameEntry(lfn, 0, 0xE5);
  PutLongNameEntry(lfn, 32, 0xE5);
  EXPECT_EQ(lfn.Classify(), kMetadata);
  lfn.Le16(32 + 26, 5);
  EXPECT_EQ(lfn.Classify(), kNothing);
}

TEST(ClassifyFatDirectory, EntriesAndTheEndOfTheDirectory) {
  Block b;
  PutEntry(b, 0, "README  TXT");
  EXPECT_EQ(b.Classify(), kMetadata);
  b.b[32 * 5] = 'X';  // something after the end marker
  EXPECT_EQ(b.Classify(), kNothing);
  b.b[32 * 5] = 0;
  b.b[32 * 5 + 1] = 'X';  // only first bytes are looked at after the end
  EXPECT_EQ(b.Classify(), kMetadata);
}

TEST(ClassifyFatDirectory, LongNameEntriesDoNotScore) {
  Block lfn;
  PutLongNameEntry(lfn, 0, 0x42);
  PutLongNameEntry(lfn, 32, 0x01);
  EXPECT_EQ(lfn.Classify(), kNothing);
  PutEntry(lfn, 64, "ABCDEF~1TXT");
  EXPECT_EQ(lfn.Classify(), kMetadata);
}

TEST(ClassifyFatDirectory, DateFields) {
  auto withDate = [](uint16_t date) {
    Block b;
    PutEntry(b, 0, "PHOTO   JPG", 0x20, date);
    return b.Classify();
  };
  EXPECT_EQ(withDate(FatDate(4, 6, 1)), kNothing);  // 1984
  EXPECT_EQ(withDate(FatDate(5, 6, 1)), kMetadata);
  EXPECT_EQ(withDate(FatDate(127, 12, 31)), kMetadata);
  EXPECT_EQ(withDate(FatDate(30, 0, 1)), kNothing);
  EXPECT_EQ(withDate(FatDate(30, 13, 1)), kNothing);
  EXPECT_EQ(withDate(FatDate(30, 1, 0)), kNothing);
}

TEST(ClassifyFatDirectory, AttributesAndDirectorySizes) {
  auto withAttr = [](uint8_t attribute, uint32_t size) {
    Block b;
    PutEntry(b, 0, "FOLDER     ", attribute, FatDate(40, 3, 3), size);
    return b.Classify();
  };
  EXPECT_EQ(withAttr(0x10, 0), kMetadata);
  EXPECT_EQ(withAttr(0x10, 4096), kNothing);
  EXPECT_EQ(withAttr(0x30, 0), kMetadata);
  EXPECT_EQ(withAttr(0x20, 4096), kMetadata);
  EXPECT_EQ(withAttr(0x08, 0), kMetadata);  // volume label
  EXPECT_EQ(withAttr(0x37, 0), kMetadata);  // high nibble 0x30 is the largest allowed
  EXPECT_EQ(withAttr(0x40, 0), kNothing);
  EXPECT_EQ(withAttr(0x80, 0), kNothing);
}

TEST(ClassifyFatDirectory, NameBytes) {
  auto withName = [](std::string_view name) {
    Block b;
    PutEntry(b, 0, name);
    return b.Classify();
  };
  EXPECT_EQ(withName("GOOD    TXT"), kMetadata);
  EXPECT_EQ(withName("BA?D    TXT"), kNothing);
  EXPECT_EQ(withName("BAD|    TXT"), kNothing);
  EXPECT_EQ(withName("BAD     TX*"), kNothing);  // the last byte of the extension
  EXPECT_EQ(withName("BAD     TX\xFF"), kNothing);
  EXPECT_EQ(withName(std::string_view("BA\x05"
                                      "D    TXT",
                                      11)),
            kNothing);
  EXPECT_EQ(withName(" BAD    TXT"), kNothing);  // first byte 0x20
  EXPECT_EQ(withName(std::string_view("\x05"
                                      "BAD    TXT",
                                      11)),
            kNothing);
  EXPECT_EQ(withName("*OK     TXT"), kMetadata);  // the first byte is only checked above 0x20
  EXPECT_EQ(withName("\xB0\xA1\xC4\xE3    TXT"), kMetadata);  // GBK name bytes
}

TEST(ClassifyFatDirectory, WholeSectorIsWalked) {
  Block b;
  PutEntry(b, 0, "FIRST   TXT");
  b.b[3072] = 'Z';  // past 512, inside a 4096-byte sector
  EXPECT_EQ(b.Classify(512), kMetadata);
  EXPECT_EQ(b.Classify(4096), kNothing);
  Block full;
  for (size_t e = 0; e < 4096; e += 32) PutEntry(full, e, "ENTRY   DAT");
  EXPECT_EQ(full.Classify(4096), kMetadata);
  full.b[4064 + 11] = 0x40;  // the last entry of the sector
  EXPECT_EQ(full.Classify(4096), kNothing);
  EXPECT_EQ(full.Classify(2048), kMetadata);
}

// ---------------------------------------------------------------------------
// Whole-domain checks

TEST(IsNameChar, AllBytes) {
  const std::string_view forbidden = "\\/:*?\"<>|";
  int accepted = 0;
  for (int c = 0; c < 256; ++c) {
    const bool expected =
        c >= 0x20 && c != 0xFF && forbidden.find(static_cast<char>(c)) == std::string_view::npos;
    EXPECT_EQ(IsNameChar(static_cast<uint8_t>(c)), expected) << c;
    accepted += IsNameChar(static_cast<uint8_t>(c)) ? 1 : 0;
  }
  EXPECT_EQ(accepted, 256 - 32 - 1 - 9);
}

TEST(ClassifyRandom, RandomSectorsAreMostlyNothing) {
  std::mt19937 rng(0x7A5E11u);
  int recognised = 0;
  constexpr int kSectors = 4000;
  Block b;
  for (int i = 0; i < kSectors; ++i) {
    for (size_t j = 0; j < b.b.size(); j += 4) {
      const uint32_t r = static_cast<uint32_t>(rng());
      for (size_t k = 0; k < 4; ++k) b.b[j + k] = static_cast<uint8_t>(r >> (8 * k));
    }
    if (b.Classify(i % 2 == 0 ? 512 : 4096) != kNothing) ++recognised;
  }
  EXPECT_LE(recognised, kSectors / 100);
}

// ---------------------------------------------------------------------------
// Sectors of files and file systems made by real tools

class RealFiles : public ::testing::Test {
 protected:
  test::TempDir dir{"classify"};

  std::string P(const std::string& name) const { return ShellQuote((dir / name).string()); }

  void Must(const std::string& command) {
    const test::CommandResult r = test::Run(command);
    ASSERT_EQ(r.Status, 0) << command << "\n" << r.Err;
  }

  // The sector of a file at a byte offset, as phase 1 would hold it.
  Block SectorOf(const std::string& name, uint64_t offset = 0, size_t size = 4096) const {
    const std::vector<uint8_t> bytes = test::ReadFileBytes(dir / name);
    Block b;
    if (offset < bytes.size()) {
      const size_t n = std::min<size_t>(size, bytes.size() - offset);
      std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), n, b.b.begin());
    }
    return b;
  }

  void WriteText(const std::string& name, const std::string& text) {
    test::WriteFileBytes(dir / name, std::vector<uint8_t>(text.begin(), text.end()));
  }
};

#define REQUIRE_TOOL(t) \
  if (!HaveTool(t)) GTEST_SKIP() << t " is not installed"

TEST_F(RealFiles, ImageMagickPictures) {
  REQUIRE_TOOL("convert");
  Must("convert -size 64x48 gradient:red-blue " + P("p.jpg"));
  Must("convert -size 64x48 gradient:red-blue " + P("p.png"));
  Must("convert -size 64x48 gradient:red-blue " + P("p.gif"));
  Must("convert -size 64x48 gradient:red-blue " + P("p.bmp"));
  Must("convert -size 64x48 gradient:red-blue BMP3:" + P("p3.bmp"));
  Must("convert -size 64x48 gradient:red-blue -endian LSB " + P("p.tif"));
  Must("convert -size 64x48 gradient:red-blue -endian MSB " + P("pm.tif"));
  EXPECT_EQ(SectorOf("p.jpg").Classify(), kJpegApp);
  EXPECT_EQ(SectorOf("p.png").Classify(), kPng);
  EXPECT_EQ(SectorOf("p.gif").Classify(), kGif);
  EXPECT_EQ(SectorOf("p.bmp").Classify(), kBmp);
  EXPECT_EQ(SectorOf("p3.bmp").Classify(), kBmp);
  EXPECT_EQ(SectorOf("p.tif").Classify(), kTiffRaw);
  EXPECT_EQ(SectorOf("pm.tif").Classify(), kTiffRaw);
  // A sector from inside the bitmap's pixels is no file start.
  EXPECT_EQ(SectorOf("p.bmp", 4096, 512).Classify(), kNothing);
}

TEST_F(RealFiles, ZipPackages) {
  REQUIRE_TOOL("zip");
  WriteText("notes.txt", "some notes\n");
  WriteText("[Content_Types].xml", "<?xml version=\"1.0\"?><Types/>\n");
  Must("mkdir -p " + P("content") + " && printf 'RIFF' > " + P("content/riffData.cdr"));
  Must("cd " + ShellQuote(dir.Path().string()) + " && zip -q -X plain.zip notes.txt");
  Must("cd " + ShellQuote(dir.Path().string()) +
       " && zip -q -X office.zip '[Content_Types].xml' notes.txt");
  Must("cd " + ShellQuote(dir.Path().string()) +
       " && zip -q -X drawing.zip content/riffData.cdr notes.txt");
  EXPECT_EQ(SectorOf("plain.zip").Classify(), kZip);
  EXPECT_EQ(SectorOf("office.zip").Classify(), kOoxml);
  EXPECT_EQ(SectorOf("drawing.zip").Classify(), kZipCdr);
}

TEST_F(RealFiles, SevenZipOfTheVersionP7zipWrites) {
  REQUIRE_TOOL("7z");
  WriteText("notes.txt", "some notes\n");
  Must("7z a -bd " + P("a.7z") + " " + P("notes.txt"));
  Block b = SectorOf("a.7z");
  ASSERT_EQ(b.b[0], 0x37);
  ASSERT_EQ(b.b[6], 0x00);
  EXPECT_EQ(b.Classify(), k7z) << "format version 0." << int(b.b[7]);
  b.b[12] ^= 0x40;  // the next-header offset, no longer what the CRC covers
  EXPECT_EQ(b.Classify(), kNothing);
}

TEST_F(RealFiles, Cabinet) {
  REQUIRE_TOOL("gcab");
  WriteText("notes.txt", "some notes\n");
  Must("cd " + ShellQuote(dir.Path().string()) + " && gcab -c a.cab notes.txt");
  EXPECT_EQ(SectorOf("a.cab").Classify(), kCab);
}

TEST_F(RealFiles, Pdf) {
  REQUIRE_TOOL("qpdf");
  Must("qpdf --empty " + P("e.pdf"));
  EXPECT_EQ(SectorOf("e.pdf").Classify(), kPdf);
}

TEST_F(RealFiles, CompoundFile) {
  REQUIRE_TOOL("gsf");
  WriteText("Matrix.dat", std::string(5000, 'm'));
  WriteText("seqbase.dat", std::string(300, 's'));
  Must("cd " + ShellQuote(dir.Path().string()) + " && gsf createole q.ole Matrix.dat seqbase.dat");
  EXPECT_EQ(SectorOf("q.ole").Classify(), kOle2);
}

// The root directory sectors of a FAT image as The Sleuth Kit reports them.
bool RootDirectoryRange(const std::string& image, uint64_t& first, uint64_t& last) {
  const test::CommandResult r = test::Run("fsstat " + ShellQuote(image));
  std::smatch m;
  static const std::regex kRoot(R"(\* Root Directory: (\d+) - (\d+))");
  if (r.Status != 0 || !std::regex_search(r.Out, m, kRoot)) return false;
  first = std::stoull(m[1]);
  last = std::stoull(m[2]);
  return true;
}

TEST_F(RealFiles, FatRootDirectorySectors) {
  REQUIRE_TOOL("mkfs.vfat");
  REQUIRE_TOOL("mcopy");
  REQUIRE_TOOL("fsstat");
  WriteText("Long file name one.txt", "first file\n");
  WriteText("SHORT.TXT", "second\n");
  WriteText("another picture.jpg", std::string(3000, 'x'));
  for (uint32_t bps : {512u, 4096u}) {
    SCOPED_TRACE(bps);
    const std::string img = "fat" + std::to_string(bps) + ".img";
    Must("mkfs.vfat -S " + std::to_string(bps) + " -C " + P(img) + " 4096 >/dev/null");
    Must("mmd -i " + P(img) + " ::/Some\\ Folder");
    Must("mcopy -i " + P(img) + " " + P("Long file name one.txt") + " " + P("SHORT.TXT") + " " +
         P("another picture.jpg") + " ::");
    Must("mcopy -i " + P(img) + " " + P("SHORT.TXT") + " ::/Some\\ Folder/");
    uint64_t first = 0, last = 0;
    ASSERT_TRUE(RootDirectoryRange((dir / img).string(), first, last));
    EXPECT_EQ(SectorOf(img, first * bps, bps).Classify(bps), kMetadata);
    // The rest of the root directory is unused: zero sectors are nothing.
    EXPECT_EQ(SectorOf(img, last * bps, bps).Classify(bps), kNothing);
    // Deleting the files leaves E5 entries and long-name parts behind.
    Must("mdel -i " + P(img) + " ::/SHORT.TXT ::/another\\ picture.jpg");
    EXPECT_EQ(SectorOf(img, first * bps, bps).Classify(bps), kMetadata);
    // With everything deleted only E5 entries are left, and still count.
    Must("mdel -i " + P(img) + " ::/Long\\ file\\ name\\ one.txt ::/Some\\ Folder/SHORT.TXT");
    Must("mrd -i " + P(img) + " ::/Some\\ Folder");
    const Block root = SectorOf(img, first * bps, bps);
    for (size_t e = 0; e < 32 * 6; e += 32) ASSERT_EQ(root.b[e], 0xE5) << e;
    EXPECT_EQ(root.Classify(bps), kMetadata);
  }
}

TEST_F(RealFiles, FatSubdirectoryAndDataSectors) {
  REQUIRE_TOOL("mkfs.vfat");
  REQUIRE_TOOL("mcopy");
  REQUIRE_TOOL("istat");
  REQUIRE_TOOL("ifind");
  WriteText("hello.txt", "hello world\n");
  Must("mkfs.vfat -C " + P("f.img") + " 2048 >/dev/null");
  Must("mmd -i " + P("f.img") + " ::/SUB");
  Must("mcopy -i " + P("f.img") + " " + P("hello.txt") + " ::/SUB/");
  // The subdirectory's first sector (its . and .. entries and the file) and
  // the file's data sector, located by The Sleuth Kit.
  auto firstSector = [&](const std::string& path) -> uint64_t {
    const test::CommandResult inode = test::Run("ifind -n " + ShellQuote(path) + " " + P("f.img"));
    EXPECT_EQ(inode.Status, 0) << inode.Err;
    std::string number = inode.Out;
    while (!number.empty() && std::isspace(static_cast<unsigned char>(number.back()))) {
      number.pop_back();
    }
    const test::CommandResult st = test::Run("istat " + P("f.img") + " " + ShellQuote(number));
    std::smatch m;
    static const std::regex kSectors(R"(Sectors:\s*\n\s*(\d+))");
    EXPECT_TRUE(std::regex_search(st.Out, m, kSectors)) << st.Out;
    return m.empty() ? 0 : std::stoull(m[1]);
  };
  const uint64_t sub = firstSector("/SUB");
  const uint64_t data = firstSector("/SUB/hello.txt");
  ASSERT_GT(sub, 0u);
  ASSERT_GT(data, 0u);
  EXPECT_EQ(SectorOf("f.img", sub * 512, 512).Classify(), kMetadata);
  EXPECT_EQ(SectorOf("f.img", data * 512, 512).Classify(), kNothing);
}

struct NtfsLayout {
  uint64_t clusterSize = 0;
  uint64_t mftCluster = 0;
};

NtfsLayout ReadNtfsLayout(const Block& boot) {
  const uint64_t bps = boot.b[11] | boot.b[12] << 8;
  NtfsLayout l;
  l.clusterSize = bps * boot.b[13];
  for (int i = 0; i < 8; ++i) l.mftCluster |= uint64_t{boot.b[48 + i]} << (8 * i);
  return l;
}

TEST_F(RealFiles, NtfsFileAndIndexRecords) {
  REQUIRE_TOOL("mkfs.ntfs");
  REQUIRE_TOOL("fsstat");
  REQUIRE_TOOL("istat");
  for (uint32_t bps : {512u, 4096u}) {
    SCOPED_TRACE(bps);
    const std::string img = "ntfs" + std::to_string(bps) + ".img";
    Must("truncate -s 16M " + P(img));
    Must("mkfs.ntfs -F -f -q -s " + std::to_string(bps) + " " + P(img) + " >/dev/null 2>&1");
    const NtfsLayout l = ReadNtfsLayout(SectorOf(img, 0, 512));
    // The Sleuth Kit agrees on where the MFT is.
    const test::CommandResult fs = test::Run("fsstat " + P(img));
    ASSERT_NE(fs.Out.find("First Cluster of MFT: " + std::to_string(l.mftCluster) + "\n"),
              std::string::npos)
        << fs.Out;
    const uint64_t mft = l.mftCluster * l.clusterSize;
    const Block record0 = SectorOf(img, mft, bps);
    ASSERT_EQ(std::string(record0.b.begin(), record0.b.begin() + 4), "FILE");
    EXPECT_EQ(record0.Classify(bps), kMetadata);
    // The root folder's index block.
    const test::CommandResult root = test::Run("istat " + P(img) + " 5");
    std::smatch m;
    static const std::regex kIndexRun(R"(\$INDEX_ALLOCATION[^\n]*\n\s*(\d+))");
    ASSERT_TRUE(std::regex_search(root.Out, m, kIndexRun)) << root.Out;
    const Block index = SectorOf(img, std::stoull(m[1]) * l.clusterSize, bps);
    ASSERT_EQ(std::string(index.b.begin(), index.b.begin() + 4), "INDX");
    EXPECT_EQ(index.Classify(bps), kMetadata);
    // The boot sector itself is none of them.
    EXPECT_EQ(SectorOf(img, 0, bps).Classify(bps), kNothing);
  }
}

// ---------------------------------------------------------------------------
// Stream starts: MP3 tags and frames, packs with their system header,
// transport streams that open with a table

TEST(ClassifyStreamStarts, APackWithItsSystemHeaderStartsAStreamAtAnyClock) {
  const std::initializer_list<uint8_t> system = {0x00, 0x00, 0x01, 0xBB, 0x00, 0x0C,
                                                 0x80, 0x1B, 0x91, 0x04, 0xE1, 0xFF};
  for (uint64_t scr : {uint64_t{0}, uint64_t{900'000}, uint64_t{1} << 32}) {
    EXPECT_EQ(Mpeg2Pack(scr).Raw(14, system).Classify(), kMpegPsSystem) << scr;
    EXPECT_EQ(Mpeg1Pack(scr).Raw(12, system).Classify(), scr == 0 ? kMpeg1Scr0 : kMpegPsSystem);
  }
  Block stuffed = Mpeg2Pack(500'000).Raw(13, {0xFB, 0xFF, 0xFF, 0xFF});  // three stuffing bytes
  EXPECT_EQ(Block(stuffed).Raw(17, system).Classify(), kMpegPsSystem);
  EXPECT_EQ(Block(stuffed).Raw(14, system).Classify(), kNothing) << "the stuffing not passed";
  EXPECT_EQ(Mpeg1Pack(3600).Raw(12, system).Raw(18, {0}).Classify(), kMpeg1ScrOther)
      << "a marker bit clear";
}

TEST(ClassifyStreamStarts, TransportStreamsOpeningWithATable) {
  struct Case {
    const char* what;
    uint16_t pid;
    uint8_t table;
    uint16_t head;
    bool start;
  };
  for (const auto& c :
       {Case{"PAT", 0x0000, 0x00, 0xB00D, true}, Case{"SDT", 0x0011, 0x42, 0xF025, true},
        Case{"PMT", 0x1000, 0x02, 0xB017, true}, Case{"no syntax bit", 0x0000, 0x00, 0x300D, false},
        Case{"a PAT on another PID", 0x0100, 0x00, 0xB00D, false},
        Case{"an over-long section", 0x0000, 0x00, 0xB3FE, false}}) {
    const std::initializer_list<uint8_t> packet = {
        0x47,    uint8_t(0x40 | c.pid >> 8), uint8_t(c.pid), 0x10, 0x00,
        c.table, uint8_t(c.head >> 8),       uint8_t(c.head)};
    Block plain;
    plain.Raw(188, {'G', 0x01, 0x00, 0x11}).Raw(376, {'G', 0x01, 0, 0x12}).Raw(0, packet);
    EXPECT_EQ(plain.Classify(), c.start ? kTs188Table : kTs188) << c.what;
    Block m = Ts192(0x12345678, 0x12345678 + 900, 0x12345678 + 1800).Raw(4, packet);
    EXPECT_EQ(m.Classify(), c.start ? kTs192Table : kTs192Mid) << c.what << ", 192 bytes";
    EXPECT_EQ(Ts192(0, 900, 1800).Raw(4, packet).Classify(), kTs192Start) << "0 wins";
  }
}

TEST(ClassifyStreamStarts, Id3v2HeadersAndRunsOfMp3Frames) {
  auto tag = [](uint8_t version, uint8_t flags, uint8_t size) {
    return Block().Text(0, "ID3").Raw(3, {version, 0, flags, 0, 0, size, 0x7F}).Classify();
  };
  EXPECT_EQ(tag(3, 0x00, 0x10), kMp3Id3);
  EXPECT_EQ(tag(4, 0x90, 0x10), kMp3Id3) << "unsynchronised, with a footer";
  EXPECT_EQ(tag(5, 0x00, 0x10), kNothing) << "no such version";
  EXPECT_EQ(tag(3, 0x10, 0x10), kNothing) << "a footer flag only version 4 has";
  EXPECT_EQ(tag(3, 0x00, 0x80), kNothing) << "a size byte over 7 bits";
  // 128 kbit/s layer III frames of 417 bytes: two headers in a sector.
  const std::initializer_list<uint8_t> header = {0xFF, 0xFB, 0x90, 0x64};
  EXPECT_EQ(Block().Raw(0, header).Raw(417, header).Classify(), kMp3Frames);
  EXPECT_EQ(Block().Raw(0, header).Raw(417, {0xFF, 0xFB, 0x94, 0x64}).Classify(), kNothing)
      << "the second frame at 48 kHz";
  EXPECT_EQ(Block().Raw(0, header).Classify(), kNothing) << "one header alone";
  EXPECT_EQ(Block().Raw(0, header).Text(36, "Info").Classify(), kMp3Frames) << "a summary";
  Block big;
  for (size_t at = 0; at + 4 <= 4096; at += 417) big.Raw(at, header);
  EXPECT_EQ(big.Classify(4096), kMp3Frames);
  big.b[417 * 8 + 1] = 0x00;
  EXPECT_EQ(big.Classify(4096), kNothing) << "every header of a large sector must follow";
}

TEST(ClassifyStreamStarts, RandomSectorsAreNoStreamStarts) {
  const std::vector<uint8_t> noise = test::RandomBytes(512 * 60'000, 99);
  size_t starts = 0;
  for (size_t at = 0; at < noise.size(); at += 512) {
    const uint8_t c = Classify(std::span(noise).subspan(at, 512), 512);
    starts += c == kMp3Frames || c == kMp3Id3 || c == kMpegPsSystem || c == kTs188Table ||
              c == kTs192Table;
  }
  EXPECT_EQ(starts, 0u);
  // Not even behind a valid first frame header, which a random sector
  // passes in some 7,000.
  std::mt19937 rng(5);
  size_t taken = 0;
  for (int k = 0; k < 20'000; ++k) {
    Block b;
    for (auto& v : b.b) v = static_cast<uint8_t>(rng());
    taken += b.Raw(0, {0xFF, 0xFB, 0x90, 0x64}).Classify() == kMp3Frames;
  }
  EXPECT_LE(taken, 1u);
}

}  // namespace
}  // namespace tarnwick
