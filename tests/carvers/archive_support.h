#pragma once
// Helpers of the archive carver tests: images with a file laid into chosen
// sectors, the sectors a claim must cover, and a QQ database laid around
// another file.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "carvers/qq_database.h"
#include "scan/dispatch.h"
#include "scan/session.h"
#include "support/sessions.h"
#include "support/test_support.h"

namespace tarnwick::test {

inline uint64_t SectorsOf(uint64_t bytes, uint32_t bps = 512) { return (bytes + bps - 1) / bps; }

// The sectors a file of `bytes` bytes is laid into from `first` on, stepping
// over the foreign ones.
inline std::vector<uint64_t> LayOut(uint64_t first, uint64_t bytes,
                                    const std::set<uint64_t>& foreign, uint32_t bps = 512) {
  std::vector<uint64_t> at;
  for (uint64_t s = first; at.size() < SectorsOf(bytes, bps); ++s)
    if (!foreign.count(s)) at.push_back(s);
  return at;
}

// Random filler with the file's sectors laid at `at`, in order.
inline std::vector<uint8_t> Image(uint64_t sectors, const std::vector<uint8_t>& file,
                                  const std::vector<uint64_t>& at, uint32_t bps = 512,
                                  uint32_t seed = 99) {
  std::vector<uint8_t> img = RandomBytes(sectors * bps, seed);
  for (size_t k = 0; k * bps < file.size(); ++k) {
    if (at.at(k) >= sectors) {
      ADD_FAILURE() << "the file does not fit the image";
      return img;
    }
    size_t n = std::min<size_t>(bps, file.size() - k * bps);
    std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(k * bps), n,
                img.begin() + static_cast<std::ptrdiff_t>(at.at(k) * bps));
  }
  return img;
}

// What the map must hold after a successful carve of a file of `bytes` laid
// at `at`: the foreign sectors, the file's sectors up to the one holding its
// last byte, and the rest of that sector's cluster.
inline std::vector<uint64_t> ExpectedClaims(const std::vector<uint64_t>& at, uint64_t bytes,
                                            const std::set<uint64_t>& foreign = {},
                                            uint32_t spc = 1, int32_t phase = 0,
                                            uint32_t bps = 512) {
  std::set<uint64_t> want(foreign);
  const uint64_t n = SectorsOf(bytes, bps);
  want.insert(at.begin(), at.begin() + static_cast<std::ptrdiff_t>(n));
  for (uint64_t t = at[n - 1] + 1; spc > 1 && (t + spc - phase % spc) % spc != 0; ++t)
    want.insert(t);
  return {want.begin(), want.end()};
}

// A carve session over an image whose reads fail wherever they touch one of
// the bad 512-byte sectors. A carve takes them as zeros: NeverAskedFor tells
// whether it read them at all.
inline bool NeverAskedFor(const Session& s, const std::set<uint64_t>& bad) {
  for (uint64_t n : bad)
    if (SourceFaults(s).Unreadable.Contains(n)) return false;
  return true;
}

inline std::unique_ptr<Session> FaultySession(std::vector<uint8_t> bytes, std::set<uint64_t> bad) {
  auto s = EnglishSession();
  OpenImageDevice(*s,
                  std::make_unique<FaultyDevice>(std::make_unique<MemoryDevice>(std::move(bytes)),
                                                 std::move(bad)),
                  "faulty.img");
  s->Scan.SectorsPerCluster = 1;
  s->ScanClusterPhase = 0;
  s->LastScanSector = static_cast<int64_t>(s->Scan.LastSector);
  s->Map.Allocate(s->Scan.LastSector);
  return s;
}

inline std::set<uint64_t> MarkAll(Session& s, const std::set<uint64_t>& sectors) {
  for (uint64_t n : sectors) s.Map.MarkSector(n);
  return sectors;
}

// Runs a shell command in dir; the test fails when it does not succeed.
inline void Shell(const TempDir& dir, const std::string& command) {
  auto r = Run("cd " + ShellQuote(dir.Path().string()) + " && " + command);
  ASSERT_EQ(r.Status, 0) << command << "\n" << r.Err;
}

// A compound file with the two QQ streams, made by gsf.
inline std::vector<uint8_t> MakeQQDatabase() {
  TempDir dir("qqdb");
  WriteFileBytes(dir / "Matrix.dat", RandomBytes(60000, 7));
  WriteFileBytes(dir / "seqbase.dat", RandomBytes(9000, 8));
  Shell(dir, "gsf createole db.ole Matrix.dat seqbase.dat");
  return ReadFileBytes(dir / "db.ole");
}

struct Reassembly {
  bool Written = false;
  bool SameBytes = false;
};

// Lays the database's first 6 sectors, then the whole other file, then the
// rest of the database; runs `carver` (when given) on the other file's start,
// then the database carver on the database's start, as phase 2 would.
inline Reassembly RescueAround(const std::vector<uint8_t>& db, const std::vector<uint8_t>& other,
                               CarverFn carver, uint64_t otherAt = 6) {
  const uint64_t dbSectors = SectorsOf(db.size());
  const uint64_t otherSectors = SectorsOf(other.size());
  std::set<uint64_t> otherSet;
  for (uint64_t k = 0; k < otherSectors; ++k) otherSet.insert(otherAt + k);
  auto dbAt = LayOut(0, db.size(), otherSet);
  auto img = Image(dbSectors + otherSectors + 8, db, dbAt);
  std::copy(other.begin(), other.end(), img.begin() + static_cast<std::ptrdiff_t>(otherAt * 512));
  auto s = CarveSession(std::move(img));
  TempDir out("qq-around");
  if (carver) carver(*s, "", otherAt * 512);
  CarveQQDatabase(*s, out.Path().string() + "/", 0);
  Reassembly r;
  for (const auto& e : std::filesystem::directory_iterator(out.Path())) {
    if (!e.is_regular_file()) continue;  // damaged/ holds what is not whole
    r.Written = true;
    r.SameBytes = ReadFileBytes(e.path()) == db;
  }
  return r;
}

}  // namespace tarnwick::test
