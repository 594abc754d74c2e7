#pragma once
// Sessions over in-memory Sources, ready for a scan or a carve.
#include <cstdlib>
#include <memory>
#include <vector>

#include "scan/session.h"
#include "scan/session_source.h"

namespace tarnwick::test {

// English texts, whatever the locale of the machine running the tests.
inline std::unique_ptr<Session> EnglishSession() {
#ifdef _WIN32
  _putenv_s("TARNWICK_LANG", "en");
#else
  ::setenv("TARNWICK_LANG", "en", 1);
#endif
  return std::make_unique<Session>();
}

// A Session with the bytes opened as an image, the whole Source as the scan
// range and a clear sector map, as phase 2 has it.
inline std::unique_ptr<Session> CarveSession(std::vector<uint8_t> bytes,
                                             uint32_t sectorsPerCluster = 1,
                                             int32_t clusterPhase = 0) {
  auto s = EnglishSession();
  OpenImageDevice(*s, std::make_unique<MemoryDevice>(std::move(bytes)), "memory.img");
  s->Scan.SectorsPerCluster = sectorsPerCluster;
  s->ScanClusterPhase = clusterPhase;
  s->FirstScanSector = 0;
  s->LastScanSector = static_cast<int64_t>(s->Scan.LastSector);
  s->Map.Allocate(s->Scan.LastSector);
  return s;
}

// The sectors first .. first + count - 1.
inline std::vector<uint64_t> SectorRun(uint64_t first, uint64_t count) {
  std::vector<uint64_t> v(count);
  for (uint64_t i = 0; i < count; ++i) v[i] = first + i;
  return v;
}

// Every sector claimed in the map, in order.
inline std::vector<uint64_t> Marked(const Session& s) {
  std::vector<uint64_t> out;
  for (uint64_t n = 0; n <= s.Scan.LastSector; ++n)
    if (s.Map.IsSectorMarked(n)) out.push_back(n);
  return out;
}

}  // namespace tarnwick::test
