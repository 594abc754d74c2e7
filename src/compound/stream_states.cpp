#include "compound/stream_states.h"

#include <algorithm>

namespace tarnwick {

namespace {

constexpr uint32_t kMiniSectorBytes = 64;

Placement PlacementOf(const std::vector<Placement>& placement, uint64_t n) {
  return n < placement.size() ? placement[n] : Placement::Sure;
}

}  // namespace

StreamStates JudgeStreams(const CompoundCheck& check, const std::vector<Placement>& placement) {
  // The worst placement among each entry's sectors, one pass over the file.
  std::vector<Placement> worst(check.Entries.size(), Placement::Sure);
  auto fold = [&](uint32_t entry, Placement p) {
    if (entry < worst.size()) worst[entry] = std::max(worst[entry], p);
  };
  for (size_t n = 0; n < check.SectorStream.size(); ++n) {
    fold(check.SectorStream[n], PlacementOf(placement, n));
  }
  const uint32_t perSector = std::max<uint32_t>(1, check.SectorSize / kMiniSectorBytes);
  for (size_t m = 0; m < check.MiniSectorStream.size(); ++m) {
    const size_t k = m / perSector;
    if (k >= check.MiniStreamSectors.size()) break;
    fold(check.MiniSectorStream[m], PlacementOf(placement, check.MiniStreamSectors[k]));
  }
  StreamStates out;
  for (size_t k = 0; k < check.Entries.size(); ++k) {
    const CompoundEntry& e = check.Entries[k];
    if (e.Type != 2) continue;
    if (!e.Intact || worst[k] == Placement::Wrong)
      out.Broken.push_back(e.Path);
    else if (worst[k] == Placement::Guessed)
      out.Uncertain.push_back(e.Path);
    else
      out.Intact.push_back(e.Path);
  }
  return out;
}

}  // namespace tarnwick
