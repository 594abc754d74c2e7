#include "carvers/qq_reassembly.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <numeric>
#include <set>
#include <string_view>
#include <utility>

#include "carvers/framework.h"
#include "source/bytes.h"

namespace tarnwick {

namespace {

constexpr uint32_t kCf = 512;  // compound-file sector; the carver takes no other size
constexpr uint32_t kEntriesPerFat = kCf / 4;
constexpr uint32_t kNoStream = 0xFFFFFFFF;
constexpr uint32_t kMiniCutoffDefault = 4096;
constexpr uint32_t kMini = 64;
// 512 random bytes show about 221 distinct values; text, zeros, tables and
// most pictures' headers far fewer.
constexpr int kRandomDistinct = 180;
// More cuts than this left open where two pieces meet are not offered to
// the databases beside the file: the evidence there says too little.
constexpr size_t kMaxOpenCuts = 64;
constexpr float kInfinite = std::numeric_limits<float>::infinity();
constexpr uint64_t kEvidenceBlocks = 8;  // pinned stream blocks needed to trust the rule
constexpr size_t kCandidates = 12;       // places kept for each anchor
constexpr size_t kSkip = 32;             // anchors a chain may pass over unfound
constexpr float kRunStart = 1.0f;        // cost of a break in the file: a run of foreign clusters

enum class Kind : uint8_t { Header, Fat, Difat, Directory, MiniFat };

// One sector whose place in the file is known from the file's own tables.
struct Anchor {
  uint64_t Block = 0;  // 512-byte block of the file (compound-file sector + 1)
  Kind What = Kind::Header;
  uint32_t Index = 0;  // which FAT, DIFAT, directory or mini FAT sector
  int64_t Found = -1;  // index into the unclaimed sectors, -1 when not found
  bool Forced = false;  // Found is the only place it fits: kept whatever the others do
};

// What a 512-byte block of the file should hold, for scoring.
enum Expect : uint8_t { kAnything = 0, kRandom = 1, kStructure = 2, kPartRandom = 3 };

// The distinct byte values that n random bytes show on average, less a margin.
bool RangesLookRandom(Bytes block, const std::vector<std::pair<uint16_t, uint16_t>>& ranges) {
  std::array<uint8_t, 256> seen{};
  int distinct = 0, n = 0;
  for (const auto& [off, len] : ranges) {
    for (uint32_t k = off; k < uint32_t{off} + len && k < block.size(); ++k, ++n) {
      if (!seen[block[k]]) {
        seen[block[k]] = 1;
        ++distinct;
      }
    }
  }
  if (n < 32) return true;  // too few bytes to tell
  const double expected = 256.0 * (1.0 - std::pow(255.0 / 256.0, n));
  return distinct >= 0.75 * expected;
}

// The distinct byte values among the bytes. A flag per value is only ever
// stored, never read back while the bytes are gone through, so that no byte
// waits for the one before it (every block the reassembly judges goes
// through here).
int DistinctBytes(std::span<const uint8_t> bytes) {
  alignas(64) std::array<uint8_t, 256> seen{};
  for (const uint8_t v : bytes) seen[v] = 1;
  int distinct = 0;
  for (const uint8_t f : seen) distinct += f;
  return distinct;
}

}  // namespace

bool LooksRandom(std::span<const uint8_t> block) { return DistinctBytes(block) >= kRandomDistinct; }

namespace {

// The Source sector of each unclaimed sector read, kept as runs of
// consecutive sectors: between claimed files and stretches they are few,
// where a number a sector would cost more than the rest of the index.
class SectorRuns {
 public:
  uint64_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  uint64_t back() const { return runs_.back().Sector + (size_ - 1 - runs_.back().Index); }
  void push_back(uint64_t t) {
    if (runs_.empty() || t != back() + 1) runs_.push_back({size_, t});
    ++size_;
  }
  uint64_t operator[](uint64_t u) const {
    auto it = std::upper_bound(runs_.begin(), runs_.end(), u,
                               [](uint64_t v, const Run& r) { return v < r.Index; });
    --it;
    return it->Sector + (u - it->Index);
  }

 private:
  struct Run {
    uint64_t Index;   // the first unclaimed index of the run
    uint64_t Sector;  // its Source sector
  };
  std::vector<Run> runs_;
  uint64_t size_ = 0;
};

// Encrypted data looks random in every part of a block; a block that starts
// or ends in text, as a text file's last block before the old bytes of its
// slack does, is plain whatever the rest of it shows.
bool BlockLooksRandom(Bytes block) {
  constexpr size_t kEdge = 64;  // 64 random bytes show about 56 distinct values
  constexpr int kEdgeDistinct = 40;
  if (block.size() < 2 * kEdge) return false;
  // The first and last 64 bytes, then the whole block: the edges' values
  // and those of the bytes between them.
  alignas(64) std::array<uint8_t, 256> first{}, last{}, whole{};
  for (size_t k = 0; k < kEdge; ++k) first[block[k]] = 1;
  int f = 0;
  for (size_t v = 0; v < 256; ++v) f += first[v];
  if (f < kEdgeDistinct) return false;  // plain from the start: most blocks that are not random
  for (size_t k = block.size() - kEdge; k < block.size(); ++k) last[block[k]] = 1;
  for (size_t k = kEdge; k < block.size() - kEdge; ++k) whole[block[k]] = 1;
  int w = 0, l = 0;
  for (size_t v = 0; v < 256; ++v) {
    w += whole[v] | first[v] | last[v];
    l += last[v];
  }
  return w >= kRandomDistinct && l >= kEdgeDistinct;
}

// Copies of the blocks that might be tables, by their index among the
// unclaimed blocks (kept in rising order), up to a bound: beyond it they are
// read again from the Source. The copies stay where they are as more come.
class KeptBlocks {
 public:
  static constexpr size_t kMaxBlocks = 16384;  // 8 MiB
  void Keep(uint32_t index, Bytes block) {
    if (index_.size() >= kMaxBlocks || block.size() != kCf) return;
    if (index_.size() % kPerChunk == 0) chunks_.push_back(std::make_unique<Chunk>());
    std::copy(block.begin(), block.end(), chunks_.back()->data() + (index_.size() % kPerChunk) * kCf);
    index_.push_back(index);
  }
  Bytes Find(uint32_t index) const {
    auto it = std::lower_bound(index_.begin(), index_.end(), index);
    if (it == index_.end() || *it != index) return {};
    const size_t k = static_cast<size_t>(it - index_.begin());
    return Bytes(chunks_[k / kPerChunk]->data() + (k % kPerChunk) * kCf, kCf);
  }

 private:
  static constexpr size_t kPerChunk = 1024;
  using Chunk = std::array<uint8_t, kPerChunk * kCf>;
  std::vector<uint32_t> index_;
  std::vector<std::unique_ptr<Chunk>> chunks_;
};

class Reassembler {
 public:
  Reassembler(Session& s, uint64_t carveStart, const ReassemblyLimits& limits,
              FileAssembly* onDisk, std::span<const uint8_t> header)
      : s_(s),
        limits_(limits),
        bps_(s.Scan.BytesPerSector),
        start_(carveStart / bps_),
        onDisk_(onDisk),
        givenHeader_(header.size() == kCf) {
    if (givenHeader_) std::copy_n(header.begin(), kCf, header_.begin());
  }

  Reassembly Run() {
    if (bps_ < kCf || bps_ > kMaxSectorSize || bps_ % kCf != 0) return Give("sector size");
    scratch_.resize(bps_);
    if (!givenHeader_) {
      if (ReadCached(s_, scratch_.data(), kCf, start_ * bps_) > 0)
        return Give("the start sector cannot be read");
      std::copy_n(scratch_.begin(), kCf, header_.begin());
    }
    Bytes header = Header();
    if (LE32(header, 28) != 0x0009FFFE) return Give("not a 512-byte compound file");
    fatCount_ = LE32(header, 44);
    if (fatCount_ == 0 || uint64_t{fatCount_} * kEntriesPerFat * kCf > limits_.MaxFileBytes * 2)
      return Give("the header's FAT count is out of range");
    miniLimit_ = uint64_t{LE32(header, 64)} * kEntriesPerFat;
    namedFat_.assign(fatCount_, {});
    PlanRegions();
    if (!Extend(1)) return Give("the start sector cannot be read");
    if (!LocateFat()) return std::move(out_);
    if (!LocateTables()) return std::move(out_);
    if (!NamesQQ()) return std::move(out_);
    out_.IsQQ = true;
    ExpectationsFromTables();
    if (!Assemble()) return std::move(out_);
    out_.Found = true;
    out_.Check = CheckCompoundFile(FileBytes());
    if (!out_.Check.Whole && out_.Reason.empty()) out_.Reason = out_.Check.Problem;
    FindSuspects();
    out_.Certain = out_.Reason.empty();
    return std::move(out_);
  }

 private:
  Reassembly Give(const std::string& why) {
    out_.Reason = why;
    return std::move(out_);
  }
  void Uncertain(const std::string& why) {
    if (out_.Reason.empty()) out_.Reason = why;
  }
  bool Spend(uint64_t work) {
    work_ += work;
    return work_ <= limits_.MaxWork;
  }

  // --- The unclaimed sectors around the start, read as they are needed. ---

  // How far the search looks on either side of the start: the file's own
  // size, as far as its FAT reaches, and the foreign bytes that may lie
  // between its pieces, which grow with it.
  uint64_t OwnReachBytes() const {
    return std::min(uint64_t{fatCount_} * kEntriesPerFat * kCf, limits_.MaxFileBytes);
  }
  uint64_t ForeignSectors() const {
    const uint64_t scaled = OwnReachBytes() * limits_.ForeignPerFileByte;
    return std::max(limits_.MaxForeignBytes, scaled) / bps_;
  }

  bool ClusterStart(uint64_t t) const {
    const uint32_t spc = std::max<uint32_t>(1, s_.Scan.SectorsPerCluster);
    int64_t r = (static_cast<int64_t>(t % spc) - s_.ScanClusterPhase % static_cast<int64_t>(spc)) %
                static_cast<int64_t>(spc);
    return r == 0;
  }

  // The stretches of the Source read, in the order their sectors are
  // indexed: from the start on, then (where the scan range ends first) on
  // at the range's front, as an allocator that reaches the end of the volume
  // goes on there, and last the stretch before the start, where a later
  // piece of the file may lie too. Each reaches as far as the search does.
  void PlanRegions() {
    regions_.clear();
    if (s_.LastScanSector < 0) return;
    const uint64_t last = static_cast<uint64_t>(s_.LastScanSector) + 1;  // one past
    const uint64_t first = static_cast<uint64_t>(std::max<int64_t>(0, s_.FirstScanSector));
    if (start_ >= last) return;
    const uint64_t span = (OwnReachBytes() / bps_ + 1) + ForeignSectors();
    const uint64_t ahead = std::min(last, start_ + span);
    regions_.push_back({start_, ahead});
    uint64_t behindFrom = first;
    if (start_ + span > last && first < start_) {
      const uint64_t more = start_ + span - last;
      const uint64_t to = std::min(start_, first + more);
      regions_.push_back({first, to});
      behindFrom = to;
    }
    behindFrom = std::max(behindFrom, start_ > span ? start_ - span : 0);
    if (behindFrom < start_ && limits_.LookBehind) {
      // Where the two meet, they are one stretch of the disk.
      if (regions_.size() > 1 && regions_.back().second == behindFrom)
        regions_.back().second = start_;
      else
        regions_.push_back({behindFrom, start_});
    }
  }

  // The index where the stretch holding u ends: a run of the file's own
  // sectors does not go on past it (the next stretch lies elsewhere on the
  // disk). kNoEnd while that stretch is still being read.
  uint64_t RegionEnd(uint64_t u) const {
    for (size_t r = 0; r + 1 < regionFirst_.size(); ++r) {
      if (u < regionFirst_[r + 1]) return regionFirst_[r + 1];
    }
    return region_ >= regions_.size() ? sectors_.size() : kNoEnd;
  }
  uint64_t RegionBegin(uint64_t u) const {
    uint64_t from = 0;
    for (uint64_t f : regionFirst_) {
      if (f <= u) from = f;
    }
    return from;
  }

  // Makes sure the first n unclaimed sectors are read, stretch by stretch.
  // A cluster that another file claimed is that file's as a whole: the
  // sectors behind its end, in the same cluster, are its slack and are
  // passed over with it. False when there are not that many or a read fails.
  bool Extend(uint64_t n) {
    while (sectors_.size() < n) {
      if (region_ >= regions_.size()) return false;
      uint64_t t = next_;
      if (!inRegion_) {
        t = regions_[region_].first;
        regionFirst_.push_back(sectors_.size());
        inRegion_ = true;
        // Claimed sectors earlier in the cluster the stretch starts in.
        clusterClaimed_ = false;
        for (uint64_t c = t; c > 0 && !ClusterStart(c) && !clusterClaimed_;)
          clusterClaimed_ = Claimed(--c);
      }
      for (; t < regions_[region_].second; ++t) {
        if (ClusterStart(t)) clusterClaimed_ = false;
        if (Claimed(t)) {
          clusterClaimed_ = true;
          continue;
        }
        if (!clusterClaimed_) break;
      }
      if (t >= regions_[region_].second) {
        ++region_;
        inRegion_ = false;
        continue;
      }
      bool unread = false;
      if (ReadCached(s_, scratch_.data(), bps_, t * bps_) > 0) {
        // A sector the Source failed is zeros here and known as such: it
        // may be the file's own or another's, its bytes say nothing.
        const ReadFaults& faults = SourceFaults(s_);
        if (faults.SourceLost || !faults.Unreadable.Contains(t)) return false;
        unread = true;
      }
      next_ = t + 1;
      unreadable_.push_back(unread);
      const bool newUnit = sectors_.empty() || t != sectors_.back() + 1 || ClusterStart(t);
      unit_.push_back(newUnit ? (unit_.empty() ? 0 : unit_.back() + 1) : unit_.back());
      sectors_.push_back(t);
      randomKnown_.resize(randomKnown_.size() + bps_ / kCf, false);
      random_.resize(randomKnown_.size(), false);
      const uint32_t bpb = bps_ / kCf;
      for (uint32_t b = 0; b < bpb; ++b) {
        Bytes block = Bytes(scratch_).subspan(b * kCf, kCf);
        const uint8_t shape = ShapeOf(block);
        shape_.push_back(shape);
        const uint32_t index = static_cast<uint32_t>(shape_.size() - 1);
        if (shape != 0 && !unread) kept_.Keep(index, block);
        if (shape & kMayBeFat) {
          mayBeFat_.push_back(index);
          // Where a FAT sector names its own index, it is looked up by it.
          const int64_t self = SelfIndexOfFatSector(block, FatEntries());
          if (self >= 0 && static_cast<uint64_t>(self) < fatCount_)
            namedFat_[static_cast<size_t>(self)].push_back(index);
        }
        if (shape & kMayBeMiniFat) mayBeMiniFat_.push_back(index);
        if (shape & kMayBeDifat) mayBeDifat_.push_back(index);
        if (shape & kMayBeDirectory) mayBeDirectory_.push_back(index);
      }
    }
    return true;
  }

  // Claimed by another file: in the map, and not only by a deleted file's
  // record where those are looked through.
  bool Claimed(uint64_t t) const {
    return s_.Map.IsSectorMarked(t) &&
           !(limits_.ThroughDeletedRecords && s_.DeletedClaims.OnlyRecordClaims(t));
  }

  // Whether 512-byte block `block` of the unclaimed sectors looks random.
  // Most of the reach is only searched for tables; what looks random is
  // asked of the blocks the file's pieces and the gaps between them cover,
  // and worked out when it is first asked.
  bool Random(uint64_t block) {
    if (!randomKnown_[block]) {
      const uint32_t bpb = bps_ / kCf;
      const uint64_t u = block / bpb;
      // The sectors asked for next are most often the ones behind: those
      // that lie behind it on the disk are read with it.
      uint64_t run = RunFrom(u, [&](uint64_t n) { return !randomKnown_[(u + n) * bpb]; });
      bool read = ReadRun(u, run, randomScratch_);
      if (!read && run > 1) {  // which of them failed is told by each alone
        run = 1;
        read = ReadRun(u, run, randomScratch_);
      }
      for (uint64_t b = 0; b < run * bpb; ++b) {
        randomKnown_[u * bpb + b] = true;
        random_[u * bpb + b] = read && BlockLooksRandom(Bytes(randomScratch_).subspan(b * kCf, kCf));
      }
    }
    return random_[block];
  }

  // How many unclaimed sectors from u on follow each other on the disk,
  // all readable, up to a window's worth, as long as more(n) takes the one
  // n after u; 1 when u is unreadable.
  template <typename More>
  uint64_t RunFrom(uint64_t u, More more) const {
    if (Unreadable(u)) return 1;
    const uint64_t most = std::max<uint64_t>(ReadCache::kWindow / bps_, 1);
    uint64_t run = 1;
    while (run < most && u + run < sectors_.size() && sectors_[u + run] == sectors_[u] + run &&
           !Unreadable(u + run) && more(run))
      ++run;
    return run;
  }
  // The run of unclaimed sectors from u into bytes, in one read; false when
  // it did not read whole.
  bool ReadRun(uint64_t u, uint64_t run, std::vector<uint8_t>& bytes) {
    bytes.resize(static_cast<size_t>(run * bps_));
    return !Unreadable(u) && ReadCached(s_, bytes.data(), run * bps_, sectors_[u] * bps_,
                                        SkippedSectors::ReadNow, ReadCache::kWindow) == 0;
  }

  // The bytes of unclaimed sector u, read again: only what they say of
  // themselves is kept for every sector (looks random, could be a table or
  // a directory). Valid until the next call. Sectors asked for one after
  // another fill the read window as the index does; one asked for alone
  // (a place tried for an anchor) reads a few sectors, not a window.
  Bytes SectorAt(uint64_t u) {
    if (Unreadable(u)) {
      std::fill(scratch_.begin(), scratch_.end(), 0);
    } else {
      const uint64_t t = sectors_[u];
      constexpr uint32_t kAlone = 4096;
      ReadCached(s_, scratch_.data(), bps_, t * bps_, SkippedSectors::ReadNow,
                 t == lastAsked_ + 1 ? ReadCache::kWindow : std::max(kAlone, bps_));
      lastAsked_ = t;
    }
    return Bytes(scratch_);
  }
  Bytes Header() const { return Bytes(header_.data(), kCf); }
  Bytes FileBytes() const { return onDisk_ ? onDisk_->Bytes() : Bytes(out_.File); }
  uint64_t FileSize() const { return onDisk_ ? onDisk_->Size() : out_.File.size(); }

  // What a block could be, told from its first bytes, for the anchor search.
  static constexpr uint8_t kMayBeFat = 1, kMayBeMiniFat = 2, kMayBeDirectory = 4, kMayBeDifat = 8;
  // Zeros and FF bytes, which a sparse or erased stretch holds throughout,
  // are no table: a directory sector has an entry in use, a FAT sector an
  // entry that is not free.
  uint8_t ShapeOf(Bytes b) const {
    uint8_t shape = 0;
    bool allFree = true;
    for (uint32_t e = 0; e < kEntriesPerFat && allFree; ++e) allFree = LE32(b, 4 * e) == kCompoundFree;
    if (!allFree && !TableStartCannotFit(b, FatEntries())) {
      shape |= kMayBeFat;
      if (RisesAsADifat(b)) shape |= kMayBeDifat;
    }
    if (!allFree && !TableStartCannotFit(b, miniLimit_)) shape |= kMayBeMiniFat;
    const uint16_t len = LE16(b, 64);
    bool used = false;
    for (uint32_t k = 0; k < kCf / 128; ++k) used = used || U8(b, 128 * k + 66) != 0;
    if (used && !(U8(b, 66) > 5 || len > 64 || len % 2 != 0)) shape |= kMayBeDirectory;
    return shape;
  }
  // FAT sector numbers within the file, rising (past `after`), then free
  // entries only: a DIFAT sector, as the carver reads one.
  bool RisesAsADifat(Bytes b, int64_t after = -1) const {
    int64_t previous = after;
    bool ended = false;
    for (uint32_t e = 0; e + 1 < kEntriesPerFat; ++e) {
      const uint32_t v = LE32(b, 4 * e);
      if (v == kCompoundFree) {
        ended = true;
        continue;
      }
      if (ended || v >= FatEntries() || static_cast<int64_t>(v) <= previous) return false;
      previous = v;
    }
    return previous > after;
  }

  // Out of range, or two entries naming one sector (zeros, for one), among
  // the first entries of a FAT-like table.
  static bool TableStartCannotFit(Bytes b, uint64_t limit) {
    std::array<uint32_t, 8> seen{};
    size_t n = 0;
    for (uint32_t e = 0; e < 8; ++e) {
      const uint32_t v = LE32(b, 4 * e);
      if (v >= kCompoundDifatMark) continue;
      if (v >= limit) return true;
      if (std::find(seen.begin(), seen.begin() + static_cast<std::ptrdiff_t>(n), v) !=
          seen.begin() + static_cast<std::ptrdiff_t>(n))
        return true;
      seen[n++] = v;
    }
    return false;
  }
  bool Unreadable(uint64_t u) const { return u < unreadable_.size() && unreadable_[u]; }
  // The file's 512-byte block `block` if own sector t lies at unclaimed index u.
  // A block that might be a table was kept when it was indexed: the anchor
  // search tries such places again and again.
  Bytes BlockAt(uint64_t u, uint64_t block) {
    const uint32_t bpb = bps_ / kCf;
    const uint64_t index = u * bpb + block % bpb;
    if (index < shape_.size() && shape_[index] != 0) {
      Bytes kept = kept_.Find(static_cast<uint32_t>(index));
      if (!kept.empty()) return kept;
    }
    return SectorAt(u).subspan(static_cast<size_t>((block * kCf) % bps_), kCf);
  }
  uint64_t OwnSector(uint64_t block) const { return block * kCf / bps_; }

  // --- What a sector of each kind looks like on its own. ---

  uint64_t FatEntries() const { return uint64_t{fatCount_} * kEntriesPerFat; }

  // Entries of a FAT-like table: free, end of chain, or a sector of the file
  // other than itself, no two pointing at the same sector; and not all free
  // (a table of free entries looks like any sector of FF bytes).
  bool TableLooksSound(Bytes b, uint64_t firstIndex, uint64_t limit, bool fatMarks) const {
    std::array<uint32_t, kEntriesPerFat> next{};
    // Which of the entries' indices are known FAT and DIFAT places.
    std::array<bool, kEntriesPerFat> fatAt{}, difatAt{};
    if (fatMarks) {
      for (auto [places, at] : {std::pair{&fatPlaces_, &fatAt}, std::pair{&difatPlaces_, &difatAt}}) {
        for (auto it = places->lower_bound(firstIndex);
             it != places->end() && *it < firstIndex + kEntriesPerFat; ++it)
          (*at)[static_cast<size_t>(*it - firstIndex)] = true;
      }
    }
    size_t n = 0, used = 0;
    for (uint32_t e = 0; e < kEntriesPerFat; ++e) {
      const uint32_t v = LE32(b, 4 * e);
      const uint64_t idx = firstIndex + e;
      if (fatMarks) {
        const bool fat = fatAt[e], difat = difatAt[e];
        if (fat != (v == kCompoundFatMark) && (fat || fatPlacesComplete_)) return false;
        if (difat != (v == kCompoundDifatMark) && (difat || fatPlacesComplete_)) return false;
        if (fat || difat || v == kCompoundFatMark || v == kCompoundDifatMark) {
          ++used;
          continue;
        }
      }
      if (v == kCompoundFree) continue;
      ++used;
      if (v == kCompoundEndOfChain) continue;
      if (v >= limit || v == idx) return false;
      next[n++] = v;
    }
    if (used == 0) return false;
    std::sort(next.begin(), next.begin() + static_cast<std::ptrdiff_t>(n));
    return std::adjacent_find(next.begin(), next.begin() + static_cast<std::ptrdiff_t>(n)) ==
           next.begin() + static_cast<std::ptrdiff_t>(n);
  }

  // FAT sector numbers, rising on from those before (a file's FAT grows
  // with it, and the carver takes no other order), free ones only at the end.
  // A FAT sector of sequential chains rises too, but not past the FAT
  // sectors that the header and the DIFAT before list.
  bool DifatLooksSound(Bytes b, uint32_t index) const {
    if (!RisesAsADifat(b, index < difatAfter_.size() ? difatAfter_[index] : -1)) return false;
    const uint32_t next = LE32(b, 4 * (kEntriesPerFat - 1));
    return next == kCompoundEndOfChain || next == kCompoundFree || next < FatEntries();
  }


  // The mean step between the FAT sectors of a list, at least 1.
  static uint64_t ListStep(std::span<const uint32_t> list) {
    if (list.size() < 2) return 1;
    const auto [lo, hi] = std::minmax_element(list.begin(), list.end());
    return std::max<uint64_t>(1, (uint64_t{*hi} - *lo) / (list.size() - 1));
  }

  // A file's FAT sectors come one after another as it grows: the first that
  // a DIFAT sector lists lies about as far past the last listed before it as
  // the sectors of that list lie apart. Another DIFAT sector of the file, or
  // another file's, lists sectors much further on.
  bool DifatContinues(Bytes b, uint32_t index) const {
    if (index >= difatAfter_.size() || index >= difatStep_.size()) return false;
    const uint32_t first = LE32(b, 0);
    if (first == kCompoundFree || difatAfter_[index] < 0) return false;
    const uint64_t gap = static_cast<uint64_t>(first - difatAfter_[index]);
    return gap <= 8 * difatStep_[index] + 64;
  }

  static bool EntryLooksSound(Bytes e, bool root) { return DirectoryEntryLooksSound(e, root); }

  // Sound entries, at least one of them in use.
  bool DirectoryLooksSound(Bytes b, uint32_t index) const {
    bool used = false;
    for (uint32_t k = 0; k < kCf / 128; ++k) {
      Bytes e = b.subspan(128 * k, 128);
      if (!EntryLooksSound(e, index == 0 && k == 0)) return false;
      used = used || U8(e, 66) != 0;
    }
    return used;
  }

  // A quick look at the first entries: false when the whole test is needed.
  // The blocks whose first bytes allow the kind, rising.
  const std::vector<uint32_t>& PlacesFor(Kind what) const {
    switch (what) {
      case Kind::MiniFat: return mayBeMiniFat_;
      case Kind::Directory: return mayBeDirectory_;
      case Kind::Difat: return mayBeDifat_;
      default: return mayBeFat_;
    }
  }

  bool CannotFit(const Anchor& a, uint64_t u) const {
    const uint8_t shape = shape_[static_cast<size_t>(u * (bps_ / kCf) + a.Block % (bps_ / kCf))];
    switch (a.What) {
      case Kind::Header: return false;
      case Kind::Fat: return !(shape & kMayBeFat);
      case Kind::Difat: return !(shape & kMayBeDifat);
      case Kind::MiniFat: return !(shape & kMayBeMiniFat);
      case Kind::Directory: return !(shape & kMayBeDirectory);
    }
    return false;
  }

  // A FAT sector that names an index for itself (its chains step on by up
  // to 128 sectors, or by up to 256 where many streams grow side by side)
  // names this one; with named, one that names none does not do either.
  bool NamesItselfAs(Bytes b, uint64_t index, bool named) const {
    const int64_t self = SelfIndexOfFatSector(b, FatEntries());
    if (self < 0) return !named;
    return static_cast<uint64_t>(self) == index || static_cast<uint64_t>(self) == index + 1;
  }

  // A directory sector of this file names, for each large stream, a sector
  // that begins a chain of this file's FAT: one that no entry names as the
  // next of another. Another file's directory names sectors that mostly lie
  // inside this file's chains. A FAT sector taken wrongly changes only the
  // few entries it holds, so one stream that fits outweighs those that do
  // not; the small streams' starts must lie within the mini FAT.
  bool DirectoryAgreesWithFat(Bytes b) const {
    if (chainHead_.empty()) return true;
    const uint64_t cutoff = LE32(Header(), 56) ? LE32(Header(), 56) : kMiniCutoffDefault;
    int agree = 0, disagree = 0;
    for (uint32_t k = 0; k < kCf / 128; ++k) {
      Bytes e = b.subspan(128 * k, 128);
      const uint8_t type = U8(e, 66);
      const uint64_t size = LE32(e, 120);
      const uint32_t first = LE32(e, 116);
      if (type == 2 && size < cutoff) {
        if (size > 0 && miniLimit_ > 0 && first >= miniLimit_) ++disagree;
        continue;
      }
      if ((type != 2 && type != 5) || size == 0) continue;
      if (first >= fat_.size() || fat_[first] == kCompoundFree) continue;  // says nothing
      if (chainHead_[first])
        ++agree;
      else
        ++disagree;
    }
    return agree > 0 || disagree == 0;
  }

  // A DIFAT sector lists FAT sectors by their file positions: those near it
  // lie in its piece, as far from it on the disk as in the file, and there
  // name their own index. One listed FAT sector seen so is enough; where
  // none lies near, or another file lies between, nothing is shown.
  bool DifatConfirmed(uint64_t u, const Anchor& a) {
    std::array<uint32_t, kEntriesPerFat - 1> listed{};
    Bytes b = BlockAt(u, a.Block);
    for (uint32_t e = 0; e + 1 < kEntriesPerFat; ++e) listed[e] = LE32(b, 4 * e);
    constexpr int64_t kNear = 4096;  // own sectors
    const uint64_t firstIndex = 109 + uint64_t{a.Index} * (kEntriesPerFat - 1);
    for (uint32_t e = 0; e + 1 < kEntriesPerFat; ++e) {
      const uint32_t f = listed[e];
      if (f >= FatEntries()) continue;
      const int64_t delta = static_cast<int64_t>(OwnSector(uint64_t{f} + 1)) -
                            static_cast<int64_t>(OwnSector(a.Block));
      if (delta == 0 || delta > kNear || delta < -kNear) continue;
      if (static_cast<int64_t>(u) + delta < 0) continue;
      const uint64_t v = static_cast<uint64_t>(static_cast<int64_t>(u) + delta);
      if (v >= sectors_.size() && !Extend(v + 1)) continue;
      if (Unreadable(v)) continue;
      if (!Spend(16)) return false;
      const int64_t self = SelfIndexOfFatSector(BlockAt(v, uint64_t{f} + 1), FatEntries());
      if (self >= 0 && (static_cast<uint64_t>(self) == firstIndex + e ||
                        static_cast<uint64_t>(self) == firstIndex + e + 1))
        return true;
    }
    return false;
  }

  // How closely a place must show itself to be the anchor's: another
  // database on the Source has tables of the same shape, and a DIFAT sector
  // of rising numbers looks like a FAT sector of chains.
  enum Proof : uint8_t {
    kShapeOnly = 0,  // the shape of its kind
    kNotOther = 1,   // nothing in it says it is another file's or another table
    kNamed = 2,      // a FAT sector names its own index (others as kNotOther)
  };

  bool Fits(const Anchor& a, Bytes b, Proof proof) {
    const bool strict = proof != kShapeOnly;
    switch (a.What) {
      case Kind::Header: return true;
      case Kind::Fat:
        return TableLooksSound(b, uint64_t{a.Index} * kEntriesPerFat, FatEntries(), true) &&
               (!strict || NamesItselfAs(b, a.Index, proof == kNamed));
      case Kind::Difat: return DifatLooksSound(b, a.Index);
      case Kind::Directory:
        return DirectoryLooksSound(b, a.Index) && (!strict || DirectoryAgreesWithFat(b));
      case Kind::MiniFat:
        return TableLooksSound(b, uint64_t{a.Index} * kEntriesPerFat, miniLimit_, false);
    }
    return false;
  }

  // --- Anchors. ---

  // Finds every anchor on the disk. Each is looked for first where the one
  // before it in the file leaves room for it, on from there, and where it
  // is not found there, anywhere within the search's reach (a later piece of
  // the file may lie before an earlier one). One not found is passed over.
  bool LocateAll() {
    std::sort(anchors_.begin(), anchors_.end(),
              [](const Anchor& x, const Anchor& y) { return x.Block < y.Block; });
    const uint64_t maxForeign = ForeignSectors();
    const size_t n = anchors_.size();
    // Up to kCandidates places for each anchor that look like it.
    std::vector<std::vector<uint64_t>> cands(n);
    uint64_t earliest = 0, earliestT = 0;
    for (size_t i = 0; i < n; ++i) {
      Anchor& a = anchors_[i];
      if (a.Forced) {
        cands[i] = {static_cast<uint64_t>(a.Found)};
        continue;
      }
      a.Found = -1;
      if (a.What == Kind::Header) {
        cands[i] = {0};
        continue;
      }
      const uint64_t t = OwnSector(a.Block);
      const uint64_t lo = t >= earliestT ? earliest + (t - earliestT) : 0;
      // A sector that shows itself to be this file's first; one that only
      // has the shape where none does (its chains say nothing, or the
      // writer is unlike any seen).
      for (Proof proof : {kNamed, kNotOther, kShapeOnly}) {
        if (!cands[i].empty()) break;
        if (proof == kNotOther && a.What != Kind::Fat) continue;  // the same as named
        if (!Search(a, lo, kNoEnd, maxForeign, cands[i], proof)) return false;
        if (cands[i].empty() && lo > 0 && !Search(a, 0, lo, maxForeign, cands[i], proof))
          return false;
      }
      // Where the anchor before leaves it, in the same piece, a FAT sector
      // that names no index of its own is a place too: another file's that
      // names this index must not shut it out.
      if (a.What == Kind::Fat && lo > 0 && lo < sectors_.size() &&
          std::find(cands[i].begin(), cands[i].end(), lo) == cands[i].end() &&
          !difatFound_.count(lo) && !CannotFit(a, lo) && Fits(a, BlockAt(lo, a.Block), kNotOther))
        cands[i].insert(cands[i].begin(), lo);
      if (!cands[i].empty()) {
        earliest = cands[i][0];
        earliestT = t;
      }
    }
    // The chain of places that holds the most anchors (then the fewest
    // foreign sectors), each rising with the file from the one before or,
    // at a cost, lying before it (a piece out of order). A place that only
    // looks like an anchor rarely lets the anchors after it be found at
    // their distances, and is not worth the two breaks around it.
    struct Link {
      int Score = std::numeric_limits<int>::min();
      int64_t Prev = -1;  // index into flat
    };
    constexpr int kAnchorScore = 4, kJumpCost = 6, kBreakCost = 1;
    std::vector<std::pair<size_t, uint64_t>> flat;  // anchor, place
    std::vector<size_t> firstOf(n + 1, 0);
    for (size_t i = 0; i < n; ++i) {
      firstOf[i] = flat.size();
      for (uint64_t u : cands[i]) flat.push_back({i, u});
    }
    firstOf[n] = flat.size();
    std::vector<Link> best(flat.size());
    constexpr int kNoLink = std::numeric_limits<int>::min();
    // kAnchorScore when place `to` follows `from` in one run of the file,
    // less kBreakCost with foreign clusters between (another file's table of
    // the same shape lies a little further on as often as not, but seldom at
    // the file's own distance), less kJumpCost when it lies before it,
    // kNoLink when the two cannot both hold.
    auto link = [&](size_t from, size_t to) {
      const auto [i, ui] = flat[from];
      const auto [j, uj] = flat[to];
      const uint64_t ti = OwnSector(anchors_[i].Block), tj = OwnSector(anchors_[j].Block);
      if (tj == ti) return uj == ui ? kAnchorScore : kNoLink;
      if (tj < ti || uj == ui) return kNoLink;
      if (uj < ui) return anchors_[j].Forced ? kAnchorScore : kAnchorScore - kJumpCost;
      if (uj - ui < tj - ti) return kNoLink;
      if (uj - ui == tj - ti) return kAnchorScore;
      return ForeignCountPossible(ui, uj, (uj - ui) - (tj - ti)) ? kAnchorScore - kBreakCost
                                                                : kNoLink;
    };
    auto better = [&](size_t x, size_t y) {  // x a better end than y
      if (best[x].Score != best[y].Score) return best[x].Score > best[y].Score;
      const auto fx = flat[x].second - OwnSector(anchors_[flat[x].first].Block);
      const auto fy = flat[y].second - OwnSector(anchors_[flat[y].first].Block);
      return fx < fy;
    };
    int64_t end = -1;
    for (size_t k = 0; k < flat.size(); ++k) {
      const size_t i = flat[k].first;
      if (anchors_[i].What == Kind::Header) {
        best[k].Score = kAnchorScore;
      } else {
        for (size_t j = i > kSkip ? i - kSkip : 0; j < i; ++j) {
          for (size_t p = firstOf[j]; p < firstOf[j + 1]; ++p) {
            if (!Spend(4)) return false;
            if (best[p].Score == kNoLink) continue;
            const int step = link(p, k);
            if (step == kNoLink) continue;
            const int score = best[p].Score + step;
            if (score > best[k].Score ||
                (score == best[k].Score && best[k].Prev >= 0 &&
                 flat[p].second > flat[static_cast<size_t>(best[k].Prev)].second)) {
              best[k].Score = score;
              best[k].Prev = static_cast<int64_t>(p);
            }
          }
        }
      }
      if (best[k].Score != kNoLink && (end < 0 || better(k, static_cast<size_t>(end))))
        end = static_cast<int64_t>(k);
    }
    for (int64_t k = end; k >= 0; k = best[static_cast<size_t>(k)].Prev) {
      anchors_[flat[static_cast<size_t>(k)].first].Found =
          static_cast<int64_t>(flat[static_cast<size_t>(k)].second);
    }
    return true;
  }

  // The places from index lo on, before hi, that anchor a fits, rising, at
  // most kCandidates. Nearly every place is stream data whose first bytes
  // rule it out; only the places that might be a table are read again for
  // the whole test. False when the work's bound is reached.
  // The places anywhere within the reach whose FAT sector names the
  // anchor's index, the nearest to lo first, at most kCandidates: a piece
  // of the file may lie before the one the anchor before lies in, and
  // another file's FAT sector of the same index may lie nearer ahead.
  bool SearchNamed(const Anchor& a, uint64_t lo, std::vector<uint64_t>& cands) {
    while (Extend(sectors_.size() + 65536)) {
    }
    const uint32_t bpb = bps_ / kCf;
    std::vector<uint64_t> found;
    for (uint64_t index : {uint64_t{a.Index}, uint64_t{a.Index} + 1}) {
      if (index >= namedFat_.size()) continue;
      for (uint32_t place : namedFat_[static_cast<size_t>(index)]) {
        const uint64_t u = place / bpb;
        if (place % bpb != a.Block % bpb || difatFound_.count(u)) continue;
        if (!Spend(16)) return false;
        // The index named it when the block was indexed: its shape is what is left.
        if (Fits(a, BlockAt(u, a.Block), kShapeOnly)) found.push_back(u);
      }
    }
    auto distance = [&](uint64_t u) { return u > lo ? u - lo : lo - u; };
    std::sort(found.begin(), found.end(),
              [&](uint64_t x, uint64_t y) { return distance(x) < distance(y); });
    found.erase(std::unique(found.begin(), found.end()), found.end());
    if (found.size() > kCandidates) found.resize(kCandidates);
    cands.insert(cands.end(), found.begin(), found.end());
    return true;
  }

  bool Search(const Anchor& a, uint64_t lo, uint64_t hi, uint64_t maxForeign,
              std::vector<uint64_t>& cands, Proof proof) {
    if (a.What == Kind::Fat && proof == kNamed) return SearchNamed(a, lo, cands);
    const bool strict = proof != kShapeOnly;
    const std::vector<uint32_t>& places = PlacesFor(a.What);
    const uint32_t bpb = bps_ / kCf;
    const uint64_t within = a.Block % bpb;
    // The sectors are read ahead in steps, as far as the search goes; the
    // list of places grows with them.
    constexpr uint64_t kStep = 8192;
    size_t k = static_cast<size_t>(
        std::lower_bound(places.begin(), places.end(), lo * bpb) - places.begin());
    // Once a place is found, the search for a FAT sector ends after a while
    // of places that do not fit: the tables of a large file lie close
    // together, and each would be tested against every anchor. The DIFAT,
    // directory and mini FAT sectors are few, and another database's of
    // the same shape may lie nearer: each is looked for in the whole reach.
    constexpr uint32_t kTriesAfterFound = 64;
    uint32_t triesSince = 0;
    while (cands.size() < kCandidates &&
           (cands.empty() || triesSince < kTriesAfterFound || a.What != Kind::Fat)) {
      if (k >= places.size()) {
        if (sectors_.size() >= hi) break;
        const uint64_t before = sectors_.size();
        Extend(std::min(hi, before + kStep));
        if (sectors_.size() == before) break;
        continue;
      }
      const uint64_t u = places[k] / bpb;
      const bool here = places[k] % bpb == within;
      ++k;
      if (u >= hi) break;
      if (u < lo || !here) continue;
      if (a.What != Kind::Difat && difatFound_.count(u)) continue;
      if (!Spend(16)) return false;
      ++triesSince;
      if (!CannotFit(a, u) && Fits(a, BlockAt(u, a.Block), proof) &&
          (!strict || a.What != Kind::Difat || DifatContinues(BlockAt(u, a.Block), a.Index) ||
           DifatConfirmed(u, a))) {
        if (cands.empty() && u + maxForeign < hi) hi = u + maxForeign;
        cands.push_back(u);
        triesSince = 0;
      }
    }
    return true;
  }

  // Whole clusters between two anchors can make up `foreign` sectors: those
  // sharing a cluster with either anchor are the file's own.
  bool ForeignCountPossible(uint64_t fromU, uint64_t toU, uint64_t foreign) const {
    if (toU <= fromU + 1) return foreign == 0;
    uint64_t shared = 0;
    for (uint64_t u = fromU + 1; u < toU && unit_[u] == unit_[fromU]; ++u) ++shared;
    for (uint64_t u = toU - 1; u > fromU + shared && unit_[u] == unit_[toU]; --u) ++shared;
    return foreign + shared <= toU - fromU - 1;
  }

  // Reads the DIFAT sectors found, from the header's first on, as long as
  // each is the one the sector before names: the FAT sectors they list go
  // to fatOrder_ and fatPlaces_ after the header's. Returns how many were
  // read; next is the DIFAT sector the last of them names.
  size_t FollowDifat(const std::set<uint64_t>& headerPlaces, uint32_t& next) {
    fatOrder_.resize(std::min<size_t>(fatOrder_.size(), 109));
    fatPlaces_ = headerPlaces;
    next = LE32(Header(), 68);
    size_t k = 0;
    for (; k < difatOrder_.size() && difatOrder_[k] == next; ++k) {
      const Anchor* a = Find(Kind::Difat, static_cast<uint32_t>(k));
      if (!a || a->Found < 0) break;
      Bytes b = BlockAt(static_cast<uint64_t>(a->Found), a->Block);
      int64_t highest = difatAfter_[k];
      const size_t listedFrom = fatOrder_.size();
      for (uint32_t e = 0; e + 1 < kEntriesPerFat && fatOrder_.size() < fatCount_; ++e) {
        const uint32_t f = LE32(b, 4 * e);
        if (f == kCompoundFree) continue;
        fatPlaces_.insert(f);
        fatOrder_.push_back(f);
        highest = std::max<int64_t>(highest, f);
      }
      if (difatAfter_.size() <= k + 1) difatAfter_.resize(k + 2, -1);
      if (difatStep_.size() <= k + 1) difatStep_.resize(k + 2, 1);
      difatAfter_[k + 1] = highest;
      difatStep_[k + 1] = ListStep(std::span(fatOrder_).subspan(listedFrom));
      next = LE32(b, 4 * (kEntriesPerFat - 1));
    }
    return k;
  }

  // A DIFAT sector lies in a piece of the file with other tables: the FAT
  // sectors known so far that lie next to it in the file, one on either
  // side, are looked for with it, so that the one in the right piece is
  // told from another that only has its shape. The whole FAT is not: each
  // round would look for all of it again.
  void SupportDifat() {
    std::erase_if(anchors_, [](const Anchor& a) { return a.What == Kind::Fat; });
    std::vector<std::pair<uint32_t, uint32_t>> byPlace;  // file sector, FAT index
    for (uint32_t k = 0; k < fatOrder_.size(); ++k) byPlace.push_back({fatOrder_[k], k});
    std::sort(byPlace.begin(), byPlace.end());
    std::set<uint32_t> added;
    for (uint32_t d : difatOrder_) {
      auto it = std::lower_bound(byPlace.begin(), byPlace.end(), std::pair<uint32_t, uint32_t>{d, 0});
      if (it != byPlace.end()) added.insert(it->second);
      if (it != byPlace.begin()) added.insert(std::prev(it)->second);
    }
    for (uint32_t k : added) anchors_.push_back({uint64_t{fatOrder_[k]} + 1, Kind::Fat, k, -1});
  }

  // Forgets the DIFAT sectors from the k-th on.
  void DropDifatFrom(size_t k) {
    for (size_t i = k; i < difatOrder_.size(); ++i) difatPlaces_.erase(difatOrder_[i]);
    difatOrder_.resize(k);
    std::erase_if(anchors_, [&](const Anchor& a) { return a.What == Kind::Difat && a.Index >= k; });
  }

  bool LocateFat() {
    Bytes header = Header();
    anchors_.push_back({0, Kind::Header, 0, 0});
    for (uint32_t i = 0; i < 109 && i < fatCount_; ++i) {
      const uint32_t f = LE32(header, 76 + 4 * i);
      if (f >= FatEntries()) return Fail("a FAT sector number is out of range");
      fatPlaces_.insert(f);
      fatOrder_.push_back(f);
    }
    difatCount_ = LE32(header, 72);
    difatAfter_.assign(1, -1);
    for (uint32_t f : fatOrder_) difatAfter_[0] = std::max<int64_t>(difatAfter_[0], f);
    difatStep_.assign(1, ListStep(fatOrder_));
    const std::set<uint64_t> headerPlaces = fatPlaces_;
    fatPlacesComplete_ = fatOrder_.size() == fatCount_;
    // Each round finds the DIFAT sectors known so far and learns the next
    // from the last of them. A round may find an earlier one elsewhere than
    // the round before, which then names another next: the chain is kept
    // only as far as the sectors found bear it out.
    const uint32_t maxRounds = 2 * std::min<uint32_t>(difatCount_, 1u << 20) + 2;
    for (uint32_t round = 0; round < maxRounds; ++round) {
      uint32_t next = kCompoundEndOfChain;
      const size_t borne = FollowDifat(headerPlaces, next);
      if (borne < difatOrder_.size()) {
        Anchor* a = FindToSet(Kind::Difat, static_cast<uint32_t>(borne));
        if (!a) break;
        if (a->Found < 0) {
          // Not where the chain of anchors reaches: a piece out of order
          // that holds no other anchor known yet. Where it fits one place
          // only in the whole reach, it lies there; else the chain ends.
          const int64_t only = OnlyPlaceOf(*a);
          if (only < 0) break;
          a->Found = only;
          a->Forced = true;
          continue;  // followed on from there
        }
        DropDifatFrom(borne);
      }
      if (difatOrder_.size() >= difatCount_ || next == kCompoundEndOfChain ||
          next == kCompoundFree || next >= FatEntries() || difatPlaces_.count(next))
        break;  // the chain ends, or loops
      difatPlaces_.insert(next);
      difatOrder_.push_back(next);
      anchors_.push_back({uint64_t{next} + 1, Kind::Difat, static_cast<uint32_t>(borne), -1});
      SupportDifat();
      if (!LocateAll()) return Fail("the search for the FAT took too long");
    }
    std::erase_if(anchors_, [](const Anchor& a) { return a.What == Kind::Fat; });
    {
      uint32_t next = kCompoundEndOfChain;
      FollowDifat(headerPlaces, next);
      // The places the DIFAT took are no other table's.
      for (const Anchor& a : anchors_) {
        if (a.What == Kind::Difat && a.Found >= 0)
          difatFound_.insert(static_cast<uint64_t>(a.Found));
      }
    }
    fatPlacesComplete_ = fatOrder_.size() == fatCount_;
    if (!fatPlacesComplete_) Uncertain("the DIFAT could not be followed to its end");
    for (uint32_t k = 0; k < fatOrder_.size(); ++k) {
      anchors_.push_back({uint64_t{fatOrder_[k]} + 1, Kind::Fat, k, -1});
    }
    if (!LocateAll()) return Fail("the search for the FAT took too long");
    fat_.assign(FatEntries(), kCompoundFree);
    int found = 0;
    for (uint32_t k = 0; k < fatOrder_.size(); ++k) {
      const Anchor* a = Find(Kind::Fat, k);
      if (!a || a->Found < 0) {
        // Not found: overwritten, or all free (then it is rightly free here).
        continue;
      }
      ++found;
      Bytes b = BlockAt(static_cast<uint64_t>(a->Found), a->Block);
      for (uint32_t e = 0; e < kEntriesPerFat; ++e)
        fat_[uint64_t{k} * kEntriesPerFat + e] = LE32(b, 4 * e);
    }
    if (found == 0) return Fail("no FAT sector was found");
    // The sectors that begin a chain: no entry names them.
    chainHead_.assign(fat_.size(), true);
    for (uint32_t v : fat_) {
      if (v < chainHead_.size()) chainHead_[v] = false;
    }
    uint64_t k = fat_.size();
    while (k > 0 && fat_[k - 1] == kCompoundFree) --k;
    length_ = (k + 1) * kCf;
    if (k == 0 || length_ > limits_.MaxFileBytes) return Fail("the FAT gives no usable length");
    return true;
  }

  Anchor* FindToSet(Kind what, uint32_t index) {
    return const_cast<Anchor*>(std::as_const(*this).Find(what, index));
  }

  // Whether the DIFAT sector that the one at u names next lies where the
  // file's distance between the two puts it, in the same piece.
  bool NextDifatAtItsDistance(uint64_t u, const Anchor& a) {
    const uint32_t next = LE32(BlockAt(u, a.Block), 4 * (kEntriesPerFat - 1));
    if (next >= FatEntries() || uint64_t{next} + 1 <= a.Block) return false;
    const uint64_t v = u + (OwnSector(uint64_t{next} + 1) - OwnSector(a.Block));
    if (v >= sectors_.size() && !Extend(v + 1)) return false;
    if (Unreadable(v)) return false;
    const Anchor after{uint64_t{next} + 1, Kind::Difat, a.Index + 1, -1};
    return !CannotFit(after, v) && RisesAsADifat(BlockAt(v, after.Block));
  }

  // The one place in the whole reach that DIFAT sector a fits, continuing
  // the list before it, that no other anchor holds; -1 when there is none
  // or more than one. (The file's next DIFAT sector fits the shape too, but
  // lists sectors much further on.) Where several continue it, the one
  // whose FAT sectors, or the next DIFAT sector, lie around it at the
  // file's distances is the one.
  int64_t OnlyPlaceOf(const Anchor& a) {
    while (Extend(sectors_.size() + 65536)) {
    }
    const uint32_t bpb = bps_ / kCf;
    std::vector<uint64_t> continuing;
    for (uint32_t p : PlacesFor(a.What)) {
      if (p % bpb != a.Block % bpb) continue;
      const uint64_t u = p / bpb;
      if (!Spend(16)) return -1;
      const bool held = std::any_of(anchors_.begin(), anchors_.end(), [&](const Anchor& o) {
        return o.Found == static_cast<int64_t>(u);
      });
      if (held || CannotFit(a, u)) continue;
      Bytes b = BlockAt(u, a.Block);
      if (Fits(a, b, kShapeOnly) && DifatContinues(b, a.Index)) continuing.push_back(u);
    }
    if (continuing.size() == 1) return static_cast<int64_t>(continuing[0]);
    int64_t only = -1;
    for (uint64_t u : continuing) {
      if (!DifatConfirmed(u, a) && !NextDifatAtItsDistance(u, a)) continue;
      if (only >= 0) return -1;
      only = static_cast<int64_t>(u);
    }
    return only;
  }

  const Anchor* Find(Kind what, uint32_t index) const {
    for (const Anchor& a : anchors_) {
      if (a.What == what && a.Index == index) return &a;
    }
    return nullptr;
  }

  bool Fail(const std::string& why) {
    out_.Reason = why;
    return false;
  }

  // A chain of the FAT, at most `cap` sectors, stopping at a fault.
  std::vector<uint32_t> FatChain(uint32_t start, uint64_t cap) {
    std::vector<uint32_t> chain;
    // One stamp per call marks the sectors seen, so a loop ends the chain
    // without clearing a table for every stream.
    if (seen_.size() != fat_.size()) seen_.assign(fat_.size(), 0);
    ++stamp_;
    uint32_t n = start;
    while (n < fat_.size() && chain.size() < cap) {
      if (seen_[n] == stamp_) break;
      seen_[n] = stamp_;
      chain.push_back(n);
      n = fat_[n];
    }
    return chain;
  }

  // The directory and the mini FAT, found through the FAT.
  bool LocateTables() {
    Bytes header = Header();
    const uint64_t maxSectors = length_ / kCf;
    dirChain_ = FatChain(LE32(header, 48), maxSectors);
    miniFatChain_ = FatChain(LE32(header, 60), LE32(header, 64));
    miniLimit_ = uint64_t{LE32(header, 64)} * kEntriesPerFat;
    for (uint32_t k = 0; k < dirChain_.size(); ++k) {
      anchors_.push_back({uint64_t{dirChain_[k]} + 1, Kind::Directory, k, -1});
    }
    for (uint32_t k = 0; k < miniFatChain_.size(); ++k) {
      anchors_.push_back({uint64_t{miniFatChain_[k]} + 1, Kind::MiniFat, k, -1});
    }
    if (!LocateAll()) return Fail("the search for the directory took too long");
    for (uint32_t k = 0; k < dirChain_.size(); ++k) {
      const Anchor* a = Find(Kind::Directory, k);
      if (!a || a->Found < 0) {
        if (k == 0) return Fail("the directory was not found");
        dir_.insert(dir_.end(), kCf, 0);
        continue;
      }
      Bytes b = BlockAt(static_cast<uint64_t>(a->Found), a->Block);
      dir_.insert(dir_.end(), b.begin(), b.end());
    }
    for (uint32_t k = 0; k < miniFatChain_.size(); ++k) {
      const Anchor* a = Find(Kind::MiniFat, k);
      if (!a || a->Found < 0) {
        miniFat_.insert(miniFat_.end(), kEntriesPerFat, kCompoundFree);
        continue;
      }
      Bytes b = BlockAt(static_cast<uint64_t>(a->Found), a->Block);
      for (uint32_t e = 0; e < kEntriesPerFat; ++e) miniFat_.push_back(LE32(b, 4 * e));
    }
    return true;
  }

  // The carver's name rule: both QQ names before the first unused entry.
  bool NamesQQ() {
    int count = 0;
    for (size_t off = 0; off + 128 <= dir_.size() && count < 2; off += 128) {
      Bytes e = Bytes(dir_).subspan(off, 128);
      const uint16_t n = LE16(e, 64);
      if (n < 4 || n > 64) break;
      const size_t units = (n - 2u) / 2u;
      for (std::u16string_view name :
           {std::u16string_view(u"Matrix.dat"), std::u16string_view(u"seqbase.dat")}) {
        bool same = units == name.size();
        for (size_t i = 0; same && i < units; ++i) same = LE16(e, 2 * i) == name[i];
        if (same) ++count;
      }
    }
    if (count < 2) return Fail("not a QQ database");
    return true;
  }

  // --- What each block of the file should hold. ---

  void ExpectationsFromTables() {
    const uint64_t blocks = length_ / kCf;
    expect_.assign(blocks, kAnything);
    for (const Anchor& a : anchors_) {
      if (a.Block < blocks) expect_[a.Block] = kStructure;
    }
    Bytes header = Header();
    const uint64_t cutoff = LE32(header, 56) ? LE32(header, 56) : kMiniCutoffDefault;
    const uint64_t entries = dir_.size() / 128;
    std::vector<uint32_t> miniStream;
    std::vector<uint16_t> miniUsed;  // per 512-byte block of the mini stream
    for (uint64_t i = 0; i < entries; ++i) {
      Bytes e = Bytes(dir_).subspan(static_cast<size_t>(i * 128), 128);
      const uint8_t type = U8(e, 66);
      const uint64_t size = LE32(e, 120);
      if (type == 5) {
        miniStream = FatChain(LE32(e, 116), (size + kCf - 1) / kCf);
        miniUsed.assign(miniStream.size(), 0);
        continue;
      }
      if (type != 2 || size == 0 || size > length_) continue;
      if (size < cutoff) continue;
      std::vector<uint32_t> chain = FatChain(LE32(e, 116), (size + kCf - 1) / kCf);
      if (!Spend(chain.size() + 1)) break;  // a hostile directory's many long chains
      for (uint64_t k = 0; k < chain.size(); ++k) {
        const uint64_t used = std::min<uint64_t>(kCf, size - k * kCf);
        const uint64_t block = uint64_t{chain[k]} + 1;
        if (block >= blocks) continue;
        if (used == kCf) {
          expect_[block] = kRandom;
        } else {
          // The stream's last sector: its data, then what the writer left.
          expect_[block] = kPartRandom;
          parts_[block].push_back({0, static_cast<uint16_t>(used)});
        }
      }
    }
    // Small streams: a mini stream block is expected random when its mini
    // sectors are nearly all in use.
    for (uint64_t i = 0; i < entries && !miniUsed.empty(); ++i) {
      Bytes e = Bytes(dir_).subspan(static_cast<size_t>(i * 128), 128);
      const uint64_t size = LE32(e, 120);
      if (U8(e, 66) != 2 || size == 0 || size >= cutoff) continue;
      uint32_t m = LE32(e, 116);
      if (!Spend(size / kMini + 1)) break;
      for (uint64_t k = 0; k * kMini < size && m < miniFat_.size(); ++k) {
        const uint64_t block = m / (kCf / kMini);
        if (block >= miniUsed.size()) break;
        const uint64_t used = std::min<uint64_t>(kMini, size - k * kMini);
        miniUsed[block] = static_cast<uint16_t>(miniUsed[block] + used);
        if (miniStream[block] + 1 < blocks) {
          parts_[miniStream[block] + 1].push_back(
              {static_cast<uint16_t>((m % (kCf / kMini)) * kMini), static_cast<uint16_t>(used)});
        }
        m = miniFat_[m];
      }
    }
    for (size_t k = 0; k < miniStream.size(); ++k) {
      if (miniStream[k] + 1 >= blocks) continue;
      expect_[miniStream[k] + 1] = miniUsed[k] >= kCf - kMini ? kRandom : kPartRandom;
    }
    // Only a store whose data is seen to be encrypted is judged by it: where
    // two anchors pin the sectors between them, enough of their stream data
    // must be there and look random, or no block is expected to.
    uint64_t checked = 0, plain = 0;
    const Anchor* prev = nullptr;
    const uint32_t bpb = bps_ / kCf;
    for (const Anchor& a : anchors_) {
      if (a.Found < 0) continue;
      if (prev && a.Found - prev->Found ==
                      static_cast<int64_t>(OwnSector(a.Block) - OwnSector(prev->Block))) {
        for (uint64_t b = prev->Block + 1; b < a.Block && b < blocks; ++b) {
          if (expect_[b] != kRandom) continue;
          const uint64_t u =
              static_cast<uint64_t>(prev->Found) + OwnSector(b) - OwnSector(prev->Block);
          if (Unreadable(u)) continue;
          ++checked;
          if (!Random(u * bpb + b % bpb)) ++plain;
        }
      }
      prev = &a;
    }
    randomExpected_ = checked >= kEvidenceBlocks && plain <= checked / 50;
    if (!randomExpected_) {
      for (uint8_t& e : expect_) {
        if (e == kRandom || e == kPartRandom) e = kAnything;
      }
    }
  }

  // --- The gaps between anchors. ---

  // Cost of taking unclaimed sector u as own sector t, and as foreign. An
  // unreadable sector costs nothing either way: the clusters around it decide.
  float OwnCost(uint64_t t, uint64_t u) {
    const uint32_t bpb = bps_ / kCf;
    float c = 0;
    if (Unreadable(u)) return c;
    for (uint32_t b = 0; b < bpb; ++b) {
      const uint64_t block = t * bpb + b;
      if (block >= expect_.size()) continue;
      if (expect_[block] == kRandom && !Random(u * bpb + b)) c += 1;
      if (expect_[block] == kPartRandom) {
        auto it = parts_.find(block);
        if (it != parts_.end() && !RangesLookRandom(SectorAt(u).subspan(b * kCf, kCf), it->second))
          c += 1;
      }
    }
    return c;
  }
  // A foreign cluster is another file's as a whole: its data, and behind
  // that file's end, in its last cluster, whatever an earlier file left
  // there. Random blocks after the last plain one are such slack and cost
  // nothing; a cluster random throughout may well be the file's own.
  float ForeignUnitCost(uint64_t first, uint64_t size) {
    const uint32_t bpb = bps_ / kCf;
    float random = 0, trailing = 0;
    bool plainSeen = false;
    for (uint64_t u = first; u < first + size; ++u) {
      if (Unreadable(u)) continue;  // says nothing either way
      for (uint32_t b = 0; b < bpb; ++b) {
        if (Random(u * bpb + b)) {
          random += 1;
          trailing += 1;
        } else {
          plainSeen = true;
          trailing = 0;
        }
      }
    }
    return plainSeen ? random - trailing : random;
  }

  struct Unit {
    uint64_t First;  // unclaimed index
    uint64_t Size;   // sectors
    bool Forced;     // shares a cluster with an anchor: the file's own
  };

  // Own sectors t0 .. t0+own-1 lie in unclaimed sectors from u0 on, before
  // uEnd (exact) or wherever they end (open, the file's tail). Chooses the
  // foreign clusters among them; appends the own ones to order_.
  bool SolveGap(uint64_t t0, uint64_t u0, uint64_t own, uint64_t uEnd, bool open,
                int64_t anchorUnitBefore, int64_t anchorUnitAfter) {
    auto forcedUnit = [&](uint64_t u) {
      return static_cast<int64_t>(unit_[u]) == anchorUnitBefore ||
             static_cast<int64_t>(unit_[u]) == anchorUnitAfter;
    };
    const size_t firstPlaced = order_.size();
    if (own == 0 && !open) {
      for (uint64_t u = u0; u < uEnd; ++u) {
        if (forcedUnit(u)) return Fail("two anchors leave no room between them");
      }
      return true;
    }
    const uint32_t spc = std::max<uint32_t>(1, s_.Scan.SectorsPerCluster);
    if (open) {
      // Behind the last anchor nothing pins a piece at the front of the
      // range: a tail that starts before the end stops there.
      Extend(u0 + own + 1);
      const uint64_t end = std::min<uint64_t>(RegionEnd(u0), sectors_.size());
      if (u0 + own > end) {
        Uncertain("the file runs past the end of the scan range");
        for (uint64_t u = u0; u < end; ++u) order_.push_back(u);
        return true;
      }
      // The tail may step over as many foreign sectors as the programme's
      // size allows, at most the foreign budget.
      uint64_t budget = std::min<uint64_t>(ForeignSectors(), own + 256ull * spc);
      while (budget > spc &&
             ((own + budget) / spc + 2) * (budget / spc + 1) > limits_.MaxCellsPerGap)
        budget /= 2;
      uEnd = u0 + own + budget;
      if (!Extend(uEnd)) uEnd = sectors_.size();
      uEnd = std::min(uEnd, RegionEnd(u0));
      // A cluster cut off by the window's end would make every step a few
      // sectors long: the window ends with the last whole cluster instead.
      uint64_t whole = uEnd;
      while (whole > u0 + own && whole < sectors_.size() && unit_[whole - 1] == unit_[whole])
        --whole;
      if (whole > u0 + own || whole == uEnd) uEnd = whole;
    }
    std::vector<Unit> units;
    for (uint64_t u = u0; u < uEnd;) {
      uint64_t v = u;
      while (v < uEnd && unit_[v] == unit_[u]) ++v;
      units.push_back({u, v - u, forcedUnit(u)});
      u = v;
    }
    const uint64_t total = uEnd - u0;
    if (!open && total < own) return Fail("the file's own sectors between two anchors are missing");
    const uint64_t foreign = open ? total - own : total - own;
    if (foreign == 0) {
      for (uint64_t u = u0; u < u0 + own; ++u) order_.push_back(u);
      return true;
    }
    uint64_t g = 0;
    for (const Unit& x : units) {
      if (!x.Forced) g = std::gcd(g, x.Size);
    }
    if (g == 0 || (!open && foreign % g != 0)) return Fail("no whole clusters make up a gap");
    const uint64_t jn = foreign / g + 1;
    const uint64_t m = units.size();
    if ((m + 1) * jn > limits_.MaxCellsPerGap) return Fail("a gap is too large to search");
    if (!Spend((m + 1) * jn * 6 * (total / m + 1))) return Fail("the search took too long");

    std::vector<uint64_t> before(m + 1, 0);  // sectors in the units before unit i
    for (uint64_t i = 0; i < m; ++i) before[i + 1] = before[i] + units[i].Size;
    auto terminal = [&](uint64_t i, uint64_t j) {
      const uint64_t ownSoFar = before[i] - j * g;
      return open ? ownSoFar >= own : (i == m && j * g == foreign);
    };
    auto ownCost = [&](uint64_t i, uint64_t j) {
      const uint64_t t = t0 + before[i] - j * g;
      float c = 0;
      for (uint64_t k = 0; k < units[i].Size; ++k) c += OwnCost(t + k, units[i].First + k);
      return c;
    };
    std::vector<float> foreignCost(m);
    std::vector<uint64_t> step(m);
    std::vector<bool> canSkip(m);
    for (uint64_t i = 0; i < m; ++i) {
      foreignCost[i] = ForeignUnitCost(units[i].First, units[i].Size);
      step[i] = units[i].Size / g;
      canSkip[i] = !units[i].Forced && units[i].Size % g == 0;
    }
    // back[i][j][p]: the least cost from unit i on, j*g foreign sectors taken
    // so far, p when unit i-1 was stepped over. Every run of foreign units
    // costs kRunStart more: another file's pieces between two of ours are few
    // and whole, so of two choices the data cannot tell apart, the one with
    // fewer breaks in the file wins.
    auto at = [&](uint64_t i, uint64_t j, int p) {
      return static_cast<size_t>((i * jn + j) * 2 + static_cast<uint64_t>(p));
    };
    std::vector<float> back((m + 1) * jn * 2, kInfinite);
    for (uint64_t i = m + 1; i-- > 0;) {
      for (uint64_t j = 0; j < jn && j * g <= before[i]; ++j) {
        if (terminal(i, j)) {
          back[at(i, j, 0)] = back[at(i, j, 1)] = 0;
          continue;
        }
        if (i == m) continue;
        const float take = ownCost(i, j) + back[at(i + 1, j, 0)];
        float skip = kInfinite;
        if (canSkip[i] && j + step[i] < jn) skip = foreignCost[i] + back[at(i + 1, j + step[i], 1)];
        back[at(i, j, 0)] = std::min(take, skip + kRunStart);
        back[at(i, j, 1)] = std::min(take, skip);
      }
    }
    if (!std::isfinite(back[at(0, 0, 0)])) return Fail("no choice of clusters fills a gap");
    // Forward: for each unit, the best whole assembly that takes it as own,
    // the best that steps over it and the best that ends before it (the
    // file's tail). When the two best of these are too close, it is a guess.
    std::vector<float> row(jn * 2, kInfinite), next(jn * 2, kInfinite);
    row[0] = 0;
    bool certain = true;
    // The units where two near-best assemblies part: between the first and
    // the last of them the file's sectors may lie otherwise.
    uint64_t firstDoubt = m, lastDoubt = 0;
    float bestEnded = kInfinite;  // the best assembly that ended before the unit
    for (uint64_t i = 0; i < m; ++i) {
      std::fill(next.begin(), next.end(), kInfinite);
      float bestOwn = kInfinite, bestForeign = kInfinite;
      for (uint64_t j = 0; j < jn; ++j) {
        if (terminal(i, j)) {
          bestEnded = std::min({bestEnded, row[j * 2], row[j * 2 + 1]});
          continue;
        }
        for (int p = 0; p < 2; ++p) {
          const float f = row[j * 2 + static_cast<uint64_t>(p)];
          if (!std::isfinite(f)) continue;
          const float o = f + ownCost(i, j);
          next[j * 2] = std::min(next[j * 2], o);
          bestOwn = std::min(bestOwn, o + back[at(i + 1, j, 0)]);
          if (canSkip[i] && j + step[i] < jn) {
            const float x = f + foreignCost[i] + (p ? 0.0f : kRunStart);
            const size_t to = (j + step[i]) * 2 + 1;
            next[to] = std::min(next[to], x);
            bestForeign = std::min(bestForeign, x + back[at(i + 1, j + step[i], 1)]);
          }
        }
      }
      std::array<float, 3> options = {bestOwn, bestForeign, bestEnded};
      std::sort(options.begin(), options.end());
      if (std::isfinite(options[1]) && options[1] - options[0] < 0.5f) {
        certain = false;
        firstDoubt = std::min(firstDoubt, i);
        lastDoubt = i;
      }
      row.swap(next);
    }
    // Walk the best choice, own first on a tie.
    uint64_t j = 0, skipped = 0;
    bool steppedOverRandom = false, steppedOverUnread = false;
    int p = 0;
    float left = back[at(0, 0, 0)];
    std::vector<size_t> placedBefore(m + 1, order_.size());  // own sectors placed before unit i
    bool wholeGapInDoubt = false;  // a doubt that may move any sector of the gap
    uint64_t walked = 0;
    for (uint64_t i = 0; i < m && !terminal(i, j); ++i) {
      placedBefore[i] = order_.size();
      const float o = ownCost(i, j);
      if (std::fabs(o + back[at(i + 1, j, 0)] - left) < 0.25f) {
        left -= o;
        p = 0;
        for (uint64_t k = 0; k < units[i].Size; ++k) order_.push_back(units[i].First + k);
      } else {
        left -= foreignCost[i] + (p ? 0.0f : kRunStart);
        steppedOverRandom = steppedOverRandom || foreignCost[i] > 0;
        bool unread = true;
        for (uint64_t k = 0; k < units[i].Size && unread; ++k)
          unread = Unreadable(units[i].First + k);
        steppedOverUnread = steppedOverUnread || unread;
        j += step[i];
        p = 1;
        ++skipped;
      }
      walked = i + 1;
    }
    for (uint64_t k = walked; k <= m; ++k) placedBefore[k] = order_.size();
    // Behind the last anchor the file is taken as running on unless
    // something says otherwise, as the plain carve takes it: a tail that
    // steps over nothing is no guess, one that steps over a cluster must have
    // been forced by the evidence.
    if (open && skipped == 0) certain = true;
    // A foreign cluster that looks as random as encrypted data may as well be
    // the file's own: another file's compressed bytes are never told apart.
    if (steppedOverRandom) {
      certain = false;
      wholeGapInDoubt = true;
    }
    // A cluster that could not be read at all was stepped over for nothing
    // it showed: the file's own, for all that is known, with another taken
    // in its place.
    if (steppedOverUnread) {
      certain = false;
      wholeGapInDoubt = true;
    }
    if (!certain) {
      Uncertain("a gap's foreign clusters could not be told from the file's own");
      // Where two near-best assemblies part only in a stretch of the gap,
      // the sectors before and behind it lie alike in both; a tail may end
      // elsewhere, so its doubt runs to its end.
      size_t from = firstPlaced, to = order_.size();
      if (!wholeGapInDoubt && firstDoubt < m) {
        from = placedBefore[firstDoubt];
        if (!open) to = placedBefore[std::min<uint64_t>(lastDoubt + 1, m)];
      }
      guessed_.push_back({from, to});
    }
    return true;
  }

  // Stream data expected encrypted that does not look it, in the assembly.
  void FindSuspects() {
    if (!randomExpected_) return;
    const std::vector<uint8_t>& use = out_.Check.SectorUse;
    const std::vector<uint32_t>& owner = out_.Check.SectorStream;
    for (size_t n = 0; n < use.size(); ++n) {
      if ((n + 2) * kCf > FileSize()) break;
      // Zeros read for an unreadable sector are named as such, not as suspect.
      const uint64_t u = order_[OwnSector(n + 1)];
      if (Unreadable(u)) continue;
      const uint32_t bpb = bps_ / kCf;
      if (use[n] == kSectorFullData && !Random(u * bpb + (n + 1) % bpb)) {
        out_.Suspect.push_back(static_cast<uint32_t>(n));
      }
      // A sector of the mini stream: the small streams' bytes in it.
      auto it = parts_.find(n + 1);
      if (use[n] == kSectorPartData && n < owner.size() && owner[n] == kNoCompoundEntry &&
          it != parts_.end() &&
          !RangesLookRandom(BlockAt(u, n + 1), it->second)) {
        out_.Suspect.push_back(static_cast<uint32_t>(n));
      }
    }
    if (!out_.Suspect.empty()) Uncertain("stream data that should look encrypted does not");
  }

  // The own sectors between anchors at (t1, u1) and (t2, u2) where the two
  // lie in different pieces of the file: one before the other on the disk,
  // in different stretches, or with another piece of the file between
  // them, or too far apart to search what lies between. The piece of the
  // first runs on behind it and the piece of the second leads up to it, so
  // the sectors are split in two: k behind u1, the rest before u2, each cut
  // between whole clusters. The split the file's expectations fit best is
  // taken; it is sure only when it fits them at no cost, every other split
  // costs more, and what lies behind and before the two parts does not look
  // like the file's own (another cluster of it might be there). With clean,
  // nothing is placed unless that best split fits at no cost. False when no
  // split is possible (or, with clean, none is clean).
  bool SplitAcross(uint64_t t1, uint64_t u1, uint64_t t2, uint64_t u2, bool clean) {
    settled_ = false;
    const uint64_t n = t2 - t1 - 1;
    Extend(u1 + 2 + n);
    const uint64_t endA = std::min<uint64_t>(RegionEnd(u1), sectors_.size());
    const uint64_t beginB = RegionBegin(u2);
    uint64_t availA = std::min<uint64_t>(n, endA - u1 - 1);
    uint64_t availB = std::min<uint64_t>(n, u2 - beginB);
    if (u1 < u2) {
      // One stretch: the two parts must not meet.
      if (u2 - u1 - 1 < n) return false;
      availA = std::min<uint64_t>(availA, u2 - u1 - 1);
      availB = std::min<uint64_t>(availB, u2 - u1 - 1);
    }
    if (availA + availB < n) return false;
    if (!Spend(2 * n + 2)) return false;
    std::vector<float> costA(static_cast<size_t>(availA) + 1, 0), costB(static_cast<size_t>(availB) + 1, 0);
    for (uint64_t i = 1; i <= availA; ++i) costA[i] = costA[i - 1] + OwnCost(t1 + i, u1 + i);
    for (uint64_t i = 1; i <= availB; ++i) costB[i] = costB[i - 1] + OwnCost(t2 - i, u2 - i);
    // Cuts between whole clusters: behind the k taken after u1, and in front
    // of the j taken before u2.
    auto cutA = [&](uint64_t k) {
      const uint64_t next = u1 + k + 1;
      return next >= endA || unit_[next] != unit_[next - 1];
    };
    auto cutB = [&](uint64_t j) {
      const uint64_t first = u2 - j;
      return first == beginB || unit_[first - 1] != unit_[first];
    };
    const uint64_t kFrom = n - availB, kTo = availA;
    int64_t bestK = -1;
    float bestCost = kInfinite, second = kInfinite;
    for (uint64_t k = kFrom; k <= kTo; ++k) {
      if (!cutA(k) || !cutB(n - k)) continue;
      const float c = costA[k] + costB[n - k];
      if (c < bestCost) {
        second = bestCost;
        bestCost = c;
        bestK = static_cast<int64_t>(k);
      } else if (c < second) {
        second = c;
      }
    }
    bool forced = bestK >= 0;
    if (bestK < 0) {
      // No cut falls between whole clusters: the geometry is not the
      // file's. The parts are taken as far behind u1 as they reach.
      if (clean) return false;
      bestK = static_cast<int64_t>(kTo);
      bestCost = costA[kTo] + costB[n - kTo];
    }
    if (clean && bestCost > 0) return false;
    uint64_t k = static_cast<uint64_t>(bestK);
    // What lies next to each part, not taken: stream data there may be
    // another cluster of the file's own.
    auto looksOwn = [&](uint64_t u) {
      uint64_t v = u;
      while (v + 1 < sectors_.size() && unit_[v + 1] == unit_[u]) ++v;
      uint64_t w = u;
      while (w > 0 && unit_[w - 1] == unit_[u]) --w;
      return ForeignUnitCost(w, v - w + 1) > 0;
    };
    auto nextToA = [&](uint64_t behind) {
      return u1 + behind + 1 < endA && looksOwn(u1 + behind + 1);
    };
    auto nextToB = [&](uint64_t behind) {
      return u2 - (n - behind) > beginB && looksOwn(u2 - (n - behind) - 1);
    };
    bool sure = forced && randomExpected_ && bestCost == 0 && second - bestCost >= 0.5f &&
                !nextToA(k) && !nextToB(k);
    if ((!sure || offerOnly_) && forced && randomExpected_ && bestCost == 0) {
      // The cuts the evidence leaves: the databases beside this one may
      // have settled which it is; else they are offered to them.
      OpenSplit open{sectors_[u1], sectors_[u2], n, {}};
      for (uint64_t c = kFrom; c <= kTo && open.Cuts.size() <= kMaxOpenCuts; ++c) {
        if (!cutA(c) || !cutB(n - c) || costA[c] + costB[n - c] != bestCost) continue;
        PieceCut cut;
        cut.Behind = c;
        cut.TailEnd = static_cast<int64_t>(sectors_[u1 + c]);
        if (u1 + c + 1 < endA) cut.AfterTail = static_cast<int64_t>(sectors_[u1 + c + 1]);
        // Behind a claimed sector (another file's, or another database's
        // sure one), a piece may end as well as behind plain data.
        cut.TailEndsPlain =
            cut.AfterTail >= 0 && (cut.AfterTail != cut.TailEnd + 1 || !nextToA(c));
        const uint64_t first = u2 - (n - c);
        cut.HeadStart = static_cast<int64_t>(sectors_[first]);
        if (first > beginB) cut.BeforeHead = static_cast<int64_t>(sectors_[first - 1]);
        cut.HeadStartsPlain =
            cut.BeforeHead >= 0 && (cut.BeforeHead + 1 != cut.HeadStart || !nextToB(c));
        open.Cuts.push_back(cut);
      }
      const ChosenCut* chosen = ChosenFor(open.After, open.Before, open.Own);
      const bool offered =
          chosen && std::any_of(open.Cuts.begin(), open.Cuts.end(), [&](const PieceCut& c) {
            return c.Behind == chosen->Behind && c.TailEnd == chosen->TailEnd &&
                   c.HeadStart == chosen->HeadStart;
          });
      if (offered && !offerOnly_) {
        k = chosen->Behind;
        sure = true;
        settled_ = true;
      } else if (!open.Cuts.empty() && open.Cuts.size() <= kMaxOpenCuts) {
        out_.Open.push_back(std::move(open));
      }
    }
    const size_t before = order_.size();
    for (uint64_t i = 1; i <= k; ++i) order_.push_back(u1 + i);
    for (uint64_t j = n - k; j > 0; --j) order_.push_back(u2 - j);
    if (!sure) {
      Uncertain("the file's pieces could not be told apart where one ends and the next begins");
      guessed_.push_back({before, order_.size()});
    }
    return true;
  }

  // A gap beyond a bound of the search, or one no choice of whole clusters
  // fills, still gives its best assembly: the gap's first own-many sectors,
  // as the plain carve takes them, each a guess, and the reason kept. Only a
  // gap with fewer sectors than the file's own between its anchors fails.
  bool SolveGapOrTakeAsLaid(uint64_t t0, uint64_t u0, uint64_t own, uint64_t uEnd, bool open,
                            int64_t anchorUnitBefore, int64_t anchorUnitAfter) {
    const size_t before = order_.size(), guessedBefore = guessed_.size();
    const std::string reason = out_.Reason;
    const bool between = !open && u0 > 0;
    // Where the databases beside this one settled where its pieces meet,
    // the cut is taken as they settled it.
    if (between && ChosenFor(sectors_[u0 - 1], sectors_[uEnd], own)) {
      const size_t offers = out_.Open.size();
      if (SplitAcross(t0 - 1, u0 - 1, t0 + own, uEnd, false) && settled_) return true;
      order_.resize(before);
      guessed_.resize(guessedBefore);
      out_.Open.resize(offers);
      out_.Reason = reason;
    }
    if (SolveGap(t0, u0, own, uEnd, open, anchorUnitBefore, anchorUnitAfter)) {
      // A guess between two anchors in one stretch: the cuts that one run
      // of foreign clusters between them would leave are offered to the
      // databases beside this one.
      if (between && guessed_.size() > guessedBefore) OfferCuts(t0 - 1, u0 - 1, t0 + own, uEnd);
      return true;
    }
    const std::string why = out_.Reason;
    out_.Reason = reason;
    order_.resize(before);
    // Too far apart to search what lies between: one run of foreign
    // clusters between the two pieces is taken, if it fits at no cost.
    if (!open && u0 > 0 && SplitAcross(t0 - 1, u0 - 1, t0 + own, uEnd, true)) return true;
    uint64_t end = uEnd;
    if (open) {
      Extend(u0 + own);
      end = std::min<uint64_t>(sectors_.size(), RegionEnd(u0));
    }
    if (end < u0 + own) return Fail(why);
    if (SplitByLooks(t0, u0, own, end, open)) {
      Uncertain(why + "; its clusters were told apart by how they look");
    } else {
      for (uint64_t u = u0; u < u0 + own; ++u) order_.push_back(u);
      Uncertain(why + "; its sectors were taken as they lie");
    }
    guessed_.push_back({before, order_.size()});
    return true;
  }

  // The cut the databases beside this one settled between two anchors.
  const ChosenCut* ChosenFor(uint64_t after, uint64_t before, uint64_t own) const {
    for (const ChosenCut& c : limits_.Chosen) {
      if (c.After == after && c.Before == before && c.Own == own) return &c;
    }
    return nullptr;
  }

  // Records the cuts a split between the two anchors would leave, placing
  // nothing.
  void OfferCuts(uint64_t t1, uint64_t u1, uint64_t t2, uint64_t u2) {
    const size_t placed = order_.size(), guessed = guessed_.size();
    const std::string reason = out_.Reason;
    offerOnly_ = true;
    SplitAcross(t1, u1, t2, u2, false);
    offerOnly_ = false;
    order_.resize(placed);
    guessed_.resize(guessed);
    out_.Reason = reason;
  }

  // A gap too large for the search: each cluster in turn is taken as the
  // file's when what the file expects there fits it at no cost, as foreign
  // otherwise. Only when that gives exactly the file's own count (closed
  // gap) or reaches it (tail); false otherwise, nothing placed.
  bool SplitByLooks(uint64_t t0, uint64_t u0, uint64_t own, uint64_t end, bool open) {
    if (!randomExpected_) return false;
    std::vector<uint64_t> taken;
    for (uint64_t u = u0; u < end && taken.size() < own;) {
      uint64_t v = u;
      while (v < end && unit_[v] == unit_[u]) ++v;
      float cost = 0;
      const uint64_t t = t0 + taken.size();
      for (uint64_t w = u; w < v && cost == 0; ++w) cost += OwnCost(t + (w - u), w);
      if (cost == 0) {
        for (uint64_t w = u; w < v; ++w) taken.push_back(w);
      }
      u = v;
    }
    if (taken.size() < own) return false;
    if (!open) {
      // What is left between the last one taken and the next anchor must
      // be foreign too: none of it fits the file's end.
      const uint64_t last = taken[static_cast<size_t>(own) - 1];
      if (taken.size() != own) return false;
      for (uint64_t u = last + 1; u < end; ++u) {
        if (unit_[u] == unit_[last]) return false;  // a cluster cut in two
      }
    }
    taken.resize(static_cast<size_t>(own));
    order_.insert(order_.end(), taken.begin(), taken.end());
    return true;
  }

  bool Assemble() {
    // The anchors found, in file order, make the fixed points.
    std::vector<std::pair<uint64_t, uint64_t>> fixed;  // own sector, unclaimed index
    for (const Anchor& a : anchors_) {
      if (a.Found < 0) continue;
      const uint64_t t = OwnSector(a.Block), u = static_cast<uint64_t>(a.Found);
      if (!fixed.empty() && fixed.back().first == t) continue;
      fixed.push_back({t, u});
    }
    const uint64_t ownTotal = (length_ + bps_ - 1) / bps_;
    std::vector<uint64_t> places;  // where the anchors lie, rising
    for (const auto& f : fixed) places.push_back(f.second);
    std::sort(places.begin(), places.end());
    // Two anchors lie in one piece of the file, with only foreign clusters
    // between them, when the second follows the first in one stretch of the
    // disk and no other anchor lies between them.
    auto onePiece = [&](uint64_t u, uint64_t u2) {
      if (u2 <= u || RegionBegin(u) != RegionBegin(u2)) return false;
      auto it = std::upper_bound(places.begin(), places.end(), u);
      return it == places.end() || *it >= u2;
    };
    order_.clear();
    for (size_t k = 0; k < fixed.size(); ++k) {
      const auto [t, u] = fixed[k];
      if (t >= ownTotal) break;
      order_.push_back(u);
      const bool last = k + 1 == fixed.size() || fixed[k + 1].first >= ownTotal;
      const int64_t unitHere = static_cast<int64_t>(unit_[u]);
      if (last) {
        if (!SolveGapOrTakeAsLaid(t + 1, u + 1, ownTotal - t - 1, 0, true, unitHere, -1))
          return false;
      } else {
        const auto [t2, u2] = fixed[k + 1];
        if (!onePiece(u, u2)) {
          if (!SplitAcross(t, u, t2, u2, false))
            return Fail("the file's own sectors between two of its pieces are missing");
        } else if (!SolveGapOrTakeAsLaid(t + 1, u + 1, t2 - t - 1, u2, false, unitHere,
                                         static_cast<int64_t>(unit_[u2]))) {
          return false;
        }
      }
    }
    if (order_.size() > ownTotal) order_.resize(static_cast<size_t>(ownTotal));
    // Two parts of the file on the same sectors: pieces that overlap were
    // taken for the file's, and the assembly is not its whole.
    if (PlacedTwice()) Uncertain("two parts of the file were placed on the same sectors");
    const std::vector<bool> guessedOwn = GuessedOwn();
    MarkPlacements(guessedOwn);
    EndsAtOwnPieces(guessedOwn);
    // The own sectors are read again, in file order, into the file or the
    // assembly on disk: the sectors passed over are never held.
    if (!onDisk_) out_.File.reserve(static_cast<size_t>(order_.size() * bps_));
    for (size_t k = 0; k < order_.size();) {
      const size_t run = ReadOwnRun(k);
      // A header given in place of the start sector's is the file's own.
      if (order_[k] == 0 && givenHeader_)
        std::copy(header_.begin(), header_.end(), runBytes_.begin());
      const Bytes b(runBytes_.data(), run * bps_);
      if (onDisk_) {
        if (!onDisk_->Append(b)) return Fail("the assembly could not be written");
      } else {
        out_.File.insert(out_.File.end(), b.begin(), b.end());
      }
      for (size_t j = k; j < k + run; ++j) {
        out_.Sectors.push_back(sectors_[order_[j]]);
        if (Unreadable(order_[j])) out_.Unreadable.push_back(sectors_[order_[j]]);
      }
      k += run;
    }
    if (onDisk_ && !(onDisk_->Finish() && onDisk_->MapBlocks(TableBlocks())))
      return Fail("the assembly could not be written");
    // The clusters taken are the file's whole: the rest of the last one too.
    if (!order_.empty()) {
      const uint64_t lastUnit = unit_[order_.back()];
      std::vector<uint64_t> claim = out_.Sectors;
      for (uint64_t u = order_.back() + 1; u < sectors_.size() && unit_[u] == lastUnit; ++u) {
        claim.push_back(sectors_[u]);
      }
      out_.Claim = std::move(claim);
    }
    return true;
  }

  // Reads the own sectors from order_[k] on into runBytes_: those that
  // follow each other on the disk, up to a window's worth, in one read; the
  // count read. A run that does not read whole is read sector by sector, so
  // that only an unreadable one is zeros.
  size_t ReadOwnRun(size_t k) {
    const uint64_t u = order_[k];
    const uint64_t run =
        RunFrom(u, [&](uint64_t n) { return k + n < order_.size() && order_[k + n] == u + n; });
    if (run > 1 && ReadRun(u, run, runBytes_)) return static_cast<size_t>(run);
    runBytes_.resize(bps_);
    const Bytes b = SectorAt(u);
    std::copy(b.begin(), b.end(), runBytes_.begin());
    return 1;
  }

  // Whether a sector stands at two places of the assembly. At most one of
  // them is right: where every such pair has a guessed place, the doubt is
  // those guesses' (already named); where a sector is placed twice surely,
  // nothing in the assembly can be trusted to be where it belongs.
  bool PlacedTwice() {
    std::vector<std::pair<uint64_t, size_t>> used;  // unclaimed index, own sector
    used.reserve(order_.size());
    for (size_t k = 0; k < order_.size(); ++k) used.push_back({order_[k], k});
    std::sort(used.begin(), used.end());
    const std::vector<bool> guessed = GuessedOwn();
    bool twice = false;
    for (size_t i = 0; i < used.size();) {
      size_t j = i + 1, sure = 0;
      while (j < used.size() && used[j].first == used[i].first) ++j;
      if (j - i > 1) {
        twice = true;
        for (size_t k = i; k < j; ++k) sure += guessed[used[k].second] ? 0 : 1;
        if (sure > 1) {
          guessed_.push_back({0, order_.size()});
          return true;
        }
      }
      i = j;
    }
    return twice;
  }

  // The blocks the whole-file check reads: the header, every table the
  // anchors name, and the mini stream.
  std::vector<uint64_t> TableBlocks() {
    std::vector<uint64_t> blocks{0};
    for (const Anchor& a : anchors_) blocks.push_back(a.Block);
    if (dir_.size() >= 128) {
      const uint64_t size = LE32(Bytes(dir_), 120);
      for (uint32_t n : FatChain(LE32(Bytes(dir_), 116), (size + kCf - 1) / kCf))
        blocks.push_back(uint64_t{n} + 1);
    }
    return blocks;
  }

  // Per own sector (index into order_): placed by a guess.
  std::vector<bool> GuessedOwn() const {
    std::vector<bool> guessed(order_.size(), false);
    for (const auto& [from, to] : guessed_) {
      for (size_t k = from; k < to && k < guessed.size(); ++k) guessed[k] = true;
    }
    return guessed;
  }

  // Per compound-file sector, from the own sectors that guesses placed.
  void MarkPlacements(const std::vector<bool>& guessedOwn) {
    const uint64_t blocks = order_.size() * bps_ / kCf;
    out_.Placements.assign(blocks > 0 ? static_cast<size_t>(blocks - 1) : 0, Placement::Sure);
    for (size_t n = 0; n < out_.Placements.size(); ++n) {
      if (guessedOwn[static_cast<size_t>(OwnSector(n + 1))]) out_.Placements[n] = Placement::Guessed;
    }
  }

  // An offered cut whose tail runs into a sector that the file itself holds
  // surely elsewhere (or whose head backs into one) ends there: another
  // piece of the file begins or ends beside it. A database in pieces out of
  // order meets itself so.
  void EndsAtOwnPieces(const std::vector<bool>& guessedOwn) {
    if (out_.Open.empty()) return;
    std::vector<int64_t> sure;
    for (size_t k = 0; k < order_.size(); ++k) {
      if (!guessedOwn[k]) sure.push_back(static_cast<int64_t>(sectors_[order_[k]]));
    }
    std::sort(sure.begin(), sure.end());
    auto held = [&](int64_t t) {
      return t >= 0 && std::binary_search(sure.begin(), sure.end(), t);
    };
    for (OpenSplit& o : out_.Open) {
      for (PieceCut& c : o.Cuts) {
        if (held(c.AfterTail)) c.TailEndsPlain = true;
        if (held(c.BeforeHead)) c.HeadStartsPlain = true;
      }
    }
  }

  Session& s_;
  ReassemblyLimits limits_;
  uint32_t bps_;
  uint64_t start_;
  uint64_t work_ = 0;
  Reassembly out_;

  static constexpr uint64_t kNoEnd = std::numeric_limits<uint64_t>::max();
  std::vector<std::pair<uint64_t, uint64_t>> regions_;  // Source stretches [from, to), in order
  std::vector<uint64_t> regionFirst_;  // the index of each stretch's first sector
  size_t region_ = 0;                  // the stretch being read
  bool inRegion_ = false;
  uint64_t next_ = 0;                  // the next Source sector to look at in it
  bool clusterClaimed_ = false;        // a sector of next_'s cluster is claimed
  SectorRuns sectors_;             // the unclaimed sectors, in index order
  std::vector<uint32_t> unit_;     // the cluster (run of them) each belongs to
  FileAssembly* onDisk_;            // where the file goes; null: out_.File
  std::vector<uint8_t> scratch_;     // one sector read again
  uint64_t lastAsked_ = UINT64_MAX - 1;  // the Source sector SectorAt read last
  std::array<uint8_t, kCf> header_{};
  bool givenHeader_ = false;         // header_ came from the caller, not the start sector
  std::vector<uint8_t> shape_;       // per 512-byte block: what it could be (ShapeOf)
  KeptBlocks kept_;                  // the bytes of those that could be a table
  std::vector<uint32_t> mayBeFat_, mayBeMiniFat_, mayBeDirectory_, mayBeDifat_;  // blocks by shape
  std::vector<std::vector<uint32_t>> namedFat_;  // per FAT index: the blocks that name it
  std::vector<bool> random_;       // per 512-byte block: looks random, where known
  std::vector<bool> randomKnown_;  // per 512-byte block: random_ worked out
  std::vector<uint8_t> randomScratch_;  // the sectors read again for Random
  std::vector<uint8_t> runBytes_;       // own sectors read in one piece for the assembly
  std::vector<bool> unreadable_;   // per sector: the Source failed it, zeros stand in

  uint32_t fatCount_ = 0, difatCount_ = 0;
  std::set<uint64_t> fatPlaces_, difatPlaces_;
  std::vector<uint32_t> fatOrder_, difatOrder_;
  std::vector<int64_t> difatAfter_;  // per DIFAT sector: the highest FAT sector listed before it
  std::set<uint64_t> difatFound_;     // where the DIFAT sectors were found
  std::vector<uint64_t> difatStep_;   // and the mean step of the list before it (the header's)
  bool fatPlacesComplete_ = false;
  std::vector<Anchor> anchors_;
  std::vector<uint32_t> fat_, miniFat_, dirChain_, miniFatChain_;
  uint64_t miniLimit_ = 0;
  std::vector<uint32_t> seen_;  // FatChain's marks
  std::vector<bool> chainHead_;  // per FAT entry: no entry names it as its next
  uint32_t stamp_ = 0;
  bool randomExpected_ = false;  // the store's stream data looks encrypted
  uint64_t length_ = 0;
  std::vector<uint8_t> dir_;
  std::vector<uint8_t> expect_;
  std::map<uint64_t, std::vector<std::pair<uint16_t, uint16_t>>> parts_;  // kPartRandom ranges
  std::vector<uint64_t> order_;  // unclaimed index of each own sector
  std::vector<std::pair<size_t, size_t>> guessed_;  // ranges of order_ placed by a guess
  bool offerOnly_ = false;  // SplitAcross records its cuts and takes no chosen one
  bool settled_ = false;    // SplitAcross took the cut the databases beside it settled
};

}  // namespace

Reassembly ReassembleCompoundFile(Session& s, uint64_t carveStart, const ReassemblyLimits& limits,
                                  FileAssembly* onDisk, std::span<const uint8_t> header) {
  return Reassembler(s, carveStart, limits, onDisk, header).Run();
}

}  // namespace tarnwick
