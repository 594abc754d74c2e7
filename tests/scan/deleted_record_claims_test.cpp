#include "scan/deleted_record_claims.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace tarnwick {
namespace {

std::vector<uint64_t> Claimed(const DeletedRecordClaims& c, uint64_t upTo) {
  std::vector<uint64_t> out;
  for (uint64_t s = 0; s <= upTo; ++s)
    if (c.OnlyRecordClaims(s)) out.push_back(s);
  return out;
}

// Runs from several records, overlapping and touching, are one claim each
// sector; a sector a database took is the database's until given back.
TEST(DeletedRecordClaims, RunsMergeAndATakenSectorIsNoLongerOnlyARecords) {
  DeletedRecordClaims c;
  EXPECT_TRUE(c.Empty());
  EXPECT_FALSE(c.OnlyRecordClaims(0));
  c.Add(10, 4);  // 10-13
  c.Add(20, 2);  // 20-21
  c.Add(12, 4);  // 12-15, overlapping the first
  c.Add(16, 1);  // 16, touching it
  c.Add(30, 0);  // nothing
  c.Add(UINT64_MAX - 1, 8);  // would wrap: nothing
  EXPECT_FALSE(c.Empty());
  EXPECT_EQ(Claimed(c, 40), (std::vector<uint64_t>{10, 11, 12, 13, 14, 15, 16, 20, 21}));
  EXPECT_FALSE(c.OnlyRecordClaims(UINT64_MAX));

  c.Take(12);
  c.Take(25);  // not a record's: nothing to take
  EXPECT_FALSE(c.OnlyRecordClaims(12));
  EXPECT_TRUE(c.OnlyRecordClaims(13));
  EXPECT_FALSE(c.OnlyRecordClaims(25));
  c.Add(40, 2);  // added after a take: the take stands
  EXPECT_FALSE(c.OnlyRecordClaims(12));
  EXPECT_TRUE(c.OnlyRecordClaims(41));
  c.Release(12);
  EXPECT_TRUE(c.OnlyRecordClaims(12));

  c.Clear();
  EXPECT_TRUE(c.Empty());
  EXPECT_TRUE(Claimed(c, 45).empty());
}

}  // namespace
}  // namespace tarnwick
