#pragma once
// The sector view's text: a header line, then one line per 32 bytes with the
// offset, sixteen 4-digit groups and the printable characters.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tarnwick {

struct Session;

extern const char* const kHexHeader;

// Lines of the view for the bytes of one sector (header first). A partial
// last line of fewer than 32 bytes is not shown.
std::vector<std::string> SectorTextLines(std::span<const uint8_t> sector);

struct ShownSector {
  std::vector<std::string> Lines;
  bool PrevEnabled = false;  // "<" and "|<"
  bool NextEnabled = false;  // ">" and ">|"
};

// Reads a sector with ScanGeometry's sector size into SectorBuffer and builds
// its view. Empty when no Source is open, or the seek or the read fails (the
// view then keeps what it showed).
std::optional<ShownSector> ShowSector(Session& s, uint64_t sector);

// The go-to box: the number typed, or -1 when it is not one.
int64_t ParseSectorNumber(const std::string& text);

}  // namespace tarnwick
