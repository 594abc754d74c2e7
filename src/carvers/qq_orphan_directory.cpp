#include "carvers/qq_orphan_directory.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "carvers/database_rounds.h"
#include "carvers/file_assembly.h"
#include "carvers/qq_database.h"
#include "carvers/qq_reassembly.h"
#include "compound/header_rebuild.h"
#include "scan/session.h"

namespace tarnwick {

namespace {

constexpr uint32_t kBlock = 512;

// The first 512-byte block of the sector that holds a root directory.
bool RootBlockIn(Session& s, uint64_t sector, uint64_t& block) {
  const uint32_t bps = s.Scan.BytesPerSector;
  std::vector<uint8_t> bytes(bps);
  if (ReadCached(s, bytes.data(), bps, sector * bps) > 0) return false;
  for (uint32_t at = 0; at + kBlock <= bps; at += kBlock) {
    if (IsRootDirectoryBlock(std::span<const uint8_t>(bytes).subspan(at, kBlock))) {
      block = (sector * bps + at) / kBlock;
      return true;
    }
  }
  return false;
}

std::string WithReason(std::string reason, const std::string& more) {
  if (more.empty()) return reason;
  return reason + "; " + more;
}

}  // namespace

void CarveQQOrphanDirectory(Session& s, const std::string& targetFolder, uint64_t carveStart) {
  const uint32_t bps = s.Scan.BytesPerSector;
  if (targetFolder.empty() || bps < kBlock || bps % kBlock != 0 || s.LastScanSector < 0) return;
  const uint64_t sector = carveStart / bps;
  // Another file's sector, or the directory of a database already written.
  if (s.Map.IsSectorMarked(sector) || s.WrittenDatabaseDirectories.count(sector)) return;
  uint64_t dirBlock = 0;
  if (!RootBlockIn(s, sector, dirBlock)) return;

  const uint64_t lastBlock = (static_cast<uint64_t>(s.LastScanSector) + 1) * (bps / kBlock) - 1;
  const BlockReader read = [&s](uint64_t block, std::span<uint8_t, 512> out) {
    return ReadCached(s, out.data(), out.size(), block * kBlock) == 0;
  };
  const RebuiltHeader rebuilt = RebuildHeader(read, dirBlock, lastBlock);
  if (!rebuilt.Found || !rebuilt.IsQQ) return;
  // The header lay at the start of a sector of this Source, inside the range.
  const uint64_t headerByte = rebuilt.HeaderBlock * kBlock;
  if (headerByte % bps != 0) return;
  if (headerByte / bps < static_cast<uint64_t>(std::max<int64_t>(0, s.FirstScanSector))) return;

  // The reassembly places the pieces from the rebuilt header on: where the
  // file lies in one run it finds every table where the header puts it.
  // Its bytes go to an unnamed file in the target folder, as any database
  // put together again: a large one costs no more memory than its index.
  auto onDisk = std::make_unique<FileAssembly>();
  const bool disk = onDisk->Open(targetFolder);
  Reassembly r = ReassembleCompoundFile(s, headerByte, {}, disk ? onDisk.get() : nullptr, rebuilt.Header);
  if (!r.Found || !r.IsQQ) return;
  std::string reason = WithReason("header rebuilt", rebuilt.Problem);
  reason = WithReason(reason, r.Reason);
  std::vector<Placement> placements = r.Placements;
  // A header made without a doubt, under which the file checks whole and
  // every sector was placed by the evidence, places its streams as surely
  // as one read from the disk. One made with doubts, or under which the
  // file does not check whole, may send any chain astray: no stream read
  // through it is sure, so none is called intact.
  const bool sure = rebuilt.Problem.empty() && rebuilt.InOneRun && r.Certain && r.Check.Whole;
  if (!sure) {
    for (Placement& p : placements) {
      if (p == Placement::Sure) p = Placement::Guessed;
    }
  }
  for (uint32_t n : r.Suspect) {
    if (n >= placements.size()) placements.resize(size_t{n} + 1, Placement::Sure);
    placements[n] = Placement::Wrong;
  }
  if (!r.Unreadable.empty()) {
    // As in any database: the zeros' streams are broken.
    reason = WithReason(reason, "sectors could not be read (zeros in their place)");
    for (size_t k = 0; k < r.Sectors.size(); ++k) {
      if (std::find(r.Unreadable.begin(), r.Unreadable.end(), r.Sectors[k]) == r.Unreadable.end())
        continue;
      for (uint64_t b = uint64_t{k} * bps / kBlock; b < uint64_t{k + 1} * bps / kBlock; ++b) {
        if (b == 0) continue;  // the header is no stream's
        if (b - 1 >= placements.size()) placements.resize(static_cast<size_t>(b), Placement::Sure);
        placements[static_cast<size_t>(b - 1)] = Placement::Wrong;
      }
    }
  }
  if (!disk) {
    SaveDamagedDatabase(s, targetFolder, headerByte, r.File, r.Sectors, reason, placements,
                        r.Unreadable);
    return;
  }
  // Written from its file through the save the rounds use for the outcomes
  // they hold: the same save, from disk, with the check already made.
  HeldDatabase outcome;
  outcome.TargetFolder = targetFolder;
  outcome.CarveStart = headerByte;
  outcome.Assembly = std::move(onDisk);
  outcome.Sectors = std::move(r.Sectors);
  outcome.Reason = std::move(reason);
  outcome.Placements = std::move(placements);
  outcome.Unreadable = std::move(r.Unreadable);
  outcome.Check = std::move(r.Check);
  SaveHeldDatabase(s, outcome);
}

}  // namespace tarnwick
