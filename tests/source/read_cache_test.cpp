#include "source/read_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <set>

#include "source/device.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

constexpr uint32_t kSector = 512;

TEST(SectorRuns, AddMergesNeighboursAndRemoveSplits) {
  SectorRuns r;
  r.Add(10, 12);
  r.Add(20, 20);
  r.Add(13, 14);  // touches 10..12
  r.Add(5, 5);
  EXPECT_EQ(r.Runs(), (std::vector<SectorInterval>{{5, 5}, {10, 14}, {20, 20}}));
  r.Add(15, 19);  // closes the gap to 20
  EXPECT_EQ(r.Runs(), (std::vector<SectorInterval>{{5, 5}, {10, 20}}));
  EXPECT_EQ(r.Count(), 12u);
  EXPECT_EQ(r.CountIn(0, 11), 3u);
  r.Remove(15);
  EXPECT_EQ(r.Runs(), (std::vector<SectorInterval>{{5, 5}, {10, 14}, {16, 20}}));
  r.Remove(5);
  r.Remove(10);
  r.Remove(20);
  r.Remove(99);
  EXPECT_EQ(r.Runs(), (std::vector<SectorInterval>{{11, 14}, {16, 19}}));
  EXPECT_TRUE(r.Contains(19));
  EXPECT_FALSE(r.Contains(15));
  EXPECT_TRUE(r.Overlaps(0, 11));
  EXPECT_FALSE(r.Overlaps(20, UINT64_MAX));
  r.Add(UINT64_MAX - 1, UINT64_MAX);
  r.Add(UINT64_MAX - 3, UINT64_MAX - 2);
  EXPECT_EQ(r.Runs().back(), (SectorInterval{UINT64_MAX - 3, UINT64_MAX}));
}

struct Faulty {
  std::vector<uint8_t> bytes;
  FaultyDevice* device = nullptr;
  std::unique_ptr<SourceDevice> owner;
  ReadCache rc;

  Faulty(uint64_t sectors, std::set<uint64_t> bad, uint32_t seed = 1)
      : bytes(test::RandomBytes(sectors * kSector, seed)) {
    auto d = std::make_unique<FaultyDevice>(std::make_unique<MemoryDevice>(bytes), std::move(bad));
    device = d.get();
    owner = std::move(d);
  }
  uint64_t End() const { return bytes.size(); }
  // Reads sector n alone, as phase 1 does.
  bool ReadSector(uint64_t n, std::vector<uint8_t>& out,
                  SkippedSectors skipped = SkippedSectors::ReadNow) {
    out.assign(kSector, 0xEE);
    return ReadThroughWindow(*owner, rc, End(), kSector, out.data(), kSector, n * kSector,
                             skipped) == 0;
  }
  bool Same(uint64_t n, const std::vector<uint8_t>& got) const {
    return std::equal(got.begin(), got.end(), bytes.begin() + n * kSector);
  }
};

TEST(ReadWindow, ABadSectorCostsOnlyItselfAndIsAskedForAtMostThreeTimes) {
  Faulty f(256, {77});
  std::vector<uint8_t> got;
  for (uint64_t n = 0; n < 256; ++n) {
    bool ok = f.ReadSector(n, got);
    if (n == 77) {
      EXPECT_FALSE(ok);
      EXPECT_TRUE(std::all_of(got.begin(), got.end(), [](uint8_t b) { return b == 0; }));
    } else {
      ASSERT_TRUE(ok) << n;
      ASSERT_TRUE(f.Same(n, got)) << n;
    }
  }
  // The window, its failing piece, the sector itself; the next window is
  // read in pieces.
  EXPECT_EQ(f.device->AsksOfBadUnits().at(77), 3u);
  EXPECT_EQ(f.device->FailedReads(), 3u);
  EXPECT_LE(f.device->Reads(), 1u + 8u + 16u + 8u);
  EXPECT_EQ(f.rc.Faults.Unreadable.Runs(), (std::vector<SectorInterval>{{77, 77}}));
  // In the failed window's last piece, when all others read: the window and itself.
  Faulty g(256, {125});
  for (uint64_t n = 0; n < 256; ++n) ASSERT_EQ(g.ReadSector(n, got), n != 125) << n;
  EXPECT_EQ(g.device->AsksOfBadUnits().at(125), 2u);

  // Read again, a known bad sector is never asked for.
  f.rc.Drop();
  const uint64_t before = f.device->FailedReads();
  for (uint64_t n = 0; n < 256; ++n) f.ReadSector(n, got);
  EXPECT_EQ(f.device->FailedReads(), before);
  // A read across it delivers the rest and reports only its bytes.
  std::vector<uint8_t> span(4 * kSector);
  EXPECT_EQ(ReadThroughWindow(*f.owner, f.rc, f.End(), kSector, span.data(), span.size(),
                              75 * kSector + 100),
            uint64_t{kSector});
}

TEST(ReadWindow, OnePercentBadSectorsCostAboutTwoFailedReadsEach) {
  constexpr uint64_t kSectors = 40000;  // about 20 MiB
  std::mt19937 rng(5);
  std::set<uint64_t> bad;
  while (bad.size() < kSectors / 100) bad.insert(rng() % kSectors);
  Faulty f(kSectors, bad);
  std::vector<uint8_t> got;
  uint64_t delivered = 0;
  for (uint64_t n = 0; n < kSectors; ++n) {
    if (f.ReadSector(n, got, SkippedSectors::LeaveForLater)) {
      ASSERT_TRUE(f.Same(n, got)) << n;
      ++delivered;
    }
  }
  // Near failures windows are read in pieces: a bad sector costs its piece
  // and itself, and only the first one also a window.
  uint64_t regions = 0;
  for (uint64_t n : bad) regions += bad.count(n - 1) == 0;
  EXPECT_LE(f.device->FailedReads(), 2 * regions);
  for (const auto& [unit, asks] : f.device->AsksOfBadUnits()) EXPECT_LE(asks, 3u) << unit;
  // Total reads: eight pieces per window, and sectors of the failing pieces.
  EXPECT_LE(f.device->Reads(), kSectors / 16 + 17 * bad.size());
  // Every good sector was delivered, apart from a few skipped after two
  // neighbouring failures: those come back.
  const uint64_t skipped = f.rc.Faults.Skipped.Count();
  EXPECT_EQ(delivered + bad.size() + skipped, kSectors);
  for (const auto& [first, last] : std::vector<SectorInterval>(f.rc.Faults.Skipped.Runs())) {
    for (uint64_t n = first; n <= last; ++n) {
      if (f.ReadSector(n, got)) {
        EXPECT_TRUE(f.Same(n, got));
      }
    }
  }
  EXPECT_TRUE(f.rc.Faults.Skipped.Empty());
  EXPECT_EQ(f.rc.Faults.Unreadable.Count(), bad.size());
  EXPECT_FALSE(f.rc.Faults.SourceLost);
}

TEST(ReadWindow, WindowsAreReadWholeAgainFarFromTheLastFailure) {
  constexpr uint64_t kSectors = 60000;
  Faulty f(kSectors, {77});
  std::vector<uint8_t> got;
  for (uint64_t n = 0; n < kSectors; ++n) ASSERT_EQ(f.ReadSector(n, got), n != 77) << n;
  // Pieces for 4 MiB behind the failure, whole windows after that.
  const uint64_t careful = ReadCache::kCarefulSpan / kSector;
  EXPECT_LE(f.device->Reads(), kSectors / 128 + 1 + 8 + 16 + careful / 16);
  EXPECT_GE(f.device->Reads(), kSectors / 128 + careful / 16 - careful / 128);
}

TEST(ReadWindow, ADeadStretchIsSkippedInGrowingStepsAndComeBackToOnce) {
  std::set<uint64_t> bad;
  for (uint64_t n = 1000; n < 5000; ++n) bad.insert(n);
  Faulty f(8000, bad);
  std::vector<uint8_t> got;
  for (uint64_t n = 0; n < 8000; ++n) {
    if (f.ReadSector(n, got, SkippedSectors::LeaveForLater)) {
      ASSERT_TRUE(f.Same(n, got)) << n;
    }
  }
  // 4000 bad sectors cost a few dozen failed reads, not thousands.
  EXPECT_LT(f.device->FailedReads(), 150u);
  EXPECT_FALSE(f.rc.Faults.SourceLost) << f.rc.Faults.LostReason;
  EXPECT_GT(f.rc.Faults.Skipped.Count(), 3500u);
  EXPECT_FALSE(f.rc.Faults.Skipped.Overlaps(0, 999));
  // Coming back: each skipped sector is asked for once, and never again;
  // good sectors a step overshot into are delivered then.
  for (uint64_t n = 1000; n < 8000; ++n) {
    bool ok = f.ReadSector(n, got);
    EXPECT_EQ(ok, n >= 5000) << n;
    if (ok) {
      EXPECT_TRUE(f.Same(n, got)) << n;
    }
  }
  for (const auto& [unit, asks] : f.device->AsksOfBadUnits()) ASSERT_LE(asks, 3u) << unit;
  EXPECT_EQ(f.rc.Faults.Unreadable.Runs(), (std::vector<SectorInterval>{{1000, 4999}}));
  EXPECT_TRUE(f.rc.Faults.Skipped.Empty());
}

TEST(ReadWindow, ADeviceThatDiesOrNeverAnswersIsLost) {
  {
    // Says it is gone: lost at the first failed read.
    Faulty f(1000, {});
    f.device->DieAtRead(3, true);
    std::vector<uint8_t> got;
    uint64_t n = 0;
    while (n < 1000 && !f.rc.Faults.SourceLost) f.ReadSector(n++, got);
    EXPECT_TRUE(f.rc.Faults.SourceLost);
    EXPECT_EQ(f.rc.Faults.LostReason, "the device is gone");
    EXPECT_TRUE(f.rc.Faults.Unreadable.Empty()) << "a lost device's sectors are not bad";
    const uint64_t reads = f.device->Reads();
    EXPECT_FALSE(f.ReadSector(10, got));
    EXPECT_EQ(f.device->Reads(), reads) << "nothing is asked of a lost device";
  }
  {
    // Fails silently after some good reads: the probe of a sector that read
    // before finds it dead.
    Faulty f(20000, {});
    f.device->DieAtRead(10);
    std::vector<uint8_t> got;
    uint64_t n = 0;
    while (n < 20000 && !f.rc.Faults.SourceLost) f.ReadSector(n++, got);
    EXPECT_TRUE(f.rc.Faults.SourceLost);
    EXPECT_EQ(f.rc.Faults.LostReason, "a sector that read before no longer reads");
    EXPECT_LT(f.device->FailedReads(), 100u);
  }
  {
    // Fails every read from the start.
    Faulty f(20000, {});
    f.device->DieAtRead(0);
    std::vector<uint8_t> got;
    uint64_t n = 0;
    while (n < 20000 && !f.rc.Faults.SourceLost) f.ReadSector(n++, got);
    EXPECT_TRUE(f.rc.Faults.SourceLost);
    EXPECT_EQ(f.rc.Faults.LostReason, "not one read of it has succeeded");
    EXPECT_LE(f.device->FailedReads(), 18u);
  }
  {
    // A dead start of a disk that reads further on is not a dead disk.
    std::set<uint64_t> bad;
    for (uint64_t n = 0; n < 3000; ++n) bad.insert(n);
    Faulty f(8000, bad);
    std::vector<uint8_t> got;
    for (uint64_t n = 0; n < 8000; ++n) f.ReadSector(n, got, SkippedSectors::LeaveForLater);
    EXPECT_FALSE(f.rc.Faults.SourceLost) << f.rc.Faults.LostReason;
    EXPECT_TRUE(f.ReadSector(7000, got));
    EXPECT_TRUE(f.Same(7000, got));
  }
}

TEST(ReadWindow, TheEndOfTheRangeAndOfTheDeviceAreUndelivered) {
  Faulty f(10, {});
  std::vector<uint8_t> got(3 * kSector, 0xEE);
  // end at 9 sectors: the last sector is outside the range.
  EXPECT_EQ(
      ReadThroughWindow(*f.owner, f.rc, 9 * kSector, kSector, got.data(), got.size(), 7 * kSector),
      uint64_t{kSector});
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + 2 * kSector, f.bytes.begin() + 7 * kSector));
  EXPECT_TRUE(std::all_of(got.begin() + 2 * kSector, got.end(), [](uint8_t b) { return b == 0; }));
  // A range that claims more than the device holds.
  got.assign(3 * kSector, 0xEE);
  EXPECT_EQ(ReadThroughWindow(*f.owner, f.rc, 100 * kSector, kSector, got.data(), got.size(),
                              9 * kSector),
            uint64_t{2 * kSector});
  // A sector size the window cannot hold is refused whole.
  EXPECT_EQ(ReadThroughWindow(*f.owner, f.rc, f.End(), 64, got.data(), 100, 0), 100u);
}


// What a pass from start to end through search-sized windows leaves: the
// bytes delivered and the fault record, with the read ahead on or off.
struct Pass {
  std::vector<uint8_t> delivered;
  std::vector<SectorInterval> unreadable, skipped;
  uint64_t reads = 0, failedReads = 0, deviceReads = 0;
  std::map<uint64_t, uint32_t> asksOfBad;
  bool lost = false;
};

Pass ReadFromStartToEnd(uint64_t sectors, const std::set<uint64_t>& bad, bool ahead,
                        int64_t dieAt = -1) {
  Faulty f(sectors, bad, 9);
  if (dieAt >= 0) f.device->DieAtRead(static_cast<uint64_t>(dieAt));
  std::optional<ReadingAhead> reading;
  if (ahead) reading.emplace(f.rc);
  Pass p;
  p.delivered.assign(f.bytes.size(), 0xEE);
  for (uint64_t n = 0; n < sectors && !f.rc.Faults.SourceLost; ++n)
    ReadThroughWindow(*f.owner, f.rc, f.End(), kSector, p.delivered.data() + n * kSector, kSector,
                      n * kSector, SkippedSectors::LeaveForLater, ReadCache::kSearchWindow);
  reading.reset();
  p.unreadable = f.rc.Faults.Unreadable.Runs();
  p.skipped = f.rc.Faults.Skipped.Runs();
  p.reads = f.rc.Faults.Reads;
  p.failedReads = f.rc.Faults.FailedReads;
  p.deviceReads = f.device->Reads();
  p.asksOfBad = f.device->AsksOfBadUnits();
  p.lost = f.rc.Faults.SourceLost;
  return p;
}

void ExpectSamePass(const Pass& a, const Pass& b) {
  EXPECT_TRUE(a.delivered == b.delivered);
  EXPECT_EQ(a.unreadable, b.unreadable);
  EXPECT_EQ(a.skipped, b.skipped);
  EXPECT_EQ(a.reads, b.reads);
  EXPECT_EQ(a.failedReads, b.failedReads);
  EXPECT_EQ(a.asksOfBad, b.asksOfBad);
  EXPECT_EQ(a.lost, b.lost);
}

// The window after the one asked for is read on another thread; what the
// device is asked, what fails and what is delivered stay as without it.
TEST(ReadAhead, APassFromStartToEndAsksTheDeviceWhatItAskedWithout) {
  constexpr uint64_t kSectors = 20000;  // 40 search windows
  {
    const Pass plain = ReadFromStartToEnd(kSectors, {}, false);
    const Pass ahead = ReadFromStartToEnd(kSectors, {}, true);
    ExpectSamePass(plain, ahead);
    EXPECT_EQ(ahead.deviceReads, plain.deviceReads);
    EXPECT_EQ(plain.reads, (kSectors * kSector + ReadCache::kSearchWindow - 1) /
                               ReadCache::kSearchWindow);
  }
  {
    // Bad sectors, a dead stretch, and failures close behind each other.
    std::set<uint64_t> bad = {77, 3000, 3001, 9999, 15000};
    for (uint64_t n = 6000; n < 6600; ++n) bad.insert(n);
    std::mt19937 rng(3);
    for (int k = 0; k < 20; ++k) bad.insert(11000 + rng() % 2000);
    const Pass plain = ReadFromStartToEnd(kSectors, bad, false);
    const Pass ahead = ReadFromStartToEnd(kSectors, bad, true);
    ExpectSamePass(plain, ahead);
    // A window read ahead and not asked for (the pass went on in pieces
    // near a failure) is the one extra read, and it asked no bad sector.
    EXPECT_LE(ahead.deviceReads, plain.deviceReads + 1);
    EXPECT_FALSE(plain.unreadable.empty());
  }
  {
    // A device that stops answering is lost at the same read.
    const Pass plain = ReadFromStartToEnd(kSectors, {}, false, 25);
    const Pass ahead = ReadFromStartToEnd(kSectors, {}, true, 25);
    EXPECT_TRUE(plain.lost);
    ExpectSamePass(plain, ahead);
  }
}

TEST(ReadAhead, HandsOverOnlyTheReadItMade) {
  const std::vector<uint8_t> bytes = test::RandomBytes(1 << 20, 4);
  auto device = std::make_unique<MemoryDevice>(bytes);
  ReadAhead ahead(65536);
  PageAlignedBytes window(65536);
  ahead.Start(*device, 4096, 65536);
  EXPECT_TRUE(ahead.Holds(*device, 4096, 65536));
  EXPECT_FALSE(ahead.Holds(*device, 4096, 32768));
  EXPECT_FALSE(ahead.Holds(*device, 0, 65536));
  ASSERT_EQ(ahead.Take(window), 65536);
  EXPECT_TRUE(std::equal(window.data(), window.data() + 65536, bytes.begin() + 4096));
  EXPECT_FALSE(ahead.Holds(*device, 4096, 65536)) << "taken once";
  EXPECT_EQ(ahead.Take(window), -1);
  // A read past the end is short, as the device's own; one larger than
  // the buffer is not made.
  ahead.Start(*device, (1 << 20) - 100, 4096);
  ASSERT_EQ(ahead.Take(window), 100);
  EXPECT_TRUE(std::equal(window.data(), window.data() + 100, bytes.end() - 100));
  ahead.Start(*device, 0, 65537);
  EXPECT_FALSE(ahead.Holds(*device, 0, 65537));
}

}  // namespace
}  // namespace tarnwick
