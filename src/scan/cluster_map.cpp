#include "scan/cluster_map.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <new>

namespace tarnwick {

namespace {

using Page = std::array<uint64_t, ClusterMap::kPageWords>;

constexpr Page FilledPage(uint64_t word) {
  Page p{};
  for (uint64_t& w : p) w = word;
  return p;
}

// Shared by every map; never written (a write first takes a page of its own).
constexpr Page kAllClear = FilledPage(0);
constexpr Page kAllSet = FilledPage(~uint64_t{0});

uint64_t* Shared(const Page& p) { return const_cast<uint64_t*>(p.data()); }

// Bits [from, to) of one word, 0 <= from < to <= 64.
uint64_t WordMask(uint64_t from, uint64_t to) {
  uint64_t high = to == 64 ? ~uint64_t{0} : (uint64_t{1} << to) - 1;
  return high & ~((uint64_t{1} << from) - 1);
}

}  // namespace

bool ClusterMap::Allocate(uint64_t lastSector) {
  Free();
  // (LastSector + 8) / 8 bytes; an empty Source (LastSector all bits set) has none.
  const uint64_t bytes = lastSector == UINT64_MAX ? 0 : lastSector / 8 + 1;
  if (bytes > UINT64_MAX / 8 - kPageSectors) return false;  // no disk is that large
  const uint64_t sectors = bytes * 8;
  const uint64_t pages = (sectors + kPageSectors - 1) >> kPageShift;
  try {
    pages_.assign(static_cast<size_t>(pages), Shared(kAllClear));
  } catch (const std::bad_alloc&) {
    Free();
    return false;
  }
  sectors_ = sectors;
  allocated_ = true;
  return true;
}

void ClusterMap::Free() {
  for (uint64_t* page : pages_) {
    if (!IsShared(page)) delete[] page;
  }
  pages_.clear();
  pages_.shrink_to_fit();
  sectors_ = 0;
  ownPages_ = 0;
  allocated_ = false;
}

uint64_t ClusterMap::MemoryInUse() const {
  return pages_.capacity() * sizeof(uint64_t*) + ownPages_ * sizeof(Page);
}

bool ClusterMap::IsShared(const uint64_t* page) const {
  return page == kAllClear.data() || page == kAllSet.data();
}

uint64_t* ClusterMap::OwnPage(uint64_t page) {
  uint64_t*& slot = pages_[page];
  if (IsShared(slot)) {
    auto* own = new uint64_t[kPageWords];
    std::memcpy(own, slot, sizeof(Page));
    slot = own;
    ++ownPages_;
  }
  return slot;
}

void ClusterMap::SetPage(uint64_t page, const uint64_t* shared) {
  uint64_t*& slot = pages_[page];
  if (!IsShared(slot)) {
    delete[] slot;
    --ownPages_;
  }
  slot = const_cast<uint64_t*>(shared);
}

void ClusterMap::MarkSector(uint64_t s) {
  if (s >= sectors_) return;
  uint64_t* page = pages_[s >> kPageShift];
  const uint64_t word = (s >> 6) & (kPageWords - 1);
  const uint64_t bit = uint64_t{1} << (s & 63);
  if (page[word] & bit) return;  // also keeps the shared all-set page shared
  OwnPage(s >> kPageShift)[word] |= bit;
}

void ClusterMap::UnmarkSector(uint64_t s) {
  if (s >= sectors_) return;
  uint64_t* page = pages_[s >> kPageShift];
  const uint64_t word = (s >> 6) & (kPageWords - 1);
  const uint64_t bit = uint64_t{1} << (s & 63);
  if (!(page[word] & bit)) return;  // also keeps the shared all-clear page shared
  uint64_t* bits = OwnPage(s >> kPageShift);
  bits[word] &= ~bit;
  // A carve that fails gives back everything it claimed: its pages go too.
  if (bits[word] == 0 && std::all_of(bits, bits + kPageWords, [](uint64_t w) { return w == 0; }))
    SetPage(s >> kPageShift, kAllClear.data());
}

void ClusterMap::MarkInPage(uint64_t page, uint64_t from, uint64_t to) {
  const uint64_t pageFirst = page << kPageShift;
  const uint64_t pageEnd = std::min(pageFirst + kPageSectors, sectors_);
  if (pages_[page] == kAllSet.data()) return;
  if (from == 0 && pageFirst + to >= pageEnd) {
    SetPage(page, kAllSet.data());
    return;
  }
  uint64_t* bits = OwnPage(page);
  for (uint64_t s = from; s < to;) {
    const uint64_t word = s >> 6;
    const uint64_t stop = std::min(to, (word + 1) * 64);
    bits[word] |= WordMask(s & 63, stop - word * 64);
    s = stop;
  }
}

void ClusterMap::MarkSectorRun(uint64_t first, int32_t count) {
  if (count <= 0 || first >= sectors_) return;
  const uint64_t end = std::min(sectors_, first + static_cast<uint64_t>(count));
  for (uint64_t s = first; s < end;) {
    const uint64_t page = s >> kPageShift;
    const uint64_t pageFirst = page << kPageShift;
    const uint64_t stop = std::min(end, pageFirst + kPageSectors);
    MarkInPage(page, s - pageFirst, stop - pageFirst);
    s = stop;
  }
}

uint64_t ClusterMap::NextClear(uint64_t first, uint64_t last) const {
  uint64_t s = first;
  while (s <= last) {
    if (s >= sectors_) return s;  // beyond the map every sector reads clear
    const uint64_t* page = pages_[s >> kPageShift];
    uint64_t next = 0;
    if (page == kAllSet.data()) {
      next = ((s >> kPageShift) + 1) << kPageShift;
    } else {
      const uint64_t clear = ~page[(s >> 6) & (kPageWords - 1)] >> (s & 63);
      if (clear != 0)
        return std::min({s + static_cast<uint64_t>(std::countr_zero(clear)), sectors_, last + 1});
      next = (s | 63) + 1;
    }
    // The last page's bits past the map's end say nothing: those sectors are clear.
    s = std::min(next, sectors_);
  }
  return last + 1;
}

uint8_t ClusterMap::ByteAt(uint64_t index) const {
  if (index >= SizeInBytes()) return 0;
  const uint64_t s = index * 8;
  return static_cast<uint8_t>(pages_[s >> kPageShift][(s >> 6) & (kPageWords - 1)] >> (s & 63));
}

std::vector<std::pair<uint64_t, uint64_t>> ClusterMap::MarkedRuns(uint64_t lastSector) const {
  std::vector<std::pair<uint64_t, uint64_t>> runs;
  const uint64_t end = std::min(sectors_, lastSector == UINT64_MAX ? lastSector : lastSector + 1);
  auto add = [&runs](uint64_t first, uint64_t stop) {  // sectors [first, stop)
    if (!runs.empty() && runs.back().second + 1 == first)
      runs.back().second = stop - 1;
    else
      runs.emplace_back(first, stop - 1);
  };
  for (uint64_t page = 0; page < pages_.size() && (page << kPageShift) < end; ++page) {
    const uint64_t* bits = pages_[page];
    const uint64_t pageFirst = page << kPageShift;
    if (bits == kAllClear.data()) continue;
    if (bits == kAllSet.data()) {
      add(pageFirst, std::min(end, pageFirst + kPageSectors));
      continue;
    }
    for (uint64_t word = 0; word < kPageWords; ++word) {
      uint64_t w = bits[word];
      const uint64_t base = pageFirst + word * 64;
      while (w != 0 && base < end) {
        const uint64_t from = static_cast<uint64_t>(__builtin_ctzll(w));
        const uint64_t ones = ~w >> from;
        const uint64_t length =
            ones == 0 ? 64 - from : static_cast<uint64_t>(__builtin_ctzll(ones));
        if (base + from >= end) break;
        add(base + from, std::min(end, base + from + length));
        w &= from + length >= 64 ? 0 : ~uint64_t{0} << (from + length);
      }
    }
  }
  return runs;
}

}  // namespace tarnwick
