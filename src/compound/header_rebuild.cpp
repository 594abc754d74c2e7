#include "compound/header_rebuild.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>
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
constexpr size_t kPlacesTried = 8;         // of those, the likeliest tried in turn
constexpr uint64_t kRunMargin = 4096;      // places looked at past where the FAT found reaches

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

// A sector of a mini FAT over miniSectors mini sectors: free entries, ends
// of chain and mini sectors within the stream, none named twice; no marks.
bool MiniFatShaped(Bytes b, uint64_t miniSectors) {
  for (uint32_t e = 0; e < kPerFat; ++e) {
    const uint32_t v = LE32(b, 4 * e);
    if (v == kCompoundFatMark || v == kCompoundDifatMark) return false;
  }
  return FatShaped(b, miniSectors) || std::all_of(b.begin(), b.end(), [](uint8_t x) { return x == 0xFF; });
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

// What one place for the header makes of the FAT: the sectors taken as
// the file's own, in FAT order, and what they hold.
struct Layout {
  uint64_t HeaderBlock = 0;
  std::vector<uint64_t> Positions;  // file positions of the FAT sectors, rising
  std::vector<uint32_t> Fat;        // their entries; free where a sector was not found
  std::vector<uint64_t> Difat;      // file positions of the DIFAT sectors, in chain order
  uint32_t DirStart = 0;            // the directory's first sector
  std::string Failure;              // why the header cannot have lain there
  std::string Doubt;                // the first thing that is unsure about it
  bool InOneRun = true;             // every FAT sector lies where the header block puts it
  void Unsure(const std::string& why) {
    if (Doubt.empty()) Doubt = why;
  }
};

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
    // Every likely place is tried: the first whose FAT and directory bear
    // it out is taken, and a second that does too leaves it in doubt.
    std::optional<Layout> chosen;
    std::string failure;
    bool another = false;
    for (uint64_t h : places) {
      Layout l = Place(h);
      if (!l.Failure.empty()) {
        if (failure.empty()) failure = l.Failure;
        continue;
      }
      if (chosen) {
        another = true;
        break;
      }
      chosen = std::move(l);
    }
    if (!chosen) return Give(failure);
    layout_ = std::move(*chosen);
    out_.HeaderBlock = layout_.HeaderBlock;
    out_.InOneRun = layout_.InOneRun;
    Unsure(layout_.Doubt);
    if (another) Unsure("the FAT sectors found fit more than one place for the header");
    named_ = Named(layout_.Fat);
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
    const uint64_t from = dir_ > limits_.WindowBlocks ? dir_ - limits_.WindowBlocks : 0;
    const uint64_t to = std::min(last_, dir_ + limits_.WindowBlocks);
    Block b{};
    for (uint64_t at = from; at <= to; ++at) {
      if (at == dir_ || !Read(at, b) || !FatShaped(b, FatLimit())) continue;
      const int64_t k = FatIndexFromChains(b);
      if (k < 0 || k >= limits_.MaxFatSectors) continue;
      auto& list = candidates_[static_cast<uint32_t>(k)];
      if (list.size() < kCandidatesPerIndex) list.push_back(at);
    }
  }

  // The blocks the header may have lain in, the likeliest first: each FAT
  // sector found beside a mark's file position votes for one. A file in one
  // run from its header on gives every found sector the same vote; a mini
  // FAT, which looks like a FAT sector, and another file's tables vote
  // beside it.
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

  // The FAT under header block h, and the directory's place in it.
  Layout Place(uint64_t h) {
    Layout l;
    l.HeaderBlock = h;
    if (dir_ < h + 1) {
      l.Failure = "the directory lies before the header";
      return l;
    }
    if (!BuildFat(l)) return l;
    CheckDifat(l);
    // The directory's first sector at the file position the header block
    // gives it: that must start a chain of the FAT.
    const uint64_t d = dir_ - h - 1;
    if (!ChainStart(l.Fat, d, Named(l.Fat))) {
      l.Failure = "the directory's place starts no chain of the FAT";
      return l;
    }
    l.DirStart = static_cast<uint32_t>(d);
    return l;
  }

  static uint64_t BlockOf(const Layout& l, uint64_t position) { return l.HeaderBlock + position + 1; }
  uint64_t BlockOf(uint64_t position) const { return BlockOf(layout_, position); }

  // A FAT-shaped block at a file position under the header being tried.
  struct FatNode {
    int64_t Self = -1;          // the index its chains give it, -1 when they do not say
    int64_t Index = -1;         // the index its marks are read at; -1 while not known
    std::vector<uint8_t> Marks;  // its entries that mark FAT sectors
    uint32_t Highest = 0;        // the highest sector it names
    bool Dropped = false;       // names an index its place among the others denies
  };

  // The FAT sector at position q under the header, if the block there is
  // shaped as one; hint is the index its chains were found to give.
  FatNode* Visit(const Layout& l, uint64_t q, int64_t hint) {
    if (auto it = nodes_.find(q); it != nodes_.end()) return &it->second;
    if (notFat_.count(q)) return nullptr;
    Block b{};
    if (!Read(BlockOf(l, q), b) || !FatShaped(b, FatLimit())) {
      notFat_.insert(q);
      return nullptr;
    }
    FatNode n;
    n.Self = SelfIndexOfFatSector(b, FatLimit());
    n.Index = n.Self >= 0 ? n.Self : hint;
    for (uint32_t i = 0; i < kPerFat; ++i) {
      const uint32_t v = LE32(b, 4 * i);
      if (v == kCompoundFatMark) n.Marks.push_back(static_cast<uint8_t>(i));
      if (!Special(v)) n.Highest = std::max(n.Highest, v);
    }
    return &nodes_.emplace(q, std::move(n)).first->second;
  }

  // The FAT under the header being tried. The FAT marks its own sectors, so
  // the file's FAT sectors are those that its FAT sectors mark: each FAT
  // sector found near the directory is looked at in the place the header
  // puts it, and the places its marks give are read in turn. Of what is
  // found, the file's own are the largest set in which every sector is
  // marked by one of the set; a sector nothing marks (another file's FAT,
  // a mini FAT, a stale table) falls out with whatever only it marked.
  // Each sector's index is its rank among the places marked; one whose
  // chains name an index below it is not the file's. A place marked whose
  // block is no FAT sector, or another's, leaves the FAT in doubt.
  bool BuildFat(Layout& l) {
    nodes_.clear();
    notFat_.clear();
    for (const auto& [k, list] : candidates_) {
      for (uint64_t at : list) {
        if (at > l.HeaderBlock) Visit(l, at - l.HeaderBlock - 1, k);
      }
    }
    std::vector<uint64_t> marked;  // the places the set marks, rising
    bool settled = false;
    // The sectors found near the directory may not reach the FAT's end, nor
    // back to its start: a FAT sector that marks itself starts what lies
    // around it, and one is looked for, from the file's start while sectors
    // before those found are missing, on from the last place covered while
    // the FAT seems to go on.
    uint64_t scanned = 0;  // places below this were looked at for such sectors
    for (;;) {
      if (!Settle(l, marked, settled)) return false;
      if (!settled) break;
      const bool before = MissingBefore(marked);
      if (!before && !GoesOn(l, marked)) break;
      if (!before) scanned = std::max(scanned, uint64_t{marked.size()} * kPerFat);
      if (!FindSelfMarking(l, scanned, marked.size())) break;
      for (auto& [q, n] : nodes_) n.Dropped = false;  // what was found may give them their places
    }
    if (!settled) l.Unsure("the FAT's marks do not settle");
    if (MissingBefore(marked)) l.Unsure("FAT sectors before those found were not found");
    if (marked.empty()) {
      l.Failure = "no FAT sector lies where the header block puts one";
      return false;
    }
    if (marked.size() > limits_.MaxFatSectors) {
      l.Failure = "the FAT is too large";
      return false;
    }
    if (marked.back() >= marked.size() * kPerFat) {
      l.Failure = "a FAT sector lies past the end of the FAT";
      return false;
    }
    l.Positions = marked;
    l.Fat.assign(marked.size() * kPerFat, kCompoundFree);
    Block b{};
    for (uint32_t k = 0; k < marked.size(); ++k) {
      auto it = nodes_.find(marked[k]);
      if (it == nodes_.end() || it->second.Dropped || !Read(BlockOf(l, marked[k]), b)) {
        // Its entries, and the marks among them, are not known.
        l.InOneRun = false;
        l.Unsure("FAT sector " + std::to_string(k) + " is not where the header's run puts it");
        continue;
      }
      for (uint32_t i = 0; i < kPerFat; ++i) l.Fat[uint64_t{k} * kPerFat + i] = LE32(b, 4 * i);
    }
    if (GoesOn(l, marked)) l.Unsure("the FAT may go on past the sectors found");
    return true;
  }

  // Reads what the sectors found mark, and what those mark, in turn, and
  // ranks the set until its marks settle; false when the FAT is too large.
  bool Settle(Layout& l, std::vector<uint64_t>& marked, bool& settled) {
    const size_t most = 4 * size_t{limits_.MaxFatSectors} + 64;
    settled = false;
    for (int round = 0; round < kMarkRounds && !settled; ++round) {
      std::vector<uint64_t> todo;
      for (const auto& [q, n] : nodes_) todo.push_back(q);
      while (!todo.empty()) {
        const uint64_t q = todo.back();
        todo.pop_back();
        const FatNode& n = nodes_.at(q);
        if (n.Dropped || n.Index < 0) continue;
        for (uint8_t i : n.Marks) {
          const uint64_t m = uint64_t(n.Index) * kPerFat + i;
          if (nodes_.count(m) || notFat_.count(m)) continue;
          if (nodes_.size() + notFat_.size() >= most) {
            l.Failure = "the FAT is too large";
            return false;
          }
          if (Visit(l, m, -1)) todo.push_back(m);
        }
      }
      marked = MarkedBySet();
      settled = Rank(marked);
    }
    return true;
  }

  // Whether the file reaches past what the FAT sectors found cover: the
  // last one has its last entry in use, one names a sector beyond, or the
  // directory lies beyond.
  bool GoesOn(const Layout& l, const std::vector<uint64_t>& marked) {
    if (marked.empty()) return false;
    const uint64_t covered = uint64_t{marked.size()} * kPerFat;
    if (dir_ - l.HeaderBlock - 1 >= covered) return true;
    for (uint64_t q : marked) {
      auto it = nodes_.find(q);
      if (it != nodes_.end() && !it->second.Dropped && it->second.Highest >= covered) return true;
    }
    Block b{};
    auto it = nodes_.find(marked.back());
    if (it == nodes_.end() || it->second.Dropped || !Read(BlockOf(l, marked.back()), b)) return false;
    return LE32(b, 4 * (kPerFat - 1)) != kCompoundFree;
  }

  // FAT sectors past the `count` found that mark their own places, looked
  // for from place `from` on (moved past what was looked at): true when
  // one was found. Sectors added as the file outgrew the last one may lie
  // far past the stretch they cover, marked by one added much later, so
  // the search reaches as far again as the FAT seems to: as many sectors as
  // found, or as the highest index a FAT sector seen gives itself. A FAT
  // that ends with its last entry in use costs one more read of the file.
  bool FindSelfMarking(const Layout& l, uint64_t& from, size_t count) {
    uint64_t sectors = count;
    for (const auto& [q, n] : nodes_) {
      if (n.Self >= 0) sectors = std::max(sectors, uint64_t(n.Self) + 1);
    }
    bool found = false;
    uint64_t stop = UINT64_MAX;  // a stretch past the first found: then their trees are read
    Block b{};
    for (; from < std::min({FatLimit(), 2 * sectors * kPerFat + kRunMargin, stop}) &&
           BlockOf(l, from) <= last_ && scanBudget_ > 0;
         ++from) {
      --scanBudget_;
      if (nodes_.count(from) || !Read(BlockOf(l, from), b) || !FatShaped(b, FatLimit())) continue;
      const int64_t self = SelfIndexOfFatSector(b, FatLimit());
      if (self >= 0) sectors = std::max(sectors, uint64_t(self) + 1);
      const uint64_t r = from / kPerFat;
      if (LE32(b, 4 * (from % kPerFat)) != kCompoundFatMark) continue;
      if (self >= 0 && self != static_cast<int64_t>(r)) continue;
      Visit(l, from, static_cast<int64_t>(r));
      if (!found) stop = from + kRunMargin;
      found = true;
    }
    return found;
  }

  // The places marked by the largest set of sectors found in which each is
  // marked by one of the set: every sector not dropped to begin with, and
  // those that nothing left marks taken out until none is.
  std::vector<uint64_t> MarkedBySet() {
    std::map<uint64_t, uint32_t> markers;  // place: sectors of the set that mark it
    auto marksOf = [](uint64_t, const FatNode& n, auto&& each) {
      if (n.Dropped || n.Index < 0) return;
      for (uint8_t i : n.Marks) each(uint64_t(n.Index) * kPerFat + i);
    };
    std::set<uint64_t> in;
    for (const auto& [q, n] : nodes_) {
      if (n.Dropped) continue;
      in.insert(q);
      marksOf(q, n, [&](uint64_t m) { ++markers[m]; });
    }
    std::vector<uint64_t> out;
    for (uint64_t q : in) {
      if (!markers.count(q)) out.push_back(q);
    }
    while (!out.empty()) {
      const uint64_t q = out.back();
      out.pop_back();
      if (!in.erase(q)) continue;
      marksOf(q, nodes_.at(q), [&](uint64_t m) {
        auto it = markers.find(m);
        if (--it->second > 0) return;
        markers.erase(it);
        if (in.count(m)) out.push_back(m);
      });
    }
    for (const auto& [m, count] : markers) out.push_back(m);
    return out;
  }

  // Gives each sector of the set the index its place among the marked
  // ones says, counted on from the last one below that names its own;
  // false when that changed anything. One that names an index below its
  // rank is not the file's (a foreign table that slipped in shifts the
  // ranks of all after it): those farthest off are dropped first. One that
  // names an index above its rank says that sectors before it are not
  // found yet.
  bool Rank(const std::vector<uint64_t>& marked) {
    bool changed = false;
    int64_t worst = 0;
    int64_t offset = 0;  // index less rank, by the last sector below that names its own
    for (uint64_t k = 0; k < marked.size(); ++k) {
      auto it = nodes_.find(marked[k]);
      if (it == nodes_.end() || it->second.Dropped) continue;
      FatNode& n = it->second;
      const int64_t rank = static_cast<int64_t>(k);
      if (n.Self >= 0) {
        if (n.Self < rank) worst = std::max(worst, rank - n.Self);
        else offset = n.Self - rank;
      } else if (n.Index != rank + offset) {
        n.Index = rank + offset;
        changed = true;
      }
    }
    if (worst > 0) {
      for (uint64_t k = 0; k < marked.size(); ++k) {
        auto it = nodes_.find(marked[k]);
        if (it == nodes_.end() || it->second.Dropped || it->second.Self < 0) continue;
        if (static_cast<int64_t>(k) - it->second.Self == worst) it->second.Dropped = true;
      }
      changed = true;
    }
    return !changed;
  }

  // Whether a sector of the set names an index above its rank: FAT
  // sectors before it are missing.
  bool MissingBefore(const std::vector<uint64_t>& marked) const {
    for (uint64_t k = 0; k < marked.size(); ++k) {
      auto it = nodes_.find(marked[k]);
      if (it != nodes_.end() && !it->second.Dropped && it->second.Self > static_cast<int64_t>(k))
        return true;
    }
    return false;
  }

  // The DIFAT: as many sectors as the FAT past the header's 109 needs, each
  // marked in the FAT, chained one to the next and listing the FAT sectors
  // found in their order. The chain's start is the one that lists the 110th.
  void CheckDifat(Layout& l) {
    std::vector<uint64_t> marked;
    for (uint64_t p = 0; p < l.Fat.size(); ++p) {
      if (l.Fat[p] == kCompoundDifatMark) marked.push_back(p);
    }
    const size_t count = l.Positions.size();
    const size_t need = count > kHeaderDifat ? (count - kHeaderDifat + kPerFat - 2) / (kPerFat - 1) : 0;
    if (marked.size() != need) l.Unsure("the DIFAT's marks do not fit the FAT's size");
    if (need == 0) {
      l.Difat = marked;
      return;
    }
    Block b{};
    std::vector<uint64_t> chain;
    for (uint64_t d : marked) {
      if (Read(BlockOf(l, d), b) && LE32(b, 0) == l.Positions[kHeaderDifat]) {
        chain.push_back(d);
        break;
      }
    }
    size_t listed = kHeaderDifat;
    bool sound = !chain.empty();
    while (sound) {
      for (uint32_t e = 0; e + 1 < kPerFat; ++e, ++listed) {
        const uint32_t v = LE32(b, 4 * e);
        if (listed < count ? v != l.Positions[listed] : v != kCompoundFree) sound = false;
      }
      const uint32_t next = LE32(b, 4 * (kPerFat - 1));
      if (listed >= count) {
        sound = sound && (next == kCompoundEndOfChain || next == kCompoundFree);
        break;
      }
      const bool known = std::binary_search(marked.begin(), marked.end(), uint64_t{next});
      if (!sound || !known || std::find(chain.begin(), chain.end(), next) != chain.end() ||
          !Read(BlockOf(l, next), b)) {
        sound = false;
        break;
      }
      chain.push_back(next);
    }
    if (sound && chain.size() == marked.size()) {
      l.Difat = std::move(chain);
      return;
    }
    l.Unsure("the DIFAT does not list the FAT sectors found");
    // The chain as far as it held, then the other marked sectors in order.
    for (uint64_t d : marked) {
      if (std::find(chain.begin(), chain.end(), d) == chain.end()) chain.push_back(d);
    }
    l.Difat = std::move(chain);
  }

  // Chain starts: used entries that no other entry names.
  static std::vector<bool> Named(const std::vector<uint32_t>& fat) {
    std::vector<bool> named(fat.size(), false);
    for (uint32_t v : fat) {
      if (!Special(v) && v < named.size()) named[v] = true;
    }
    return named;
  }
  static bool ChainStart(const std::vector<uint32_t>& fat, uint64_t p, const std::vector<bool>& named) {
    if (p >= fat.size()) return false;
    const uint32_t v = fat[p];
    if (v == kCompoundFree || v == kCompoundFatMark || v == kCompoundDifatMark) return false;
    return !named[p];
  }

  std::vector<uint32_t> Chain(uint32_t start, uint64_t cap) const {
    const std::vector<uint32_t>& fat = layout_.Fat;
    std::vector<uint32_t> chain;
    std::vector<bool> seen(fat.size(), false);
    for (uint32_t n = start; n < fat.size() && chain.size() < cap && !seen[n]; n = fat[n]) {
      seen[n] = true;
      chain.push_back(n);
    }
    return chain;
  }

  // The directory along its chain, as far as its sectors lie where the
  // header block puts them; the rest is not known.
  void ReadDirectory(const Block& root) {
    directory_.assign(root.begin(), root.end());
    const std::vector<uint32_t> chain = Chain(layout_.DirStart, limits_.MaxDirectorySectors);
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
  // stream needs, its sectors shaped as a FAT of that many mini sectors.
  // A stream whose entry was not read may start a chain of that length
  // too: when more than one fits, the first is taken in doubt.
  void FindMiniFat() {
    Bytes dir(directory_);
    const uint64_t miniBytes = LE32(dir, 120);
    if (miniBytes == 0) return;
    const std::vector<uint32_t>& fat = layout_.Fat;
    std::vector<bool> claimed(fat.size(), false);
    claimed[layout_.DirStart] = true;
    for (size_t off = 0; off + kEntry <= dir.size(); off += kEntry) {
      Bytes e = dir.subspan(off, kEntry);
      const uint8_t type = U8(e, 66);
      const uint32_t start = LE32(e, 116);
      const bool inFat = type == 5 || (type == 2 && LE32(e, 120) >= kMiniCutoff);
      if (inFat && start < claimed.size()) claimed[start] = true;
    }
    const uint64_t miniSectors = (miniBytes + kMini - 1) / kMini;
    const uint64_t want = (miniSectors + kPerFat - 1) / kPerFat;
    std::vector<uint32_t> left;
    for (uint64_t p = 0; p < fat.size(); ++p) {
      if (!claimed[p] && ChainStart(fat, p, named_)) left.push_back(static_cast<uint32_t>(p));
    }
    constexpr size_t kTries = 256;  // chains of streams whose entries were not read
    if (left.size() > kTries) {
      left.resize(kTries);
      Unsure("the mini FAT's start is not unique");
    }
    size_t fitting = 0;
    Block b{};
    for (uint32_t p : left) {
      const std::vector<uint32_t> chain = Chain(p, want + 1);
      if (chain.size() != want) continue;
      const bool shaped = std::all_of(chain.begin(), chain.end(), [&](uint32_t n) {
        return Read(BlockOf(n), b) && MiniFatShaped(b, miniSectors);
      });
      if (!shaped) continue;
      if (++fitting == 1) {
        miniFatStart_ = p;
        miniFatCount_ = static_cast<uint32_t>(want);
      }
    }
    if (fitting == 0) Unsure("the mini FAT was not found");
    if (fitting > 1) Unsure("the mini FAT's start is not unique");
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
    const std::vector<uint64_t>& positions = layout_.Positions;
    const std::vector<uint64_t>& difat = layout_.Difat;
    put32(44, static_cast<uint32_t>(positions.size()));
    put32(48, layout_.DirStart);
    put32(56, kMiniCutoff);
    put32(60, miniFatStart_);
    put32(64, miniFatCount_);
    put32(68, difat.empty() ? kCompoundEndOfChain : static_cast<uint32_t>(difat.front()));
    put32(72, static_cast<uint32_t>(difat.size()));
    for (int i = 0; i < kHeaderDifat; ++i) {
      const size_t k = static_cast<size_t>(i);
      put32(76 + 4 * k, k < positions.size() ? static_cast<uint32_t>(positions[k]) : kCompoundFree);
    }
  }

  const BlockReader& read_;
  uint64_t dir_, last_;
  HeaderRebuildLimits limits_;
  RebuiltHeader out_;
  std::map<uint32_t, std::vector<uint64_t>> candidates_;  // by FAT index, blocks in disk order
  Layout layout_;                                         // the place taken for the header
  std::map<uint64_t, FatNode> nodes_;                     // FAT sectors found under the header tried
  std::set<uint64_t> notFat_;                             // places read there that are none
  // Blocks the search for self-marking FAT sectors reads, over every place
  // tried: a file's FAT reach once and once more, whatever hostile indices say.
  uint64_t scanBudget_ = 2 * uint64_t{limits_.MaxFatSectors} * kPerFat;
  std::vector<bool> named_;                               // sectors some FAT entry names
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
