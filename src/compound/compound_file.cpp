#include "compound/compound_file.h"

#include <algorithm>
#include <array>
#include <functional>
#include <set>
#include <string_view>
#include <utility>

#include "source/bytes.h"
#include "source/utf16.h"

namespace tarnwick {

namespace {

constexpr std::array<uint8_t, 8> kSignature = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr uint32_t kNoStream = 0xFFFFFFFF;
constexpr uint32_t kEntrySize = 128;
constexpr uint32_t kMiniSector = 64;
constexpr int kHeaderDifatEntries = 109;
// Table sectors read between two calls of the caller's release: with the
// 64 KiB a system may map around each one, 16 MiB at most.
constexpr uint64_t kSectorsBetweenReleases = 256;

// Who holds a compound-file sector (or a mini sector). Streams are
// kFirstStream + their directory entry number.
enum Owner : int32_t {
  kNobody = 0,
  kFat = 1,
  kDifat = 2,
  kDirectory = 3,
  kMiniFat = 4,
  kMiniStream = 5,
  kFirstStream = 16
};

std::string OwnerWord(int32_t owner) {
  switch (owner) {
    case kFat: return "the FAT";
    case kDifat: return "the DIFAT";
    case kDirectory: return "the directory";
    case kMiniFat: return "the mini FAT";
    case kMiniStream: return "the mini stream";
    default: return "a stream";
  }
}

// The entry's name: its length field counts bytes with the closing zero.
std::string EntryName(Bytes entry) {
  uint16_t n = LE16(entry, 64);
  if (n > 64) n = 64;
  return Utf16LeToUtf8(entry, 0, n >= 2 ? (n - 2u) / 2u : 0, false);
}

bool NameIs(Bytes entry, size_t units, std::u16string_view name) {
  if (units != name.size()) return false;
  for (size_t i = 0; i < units; ++i) {
    if (LE16(entry, 2 * i) != name[i]) return false;
  }
  return true;
}

class Checker {
 public:
  Checker(Bytes file, const std::function<void()>& release) : f_(file), release_(release) {}

  CompoundCheck Run() {
    if (!Header()) return std::move(out_);
    out_.IsCompound = true;
    ReadFat();
    FindLength();
    MarkFatAndDifat();
    ReadDirectory();
    CountQQNames();
    if (U8(Entry(0), 66) != 5) {
      Fail("the directory has no root entry");
      return Finish();
    }
    ReadMiniStructures();
    WalkTree();
    CheckStreams();
    return Finish();
  }

 private:
  void Fail(const std::string& problem) {
    if (out_.Problem.empty()) out_.Problem = problem;
  }

  bool Header() {
    if (!BytesEqual(f_, 0, Bytes(kSignature)) || LE16(f_, 28) != 0xFFFE) return false;
    const uint16_t shift = LE16(f_, 30);
    if (shift != 9 && shift != 12) return false;
    ss_ = 1u << shift;
    out_.SectorSize = ss_;
    return true;
  }

  // Compound-file sector n lies wholly inside the file.
  bool Present(uint64_t n) const { return (n + 2) * ss_ <= f_.size(); }
  // Every table sector is read through here, and copied out at once.
  Bytes SectorBytes(uint64_t n) {
    if (release_ && ++sectorsRead_ % kSectorsBetweenReleases == 0) release_();
    return f_.subspan(static_cast<size_t>((n + 1) * ss_), ss_);
  }
  uint32_t FatEntry(uint64_t i) const { return i < fat_.size() ? fat_[i] : kCompoundFree; }

  void AddFatSector(uint32_t n) {
    fatSectors_.push_back(n);
    if (!Present(n)) {
      Fail("FAT sector " + std::to_string(n) + " lies beyond the end of the file");
      fat_.insert(fat_.end(), ss_ / 4, kCompoundFree);
      return;
    }
    Bytes s = SectorBytes(n);
    for (uint32_t k = 0; k < ss_ / 4; ++k) fat_.push_back(LE32(s, 4 * k));
  }

  void ReadFat() {
    if (f_.size() < ss_) Fail("the file is shorter than its header");
    if (LE16(f_, 32) != 6) Fail("the mini sector size is not 64 bytes");
    int i = 0;
    for (; i < kHeaderDifatEntries; ++i) {
      uint32_t n = LE32(f_, 76 + 4 * static_cast<size_t>(i));
      if (n == kCompoundFree) break;
      AddFatSector(n);
    }
    for (++i; i < kHeaderDifatEntries; ++i) {
      if (LE32(f_, 76 + 4 * static_cast<size_t>(i)) != kCompoundFree) {
        Fail("the header's FAT list has a gap");
        break;
      }
    }
    // The DIFAT chain: every sector visited at most once, so a loop ends it.
    const uint64_t sectorsInFile = f_.size() / ss_;
    std::vector<bool> seen;
    uint32_t d = LE32(f_, 68);
    while (d != kCompoundEndOfChain && d != kCompoundFree) {
      if (!Present(d)) {
        Fail("DIFAT sector " + std::to_string(d) + " lies beyond the end of the file");
        break;
      }
      if (seen.size() < sectorsInFile) seen.resize(sectorsInFile, false);
      if (seen[d]) {
        Fail("the DIFAT chain loops");
        break;
      }
      seen[d] = true;
      difatSectors_.push_back(d);
      Bytes s = SectorBytes(d);
      const uint32_t per = ss_ / 4 - 1;
      for (uint32_t k = 0; k < per; ++k) {
        uint32_t n = LE32(s, 4 * k);
        if (n != kCompoundFree) AddFatSector(n);
      }
      d = LE32(s, 4 * per);
    }
    if (difatSectors_.size() != LE32(f_, 72)) Fail("the DIFAT sector count does not match");
    if (fatSectors_.size() != LE32(f_, 44)) Fail("the FAT sector count does not match");
  }

  void FindLength() {
    uint64_t k = fat_.size();
    while (k > 0 && fat_[k - 1] == kCompoundFree) --k;
    if (k == 0) {
      Fail("the FAT marks no sector as used");
      out_.Length = ss_;
    } else {
      out_.Length = (k + 1) * ss_;
    }
    if (out_.Length > f_.size()) Fail("the file is shorter than its FAT says");
    owner_.assign(fat_.size(), kNobody);
  }

  // Takes sector n for who; false (and a problem) when it is held already.
  bool Take(uint32_t n, int32_t who) {
    if (n >= owner_.size()) return false;
    int32_t& o = owner_[n];
    if (o == kNobody) {
      o = who;
      return true;
    }
    if (o >= kFirstStream) brokenEntry_.push_back(static_cast<uint32_t>(o - kFirstStream));
    if (who < kFirstStream) {
      Fail("sector " + std::to_string(n) + " is held by both " + OwnerWord(o) + " and " +
           OwnerWord(who));
    }
    return false;
  }

  void MarkFatAndDifat() {
    for (uint32_t n : fatSectors_) {
      if (FatEntry(n) != kCompoundFatMark) {
        Fail("FAT sector " + std::to_string(n) + " is not marked as FAT");
      }
      if (n < owner_.size()) Take(n, kFat);
    }
    for (uint32_t n : difatSectors_) {
      if (FatEntry(n) != kCompoundDifatMark) {
        Fail("DIFAT sector " + std::to_string(n) + " is not marked as DIFAT");
      }
      if (n < owner_.size()) Take(n, kDifat);
    }
  }

  // Follows a FAT chain from start, taking its sectors for who. Stops at the
  // end mark, at most maxSectors, or at the first fault (false, why set).
  bool Chain(uint32_t start, int32_t who, uint64_t maxSectors, std::vector<uint32_t>& out,
             std::string& why) {
    uint32_t n = start;
    while (n != kCompoundEndOfChain) {
      if (out.size() >= maxSectors) return true;
      if (n >= fat_.size() || !Present(n)) {
        why = "runs past the end of the file";
        return false;
      }
      if (!Take(n, who)) {
        why = owner_[n] == who ? "loops" : "shares a sector with " + OwnerWord(owner_[n]);
        return false;
      }
      out.push_back(n);
      n = fat_[n];
    }
    return true;
  }

  void ReadDirectory() {
    std::vector<uint32_t> chain;
    std::string why;
    if (!Chain(LE32(f_, 48), kDirectory, UINT64_MAX, chain, why))
      Fail("the directory chain " + why);
    dir_.reserve(chain.size() * ss_);
    for (uint32_t n : chain) {
      Bytes s = SectorBytes(n);
      dir_.insert(dir_.end(), s.begin(), s.end());
    }
  }

  Bytes Entry(uint64_t i) const {
    if ((i + 1) * kEntrySize > dir_.size()) return {};
    return Bytes(dir_).subspan(static_cast<size_t>(i * kEntrySize), kEntrySize);
  }
  uint64_t EntryCount() const { return dir_.size() / kEntrySize; }

  uint64_t EntrySize(Bytes e) const {
    uint64_t size = LE64(e, 120);
    return ss_ == 512 ? (size & 0xFFFFFFFFu) : size;
  }

  void CountQQNames() {
    for (uint64_t i = 0; i < EntryCount() && out_.QQNameCount < 2; ++i) {
      Bytes e = Entry(i);
      uint16_t n = LE16(e, 64);
      if (n < 4 || n > 64) break;
      size_t units = (n - 2u) / 2u;
      if (NameIs(e, units, u"Matrix.dat") || NameIs(e, units, u"seqbase.dat")) {
        ++out_.QQNameCount;
      }
    }
  }

  void ReadMiniStructures() {
    std::string why;
    std::vector<uint32_t> chain;
    const uint64_t miniFatSectors = LE32(f_, 64);
    if (!Chain(LE32(f_, 60), kMiniFat, UINT64_MAX, chain, why)) Fail("the mini FAT chain " + why);
    if (chain.size() != miniFatSectors) Fail("the mini FAT sector count does not match");
    for (uint32_t n : chain) {
      Bytes s = SectorBytes(n);
      for (uint32_t k = 0; k < ss_ / 4; ++k) miniFat_.push_back(LE32(s, 4 * k));
    }
    Bytes root = Entry(0);
    const uint64_t miniSize = EntrySize(root);
    chain.clear();
    if (miniSize > f_.size()) {
      Fail("the mini stream is larger than the file");
      return;
    }
    const uint64_t needed = (miniSize + ss_ - 1) / ss_;
    if (!Chain(LE32(root, 116), kMiniStream, needed, chain, why)) {
      Fail("the mini stream's chain " + why);
    } else if (chain.size() < needed) {
      Fail("the mini stream's chain is shorter than its size");
    }
    out_.MiniStreamSectors = chain;
    // Only how far the mini stream reaches matters, not what it holds: its
    // sectors are not read (nor, in a mapped file, brought into memory).
    const uint64_t miniBytes = std::min<uint64_t>(chain.size() * uint64_t{ss_}, miniSize);
    miniOwner_.assign(static_cast<size_t>(miniBytes / kMiniSector), kNobody);
  }

  // Depth first, root first; the children of a storage in the order of
  // their sibling tree. Every entry is visited at most once.
  void WalkTree() {
    const uint64_t count = EntryCount();
    std::vector<bool> visited(count, false);
    visited[0] = true;
    struct Item {
      uint32_t Id;
      int Depth;
      std::string Path;
    };
    std::vector<Item> todo{{0, 0, ""}};
    while (!todo.empty()) {
      Item item = std::move(todo.back());
      todo.pop_back();
      Bytes e = Entry(item.Id);
      CompoundEntry ce;
      ce.Name = EntryName(e);
      ce.Type = U8(e, 66);
      ce.Depth = item.Depth;
      ce.Path = item.Depth == 0 ? "" : (item.Path.empty() ? ce.Name : item.Path + "/" + ce.Name);
      ce.Size = ce.Type == 2 ? EntrySize(e) : 0;
      ce.Intact = true;
      entryIds_.push_back(item.Id);
      out_.Entries.push_back(ce);
      if (ce.Type == 2) continue;
      std::vector<uint32_t> kids = Children(LE32(e, 76), visited);
      for (size_t k = kids.size(); k-- > 0;) {
        todo.push_back({kids[k], item.Depth + 1, ce.Path});
      }
    }
  }

  // The sibling tree under a storage, in order (left, self, right).
  std::vector<uint32_t> Children(uint32_t top, std::vector<bool>& visited) {
    std::vector<uint32_t> kids;
    std::vector<uint32_t> stack;
    uint32_t n = top;
    while (n != kNoStream || !stack.empty()) {
      while (n != kNoStream) {
        if (n >= visited.size()) {
          Fail("a directory entry points past the directory");
          break;
        }
        if (visited[n]) {
          Fail("the directory tree loops or shares an entry");
          break;
        }
        visited[n] = true;
        uint8_t type = U8(Entry(n), 66);
        if (type != 1 && type != 2) {
          Fail("the directory tree reaches an entry that is not in use");
          break;
        }
        stack.push_back(n);
        n = LE32(Entry(n), 68);
      }
      if (stack.empty()) break;
      n = stack.back();
      stack.pop_back();
      kids.push_back(n);
      n = LE32(Entry(n), 72);
    }
    return kids;
  }

  bool MiniChain(uint32_t start, uint32_t who, uint64_t needed, std::string& why) {
    uint32_t n = start;
    for (uint64_t got = 0; got < needed; ++got) {
      if (n >= miniFat_.size() || n >= miniOwner_.size()) {
        why = "runs past the mini stream";
        return false;
      }
      int32_t& o = miniOwner_[n];
      if (o != kNobody) {
        if (o >= kFirstStream && static_cast<uint32_t>(o) != who) {
          brokenEntry_.push_back(static_cast<uint32_t>(o - kFirstStream));
        }
        why = static_cast<uint32_t>(o) == who ? "loops" : "shares a mini sector";
        return false;
      }
      o = static_cast<int32_t>(who);
      n = miniFat_[n];
    }
    return true;
  }

  void CheckStreams() {
    const uint64_t cutoff = LE32(f_, 56);
    std::vector<std::string> why(out_.Entries.size());
    for (size_t k = 0; k < out_.Entries.size(); ++k) {
      CompoundEntry& ce = out_.Entries[k];
      if (ce.Type != 2) continue;
      Bytes e = Entry(entryIds_[k]);
      const uint32_t who = kFirstStream + entryIds_[k];
      if (ce.Size == 0) continue;
      if (ce.Size > f_.size()) {
        why[k] = "is larger than the file";
        ce.Intact = false;
      } else if (ce.Size < cutoff) {
        ce.Intact = MiniChain(LE32(e, 116), who, (ce.Size + kMiniSector - 1) / kMiniSector, why[k]);
      } else {
        std::vector<uint32_t> chain;
        const uint64_t needed = (ce.Size + ss_ - 1) / ss_;
        ce.Intact = Chain(LE32(e, 116), static_cast<int32_t>(who), needed, chain, why[k]);
        if (!chain.empty() && ce.Size % ss_ != 0) partial_.insert(chain.back());
        if (ce.Intact && chain.size() < needed) {
          why[k] = "ends before its size";
          ce.Intact = false;
        }
      }
    }
    // A stream whose sectors another one took as well is broken too.
    for (uint32_t id : brokenEntry_) {
      for (size_t k = 0; k < entryIds_.size(); ++k) {
        if (entryIds_[k] == id && out_.Entries[k].Intact) {
          out_.Entries[k].Intact = false;
          why[k] = "shares a sector with another stream";
        }
      }
    }
    for (size_t k = 0; k < out_.Entries.size(); ++k) {
      const CompoundEntry& ce = out_.Entries[k];
      if (ce.Type != 2) continue;
      if (ce.Intact) {
        out_.IntactStreams.push_back(ce.Path);
      } else {
        out_.BrokenStreams.push_back(ce.Path);
        Fail("stream " + ce.Path + " " + why[k]);
      }
    }
  }

  CompoundCheck Finish() {
    out_.Whole = out_.Problem.empty();
    out_.SectorUse.assign(owner_.size(), kSectorUnused);
    out_.SectorStream.assign(owner_.size(), kNoCompoundEntry);
    std::vector<uint32_t> indexOf(EntryCount(), kNoCompoundEntry);
    for (size_t k = 0; k < entryIds_.size(); ++k) indexOf[entryIds_[k]] = static_cast<uint32_t>(k);
    for (size_t n = 0; n < owner_.size(); ++n) {
      const int64_t id = int64_t{owner_[n]} - kFirstStream;
      if (id >= 0 && static_cast<uint64_t>(id) < indexOf.size())
        out_.SectorStream[n] = indexOf[static_cast<size_t>(id)];
    }
    out_.MiniSectorStream.assign(miniOwner_.size(), kNoCompoundEntry);
    for (size_t m = 0; m < miniOwner_.size(); ++m) {
      const int64_t id = int64_t{miniOwner_[m]} - kFirstStream;
      if (id >= 0 && static_cast<uint64_t>(id) < indexOf.size())
        out_.MiniSectorStream[m] = indexOf[static_cast<size_t>(id)];
    }
    for (size_t n = 0; n < owner_.size(); ++n) {
      const int32_t o = owner_[n];
      if (o == kNobody) continue;
      if (o < kMiniStream)
        out_.SectorUse[n] = kSectorTable;
      else if (o == kMiniStream || partial_.count(static_cast<uint32_t>(n)))
        out_.SectorUse[n] = kSectorPartData;
      else
        out_.SectorUse[n] = kSectorFullData;
    }
    return std::move(out_);
  }

  Bytes f_;
  const std::function<void()>& release_;
  uint64_t sectorsRead_ = 0;
  uint32_t ss_ = 512;
  CompoundCheck out_;
  std::vector<uint32_t> fatSectors_, difatSectors_;
  std::vector<uint32_t> fat_, miniFat_;
  std::vector<int32_t> owner_, miniOwner_;
  std::vector<uint8_t> dir_;
  std::vector<uint32_t> entryIds_;     // directory entry number of each of out_.Entries
  std::vector<uint32_t> brokenEntry_;  // entries whose sectors another chain took
  std::set<uint32_t> partial_;         // stream sectors that the stream fills only in part
};

}  // namespace

CompoundCheck CheckCompoundFile(std::span<const uint8_t> file,
                                const std::function<void()>& release) {
  return Checker(file, release).Run();
}

bool HasQQNames(const CompoundCheck& check) { return check.QQNameCount >= 2; }

bool DirectoryEntryLooksSound(std::span<const uint8_t> entry, bool root) {
  if (entry.size() < 128) return false;
  const Bytes e(entry);
  const uint8_t type = U8(e, 66);
  if (root != (type == 5)) return false;
  if (type != 0 && type != 1 && type != 2 && type != 5) return false;
  if (type == 0) return true;
  if (U8(e, 67) > 1) return false;
  const uint16_t len = LE16(e, 64);
  if (len < 4 || len > 64 || len % 2) return false;
  const size_t units = (len - 2u) / 2u;
  for (size_t i = 0; i < units; ++i) {
    if (LE16(e, 2 * i) == 0) return false;
  }
  return LE16(e, 2 * units) == 0;
}

int64_t SelfIndexOfFatSector(std::span<const uint8_t> block, uint64_t limit) {
  if (block.size() < 512) return -1;
  const Bytes b(block);
  constexpr uint32_t kEntries = 128;
  std::array<uint64_t, kEntries> votes{};
  size_t n = 0, used = 0;
  for (uint32_t e = 0; e < kEntries; ++e) {
    const uint32_t v = LE32(b, 4 * e);
    if (v >= kCompoundDifatMark || v >= limit) continue;
    ++used;
    if (v <= e) continue;  // a step back to the first sectors: no vote
    votes[n++] = (uint64_t{v} - e - 1) / kEntries;
  }
  std::sort(votes.begin(), votes.begin() + static_cast<std::ptrdiff_t>(n));
  int64_t best = -1;
  size_t bestCount = 0;
  for (size_t i = 0; i < n;) {
    size_t j = i;
    while (j < n && votes[j] == votes[i]) ++j;
    if (j - i > bestCount) {
      bestCount = j - i;
      best = static_cast<int64_t>(votes[i]);
    }
    i = j;
  }
  constexpr size_t kAgreeing = 8;
  if (bestCount < kAgreeing || bestCount * 3 < used) return -1;
  return best;
}

}  // namespace tarnwick
