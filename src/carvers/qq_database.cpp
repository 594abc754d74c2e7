#include "carvers/qq_database.h"

#include <algorithm>
#include <array>
#include <bit>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "carvers/database_rounds.h"
#include "carvers/framework.h"
#include "carvers/qq_reassembly.h"
#include "compound/compound_file.h"
#include "scan/recorded_files.h"
#include "source/bytes.h"
#include "source/file_io.h"

namespace tarnwick {

namespace {

constexpr uint32_t kFreeSect = 0xFFFFFFFF;
constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kMarkAndShift = 0x0009FFFE;  // FE FF, sector shift 9
constexpr uint32_t kHighestFatSector = 409598;  // such a sector ends within 200 MiB
constexpr uint64_t kLargestEnd = 209'715'200;
constexpr uint64_t kDirectoryLimit = 20'971'520;
constexpr int kHeaderDifatEntries = 109;
constexpr int kFatSectorsPerDifat = 127;
constexpr uint32_t kCfSector = 512;
constexpr uint64_t kEvidenceSample = 64;  // pinned data sectors looked at
constexpr size_t kSampleStride = 61;      // every so many sectors looked at first
constexpr std::array<uint8_t, 8> kSignature = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

// Byte offset in the file of compound-file sector n.
uint64_t SectorOffset(uint64_t n) { return (n + 1) * kCfSector; }

class QQCarve {
 public:
  QQCarve(CarveFrame& frame) : frame_(frame), c_(frame.Ctx()) {}

  // Everything after the start sector has been read. False on any failure.
  bool Run(bool& isQQ) {
    if (!HeaderMatches()) return false;
    if (!CollectHeaderFat()) return false;
    if (!CollectDifatChain()) return false;
    if (!CollectToFileEnd()) return false;
    c_.Buffer.resize(static_cast<size_t>(c_.Collected));
    if (!CollectDirectory()) return false;
    isQQ = HasQQNames();
    return true;
  }

 private:
  Bytes File() const { return c_.Data(); }

  bool HeaderMatches() const {
    return BytesEqual(File(), 0, Bytes(kSignature)) && LE32(File(), 28) == kMarkAndShift;
  }

  // Collects the file up to the end of compound-file sector n.
  bool Reach(uint64_t n) {
    uint64_t target = SectorOffset(n) + kCfSector;
    if (target > static_cast<uint64_t>(INT32_MAX)) return false;
    return ReadUntil32(c_, static_cast<int32_t>(target));
  }

  bool AppendFatSector(uint32_t f) {
    if (f > kHighestFatSector) return false;
    if (!Reach(f)) return false;
    Bytes sector = File().subspan(static_cast<size_t>(SectorOffset(f)), kCfSector);
    fat_.insert(fat_.end(), sector.begin(), sector.end());
    return true;
  }

  bool CollectHeaderFat() {
    int64_t previous = -1;
    for (int i = 0; i < kHeaderDifatEntries; ++i) {
      uint32_t f = LE32(File(), 76 + 4 * static_cast<size_t>(i));
      if (f == kFreeSect) break;
      if (f > kHighestFatSector || static_cast<int64_t>(f) <= previous) return false;
      previous = f;
      if (!AppendFatSector(f)) return false;
    }
    return true;
  }

  bool CollectDifatChain() {
    uint32_t d = LE32(File(), 68);
    int64_t previous = -1;
    while (d != kEndOfChain && d != kFreeSect) {
      if (d > kHighestFatSector || static_cast<int64_t>(d) <= previous) return false;
      previous = d;
      if (!Reach(d)) return false;
      const size_t base = static_cast<size_t>(SectorOffset(d));
      for (int k = 0; k < kFatSectorsPerDifat; ++k) {
        uint32_t t = LE32(File(), base + 4 * static_cast<size_t>(k));
        if (t == kFreeSect) continue;
        if (!AppendFatSector(t)) return false;
      }
      d = LE32(File(), base + 4 * kFatSectorsPerDifat);
    }
    return true;
  }

  uint32_t FatEntry(uint64_t i) const { return LE32(Bytes(fat_), static_cast<size_t>(4 * i)); }
  uint64_t FatEntries() const { return fat_.size() / 4; }

  // The file ends with the last compound-file sector that the FAT uses.
  bool CollectToFileEnd() {
    for (uint64_t k = FatEntries(); k-- > 0;) {
      if (FatEntry(k) == kFreeSect) continue;
      uint64_t end = (k + 2) * kCfSector;
      if (end > kLargestEnd) return false;
      return ReadUntil32(c_, static_cast<int32_t>(end));
    }
    return true;
  }

  bool CollectDirectory() {
    const int64_t limit = static_cast<int64_t>(c_.Collected / kCfSector) - 2;
    uint32_t sect = LE32(File(), 48);
    while (sect != kEndOfChain) {
      if (limit < 0 || static_cast<int64_t>(sect) > limit) return false;
      if (dir_.size() >= kDirectoryLimit) return false;
      Bytes sector = File().subspan(static_cast<size_t>(SectorOffset(sect)), kCfSector);
      dir_.insert(dir_.end(), sector.begin(), sector.end());
      // A directory sector beyond the collected FAT has no entry: the chain is broken.
      if (sect >= FatEntries()) return false;
      sect = FatEntry(sect);
    }
    return true;
  }

  static bool NameIs(Bytes entry, size_t units, std::u16string_view name) {
    if (units != name.size()) return false;
    for (size_t i = 0; i < units; ++i) {
      if (LE16(entry, 2 * i) != name[i]) return false;
    }
    return true;
  }

  bool HasQQNames() const {
    int count = 0;
    Bytes dir(dir_);
    for (size_t off = 0; off + 128 <= dir.size(); off += 128) {
      Bytes entry = dir.subspan(off, 128);
      uint16_t n = LE16(entry, 64);
      if (n < 4 || n > 64) break;
      size_t units = (n - 2u) / 2u;
      if (NameIs(entry, units, u"Matrix.dat") || NameIs(entry, units, u"seqbase.dat")) {
        if (++count == 2) return true;
      }
    }
    return false;
  }

  CarveFrame& frame_;
  CarveContext& c_;
  std::vector<uint8_t> fat_;
  std::vector<uint8_t> dir_;
};

// Today's carve validated as whole, but sectors it took behind the file's
// last table are pinned by nothing: where the data before them is encrypted
// throughout and some of them is not, a foreign cluster may have slipped in.
// Sectors marked in zeroed were read as zeros for unreadable ones: unknown,
// they count neither way (here and below).
bool TailLooksForeign(Bytes file, const CompoundCheck& check, const std::vector<bool>& zeroed) {
  const std::vector<uint8_t>& use = check.SectorUse;
  size_t lastTable = 0;
  for (size_t n = 0; n < use.size(); ++n) {
    if (use[n] == kSectorTable) lastTable = n;
  }
  auto plain = [&](size_t n) { return !LooksRandom(file.subspan((n + 1) * kCfSector, kCfSector)); };
  auto known = [&](size_t n) { return n >= zeroed.size() || !zeroed[n]; };
  bool tailPlain = false;
  for (size_t n = lastTable + 1; n < use.size() && !tailPlain; ++n) {
    tailPlain = use[n] == kSectorFullData && known(n) && plain(n);
  }
  if (!tailPlain) return false;
  // The evidence that the data is encrypted: the pinned sectors just before
  // the last table (a sample, so that a large file costs no more).
  uint64_t pinned = 0;
  for (size_t n = lastTable; n-- > 0 && pinned < kEvidenceSample;) {
    if (use[n] != kSectorFullData || !known(n)) continue;
    if (plain(n)) return false;
    ++pinned;
  }
  return pinned >= 8;
}

// Today's carve validated as whole, but the store's stream data is encrypted
// nearly throughout and some full sectors of it are not: written over after
// the loss, or foreign clusters taken in place of the file's own. The
// sectors are looked at once each, so a large file costs no more than its read.
// Two windows of 32 bytes (the start and the end) each show 24 distinct
// values or more, as random bytes nearly always do and text, zeros and a
// sector's zero-padded end do not (data written over a sector starts at its
// start). A cheap first look: a block that fails it gets the whole test.
bool WindowsLookRandom(Bytes block) {
  for (size_t at : {size_t{0}, size_t{480}}) {
    std::array<uint64_t, 4> seen{};
    for (size_t k = at; k < at + 32; ++k) seen[block[k] >> 6] |= uint64_t{1} << (block[k] & 63);
    int distinct = 0;
    for (uint64_t w : seen) distinct += std::popcount(w);
    if (distinct < 24) return false;
  }
  return true;
}

bool PlainAmongEncrypted(Bytes file, const CompoundCheck& check, const std::vector<bool>& zeroed) {
  const std::vector<uint8_t>& use = check.SectorUse;
  const size_t sectors = std::min<size_t>(use.size(), file.size() / kCfSector - 1);
  auto plainAt = [&](size_t n) {
    if (n < zeroed.size() && zeroed[n]) return false;  // unknown, not plain
    Bytes block = file.subspan((n + 1) * kCfSector, kCfSector);
    return !WindowsLookRandom(block) && !LooksRandom(block);
  };
  // A sample first: a store whose data is not encrypted shows it at once.
  uint64_t sampled = 0, sampledPlain = 0, full = 0;
  for (size_t n = 0; n < sectors; ++n) {
    if (use[n] != kSectorFullData || (n < zeroed.size() && zeroed[n])) continue;
    ++full;
    if (n % kSampleStride != 0) continue;
    ++sampled;
    if (plainAt(n)) ++sampledPlain;
  }
  if (sampledPlain * 50 > sampled) return false;
  uint64_t plain = 0;
  constexpr size_t kAhead = 16;  // sectors whose first bytes are asked for early
  for (size_t n = 0; n < sectors; ++n) {
    if (n + kAhead < sectors) {
      __builtin_prefetch(file.data() + (n + kAhead + 1) * kCfSector);
      __builtin_prefetch(file.data() + (n + kAhead + 1) * kCfSector + 480);
    }
    if (use[n] != kSectorFullData || !plainAt(n)) continue;
    if (++plain * 50 > full) return false;  // too many for an encrypted store
  }
  return plain > 0 && full - plain >= 8;
}

void Report(Session& s, SavedFile& saved, const StreamStates& states) {
  saved.IntactStreams = states.Intact;
  saved.UncertainStreams = states.Uncertain;
  saved.BrokenStreams = states.Broken;
  if (s.OnFileSaved) s.OnFileSaved(saved);
}

// Writes the database as FILE_xxxxxxxx.DB in folder, counts it in `counted`
// (or as unsaved when the save fails: that is not rescued), and tells the
// front end. `saved` comes with what only the caller knows (a verdict).
// The file is in memory or in an assembly on disk.
struct DatabaseBytes {
  Bytes InMemory;
  const FileAssembly* OnDisk = nullptr;
  Bytes View() const { return OnDisk ? OnDisk->Bytes() : InMemory; }
  uint64_t Size() const { return OnDisk ? OnDisk->Size() : InMemory.size(); }
  bool SaveTo(Session& s, SavedFile& saved) const {
    return OnDisk ? SaveAssemblyToFile(s, *OnDisk, saved) : SaveBufferToFile(s, InMemory, saved);
  }
};

// The Source sector of the database's first directory sector: a database
// written, whole or damaged, is not rebuilt again from its directory.
void NoteDirectory(Session& s, Bytes file, const std::vector<uint64_t>& sectors) {
  const uint32_t start = LE32(file, 48);
  if (start >= kCompoundDifatMark || s.Scan.BytesPerSector == 0) return;
  const uint64_t k = (uint64_t{start} + 1) * kCfSector / s.Scan.BytesPerSector;
  if (k < sectors.size()) s.WrittenDatabaseDirectories.insert(sectors[k]);
}

void SaveDatabase(Session& s, SavedFile saved, const std::string& folder, uint64_t carveStart,
                  const DatabaseBytes& file, const std::vector<uint64_t>& sectors,
                  const StreamStates& states, uint32_t& counted) {
  saved.Path = OutputName(folder, carveStart, ".DB");
  saved.StartSector = carveStart / s.Scan.BytesPerSector;
  saved.Bytes = file.Size();
  saved.Sectors = sectors;
  saved.Written = file.SaveTo(s, saved);
  NoteDirectory(s, file.View(), sectors);
  if (saved.Written)
    ++counted;
  else
    ++s.UnsavedCount;
  DescribeSavedDatabase(s, saved);
  Report(s, saved, states);
}

// A database that the check calls whole: FILE_xxxxxxxx.DB in the folder.
void SaveWholeDatabase(Session& s, const std::string& folder, uint64_t carveStart,
                       const DatabaseBytes& file, const std::vector<uint64_t>& sectors,
                       const CompoundCheck& check) {
  // Validated as whole: every sector is where the file's tables put it.
  SaveDatabase(s, SavedFile{}, folder, carveStart, file, sectors, JudgeStreams(check, {}),
               s.RescuedCount);
  NoteWrittenDatabase(s, carveStart);  // settled: its claims stand for the others
}

// Every sector guessed, but for those known wrong.
std::vector<Placement> AllGuessed(uint64_t fileBytes) {
  const uint64_t blocks = fileBytes / kCfSector;
  return std::vector<Placement>(blocks > 0 ? static_cast<size_t>(blocks - 1) : 0,
                                Placement::Guessed);
}

void MarkWrong(std::vector<Placement>& placements, const std::vector<uint32_t>& sectors) {
  for (uint32_t n : sectors) {
    if (n >= placements.size()) placements.resize(size_t{n} + 1, Placement::Sure);
    placements[n] = Placement::Wrong;
  }
}

// Full sectors of stream data that do not look encrypted, where the store's
// data does: written over, or another file's.
std::vector<uint32_t> PlainSectors(Bytes file, const CompoundCheck& check,
                                   const std::vector<bool>& zeroed) {
  std::vector<uint32_t> out;
  const size_t sectors = std::min<size_t>(check.SectorUse.size(), file.size() / kCfSector - 1);
  for (size_t n = 0; n < sectors; ++n) {
    if (check.SectorUse[n] != kSectorFullData || (n < zeroed.size() && zeroed[n])) continue;
    if (!LooksRandom(file.subspan((n + 1) * kCfSector, kCfSector)))
      out.push_back(static_cast<uint32_t>(n));
  }
  return out;
}

// "sectors 123, 130-131 could not be read", for the damaged file's reason.
std::string UnreadableReason(const std::vector<uint64_t>& sectors) {
  std::vector<uint64_t> sorted = sectors;
  std::sort(sorted.begin(), sorted.end());
  std::string text = sorted.size() == 1 ? "sector " : "sectors ";
  for (size_t i = 0; i < sorted.size();) {
    size_t j = i;
    while (j + 1 < sorted.size() && sorted[j + 1] == sorted[j] + 1) ++j;
    if (i > 0) text += ", ";
    text += std::to_string(sorted[i]);
    if (j > i) text += "-" + std::to_string(sorted[j]);
    i = j + 1;
  }
  return text + " could not be read (zeros in their place)";
}

// The compound-file sectors that hold the given Source sectors, found by
// where each lies in the claim order.
std::vector<uint32_t> FileSectorsOf(const std::vector<uint64_t>& sectors,
                                    const std::vector<uint64_t>& claimOrder, uint32_t bps) {
  std::vector<uint32_t> out;
  for (size_t k = 0; k < claimOrder.size(); ++k) {
    if (std::find(sectors.begin(), sectors.end(), claimOrder[k]) == sectors.end()) continue;
    const uint64_t first = k * bps, last = first + bps - 1;
    for (uint64_t at = first / kCfSector; at <= last / kCfSector; ++at) {
      if (at == 0 || at - 1 > UINT32_MAX) continue;  // the header is no stream's
      out.push_back(static_cast<uint32_t>(at - 1));
    }
  }
  return out;
}

// The bytes of the given Source sectors, as the carve read them: zeros
// where the Source fails.
std::vector<uint8_t> ReadAgain(Session& s, const std::vector<uint64_t>& sectors, uint64_t bytes) {
  const uint32_t bps = s.Scan.BytesPerSector;
  std::vector<uint8_t> out(static_cast<size_t>(bytes), 0);
  for (size_t k = 0; k < sectors.size() && uint64_t{k} * bps < bytes; ++k) {
    const uint64_t n = std::min<uint64_t>(bps, bytes - uint64_t{k} * bps);
    ReadCached(s, out.data() + k * bps, n, sectors[k] * bps);
  }
  return out;
}

// The same as a mask over the compound-file sectors.
std::vector<bool> ZeroedMask(const std::vector<uint32_t>& fileSectors) {
  std::vector<bool> mask;
  for (uint32_t n : fileSectors) {
    if (n >= mask.size()) mask.resize(size_t{n} + 1, false);
    mask[n] = true;
  }
  return mask;
}

}  // namespace

namespace {

// known: the check already made of the assembly, if any.
void SaveDamaged(Session& s, const std::string& targetFolder, uint64_t carveStart,
                 const DatabaseBytes& assembly, const std::vector<uint64_t>& sectors,
                 const std::string& reason, const std::vector<Placement>& placements,
                 const std::vector<uint64_t>& unreadable, const CompoundCheck* known = nullptr) {
  const CompoundCheck check = known ? *known : CheckCompoundFile(assembly.View());
  if (!HasQQNames(check) || targetFolder.empty()) return;
  const std::string folder = targetFolder + kDamagedFolder + "/";
  MakeFolder(folder);
  SavedFile saved;
  saved.Damaged = true;
  saved.Problem = reason.empty() ? check.Problem : reason;
  saved.UnreadableSectors = unreadable;
  SaveDatabase(s, std::move(saved), folder, carveStart, assembly, sectors,
               JudgeStreams(check, placements), s.DamagedCount);
}

// Databases whose FAT alone may describe more than this are put together
// on disk from the start: the plain carve would hold them whole in memory.
// How far the first, near look of the reassembly reaches past the file's size.
constexpr uint64_t kNearForeignBytes = 33'554'432;
constexpr uint32_t kFatSectorsHeldInMemory = 1024;  // 64 MiB of file

bool TooLargeToHold(Session& s, uint64_t carveStart) {
  std::array<uint8_t, kCfSector> header{};
  if (ReadCached(s, header.data(), header.size(), carveStart) > 0) return false;
  return BytesEqual(Bytes(header), 0, Bytes(kSignature)) && LE32(Bytes(header), 28) == kMarkAndShift &&
         LE32(Bytes(header), 44) > kFatSectorsHeldInMemory;
}

}  // namespace

void SaveDamagedDatabase(Session& s, const std::string& targetFolder, uint64_t carveStart,
                         std::span<const uint8_t> assembly, const std::vector<uint64_t>& sectors,
                         const std::string& reason, const std::vector<Placement>& placements,
                         const std::vector<uint64_t>& unreadable) {
  SaveDamaged(s, targetFolder, carveStart, DatabaseBytes{assembly}, sectors, reason, placements,
              unreadable);
}

void SaveHeldDatabase(Session& s, const HeldDatabase& held) {
  SaveDamaged(s, held.TargetFolder, held.CarveStart, DatabaseBytes{{}, held.Assembly.get()},
              held.Sectors, held.Reason, held.Placements, held.Unreadable, &held.Check);
}

namespace {

// Holds a damaged outcome for the rounds rather than writing it, taking
// its assembly; false when it is to be written now after all (nothing is
// held, or its bytes are in memory only). The check is the assembly's own.
bool Hold(Session& s, const std::string& targetFolder, uint64_t carveStart,
          std::unique_ptr<FileAssembly>& assembly, const std::vector<uint64_t>& sectors,
          const std::string& reason, const std::vector<Placement>& placements,
          const std::vector<uint64_t>& unreadable, const CompoundCheck& check, uint8_t look = 0,
          const std::vector<OpenSplit>& open = {}) {
  if (!assembly || !HoldingDatabases(s, carveStart)) return false;
  // What would not be written is not held either.
  if (!HasQQNames(check)) return true;
  HeldDatabase held;
  held.TargetFolder = targetFolder;
  held.CarveStart = carveStart;
  held.Pins = SurelyPlacedSectors(sectors, placements, s.Scan.BytesPerSector, assembly->Size());
  // Its check is made: while it waits, only its header is read again.
  assembly->KeepHeaderOnly();
  held.Assembly = std::move(assembly);
  held.Sectors = sectors;
  held.Reason = reason;
  held.Placements = placements;
  held.Unreadable = unreadable;
  held.Check = check;
  held.SectorsPerCluster = s.Scan.SectorsPerCluster;
  held.ClusterPhase = s.ScanClusterPhase;
  held.Look = look;
  held.Open = open;
  DeferDamagedDatabase(s, std::move(held));
  return true;
}

// The first try's bytes put in a file of their own, to be held.
std::unique_ptr<FileAssembly> OnDiskCopy(const std::string& folder, Bytes bytes) {
  auto copy = std::make_unique<FileAssembly>();
  if (!copy->Open(folder) || !copy->Append(bytes) || !copy->Finish()) return nullptr;
  return copy;
}

}  // namespace

namespace {

// Most databases lie in pieces close together: the reassembly looks near
// the start first, which validates at a fraction of the reading, and
// searches its whole reach (pieces far apart, out of order, behind the
// header) only when that does not give the file whole and sure.
bool WholeAndSure(const Reassembly& r) {
  return r.Found && r.IsQQ && r.Certain && r.Unreadable.empty() && r.Check.Whole;
}

// How far an outcome gets: whole and sure, whole, a QQ database found, nothing.
int Reach(const Reassembly& r) {
  if (WholeAndSure(r)) return 3;
  if (r.Found && r.IsQQ && r.Check.Whole) return 2;
  return r.Found && r.IsQQ ? 1 : 0;
}

// Last, where sectors are claimed only by deleted files' records, the
// search looks through those too (the database may have grown into them
// since); its outcome is taken when it gets further. A database carved
// again in the rounds starts with the look its held outcome came from;
// look tells which one gave the outcome returned.
Reassembly ReassembleNearFirst(Session& s, const std::string& targetFolder, uint64_t carveStart,
                               std::unique_ptr<FileAssembly>& onDisk, bool& disk, uint8_t& look) {
  ReassemblyLimits near;
  near.MaxForeignBytes = kNearForeignBytes;
  near.ForeignPerFileByte = 0;
  near.LookBehind = false;
  ReassemblyLimits through;
  through.ThroughDeletedRecords = true;
  ReassemblyLimits wide;
  const std::vector<ChosenCut> chosen = HeldCuts(s, carveStart);
  near.Chosen = wide.Chosen = through.Chosen = chosen;
  Reassembly best;
  bool bestDisk = false;
  const uint8_t from = HeldLook(s, carveStart);
  look = from;
  const std::array<ReassemblyLimits, 3> looks = {near, wide, through};
  for (uint8_t k = from; k < looks.size(); ++k) {
    const ReassemblyLimits& limits = looks[k];
    if (limits.ThroughDeletedRecords && s.DeletedClaims.Empty()) break;
    auto assembly = std::make_unique<FileAssembly>();
    const bool open = assembly->Open(targetFolder);
    Reassembly r = ReassembleCompoundFile(s, carveStart, limits, open ? assembly.get() : nullptr);
    // The near look stands only when it is whole and sure; the others when
    // they get further than what came before.
    const bool first = limits.ForeignPerFileByte == 0;
    if ((first && WholeAndSure(r)) || (!first && (Reach(r) > Reach(best) || !onDisk))) {
      best = std::move(r);
      onDisk = std::move(assembly);
      bestDisk = open;
      look = k;
    }
    if (WholeAndSure(best)) break;
  }
  disk = bestDisk;
  return best;
}

}  // namespace

void CarveQQDatabase(Session& s, const std::string& targetFolder, uint64_t carveStart) {
  // The first try is kept by its sectors, not its bytes: the reassembly
  // would otherwise hold a second copy of the database beside its own.
  uint64_t firstBytes = 0;
  std::vector<uint64_t> firstSectors;
  std::string firstProblem;
  std::vector<uint64_t> firstUnreadable;
  // How the first try's sectors would stand if it is kept after all: read
  // in one run that did not validate, each is a guess.
  std::vector<Placement> firstPlacements;
  // A large database is put together on disk at once; the plain carve
  // would hold it whole. A file in one run comes out the same either way.
  const bool large = !targetFolder.empty() &&
                     !s.Map.IsSectorMarked(carveStart / s.Scan.BytesPerSector) &&
                     TooLargeToHold(s, carveStart);
  if (!large) {
    CarveFrame frame(s, carveStart);
    if (!frame.Begin()) return;
    CarveContext& c = frame.Ctx();
    c.ZeroUnreadable = true;  // a database with a bad sector is still worth having
    bool isQQ = false;
    QQCarve carve(frame);
    if (carve.Run(isQQ)) {
      if (!isQQ || targetFolder.empty()) {
        frame.Succeed();
        return;
      }
      // Zeros stand where the Source failed: never whole, and the streams
      // that own those sectors are broken. Their zeros prove nothing either
      // way about whether the file lies in one run.
      std::vector<uint32_t> zeroed;
      if (!c.UnreadableSectors.empty())
        zeroed = FileSectorsOf(c.UnreadableSectors, c.ClaimList, c.Bps);
      const std::vector<bool> mask = ZeroedMask(zeroed);
      const CompoundCheck check = CheckCompoundFile(c.Data());
      const bool tail = check.Whole && TailLooksForeign(c.Data(), check, mask);
      const bool plain = check.Whole && !tail && PlainAmongEncrypted(c.Data(), check, mask);
      const bool sound = check.Whole && !tail && !plain;
      if (sound && !c.UnreadableSectors.empty()) {
        // Its own tables bear the run out: every sector but the zeros is sure.
        std::vector<Placement> placements;
        MarkWrong(placements, zeroed);
        SaveDamagedDatabase(s, targetFolder, carveStart, c.Data(), c.ClaimList,
                            UnreadableReason(c.UnreadableSectors), placements, c.UnreadableSectors);
        // Written now, never held: its own tables place it, it claims nothing.
        NoteWrittenDatabase(s, carveStart,
                            SurelyPlacedSectors(c.ClaimList, placements, c.Bps, c.Data().size()));
        return;
      }
      if (sound) {
        SaveWholeDatabase(s, targetFolder, carveStart, DatabaseBytes{c.Data()}, c.ClaimList, check);
        frame.Succeed();
        return;
      }
      firstBytes = c.Data().size();
      firstSectors = c.ClaimList;
      firstProblem = tail    ? "foreign data may follow the file's last table"
                     : plain ? "stream data that should look encrypted does not"
                             : check.Problem;
      firstUnreadable = c.UnreadableSectors;
      firstPlacements = AllGuessed(firstBytes);
      MarkWrong(firstPlacements, zeroed);
      if (plain) MarkWrong(firstPlacements, PlainSectors(c.Data(), check, mask));
    }
  }  // the first try's claims are given back
  if (targetFolder.empty()) return;
  std::unique_ptr<FileAssembly> onDisk;
  bool disk = false;
  uint8_t look = 0;
  Reassembly r = ReassembleNearFirst(s, targetFolder, carveStart, onDisk, disk, look);
  const DatabaseBytes rBytes{Bytes(r.File), disk ? onDisk.get() : nullptr};
  // A first try with zeros in it that its own tables do not bear out is
  // put together again; kept when that is a guess too.
  if (r.Found && r.IsQQ && (r.Certain || firstUnreadable.empty())) {
    if (r.Certain && r.Unreadable.empty() && r.Check.Whole && HasQQNames(r.Check)) {
      for (uint64_t sector : r.Claim) {
        s.Map.MarkSector(sector);
        s.DeletedClaims.Take(sector);
      }
      SaveWholeDatabase(s, targetFolder, carveStart, rBytes, r.Sectors, r.Check);
      return;
    }
    std::string reason = r.Reason;
    std::vector<Placement> placements = r.Placements;
    MarkWrong(placements, r.Suspect);
    if (!r.Unreadable.empty()) {
      // As in a database read in one run: the zeros' streams are broken.
      reason = UnreadableReason(r.Unreadable) + (reason.empty() ? "" : "; " + reason);
      MarkWrong(placements, FileSectorsOf(r.Unreadable, r.Sectors, s.Scan.BytesPerSector));
    }
    if (!disk) onDisk.reset();  // its bytes are in memory: written now
    if (Hold(s, targetFolder, carveStart, onDisk, r.Sectors, reason, placements, r.Unreadable,
             r.Check, look, r.Open))
      return;
    SaveDamaged(s, targetFolder, carveStart, rBytes, r.Sectors, reason, placements, r.Unreadable,
                &r.Check);
    NoteWrittenDatabase(s, carveStart);
    return;
  }
  if (firstBytes == 0) return;
  const std::string reason =
      firstUnreadable.empty() ? firstProblem : UnreadableReason(firstUnreadable);
  const std::vector<uint8_t> firstTry = ReadAgain(s, firstSectors, firstBytes);
  if (HoldingDatabases(s, carveStart)) {
    std::unique_ptr<FileAssembly> copy = OnDiskCopy(targetFolder, firstTry);
    if (Hold(s, targetFolder, carveStart, copy, firstSectors, reason, firstPlacements,
             firstUnreadable, CheckCompoundFile(firstTry)))
      return;
  }
  SaveDamagedDatabase(s, targetFolder, carveStart, firstTry, firstSectors, reason,
                      firstPlacements, firstUnreadable);
  NoteWrittenDatabase(s, carveStart);
}

}  // namespace tarnwick
