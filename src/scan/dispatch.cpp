#include "scan/dispatch.h"

#include <array>

#include "carvers/asf.h"
#include "carvers/cab_7z.h"
#include "carvers/gif.h"
#include "carvers/jpeg_bmp.h"
#include "carvers/mp3.h"
#include "carvers/mp4.h"
#include "carvers/mpeg.h"
#include "carvers/pdf.h"
#include "carvers/png.h"
#include "carvers/qq_database.h"
#include "carvers/qq_orphan_directory.h"
#include "carvers/rar.h"
#include "carvers/riff.h"
#include "carvers/tiff.h"
#include "carvers/x3f_raf.h"
#include "carvers/zip.h"
#include "carvers/zip_drawing.h"

namespace tarnwick {

namespace {

// Every format the scan recognises has a row; Jet starts are
// counted for the cluster alignment but have no carver.
constexpr std::array<DispatchRow, 35> kTable = {{
    {1, CarveJpeg, true},  // JPEG, APP0/APP1 first
    {2, CarveJpeg, true},  // JPEG, other first marker (second pass)
    {3, CarveGif, false},  // GIF
    {4, CarveBmp, true},   // BMP
    {5, CarveQQDatabase, true},
    {6, nullptr, false},     // Jet database: recognised, not carved
    {7, CarveRiff, false},   // RIFF AVI
    {8, CarveMp3, false},    // MP3, ID3v2 tag first
    {9, CarvePng, true},     // PNG
    {10, CarveRiff, false},  // RIFF WAVE
    {11, CarveRiff, false},  // RIFF ACON
    {12, CarveRiff, false},  // RIFF CDXA
    {13, CarveAsf, false},   // ASF, header first
    {14, CarveTiff, true},   // TIFF family
    {15, CarveRar, false},
    {16, CarveZip, false},
    {17, CarveCab, false},
    {18, Carve7z, false},
    {19, CarveMp4, true},             // ISO media, mp4
    {20, CarveAsfObjectWalk, false},  // ASF, other order
    {21, CarveOoxml, true},
    {22, CarvePdf, false},         // PDF
    {23, CarveMp4, true},          // ISO media, 3gp
    {24, CarveMp4, true},          // ISO media, other
    {25, CarveX3f, true},          // X3F
    {26, CarveRaf, true},          // RAF
    {27, CarveRiffCdr, false},     // RIFF CorelDRAW
    {28, CarveZipDrawing, false},  // ZIP CorelDRAW
    {31, CarveMpegProgramStream, false},
    {33, CarveTransportStream, false},       // 192-byte packets
    {36, CarveMpegProgramStream, false},     // MPEG-1 or -2 pack with its system header
    {37, CarvePlainTransportStream, false},  // 188-byte packets, a table first
    {38, CarveTransportStream, false},       // 192-byte packets, a table first
    {39, CarveMp3, false},                   // MPEG audio frames
    {40, CarveQQOrphanDirectory, true},      // a database's directory: its own pass, last
}};

}  // namespace

std::span<const DispatchRow> DispatchTable() { return kTable; }

const DispatchRow* DispatchRowFor(uint8_t type) {
  for (const DispatchRow& row : kTable) {
    if (row.Type == type) return &row;
  }
  return nullptr;
}

}  // namespace tarnwick
