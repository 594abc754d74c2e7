#pragma once
// One bit per Source sector: set means in use (allocated by the file system,
// claimed by a carver, or metadata found by the scan).
//
// The bits are kept in pages of kPageSectors sectors. A page that holds no
// set bit is the one shared all-clear page and a page that holds no clear bit
// may be the one shared all-set page; only pages with both kinds of bit take
// memory of their own. So the map costs what is marked, not what the Source
// holds: a table entry per page (8 bytes per 32 MiB of 512-byte sectors) and
// 8 KiB for every page that is partly marked.
#include <cstdint>
#include <utility>
#include <vector>

namespace tarnwick {

class ClusterMap {
 public:
  static constexpr unsigned kPageShift = 16;
  static constexpr uint64_t kPageSectors = uint64_t{1} << kPageShift;
  static constexpr uint64_t kPageWords = kPageSectors / 64;

  ClusterMap() = default;
  ~ClusterMap() { Free(); }
  ClusterMap(const ClusterMap&) = delete;
  ClusterMap& operator=(const ClusterMap&) = delete;

  // Sizes the map for sectors 0..lastSector, all clear. Returns false when the
  // memory cannot be had.
  bool Allocate(uint64_t lastSector);
  void Free();
  bool Allocated() const { return allocated_; }
  // Bytes that one bit per sector takes, (lastSector + 8) / 8: the map
  // covers the sectors of those whole bytes.
  uint64_t SizeInBytes() const { return sectors_ / 8; }
  // Memory that the map holds now: its page table and its own pages.
  uint64_t MemoryInUse() const;

  // Sectors outside the map are ignored (set) or read as clear (test): the
  // map never grows and never touches memory beyond its end.
  void MarkSector(uint64_t s);
  void MarkSectorRun(uint64_t first, int32_t count);
  void UnmarkSector(uint64_t s);
  bool IsSectorMarked(uint64_t s) const {
    return s < sectors_ && ((pages_[s >> kPageShift][(s >> 6) & (kPageWords - 1)] >> (s & 63)) & 1);
  }

  // The first sector of first .. last that is not marked; last + 1 when every
  // one is. Passes over marked pages and words whole, so a carve steps over a
  // long claimed run in a handful of steps.
  uint64_t NextClear(uint64_t first, uint64_t last) const;

  // Byte `index` of the map in its one-bit-per-sector form: sector n is bit
  // (n mod 8) of byte (n div 8). 0 beyond the map.
  uint8_t ByteAt(uint64_t index) const;
  // The marked sectors up to lastSector as inclusive runs, in order.
  std::vector<std::pair<uint64_t, uint64_t>> MarkedRuns(uint64_t lastSector) const;

 private:
  // A page of its own to write into, made from whatever page stood there.
  uint64_t* OwnPage(uint64_t page);
  void SetPage(uint64_t page, const uint64_t* shared);
  bool IsShared(const uint64_t* page) const;
  void MarkInPage(uint64_t page, uint64_t from, uint64_t to);  // sectors [from, to) of it

  std::vector<uint64_t*> pages_;
  uint64_t sectors_ = 0;
  uint64_t ownPages_ = 0;
  bool allocated_ = false;
};

}  // namespace tarnwick
