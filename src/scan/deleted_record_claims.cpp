#include "scan/deleted_record_claims.h"

#include <algorithm>

namespace tarnwick {

void DeletedRecordClaims::Add(uint64_t first, uint64_t count) {
  if (count == 0 || first + count < first) return;
  runs_.emplace_back(first, first + count);
  merged_ = false;
}

void DeletedRecordClaims::Merge() const {
  if (merged_) return;
  std::sort(runs_.begin(), runs_.end());
  size_t out = 0;
  for (size_t i = 0; i < runs_.size(); ++i) {
    if (out > 0 && runs_[i].first <= runs_[out - 1].second) {
      runs_[out - 1].second = std::max(runs_[out - 1].second, runs_[i].second);
    } else {
      runs_[out++] = runs_[i];
    }
  }
  runs_.resize(out);
  merged_ = true;
}

bool DeletedRecordClaims::OnlyRecordClaims(uint64_t sector) const {
  if (runs_.empty()) return false;
  Merge();
  auto it = std::upper_bound(runs_.begin(), runs_.end(), sector,
                             [](uint64_t v, const std::pair<uint64_t, uint64_t>& r) { return v < r.first; });
  if (it == runs_.begin()) return false;
  --it;
  return sector < it->second && taken_.count(sector) == 0;
}

void DeletedRecordClaims::Take(uint64_t sector) {
  if (OnlyRecordClaims(sector)) taken_.insert(sector);
}

void DeletedRecordClaims::Release(uint64_t sector) { taken_.erase(sector); }

void DeletedRecordClaims::Clear() {
  runs_.clear();
  merged_ = true;
  taken_.clear();
}

}  // namespace tarnwick
