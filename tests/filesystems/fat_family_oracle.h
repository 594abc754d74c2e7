#pragma once
// What the FAT and exFAT reader tests share: an image read through the
// engine's own sector reader, and The Sleuth Kit's view of the same image.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "filesystems/file_record.h"
#include "filesystems/sector_reader.h"
#include "source/device.h"
#include "source/read_cache.h"
#include "support/test_support.h"

namespace tarnwick::test {

// An image file as the readers see a Source.
class ImageReader {
 public:
  explicit ImageReader(std::vector<uint8_t> bytes, uint32_t sectorSize = 512)
      : sectors_(bytes.size() / sectorSize),
        device_(std::make_unique<MemoryDevice>(std::move(bytes))),
        cache_(std::make_unique<ReadCache>()),
        reader_(*device_, *cache_, sectorSize, sectors_) {}
  explicit ImageReader(const std::filesystem::path& image, uint32_t sectorSize = 512)
      : ImageReader(ReadFileBytes(image), sectorSize) {}
  SectorReader& Reader() { return reader_; }
  std::vector<uint8_t>& Bytes() { return device_->Bytes(); }

 private:
  uint64_t sectors_;
  std::unique_ptr<MemoryDevice> device_;
  std::unique_ptr<ReadCache> cache_;
  DeviceSectorReader reader_;
};

// One line of `fls -r -p`: the path, whether it is deleted, its address.
struct FlsEntry {
  std::string Path;
  bool Deleted = false;
  bool Directory = false;
  std::string Address;
};

// The files and directories fls lists, its own virtual entries ($MBR,
// $FAT1, the orphans folder, volume labels and exFAT's system files) left
// out.
inline std::vector<FlsEntry> FlsFiles(const std::filesystem::path& image,
                                      const std::string& extra = "") {
  const CommandResult r = Run("fls -r -p " + extra + " " + ShellQuote(image.string()));
  EXPECT_EQ(r.Status, 0) << r.Err;
  std::vector<FlsEntry> out;
  std::istringstream lines(r.Out);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    FlsEntry e;
    e.Path = line.substr(tab + 1);
    const std::string head = line.substr(0, tab);
    if (e.Path.empty() || e.Path[0] == '$' || head.rfind("v/v", 0) == 0 ||
        head.rfind("V/V", 0) == 0 || e.Path.find("(Volume Label Entry)") != std::string::npos) {
      continue;
    }
    e.Deleted = head.find(" * ") != std::string::npos;
    e.Directory = head[0] == 'd' || head[2] == 'd';
    const size_t colon = head.rfind(':');
    const size_t space = head.rfind(' ', colon);
    e.Address = head.substr(space + 1, colon - space - 1);
    out.push_back(e);
  }
  return out;
}

// The data sectors istat gives for an address (volume sectors, in order).
inline std::vector<uint64_t> IstatSectors(const std::filesystem::path& image,
                                          const std::string& address, uint64_t* size = nullptr) {
  const CommandResult r = Run("istat " + ShellQuote(image.string()) + " " + address);
  std::vector<uint64_t> sectors;
  std::istringstream lines(r.Out);
  std::string line;
  bool inSectors = false;
  while (std::getline(lines, line)) {
    if (line.rfind("Size: ", 0) == 0 && size != nullptr) *size = std::stoull(line.substr(6));
    if (line.rfind("Sectors:", 0) == 0) {
      inSectors = true;
      continue;
    }
    if (!inSectors) continue;
    std::istringstream words(line);
    uint64_t s = 0;
    while (words >> s) {
      if (s != 0) sectors.push_back(s);
    }
  }
  return sectors;
}

inline std::vector<uint64_t> SectorsOf(const FileRecord& r) {
  std::vector<uint64_t> out;
  for (const FileRun& run : r.Runs) {
    for (uint64_t k = 0; k < run.Sectors; ++k) out.push_back(run.FirstSector + k);
  }
  return out;
}

// The bytes the record's runs hold, cut to its size.
inline std::vector<uint8_t> BytesAlongRuns(const std::vector<uint8_t>& image, const FileRecord& r,
                                           uint32_t sectorSize = 512) {
  std::vector<uint8_t> out;
  for (const FileRun& run : r.Runs) {
    const size_t from = run.FirstSector * sectorSize;
    const size_t to = std::min(image.size(), from + run.Sectors * sectorSize);
    if (from < to) out.insert(out.end(), image.begin() + from, image.begin() + to);
  }
  if (out.size() > r.Size) out.resize(r.Size);
  return out;
}

inline const FileRecord* FindRecord(const std::vector<FileRecord>& records, const std::string& path,
                                    bool deleted) {
  for (const FileRecord& r : records) {
    if (r.Path == path && r.Deleted == deleted) return &r;
  }
  return nullptr;
}

// The records list exactly what fls lists: paths, deleted or not, folder or not.
inline void ExpectFlsListing(const std::filesystem::path& image,
                             const std::vector<FileRecord>& records) {
  std::multiset<std::tuple<std::string, bool, bool>> ours, theirs;
  for (const FileRecord& r : records) ours.emplace(r.Path, r.Deleted, r.Directory);
  for (const FlsEntry& e : FlsFiles(image)) theirs.emplace(e.Path, e.Deleted, e.Directory);
  EXPECT_EQ(ours, theirs);
}

struct IstatAgreement {
  size_t Files = 0;  // files compared
  size_t Laid = 0;   // of them with a known layout, sector for sector istat's
  size_t LiveUnlaid = 0;
  size_t DeletedLaid = 0;
};

// Every file fls lists against its record: the size istat gives, the first
// sector, and every sector where the record knows the layout.
inline IstatAgreement CompareWithIstat(const std::filesystem::path& image,
                                       const std::vector<FileRecord>& records) {
  IstatAgreement a;
  for (const FlsEntry& e : FlsFiles(image)) {
    if (e.Directory) continue;
    const FileRecord* r = FindRecord(records, e.Path, e.Deleted);
    EXPECT_NE(r, nullptr) << e.Path;
    if (r == nullptr) continue;
    uint64_t size = 0;
    const std::vector<uint64_t> sectors = IstatSectors(image, e.Address, &size);
    EXPECT_EQ(r->Size, size) << e.Path;
    ++a.Files;
    if (sectors.empty()) continue;
    EXPECT_EQ(r->FirstSector, std::optional<uint64_t>(sectors.front())) << e.Path;
    if (r->LayoutKnown) {
      EXPECT_EQ(SectorsOf(*r), sectors) << e.Path;
      ++a.Laid;
      a.DeletedLaid += r->Deleted;
    } else {
      a.LiveUnlaid += !r->Deleted;
    }
  }
  return a;
}

}  // namespace tarnwick::test
