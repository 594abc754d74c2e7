#include "volume/hexview.h"

#include <charconv>
#include <cstdio>

#include "scan/session.h"

namespace tarnwick {

const char* const kHexHeader =
    "     0 1  2 3  4 5  6 7  8 9  A B  C D  E F  0 1  2 3  4 5  6 7  8 9  A B  C D  E F  "
    "0123456789ABCDEF0123456789ABCDEF";

std::vector<std::string> SectorTextLines(std::span<const uint8_t> sector) {
  static const char kHex[] = "0123456789ABCDEF";
  std::vector<std::string> lines;
  lines.reserve(sector.size() / 32 + 1);
  lines.emplace_back(kHexHeader);
  for (size_t base = 0; base + 32 <= sector.size(); base += 32) {
    std::string line;
    line.reserve(117);
    char offset[16];
    int n = std::snprintf(offset, sizeof offset, "%03zX", base);
    line.append(offset, static_cast<size_t>(n));
    line += ": ";
    for (size_t i = 0; i < 32; i += 2) {
      for (size_t k = 0; k < 2; ++k) {
        uint8_t b = sector[base + i + k];
        line += kHex[b >> 4];
        line += kHex[b & 15];
      }
      line += ' ';
    }
    for (size_t i = 0; i < 32; ++i) {
      uint8_t b = sector[base + i];
      line += (b >= 0x20 && b <= 0x7E) ? static_cast<char>(b) : '.';
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

std::optional<ShownSector> ShowSector(Session& s, uint64_t sector) {
  if (!s.Source.IsOpen()) return std::nullopt;
  uint32_t bps = s.Scan.BytesPerSector;
  if (bps == 0 || bps > kMaxSectorSize) return std::nullopt;
  if (sector > UINT64_MAX / bps) return std::nullopt;
  uint64_t offset = sector * bps;
  if (SeekSource(s, kFileBegin, static_cast<int64_t>(offset)) < 0) return std::nullopt;
  s.Source.Position = offset;
  std::span<uint8_t> buffer(s.SectorBuffer.data(), bps);
  if (!ReadSource(s, offset, buffer)) return std::nullopt;
  s.Source.Position += bps;
  ShownSector shown;
  shown.Lines = SectorTextLines(buffer);
  s.ViewSector = sector;
  shown.PrevEnabled = sector > 0;
  shown.NextEnabled = sector < s.Scan.LastSector && s.Scan.LastSector != UINT64_MAX;
  return shown;
}

int64_t ParseSectorNumber(const std::string& text) {
  int64_t value = -1;
  const char* first = text.data();
  const char* last = text.data() + text.size();
  if (first != last && *first == '+') ++first;
  auto [ptr, ec] = std::from_chars(first, last, value);
  if (ec != std::errc{} || ptr != last || first == last) return -1;
  return value;
}

}  // namespace tarnwick
