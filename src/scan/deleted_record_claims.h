#pragma once
// The sectors that deleted files' records claim, kept apart from the map.
//
// A deleted file whose record still gives its runs is claimed before the
// carve, so that the databases around it step over it. But the record is
// as old as the deletion: a database that grew after it may have taken
// those clusters since, and a record says nothing of that. The map cannot
// tell such a claim from a carver's, so the runs are kept here too: the
// reassembly may look through them when stepping over them leaves the
// database unfound. Sectors that a database took since (written, or pinned
// for the rounds) are not looked through.
#include <cstdint>
#include <unordered_set>
#include <utility>
#include <vector>

namespace tarnwick {

class DeletedRecordClaims {
 public:
  // A run of count sectors from first, claimed from a deleted file's record.
  void Add(uint64_t first, uint64_t count);
  // True when the sector is claimed by a deleted file's record only.
  bool OnlyRecordClaims(uint64_t sector) const;
  // A database took the sector (or gives it back): its claim stands.
  void Take(uint64_t sector);
  void Release(uint64_t sector);
  bool Empty() const { return runs_.empty(); }
  void Clear();

 private:
  void Merge() const;
  mutable std::vector<std::pair<uint64_t, uint64_t>> runs_;  // [first, end), merged when asked
  mutable bool merged_ = true;
  std::unordered_set<uint64_t> taken_;
};

}  // namespace tarnwick
