// Reading the open Source from the session while the search reads ahead.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "scan/session_source.h"
#include "support/sessions.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

// A device whose reads take a while and that counts reads made while
// another is in progress: a device such as a raw Windows volume, read
// through one bounce buffer, allows only one at a time.
class OneReaderDevice final : public SourceDevice {
 public:
  explicit OneReaderDevice(std::vector<uint8_t> bytes) : inner_(std::move(bytes)) {}
  ~OneReaderDevice() override {
    if (inFlight_ != 0) ++goneWhileRead;
  }
  static inline std::atomic<int> goneWhileRead{0};
  uint64_t Size() const override { return inner_.Size(); }
  int64_t ReadAt(uint64_t offset, std::span<uint8_t> out) override {
    if (inFlight_.fetch_add(1) != 0) ++overlaps_;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const int64_t n = inner_.ReadAt(offset, out);
    inFlight_.fetch_sub(1);
    return n;
  }
  int Overlaps() const { return overlaps_; }

 private:
  MemoryDevice inner_;
  std::atomic<int> inFlight_{0};
  std::atomic<int> overlaps_{0};
};

TEST(ReadSource, WaitsForTheSearchsReadAheadBeforeItReadsTheDevice) {
  const std::vector<uint8_t> bytes = test::RandomBytes(4 << 20, 3);
  auto s = test::EnglishSession();
  auto owned = std::make_unique<OneReaderDevice>(bytes);
  OneReaderDevice* device = owned.get();
  OpenImageDevice(*s, std::move(owned), "slow.img");
  s->Scan.BytesPerSector = 512;
  s->FirstScanSector = 0;
  s->LastScanSector = static_cast<int64_t>(bytes.size() / 512) - 1;
  {
    ReadingAhead ahead(s->Cache);
    for (uint64_t window = 0; window < 4; ++window) {
      // Filling a window starts the read of the next one; the sector view
      // then asks for a sector elsewhere, as the user may while it runs.
      const uint64_t at = window * ReadCache::kSearchWindow;
      const std::span<const uint8_t> got = CachedBytesAt(*s, at, 512, ReadCache::kSearchWindow);
      ASSERT_EQ(got.size(), 512u);
      EXPECT_TRUE(std::equal(got.begin(), got.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at)));
      std::vector<uint8_t> sector(512);
      ASSERT_TRUE(ReadSource(*s, 3 << 20, sector));
      EXPECT_TRUE(std::equal(sector.begin(), sector.end(), bytes.begin() + (3 << 20)));
    }
  }
  EXPECT_EQ(device->Overlaps(), 0);
}

TEST(ReadSource, ClosingOrReplacingTheSourceEndsItsReadAheadFirst) {
  for (const bool replace : {false, true}) {
    auto s = test::EnglishSession();
    OpenImageDevice(*s, std::make_unique<OneReaderDevice>(test::RandomBytes(1 << 20, 5)),
                    "slow.img");
    s->Scan.BytesPerSector = 512;
    s->LastScanSector = (1 << 20) / 512 - 1;
    ReadingAhead ahead(s->Cache);
    // The next window is being read (5 ms) when the device goes: the read
    // must end first, or it reads a device that is gone (the sanitizers
    // see it).
    ASSERT_EQ(CachedBytesAt(*s, 0, 512, ReadCache::kSearchWindow).size(), 512u);
    if (replace)
      OpenImageDevice(*s, std::make_unique<MemoryDevice>(std::vector<uint8_t>(4096)), "new.img");
    else
      CloseSource(*s);
    EXPECT_EQ(OneReaderDevice::goneWhileRead, 0) << (replace ? "replaced" : "closed");
  }
}

}  // namespace
}  // namespace tarnwick
