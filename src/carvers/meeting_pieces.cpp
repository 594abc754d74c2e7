#include "carvers/meeting_pieces.h"

#include <algorithm>
#include <cstddef>
#include <unordered_map>
#include <utility>

namespace tarnwick {

namespace {

struct Place {
  size_t Database;
  size_t Split;
  const OpenSplit* Open;
  std::vector<bool> Alive;  // per cut
  size_t AliveCount;
};

// The alive cuts' ends by sector, so that a neighbour is found at once.
class Ends {
 public:
  void Add(int64_t sector, size_t place) {
    if (sector >= 0) at_[sector].push_back(place);
  }
  // Adds the places other than `self` with an alive cut whose end lies at sector.
  void Others(int64_t sector, size_t self, std::vector<size_t>& out) const {
    if (sector < 0) return;
    auto it = at_.find(sector);
    if (it == at_.end()) return;
    for (size_t p : it->second) {
      if (p != self) out.push_back(p);
    }
  }

 private:
  std::unordered_map<int64_t, std::vector<size_t>> at_;
};

struct Index {
  Ends HeadStarts, BeforeHeads, TailEnds, AfterTails;
};

Index IndexAlive(const std::vector<Place>& places) {
  Index ix;
  for (size_t p = 0; p < places.size(); ++p) {
    const std::vector<PieceCut>& cuts = places[p].Open->Cuts;
    for (size_t c = 0; c < cuts.size(); ++c) {
      if (!places[p].Alive[c]) continue;
      ix.HeadStarts.Add(cuts[c].HeadStart, p);
      ix.BeforeHeads.Add(cuts[c].BeforeHead, p);
      ix.TailEnds.Add(cuts[c].TailEnd, p);
      ix.AfterTails.Add(cuts[c].AfterTail, p);
    }
  }
  return ix;
}

size_t Distinct(std::vector<size_t>& v) {
  std::sort(v.begin(), v.end());
  return static_cast<size_t>(std::unique(v.begin(), v.end()) - v.begin());
}

// How many other places have an alive cut that begins a piece right behind
// this cut's tail; and how many one that ends a piece right in front of its
// head. Two databases may see the sectors between differently (each steps
// over what it takes as another's), so either side's view will do.
size_t TailNeighbours(const Index& ix, const PieceCut& c, size_t self) {
  std::vector<size_t> n;
  ix.HeadStarts.Others(c.AfterTail, self, n);
  ix.BeforeHeads.Others(c.TailEnd, self, n);
  return Distinct(n);
}
size_t HeadNeighbours(const Index& ix, const PieceCut& c, size_t self) {
  std::vector<size_t> n;
  ix.AfterTails.Others(c.HeadStart, self, n);
  ix.TailEnds.Others(c.BeforeHead, self, n);
  return Distinct(n);
}

}  // namespace

std::vector<std::vector<ChosenCut>> ChooseMeetingCuts(
    const std::vector<std::vector<OpenSplit>>& perDatabase) {
  const std::vector<std::vector<ChosenCut>> nothing(perDatabase.size());
  std::vector<std::vector<ChosenCut>> chosen = nothing;
  std::vector<Place> places;
  for (size_t d = 0; d < perDatabase.size(); ++d) {
    for (size_t k = 0; k < perDatabase[d].size(); ++k) {
      const OpenSplit& o = perDatabase[d][k];
      if (o.Cuts.empty()) continue;
      places.push_back({d, k, &o, std::vector<bool>(o.Cuts.size(), true), o.Cuts.size()});
    }
  }
  if (places.empty()) return chosen;
  // A cut stays while each of its ends is plain or met by another place's
  // alive cut; taking cuts away may leave others without a neighbour.
  for (bool changed = true; changed;) {
    changed = false;
    const Index ix = IndexAlive(places);
    for (size_t p = 0; p < places.size(); ++p) {
      const std::vector<PieceCut>& cuts = places[p].Open->Cuts;
      for (size_t c = 0; c < cuts.size(); ++c) {
        if (!places[p].Alive[c]) continue;
        const bool tail = cuts[c].TailEndsPlain || TailNeighbours(ix, cuts[c], p) > 0;
        const bool head = cuts[c].HeadStartsPlain || HeadNeighbours(ix, cuts[c], p) > 0;
        if (tail && head) continue;
        places[p].Alive[c] = false;
        --places[p].AliveCount;
        changed = true;
      }
      if (places[p].AliveCount == 0) return nothing;  // no cut fits: the evidence is not one
    }
  }
  // What is left must be one story: each end that needs a neighbour has one
  // (not two), and no two pieces begin or end on the same sector.
  const Index ix = IndexAlive(places);
  std::unordered_map<int64_t, int> used;
  for (size_t p = 0; p < places.size(); ++p) {
    if (places[p].AliveCount != 1) continue;
    const std::vector<PieceCut>& cuts = places[p].Open->Cuts;
    size_t c = 0;
    while (!places[p].Alive[c]) ++c;
    const PieceCut& cut = cuts[c];
    if (!cut.TailEndsPlain && TailNeighbours(ix, cut, p) != 1) return nothing;
    if (!cut.HeadStartsPlain && HeadNeighbours(ix, cut, p) != 1) return nothing;
    const OpenSplit& o = *places[p].Open;
    if (cut.Behind > 0 && used[cut.TailEnd]++ > 0) return nothing;
    if (cut.Behind < o.Own && used[cut.HeadStart]++ > 0) return nothing;
    chosen[places[p].Database].push_back(
        {o.After, o.Before, o.Own, cut.Behind, cut.TailEnd, cut.HeadStart});
  }
  return chosen;
}

}  // namespace tarnwick
