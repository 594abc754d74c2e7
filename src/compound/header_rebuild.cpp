#include "compound/header_rebuild.h"

#include <algorithm>
#include <map>
#include <set>
#include <string_view>
#include <vector>

#include "compound/compound_file.h"
#include "source/bytes.h"

namespace tarnwick {

namespace {

constexpr uint32_t kBlock = 512;
constexpr uint32_t kPerFat = kBlock / 4;
constexpr uint32_t kEntry = 128;
constexpr uint32_t kNoStream = 0xFFFFFFFF;
constexpr uint32_t kMiniCutoff = 4096;
constexpr uint32_t kMini = 64;
constexpr int kHeaderDifat = 109;
constexpr size_t kCandidatesPerIndex = 4;  // copies of one FAT sector kept (stale ones, others')
constexpr int kMarkRounds = 64;            // passes over the FAT until its marks settle
constexpr size_t kMaxVotes = 2'000'000;    // places voted for the header block
constexpr uint64_t kRunMargin = 4096;      // blocks looked at past where the FAT found reaches
constexpr size_t kPlacesTried = 8;         // of those, the likeliest tried in turn

using Block = std::array<uint8_t, kBlock>;

bool Special(uint32_t v) { return v >= kCompoundDifatMark; }

bool NameIs(Bytes entry, std::u16string_view name) {
  if (LE16(entry, 64) != 2 * (name.size() + 1)) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (LE16(entry, 2 * i) != name[i]) return false;
  }
  return LE16(entry, 2 * name.size()) == 0;
}

// An unused entry, or a storage or stream with a name that fills its length.
bool EntrySound(Bytes e) { return DirectoryEntryLooksSound(e, false); }

bool DirectorySound(Bytes b) {
  bool used = false;
  for (uint32_t k = 0; k < kBlock / kEntry; ++k) {
    Bytes e = b.subspan(kEntry * k, kEntry);
    if (!EntrySound(e)) return false;
    used = used || U8(e, 66) != 0;
  }
  return used;
}

// Entries free, end of chain, a mark or a sector within limit; not all free,
// and no two naming the same sector (zeros, for one, name sector 0 each).
bool FatShaped(Bytes b, uint64_t limit) {
  std::array<uint32_t, kPerFat> next{};
  size_t n = 0, used = 0;
  for (uint32_t e = 0; e < kPerFat; ++e) {
    const uint32_t v = LE32(b, 4 * e);
    if (v == kCompoundFree) continue;
    ++used;
    if (Special(v)) continue;
    if (v >= limit) return false;
    next[n++] = v;
  }
  if (used == 0) return false;
  std::sort(next.begin(), next.begin() + static_cast<std::ptrdiff_t>(n));
  return std::adjacent_find(next.begin(), next.begin() + static_cast<std::ptrdiff_t>(n)) ==
         next.begin() + static_cast<std::ptrdiff_t>(n);
}

// Which FAT sector a block is, told by its chains that run on to the next
// sector: entry i of FAT sector k names 128k + i + 1 there. Most chains of a
// file run in stretches, so one index shows most often; -1 when none does.
int64_t FatIndexFromChains(Bytes b) {
  std::map<uint32_t, uint32_t> votes;
  for (uint32_t i = 0; i < kPerFat; ++i) {
    const uint32_t v = LE32(b, 4 * i);
    if (Special(v) || v < i + 1 || (v - i - 1) % kPerFat != 0) continue;
    ++votes[(v - i - 1) / kPerFat];
  }
  uint32_t best = 0, second = 0;
  int64_t index = -1;
  for (const auto& [k, n] : votes) {
    if (n > best) {
      second = best;
      best = n;
      index = k;
    } else if (n > second) {
      second = n;
    }
  }
  return best >= 2 && best > second ? index : -1;
}

class Rebuilder {
 public:
  Rebuilder(const BlockReader& read, uint64_t dirBlock, uint64_t lastBlock,
            const HeaderRebuildLimits& limits)
      : read_(read), dir_(dirBlock), last_(lastBlock), limits_(limits) {}

  RebuiltHeader Run() {
    Block root{};
    if (!Read(dir_, root) || !IsRootDirectoryBlock(root)) return Give("no root directory there");
    FindFatSectors();
    if (candidates_.empty()) return Give("no FAT sector was found near the directory");
    const std::vector<uint64_t> places = HeaderBlocks();
    if (places.empty()) return Give("the FAT sectors found do not place the file");
    // The places with the most votes first: the first whose FAT and
    // directory bear it out is taken.
    bool placed = false;
    for (uint64_t h : places) {
      out_ = RebuiltHeader{};
      out_.HeaderBlock = h;
      positions_.clear();
      difat_.clear();
      ScanRun(h);
      placed = CollectFat() && PlaceDirectory();
      if (placed) break;
    }
    if (!placed) return std::move(out_);
    ReadDirectory(root);
    out_.IsQQ = NamesQQ();
    FindMiniFat();
    Write();
    out_.Found = true;
    out_.InOneRun = out_.InOneRun && Problem().empty();
    return std::move(out_);
  }

 private:
  RebuiltHeader Give(const std::string& why) {
    out_.Problem = why;
    return std::move(out_);
  }
  std::string& Problem() { return out_.Problem; }
  void Unsure(const std::string& why) {
    if (out_.Problem.empty()) out_.Problem = why;
  }
  uint64_t FatLimit() const { return uint64_t{limits_.MaxFatSectors} * kPerFat; }

  bool Read(uint64_t block, Block& out) {
    if (block > last_) return false;
    return read_(block, std::span<uint8_t, kBlock>(out));
  }

  // Every block near the directory that could be a FAT sector, by the index
  // its chains give (those that give none are not kept: a FAT sector of
  // ends and marks alone is found through the marks instead).
  void FindFatSectors() {
    winFrom_ = dir_ > limits_.WindowBlocks ? dir_ - limits_.WindowBlocks : 0;
    winTo_ = std::min(last_, dir_ + limits_.WindowBlocks);
    ScanForFat(winFrom_, winTo_);
  }

  // The FAT-shaped blocks of [from, to] by the index their chains give; the
  // highest index found.
  int64_t ScanForFat(uint64_t from, uint64_t to) {
    Block b{};
    int64_t highest = -1;
    for (uint64_t at = from; at <= to && at <= last_; ++at) {
      if (at == dir_ || !Read(at, b) || !FatShaped(b, FatLimit())) continue;
      const int64_t k = FatIndexFromChains(b);
      if (k < 0 || k >= limits_.MaxFatSectors) continue;
      auto& list = candidates_[static_cast<uint32_t>(k)];
      if (list.size() < kCandidatesPerIndex && std::find(list.begin(), list.end(), at) == list.end())
        list.push_back(at);
      highest = std::max(highest, k);
    }
    return highest;
  }

  // The file from header block h on, as far as the FAT sectors found in it
  // say it reaches: a large file's FAT sectors lie far beyond the window,
  // each about where the file had grown to when it was needed.
  void ScanRun(uint64_t h) {
    // In blocks after h: past the directory, and past where the FAT
    // sectors found in the window say the file reaches.
    uint64_t reach = dir_ - h + kRunMargin;
    if (!candidates_.empty())
      reach = std::max(reach, (uint64_t{candidates_.rbegin()->first} + 1) * kPerFat + kRunMargin);
    uint64_t scanned = 0;
    const uint64_t most = uint64_t{limits_.MaxFatSectors} * kPerFat;
    while (scanned < reach && scanned < most) {
      const uint64_t to = std::min(reach, most);
      int64_t highest = -1;
      // The window was looked at already.
      for (uint64_t from = h + 1 + scanned, end = h + to; from <= end && from <= last_;) {
        if (from >= winFrom_ && from <= winTo_) {
          from = winTo_ + 1;
          continue;
        }
        const uint64_t stop = from < winFrom_ ? std::min(end, winFrom_ - 1) : end;
        highest = std::max(highest, ScanForFat(from, stop));
        from = stop + 1;
      }
      scanned = to;
      if (h + 1 + scanned > last_) break;
      if (highest >= 0) reach = std::max(reach, (uint64_t(highest) + 1) * kPerFat + kRunMargin);
    }
  }

  // The blocks the header may have lain in, the likeliest first: each FAT
  // sector found beside a mark's file position votes for one. A file in one
  // run from its header on gives every found sector the same vote; a mini
  // FAT, which looks like a FAT sector, votes beside it.
  std::vector<uint64_t> HeaderBlocks() {
    std::vector<uint64_t> marks;  // file positions the found sectors mark as FAT sectors
    std::vector<uint64_t> blocks;
    Block b{};
    for (const auto& [k, list] : candidates_) {
      for (uint64_t at : list) {
        blocks.push_back(at);
        if (!Read(at, b)) continue;
        for (uint32_t i = 0; i < kPerFat; ++i) {
          if (LE32(b, 4 * i) == kCompoundFatMark) marks.push_back(uint64_t{k} * kPerFat + i);
        }
      }
    }
    std::sort(marks.begin(), marks.end());
    marks.erase(std::unique(marks.begin(), marks.end()), marks.end());
    // Votes are counted after a sort; their number is bounded, so that
    // hostile blocks full of marks cost no more than a real FAT.
    std::vector<uint64_t> votes;
    for (uint64_t at : blocks) {
      for (uint64_t p : marks) {
        if (at < p + 1 || votes.size() >= kMaxVotes) break;
        if (at - p - 1 < dir_) votes.push_back(at - p - 1);
      }
    }
    std::sort(votes.begin(), votes.end());
    std::vector<std::pair<size_t, uint64_t>> counted;  // votes, block
    for (size_t i = 0; i < votes.size();) {
      size_t j = i;
      while (j < votes.size() && votes[j] == votes[i]) ++j;
      counted.push_back({j - i, votes[i]});
      i = j;
    }
    // Most votes first; a tie goes to the earlier block.
    std::stable_sort(counted.begin(), counted.end(),
                     [](const auto& x, const auto& y) { return x.first > y.first; });
    std::vector<uint64_t> out;
    for (size_t i = 0; i < counted.size() && i < kPlacesTried; ++i) out.push_back(counted[i].second);
    return out;
  }

  uint64_t BlockOf(uint64_t position) const { return out_.HeaderBlock + position + 1; }

  // The FAT sector at file position `position`, if a block there is one;
  // else a copy found near the directory that its chains name as sector k.
  bool FatSectorAt(uint64_t position, uint32_t k, Block& b, bool& inPlace) {
    inPlace = Read(BlockOf(position), b) && FatShaped(b, FatLimit());
    if (inPlace) return true;
    auto it = candidates_.find(k);
    if (it == candidates_.end()) return false;
    return Read(it->second.front(), b);
  }

  // The FAT in file order: the marks say which positions are FAT sectors,
  // and a file's FAT sectors lie in rising positions. Reading them gives
  // the marks they hold, until those settle.
  bool CollectFat() {
    std::set<uint64_t> marks;
    Block b{};
    // Every copy's marks to begin with (a mini FAT looks like a FAT sector
    // but marks nothing); what the sectors in their places hold then decides.
    for (const auto& [k, list] : candidates_) {
      for (uint64_t at : list) {
        if (!Read(at, b)) continue;
        for (uint32_t i = 0; i < kPerFat; ++i) {
          if (LE32(b, 4 * i) == kCompoundFatMark) marks.insert(uint64_t{k} * kPerFat + i);
        }
      }
    }
    if (marks.empty()) return Fail("no FAT sector marks the FAT's places");
    bool settled = false;
    for (int round = 0; round < kMarkRounds && !settled; ++round) {
      positions_.assign(marks.begin(), marks.end());
      if (positions_.size() > limits_.MaxFatSectors) return Fail("the FAT is too large");
      fat_.assign(positions_.size() * kPerFat, kCompoundFree);
      bool inOneRun = true;
      std::set<uint64_t> seen;
      std::vector<bool> read(positions_.size(), false);
      for (uint32_t k = 0; k < positions_.size(); ++k) {
        bool inPlace = false;
        if (!FatSectorAt(positions_[k], k, b, inPlace)) {
          inOneRun = false;
          continue;
        }
        read[k] = true;
        inOneRun = inOneRun && inPlace;
        for (uint32_t i = 0; i < kPerFat; ++i) {
          const uint32_t v = LE32(b, 4 * i);
          fat_[uint64_t{k} * kPerFat + i] = v;
          if (v == kCompoundFatMark) seen.insert(uint64_t{k} * kPerFat + i);
        }
      }
      out_.InOneRun = inOneRun;
      // The FAT sectors read are the word on the places they cover; the
      // marks of those not read yet stand until they are.
      for (uint64_t p : marks) {
        if (p / kPerFat >= read.size() || !read[p / kPerFat]) seen.insert(p);
      }
      settled = seen == marks;
      marks = std::move(seen);
    }
    if (!settled) Unsure("the FAT's marks do not settle");
    if (!out_.InOneRun) Unsure("FAT sectors lie apart from the header's run");
    for (uint64_t p = 0; p < fat_.size(); ++p) {
      if (fat_[p] == kCompoundDifatMark) difat_.push_back(p);
    }
    return true;
  }

  bool Fail(const std::string& why) {
    out_.Problem = why;
    return false;
  }

  // Chain starts: used entries that no other entry names.
  std::vector<bool> Named() const {
    std::vector<bool> named(fat_.size(), false);
    for (uint32_t v : fat_) {
      if (!Special(v) && v < named.size()) named[v] = true;
    }
    return named;
  }
  bool ChainStart(uint64_t p, const std::vector<bool>& named) const {
    if (p >= fat_.size()) return false;
    const uint32_t v = fat_[p];
    if (v == kCompoundFree || v == kCompoundFatMark || v == kCompoundDifatMark) return false;
    return !named[p];
  }

  std::vector<uint32_t> Chain(uint32_t start, uint64_t cap) const {
    std::vector<uint32_t> chain;
    std::vector<bool> seen(fat_.size(), false);
    for (uint32_t n = start; n < fat_.size() && chain.size() < cap && !seen[n]; n = fat_[n]) {
      seen[n] = true;
      chain.push_back(n);
    }
    return chain;
  }

  // The directory's first sector at the file position the header block
  // gives it: that must start a chain of the FAT.
  bool PlaceDirectory() {
    if (dir_ < out_.HeaderBlock + 1) return Fail("the directory lies before the header");
    const uint64_t d = dir_ - out_.HeaderBlock - 1;
    named_ = Named();
    if (!ChainStart(d, named_)) return Fail("the directory's place starts no chain of the FAT");
    dirStart_ = static_cast<uint32_t>(d);
    return true;
  }

  // The directory along its chain, as far as its sectors lie where the
  // header block puts them; the rest is not known.
  void ReadDirectory(const Block& root) {
    directory_.assign(root.begin(), root.end());
    const std::vector<uint32_t> chain = Chain(dirStart_, limits_.MaxDirectorySectors);
    Block b{};
    for (size_t k = 1; k < chain.size(); ++k) {
      if (!Read(BlockOf(chain[k]), b) || !DirectorySound(b)) {
        out_.InOneRun = false;
        Unsure("the directory could not be followed to its end");
        break;
      }
      directory_.insert(directory_.end(), b.begin(), b.end());
    }
  }

  // The carver's rule: both names before the first entry whose name length
  // is not 4 to 64 bytes.
  bool NamesQQ() const {
    int count = 0;
    Bytes dir(directory_);
    for (size_t off = 0; off + kEntry <= dir.size(); off += kEntry) {
      Bytes e = dir.subspan(off, kEntry);
      const uint16_t n = LE16(e, 64);
      if (n < 4 || n > 64) break;
      if (NameIs(e, u"Matrix.dat") || NameIs(e, u"seqbase.dat")) ++count;
    }
    return count >= 2;
  }

  // The chain starts left once the directory's own and those its entries
  // name are taken away: the mini FAT's among them, of the length the mini
  // stream needs.
  void FindMiniFat() {
    Bytes dir(directory_);
    const uint64_t miniBytes = LE32(dir, 120);
    if (miniBytes == 0) return;
    std::vector<bool> claimed(fat_.size(), false);
    claimed[dirStart_] = true;
    for (size_t off = 0; off + kEntry <= dir.size(); off += kEntry) {
      Bytes e = dir.subspan(off, kEntry);
      const uint8_t type = U8(e, 66);
      const uint32_t start = LE32(e, 116);
      const bool inFat = type == 5 || (type == 2 && LE32(e, 120) >= kMiniCutoff);
      if (inFat && start < claimed.size()) claimed[start] = true;
    }
    const uint64_t want = (miniBytes / kMini + kPerFat - 1) / kPerFat;
    std::vector<uint32_t> left;
    for (uint64_t p = 0; p < fat_.size(); ++p) {
      if (!claimed[p] && ChainStart(p, named_)) left.push_back(static_cast<uint32_t>(p));
    }
    constexpr size_t kTries = 256;  // chains of streams whose entries were not read
    if (left.size() > kTries) left.resize(kTries);
    for (uint32_t p : left) {
      const std::vector<uint32_t> chain = Chain(p, want + 1);
      if (chain.size() != want) continue;
      miniFatStart_ = p;
      miniFatCount_ = static_cast<uint32_t>(want);
      return;
    }
    Unsure("the mini FAT was not found");
  }

  void Write() {
    std::array<uint8_t, kBlock>& h = out_.Header;
    h.fill(0);
    auto put16 = [&](size_t at, uint16_t v) {
      h[at] = static_cast<uint8_t>(v);
      h[at + 1] = static_cast<uint8_t>(v >> 8);
    };
    auto put32 = [&](size_t at, uint32_t v) {
      for (int i = 0; i < 4; ++i) h[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    constexpr std::array<uint8_t, 8> kSignature = {0xD0, 0xCF, 0x11, 0xE0,
                                                   0xA1, 0xB1, 0x1A, 0xE1};
    std::copy(kSignature.begin(), kSignature.end(), h.begin());
    put16(24, 0x3E);    // minor version
    put16(26, 3);       // major version: 512-byte sectors
    put16(28, 0xFFFE);  // little-endian
    put16(30, 9);       // sector shift
    put16(32, 6);       // mini sector shift
    put32(44, static_cast<uint32_t>(positions_.size()));
    put32(48, dirStart_);
    put32(56, kMiniCutoff);
    put32(60, miniFatStart_);
    put32(64, miniFatCount_);
    put32(68, difat_.empty() ? kCompoundEndOfChain : static_cast<uint32_t>(difat_.front()));
    put32(72, static_cast<uint32_t>(difat_.size()));
    for (int i = 0; i < kHeaderDifat; ++i) {
      const size_t k = static_cast<size_t>(i);
      put32(76 + 4 * k, k < positions_.size() ? static_cast<uint32_t>(positions_[k]) : kCompoundFree);
    }
  }

  const BlockReader& read_;
  uint64_t dir_, last_;
  HeaderRebuildLimits limits_;
  RebuiltHeader out_;
  uint64_t winFrom_ = 0, winTo_ = 0;  // the window around the directory
  std::map<uint32_t, std::vector<uint64_t>> candidates_;  // by FAT index, blocks in disk order
  std::vector<uint64_t> positions_;                       // file positions of the FAT sectors
  std::vector<uint64_t> difat_;                           // ... and of the DIFAT sectors
  std::vector<uint32_t> fat_;
  std::vector<bool> named_;
  uint32_t dirStart_ = 0;
  uint32_t miniFatStart_ = kCompoundEndOfChain, miniFatCount_ = 0;
  std::vector<uint8_t> directory_;
};

}  // namespace

bool IsRootDirectoryBlock(std::span<const uint8_t> block) {
  // The cheap look first: 'R', type 5 and a name of 22 bytes.
  if (U8(block, 0) != 'R' || U8(block, 66) != 5 || LE16(block, 64) != 22) return false;
  if (block.size() < kBlock) return false;
  Bytes root = block.first(kEntry);
  if (!NameIs(root, u"Root Entry") || U8(root, 67) > 1) return false;
  if (LE32(root, 68) != kNoStream || LE32(root, 72) != kNoStream) return false;
  for (uint32_t k = 1; k < kBlock / kEntry; ++k) {
    if (!EntrySound(block.subspan(kEntry * k, kEntry))) return false;
  }
  return true;
}

RebuiltHeader RebuildHeader(const BlockReader& read, uint64_t directoryBlock, uint64_t lastBlock,
                            const HeaderRebuildLimits& limits) {
  return Rebuilder(read, directoryBlock, lastBlock, limits).Run();
}

}  // namespace tarnwick
