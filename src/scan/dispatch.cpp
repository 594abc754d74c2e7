#include "scan/dispatch.h"

#include <array>

#include "carvers/pdf.h"
#include "carvers/png.h"
#include "carvers/qq_database.h"

namespace tarnwick {

namespace {

// Formats whose carvers are not built yet keep a row without a carver, so
// that adding one is a change of this table alone.
constexpr std::array<DispatchRow, 30> kTable = {{
    {1, nullptr, true},   // JPEG, APP0/APP1 first
    {2, nullptr, true},   // JPEG, other first marker (second pass)
    {3, nullptr, false},  // GIF: recognised, not carved
    {4, nullptr, true},   // BMP
    {5, CarveQQDatabase, true},
    {6, nullptr, false},  // Jet database: recognised, not carved
    {7, nullptr, false},  // RIFF AVI
    {8, nullptr, false},  // MP3: recognised, not carved
    {9, CarvePng, true},
    {10, nullptr, false}, // RIFF WAVE
    {11, nullptr, false}, // RIFF ACON
    {12, nullptr, false}, // RIFF CDXA
    {13, nullptr, false}, // ASF, header first
    {14, nullptr, true},  // TIFF family
    {15, nullptr, false}, // RAR
    {16, nullptr, false}, // ZIP
    {17, nullptr, false}, // CAB
    {18, nullptr, false}, // 7z
    {19, nullptr, true},  // ISO media, mp4
    {20, nullptr, false}, // ASF, other order
    {21, nullptr, true},  // OOXML
    {22, CarvePdf, false},
    {23, nullptr, true},  // ISO media, 3gp
    {24, nullptr, true},  // ISO media, other
    {25, nullptr, true},  // X3F
    {26, nullptr, true},  // RAF
    {27, nullptr, false}, // RIFF CorelDRAW
    {28, nullptr, false}, // ZIP CorelDRAW
    {31, nullptr, false}, // MPEG-1 program stream
    {33, nullptr, false}, // MPEG transport stream
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
