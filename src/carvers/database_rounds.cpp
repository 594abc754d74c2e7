#include "carvers/database_rounds.h"

#include <algorithm>
#include <utility>

#include "carvers/qq_database.h"
#include "scan/session.h"

namespace tarnwick {

namespace {

constexpr uint64_t kCfSector = 512;

HeldDatabase* HeldAt(DatabaseRounds& r, uint64_t carveStart) {
  for (HeldDatabase& h : r.Held) {
    if (h.CarveStart == carveStart) return &h;
  }
  return nullptr;
}

// Streams whose chains hold, whether every sector of them is sure or not.
size_t ReadableStreams(const HeldDatabase& h) {
  const StreamStates states = JudgeStreams(h.Check, h.Placements);
  return states.Intact.size() + states.Uncertain.size();
}

// The sure sectors of every database but the one at carveStart, ascending.
std::vector<uint64_t> OthersPins(const DatabaseRounds& r, uint64_t carveStart) {
  std::vector<uint64_t> pins = r.WrittenPins;
  for (const HeldDatabase& h : r.Held) {
    if (h.CarveStart != carveStart) pins.insert(pins.end(), h.Pins.begin(), h.Pins.end());
  }
  std::sort(pins.begin(), pins.end());
  pins.erase(std::unique(pins.begin(), pins.end()), pins.end());
  return pins;
}

// The geometry a database was first carved with, for as long as it is
// carved again.
class HeldGeometry {
 public:
  HeldGeometry(Session& s, const HeldDatabase& h)
      : s_(s), spc_(s.Scan.SectorsPerCluster), phase_(s.ScanClusterPhase) {
    s.Scan.SectorsPerCluster = h.SectorsPerCluster;
    s.ScanClusterPhase = h.ClusterPhase;
  }
  ~HeldGeometry() {
    s_.Scan.SectorsPerCluster = spc_;
    s_.ScanClusterPhase = phase_;
  }
  HeldGeometry(const HeldGeometry&) = delete;
  HeldGeometry& operator=(const HeldGeometry&) = delete;

 private:
  Session& s_;
  uint32_t spc_;
  int32_t phase_;
};

// Carves the database at carveStart once more with the others' sure
// sectors marked in the map; the marks made for it are taken away after,
// those that were there before stay.
void CarveAgain(Session& s, uint64_t carveStart) {
  DatabaseRounds& r = *s.Rounds;
  const HeldDatabase* h = HeldAt(r, carveStart);
  if (!h) return;
  const std::string folder = h->TargetFolder;
  std::vector<uint64_t> pinned, taken;
  for (uint64_t sector : OthersPins(r, carveStart)) {
    if (s.DeletedClaims.OnlyRecordClaims(sector)) {
      s.DeletedClaims.Take(sector);  // looked through no more
      taken.push_back(sector);
    }
    if (s.Map.IsSectorMarked(sector)) continue;
    s.Map.MarkSector(sector);
    pinned.push_back(sector);
  }
  {
    HeldGeometry geometry(s, *h);
    CarveQQDatabase(s, folder, carveStart);  // h may be gone or replaced from here on
  }
  for (uint64_t sector : pinned) s.Map.UnmarkSector(sector);
  for (uint64_t sector : taken) s.DeletedClaims.Release(sector);
}

}  // namespace

void BeginDatabaseRounds(Session& s, uint64_t compoundStarts) {
  if (compoundStarts > 0)
    s.Rounds = std::make_shared<DatabaseRounds>();
  else
    s.Rounds.reset();
}

bool HoldingDatabases(const Session& s, uint64_t carveStart) {
  if (!s.Rounds || s.Rounds->Writing) return false;
  DatabaseRounds& r = *s.Rounds;
  return r.Held.size() < kMaxHeldDatabases || HeldAt(r, carveStart) != nullptr;
}

uint8_t HeldLook(const Session& s, uint64_t carveStart) {
  if (!s.Rounds) return 0;
  const HeldDatabase* h = HeldAt(*s.Rounds, carveStart);
  return h ? h->Look : 0;
}

std::vector<ChosenCut> HeldCuts(const Session& s, uint64_t carveStart) {
  if (!s.Rounds) return {};
  const HeldDatabase* h = HeldAt(*s.Rounds, carveStart);
  return h ? h->Chosen : std::vector<ChosenCut>{};
}

void DeferDamagedDatabase(Session& s, HeldDatabase held) {
  DatabaseRounds& r = *s.Rounds;
  HeldDatabase* before = HeldAt(r, held.CarveStart);
  if (!before) {
    r.Held.push_back(std::move(held));
    return;
  }
  held.Chosen = before->Chosen;
  const bool same = before->Sectors == held.Sectors && before->Placements == held.Placements &&
                    before->Reason == held.Reason;
  if (same) return;
  // Another's sectors taken from it may leave a chain with a hole: that try
  // reads less than the one before and is not kept.
  if (ReadableStreams(held) < ReadableStreams(*before)) return;
  *before = std::move(held);
  r.Changed = true;
}

void NoteWrittenDatabase(Session& s, uint64_t carveStart, const std::vector<uint64_t>& pins) {
  if (!s.Rounds || s.Rounds->Writing) return;
  DatabaseRounds& r = *s.Rounds;
  r.WrittenPins.insert(r.WrittenPins.end(), pins.begin(), pins.end());
  auto at = std::find_if(r.Held.begin(), r.Held.end(),
                         [&](const HeldDatabase& h) { return h.CarveStart == carveStart; });
  if (at == r.Held.end()) return;
  r.Held.erase(at);
  r.Changed = true;
}

std::vector<uint64_t> SurelyPlacedSectors(const std::vector<uint64_t>& sectors,
                                          const std::vector<Placement>& placements, uint32_t bps,
                                          uint64_t fileBytes) {
  std::vector<uint64_t> out;
  if (bps < kCfSector) return out;
  const uint64_t blocksPer = bps / kCfSector;
  const uint64_t fileBlocks = (fileBytes + kCfSector - 1) / kCfSector;
  for (size_t k = 0; k < sectors.size(); ++k) {
    const uint64_t first = k * blocksPer;
    if (first >= fileBlocks) break;  // what lies behind the file's end is nobody's for sure
    bool sure = true;
    // Block 0 is the header, placed by the start itself; block b is
    // compound-file sector b - 1.
    for (uint64_t b = std::max<uint64_t>(first, 1); b < first + blocksPer && b < fileBlocks; ++b) {
      if (b - 1 < placements.size() && placements[static_cast<size_t>(b - 1)] != Placement::Sure)
        sure = false;
    }
    if (sure) out.push_back(sectors[k]);
  }
  std::sort(out.begin(), out.end());
  return out;
}

void CarveHeldDatabases(Session& s, const std::function<bool()>& goOn) {
  if (!s.Rounds) return;
  DatabaseRounds& r = *s.Rounds;
  bool stopped = false;
  // One held alone, with no other's sure sectors to step over, would come
  // out the same again.
  const bool alone = r.Held.size() == 1 && r.WrittenPins.empty();
  while (!stopped && !alone && !r.Held.empty() && r.RoundsRun < kMaxDatabaseRounds) {
    r.Changed = false;
    std::vector<uint64_t> starts;
    for (const HeldDatabase& h : r.Held) starts.push_back(h.CarveStart);
    for (uint64_t start : starts) {
      if (!goOn()) {
        stopped = true;
        break;
      }
      CarveAgain(s, start);
    }
    ++r.RoundsRun;
    if (!r.Changed) break;
  }
  // Where the held ones' pieces meet, settled for all of them at once.
  if (!stopped) {
    std::vector<std::vector<OpenSplit>> open;
    for (const HeldDatabase& h : r.Held) open.push_back(h.Open);
    const std::vector<std::vector<ChosenCut>> cuts = ChooseMeetingCuts(open);
    std::vector<uint64_t> settled;
    for (size_t k = 0; k < cuts.size(); ++k) {
      if (cuts[k].empty()) continue;
      r.Held[k].Chosen = cuts[k];
      settled.push_back(r.Held[k].CarveStart);
    }
    for (uint64_t start : settled) {
      if (!goOn()) break;
      CarveAgain(s, start);
    }
  }
  // Each as it last came out, once; an Abort in the save box ends it.
  r.Writing = true;
  for (const HeldDatabase& h : r.Held) {
    if (s.SaveAborted) break;
    SaveHeldDatabase(s, h);
  }
  s.Rounds.reset();
}

}  // namespace tarnwick
