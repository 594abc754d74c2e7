#pragma once
// The signature classifier: says what one sector is the start of, from its
// bytes alone. It runs on every examined sector of a scan, so it allocates
// nothing, reads nothing from the Source and keeps no state.
#include <cstddef>
#include <cstdint>
#include <span>

namespace tarnwick {

// What a sector was recognised as. Stored in one byte in the FoundList.
enum TypeCode : uint8_t {
  kNothing = 0,
  kJpegApp = 1,          // JPEG whose first marker is APP0 or APP1
  kJpegOther = 2,        // JPEG with any other first marker
  kGif = 3,              // GIF, 87a or 89a
  kBmp = 4,              // Windows bitmap
  kOle2 = 5,             // OLE2 compound file (QQ database candidate)
  kJetDb = 6,            // Jet (Access) database
  kRiffAvi = 7,          // RIFF AVI
  kMp3Id3 = 8,           // MP3 starting with an ID3v2 tag
  kPng = 9,              // PNG
  kRiffWave = 10,        // RIFF WAVE
  kRiffAcon = 11,        // RIFF ACON (animated cursor)
  kRiffCdxa = 12,        // RIFF CDXA
  kAsfHeaderFirst = 13,  // ASF header object followed by the file properties object
  kTiffRaw = 14,         // TIFF-structured camera raw or TIFF
  kRar = 15,             // RAR archive
  kZip = 16,             // ZIP archive (other)
  kCab = 17,             // Microsoft cabinet, version 1.3
  k7z = 18,              // 7z archive, format version 0.x, start header CRC holds
  kMp4 = 19,             // ISO media file, brand "mp4..."
  kAsfOther = 20,        // ASF, other object order
  kOoxml = 21,           // ZIP whose first entry is "[Content_Types].xml"
  kPdf = 22,             // PDF
  kIso3gp = 23,          // ISO media file, brand "3gp..."
  kIsoOther = 24,        // ISO media file, any other brand
  kX3f = 25,             // Sigma X3F raw
  kRaf = 26,             // Fuji RAF raw
  kRiffCdr = 27,         // RIFF CorelDRAW drawing
  kZipCdr = 28,          // ZIP-packed CorelDRAW drawing
  kMpeg2Scr0 = 29,       // MPEG-2 program-stream pack, clock reference 0
  kMpeg2ScrLow = 30,     // MPEG-2 pack, clock reference 1..319999
  kMpeg1Scr0 = 31,       // MPEG-1 program-stream pack, clock reference 0
  kMpeg1ScrOther = 32,   // MPEG-1 pack, clock reference not 0
  kTs192Start = 33,      // transport stream, 192-byte packets, first prefix word 0
  kTs192Mid = 34,        // transport stream, 192-byte packets, first prefix word not 0
  kTs188 = 35,           // transport stream, 188-byte packets
  kMpegPsSystem = 36,    // program-stream pack (MPEG-1 or -2) with its system header behind it
  kTs188Table = 37,      // transport stream, 188-byte packets, the first starting a PSI table
  kTs192Table = 38,      // transport stream, 192-byte packets, first prefix word not 0, the
                         // first packet starting a PSI table
  kMp3Frames = 39,       // MPEG audio frames without a tag in front
  kOle2RootDirectory = 40,  // the first directory sector of an OLE2 compound file (in any of
                            // the sector's 512-byte blocks): no file start, kept apart from them
  kMetadata = 100,       // NTFS file or index record, FAT directory sector
};

// Classifies the sector held at the front of block: its first bytesPerSector
// bytes (all of block when bytesPerSector is larger). Returns a TypeCode.
uint8_t Classify(std::span<const uint8_t> block, uint32_t bytesPerSector);

// True for a byte that may appear in a FAT short name: false for control
// bytes below 0x20, for 0xFF and for \ / : * ? " < > |.
bool IsNameChar(uint8_t c);

// The system clock reference of a program-stream pack header (the pack starts
// with 00 00 01 BA). scr is the 33-bit base in 90 kHz units; the extension is
// ignored. A pack with any of its three marker bits clear is not a pack at
// all: valid is false and scr is 0. A pack too short to hold the clock
// reference is not valid either.
struct PackScr {
  bool valid;
  uint64_t scr;
};
PackScr Mpeg2PackScr(std::span<const uint8_t> pack);
PackScr Mpeg1PackScr(std::span<const uint8_t> pack);

// The 4-byte header of an MPEG audio frame (layer I, II or III; version 1, 2
// or 2.5) at `at`. Free-format frames (bit-rate index 0) and reserved field
// values are not valid. length is the whole frame's length in bytes, header
// and padding included; SameStream says whether two frames may belong to one
// stream (version, layer and sampling rate never change inside one).
struct MpegAudioFrame {
  bool valid = false;
  uint8_t version = 0;  // 1, 2, or 25 for 2.5
  uint8_t layer = 0;    // 1 .. 3
  uint32_t sampleRate = 0;
  uint32_t length = 0;
  bool SameStream(const MpegAudioFrame& o) const {
    return valid && o.valid && version == o.version && layer == o.layer &&
           sampleRate == o.sampleRate;
  }
};
MpegAudioFrame ReadMpegAudioFrame(std::span<const uint8_t> b, size_t at);

}  // namespace tarnwick
