#include "filesystems/fat_table.h"

#include <algorithm>

#include "source/bytes.h"

namespace tarnwick {

bool ReadSourceBytes(SectorReader& reader, uint64_t position, std::span<uint8_t> out) {
  std::fill(out.begin(), out.end(), uint8_t{0});
  const uint32_t ss = reader.SectorSize();
  if (out.empty()) return true;
  if (ss == 0) return false;
  const uint64_t first = position / ss;
  const uint64_t skip = position % ss;
  const uint64_t sectors = (skip + out.size() + ss - 1) / ss;
  if (skip == 0 && out.size() % ss == 0) return reader.Read(first, out);
  std::vector<uint8_t> buffer(sectors * ss);
  const bool ok = reader.Read(first, buffer);
  std::copy_n(buffer.begin() + static_cast<ptrdiff_t>(skip), out.size(), out.begin());
  return ok;
}

const std::vector<uint8_t>* FatTable::Piece(uint64_t index) {
  auto it = pieces_.find(index);
  if (it == pieces_.end()) {
    if (pieces_.size() >= kPiecesKept) pieces_.clear();
    const uint64_t start = index * kPiece;
    std::vector<uint8_t> bytes(std::min<uint64_t>(kPiece, bytes_ - start));
    std::optional<std::vector<uint8_t>> piece;
    if (ReadSourceBytes(reader_, firstByte_ + start, bytes)) piece = std::move(bytes);
    it = pieces_.emplace(index, std::move(piece)).first;
  }
  return it->second ? &*it->second : nullptr;
}

std::optional<uint32_t> FatTable::Entry(uint32_t cluster) {
  uint64_t offset = 0;
  uint32_t length = 4;
  switch (width_) {
    case FatWidth::Fat12:
      offset = uint64_t{cluster} * 3 / 2;
      length = 2;
      break;
    case FatWidth::Fat16:
      offset = uint64_t{cluster} * 2;
      length = 2;
      break;
    case FatWidth::Fat32:
    case FatWidth::Exfat: offset = uint64_t{cluster} * 4; break;
  }
  if (offset + length > bytes_) return std::nullopt;
  // An entry of FAT12 may straddle two pieces: read its bytes one by one.
  uint32_t value = 0;
  for (uint32_t i = 0; i < length; ++i) {
    const uint64_t at = offset + i;
    const std::vector<uint8_t>* piece = Piece(at / kPiece);
    if (piece == nullptr) return std::nullopt;
    value |= uint32_t{U8(*piece, at % kPiece)} << (8 * i);
  }
  switch (width_) {
    case FatWidth::Fat12: return (cluster & 1) ? value >> 4 : value & 0x0FFF;
    case FatWidth::Fat16: return value;
    case FatWidth::Fat32: return value & 0x0FFFFFFF;
    case FatWidth::Exfat: return value;
  }
  return value;
}

bool FatTable::IsEndMark(uint32_t value) const {
  switch (width_) {
    case FatWidth::Fat12: return value >= 0x0FF8;
    case FatWidth::Fat16: return value >= 0xFFF8;
    case FatWidth::Fat32: return value >= 0x0FFFFFF8;
    case FatWidth::Exfat: return value >= 0xFFFFFFF8;
  }
  return false;
}

bool FatTable::IsBadMark(uint32_t value) const {
  switch (width_) {
    case FatWidth::Fat12: return value == 0x0FF7;
    case FatWidth::Fat16: return value == 0xFFF7;
    case FatWidth::Fat32: return value == 0x0FFFFFF7;
    case FatWidth::Exfat: return value == 0xFFFFFFF7;
  }
  return false;
}

namespace {

// True when cluster lies in one of the runs, kept by first cluster.
bool AlreadyIn(const std::map<uint32_t, uint32_t>& runs, uint32_t cluster) {
  auto it = runs.upper_bound(cluster);
  if (it == runs.begin()) return false;
  --it;
  return cluster - it->first < it->second;
}

}  // namespace

Chain FollowChain(FatTable& table, const ClusterGeometry& g, uint32_t first, uint64_t maxClusters) {
  Chain chain;
  if (!g.Holds(first) || maxClusters == 0) return chain;
  std::map<uint32_t, uint32_t> seen;  // every run so far, by first cluster
  uint32_t cluster = first;
  while (true) {
    if (!chain.Runs.empty() &&
        chain.Runs.back().First + uint64_t{chain.Runs.back().Count} == cluster) {
      ++chain.Runs.back().Count;
      ++seen[chain.Runs.back().First];
    } else {
      chain.Runs.push_back({cluster, 1});
      seen[cluster] = 1;
    }
    if (++chain.Clusters == maxClusters) {
      chain.Whole = true;
      return chain;
    }
    const std::optional<uint32_t> next = table.Entry(cluster);
    if (!next) return chain;
    if (table.IsEndMark(*next)) {
      chain.Whole = true;
      return chain;
    }
    if (!g.Holds(*next) || table.IsBadMark(*next) || AlreadyIn(seen, *next)) return chain;
    cluster = *next;
  }
}

std::vector<FileRun> SectorRunsOf(const std::vector<ClusterRun>& runs, const ClusterGeometry& g,
                                  uint64_t bytes) {
  std::vector<FileRun> out;
  if (g.SectorSize == 0) return out;
  uint64_t wanted = (bytes + g.SectorSize - 1) / g.SectorSize;
  for (const ClusterRun& run : runs) {
    if (wanted == 0) break;
    const uint64_t sectors = std::min<uint64_t>(uint64_t{run.Count} * g.SectorsPerCluster, wanted);
    const uint64_t start = g.SectorOf(run.First);
    if (!out.empty() && out.back().FirstSector + out.back().Sectors == start) {
      out.back().Sectors += sectors;
    } else {
      out.push_back({start, sectors, false});
    }
    wanted -= sectors;
  }
  if (wanted != 0) out.clear();
  return out;
}

bool EndsDirectory(Bytes cluster) {
  for (size_t off = 0; off < cluster.size(); off += 32) {
    if (cluster[off] == 0) return true;
  }
  return false;
}

std::string JoinPath(const std::string& parent, const std::string& name) {
  return parent.empty() ? name : parent + "/" + name;
}

std::string SafeName(std::string name) {
  for (char& c : name) {
    if (c == '/' || static_cast<unsigned char>(c) < 0x20) c = '_';
  }
  if (name.empty()) name = "_";
  return name;
}

namespace {

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

}  // namespace

std::optional<int64_t> FatDateTime(uint16_t date, uint16_t time) {
  const unsigned day = date & 0x1F;
  const unsigned month = (date >> 5) & 0x0F;
  const int64_t year = 1980 + (date >> 9);
  const unsigned seconds = (time & 0x1F) * 2;
  const unsigned minutes = (time >> 5) & 0x3F;
  const unsigned hours = time >> 11;
  if (day == 0 || month == 0 || month > 12 || seconds > 59 || minutes > 59 || hours > 23) {
    return std::nullopt;
  }
  return DaysFromCivil(year, month, day) * 86400 + hours * 3600 + minutes * 60 + seconds;
}

}  // namespace tarnwick
