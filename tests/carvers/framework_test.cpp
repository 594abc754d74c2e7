#include "carvers/framework.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <numeric>

#include "support/recording_frontend.h"
#include "support/sessions.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

using test::CarveSession;

// Sector n of the image holds the byte (n & 0xFF) throughout.
std::vector<uint8_t> NumberedSectors(uint64_t sectors, uint32_t bps = 512) {
  std::vector<uint8_t> bytes(sectors * bps);
  for (uint64_t n = 0; n < sectors; ++n)
    std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(n * bps), bps, static_cast<uint8_t>(n));
  return bytes;
}

// A session over 300 numbered sectors of which sector 150 cannot be read.
std::unique_ptr<Session> SessionWithBadSector150() {
  auto inner = std::make_unique<MemoryDevice>(NumberedSectors(300));
  auto s = test::EnglishSession();
  OpenImageDevice(*s, std::make_unique<FaultyDevice>(std::move(inner), std::set<uint64_t>{150}),
                  "bad.img");
  s->LastScanSector = 299;
  return s;
}

std::vector<uint64_t> MarkedSectors(const Session& s) {
  std::vector<uint64_t> out;
  for (uint64_t n = 0; n <= s.Scan.LastSector; ++n)
    if (s.Map.IsSectorMarked(n)) out.push_back(n);
  return out;
}

TEST(ReadCached, ServesAcrossWindowsAndStopsAtSourceEnd) {
  auto s = CarveSession(NumberedSectors(300));  // 153,600 bytes
  std::vector<uint8_t> buf(1024);
  // Spans the edge of the first window (65,536 = sector 128).
  EXPECT_EQ(ReadCached(*s, buf.data(), 1024, 127 * 512), 0u);
  EXPECT_EQ(buf[0], 127);
  EXPECT_EQ(buf[1023], 128);
  // Up to the end of the scan range, not beyond.
  s->LastScanSector = 199;
  EXPECT_EQ(ReadCached(*s, buf.data(), 1024, 199 * 512), 512u);
  EXPECT_EQ(buf[0], 199);
  EXPECT_EQ(ReadCached(*s, buf.data(), 512, 200 * 512), 512u);
}

TEST(ReadCached, WindowNearTheEndEndsExactlyAtSourceEnd) {
  auto s = CarveSession(NumberedSectors(300));
  std::vector<uint8_t> buf(512);
  ASSERT_EQ(ReadCached(*s, buf.data(), 512, 290 * 512), 0u);
  EXPECT_EQ(s->Cache.WindowBase, 300u * 512 - ReadCache::kWindow);
  // A Source smaller than a window: the window starts at 0.
  auto small = CarveSession(NumberedSectors(20));
  ASSERT_EQ(ReadCached(*small, buf.data(), 512, 10 * 512), 0u);
  EXPECT_EQ(small->Cache.WindowBase, 0u);
  EXPECT_EQ(buf[0], 10);
}

TEST(ReadCached, ReadsTheDeviceOncePerWindow) {
  auto device = std::make_unique<MemoryDevice>(NumberedSectors(256));
  MemoryDevice* raw = device.get();
  auto s = test::EnglishSession();
  OpenImageDevice(*s, std::move(device), "m.img");
  s->LastScanSector = 255;
  uint64_t before = raw->ReadCount();
  std::vector<uint8_t> buf(512);
  for (uint64_t n = 0; n < 256; ++n) ASSERT_EQ(ReadCached(*s, buf.data(), 512, n * 512), 0u);
  EXPECT_EQ(raw->ReadCount() - before, 2u);  // 128 KiB in two windows
}

TEST(ReadCached, TheSearchReadsInPlaceInItsLargerWindow) {
  const uint64_t sectors = 4 * ReadCache::kSearchWindow / 512 + 3;
  auto device = std::make_unique<MemoryDevice>(NumberedSectors(sectors));
  MemoryDevice* raw = device.get();
  auto s = test::EnglishSession();
  OpenImageDevice(*s, std::move(device), "m.img");
  s->LastScanSector = static_cast<int64_t>(sectors - 1);
  const uint64_t before = raw->ReadCount();
  for (uint64_t n = 0; n < sectors; ++n) {
    std::span<const uint8_t> at = CachedBytesAt(*s, n * 512, 512, ReadCache::kSearchWindow);
    ASSERT_EQ(at.size(), 512u) << "sector " << n;
    ASSERT_TRUE(std::all_of(at.begin(), at.end(), [n](uint8_t b) { return b == (n & 0xFF); }))
        << "sector " << n;
  }
  // Four whole windows and the three sectors left, which the last window
  // holds by lying whole before the end.
  EXPECT_EQ(raw->ReadCount() - before, 5u);
  // Bytes across a window's end are not in one window; past the scan range
  // there are none.
  ASSERT_FALSE(CachedBytesAt(*s, 0, 512, ReadCache::kSearchWindow).empty());
  EXPECT_TRUE(CachedBytesAt(*s, ReadCache::kSearchWindow - 256, 512).empty());
  EXPECT_TRUE(CachedBytesAt(*s, sectors * 512, 512).empty());
}

TEST(ReadCached, BytesInAWindowWithAnUndeliveredSectorAreCopiedNotPointedAt) {
  auto s = SessionWithBadSector150();
  EXPECT_TRUE(CachedBytesAt(*s, 140 * 512, 512).empty());
  std::vector<uint8_t> buf(512);
  EXPECT_EQ(ReadCached(*s, buf.data(), 512, 140 * 512), 0u);
  EXPECT_EQ(buf[0], 140);
  EXPECT_TRUE(CachedBytesAt(*s, 150 * 512, 512).empty());
  EXPECT_EQ(ReadCached(*s, buf.data(), 512, 150 * 512), 512u);
}

TEST(ReadCached, AFailedDeviceReadIsReportedUndelivered) {
  auto s = SessionWithBadSector150();
  std::vector<uint8_t> buf(512);
  EXPECT_EQ(ReadCached(*s, buf.data(), 512, 150 * 512), 512u);
  EXPECT_EQ(ReadCached(*s, buf.data(), 512, 10 * 512), 0u);
}

TEST(LetterName, BaseTwentySixMostSignificantFirst) {
  EXPECT_EQ(LetterName(8, 0), "AAAAAAAA");
  EXPECT_EQ(LetterName(8, 27), "AAAAAABB");
  EXPECT_EQ(LetterName(8, 25), "AAAAAAAZ");
  EXPECT_EQ(LetterName(2, 26 * 26 + 1), "AB");  // digits beyond the count are dropped
  EXPECT_EQ(OutputName("/out/", 13824, ".DB"), "/out/FILE_AAAAAABB.DB");
}

TEST(FetchSector, StepsOverClaimedSectorsInOrder) {
  auto s = CarveSession(NumberedSectors(40));
  s->Map.MarkSector(11);
  s->Map.MarkSector(12);
  s->Map.MarkSector(14);
  CarveFrame frame(*s, 10 * 512);
  ASSERT_TRUE(frame.Begin());
  ASSERT_TRUE(ReadUntil(frame.Ctx(), 4 * 512));
  auto data = frame.Ctx().Data();
  EXPECT_EQ(data[0], 10);
  EXPECT_EQ(data[512], 13);
  EXPECT_EQ(data[1024], 15);
  EXPECT_EQ(data[1536], 16);
  EXPECT_EQ(frame.Ctx().ClaimList, (std::vector<uint64_t>{10, 13, 15, 16}));
}

TEST(CarveFrame, AClaimedStartDoesNothing) {
  auto s = CarveSession(NumberedSectors(40), 8, 0);
  s->Map.MarkSector(16);
  auto before = MarkedSectors(*s);
  {
    CarveFrame frame(*s, 16 * 512);
    EXPECT_FALSE(frame.Begin());
  }
  EXPECT_EQ(MarkedSectors(*s), before);
}

TEST(CarveFrame, AFailedCarveLeavesTheMapAsItWas) {
  auto s = CarveSession(NumberedSectors(40), 8, 0);
  s->Map.MarkSector(35);
  auto before = MarkedSectors(*s);
  {
    CarveFrame frame(*s, 30 * 512);
    ASSERT_TRUE(frame.Begin());
    EXPECT_FALSE(ReadUntil(frame.Ctx(), 20 * 512));  // runs past the last sector
  }
  EXPECT_EQ(MarkedSectors(*s), before);
}

TEST(CarveFrame, SuccessClaimsTheRestOfTheLastCluster) {
  auto s = CarveSession(NumberedSectors(64), 8, 0);
  {
    CarveFrame frame(*s, 16 * 512);
    ASSERT_TRUE(frame.Begin());
    ASSERT_TRUE(ReadUntil(frame.Ctx(), 4 * 512));  // sectors 16..19
    frame.Succeed();
  }
  std::vector<uint64_t> want(8);
  std::iota(want.begin(), want.end(), 16);
  EXPECT_EQ(MarkedSectors(*s), want);  // 20..23 claimed too

  auto t = CarveSession(NumberedSectors(64), 8, 0);
  {
    CarveFrame frame(*t, 16 * 512);
    ASSERT_TRUE(frame.Begin());
    ASSERT_TRUE(ReadUntil(frame.Ctx(), 8 * 512));  // ends in 23: nothing more
    frame.Succeed();
  }
  EXPECT_EQ(MarkedSectors(*t), want);
}

TEST(CarveFrame, ClusterRestHonoursThePhaseAndStopsAtTheLastSector) {
  auto s = CarveSession(NumberedSectors(30), 8, 3);  // clusters start at 3, 11, 19, 27
  {
    CarveFrame frame(*s, 20 * 512);
    ASSERT_TRUE(frame.Begin());
    frame.Succeed();
  }
  EXPECT_EQ(MarkedSectors(*s), (std::vector<uint64_t>{20, 21, 22, 23, 24, 25, 26}));
  auto t = CarveSession(NumberedSectors(30), 8, 3);
  {
    CarveFrame frame(*t, 28 * 512);  // last cluster 27..34 is cut at sector 29
    ASSERT_TRUE(frame.Begin());
    frame.Succeed();
  }
  EXPECT_EQ(MarkedSectors(*t), (std::vector<uint64_t>{28, 29}));
  EXPECT_EQ(t->Map.SizeInBytes(), 4u);
}

TEST(SaveBufferToFile, WritesTheWholeBufferAndReplacesReadOnlyFiles) {
  test::TempDir dir("save");
  auto s = CarveSession(NumberedSectors(4));
  std::vector<uint8_t> data(3000, 0x5A);
  std::string path = (dir / "FILE_AAAAAAAA.DB").string();
  test::WriteFileBytes(path, {1, 2, 3});
  ::chmod(path.c_str(), 0444);
  test::WriteFileBytes(path + ".part", {9});  // left by an interrupted save
  ASSERT_TRUE(SaveBufferToFile(*s, data, path));
  EXPECT_EQ(test::ReadFileBytes(path), data);
  EXPECT_FALSE(std::filesystem::exists(path + ".part"));
}

TEST(SaveBufferToFile, RetryTriesTheSamePathAgain) {
  test::TempDir dir("retry");
  auto s = CarveSession(NumberedSectors(4));
  test::RecordingFrontend ui;
  s->SetFrontend(&ui);
  std::filesystem::path folder = dir / "later";
  std::string path = (folder / "FILE_AAAAAAAA.DB").string();
  ui.Answers = {Answer::Retry};
  ui.OnAsk = [&] { std::filesystem::create_directory(folder); };  // the user mends it
  std::vector<uint8_t> data(700, 1);
  EXPECT_TRUE(SaveBufferToFile(*s, data, path));
  ASSERT_EQ(ui.Questions.size(), 1u);
  EXPECT_EQ(ui.Questions[0].Text, "Failed save file: \r\n\r\n" + path);
  EXPECT_EQ(ui.Questions[0].Caption, "Error");
  EXPECT_EQ(ui.Questions[0].Kind, Buttons::AbortRetryIgnore);
  EXPECT_EQ(test::ReadFileBytes(path), data);
}

TEST(SaveBufferToFile, AFullTargetIsAFailureAndAbortStopsTheScan) {
  auto s = CarveSession(NumberedSectors(4));
  test::RecordingFrontend ui;
  s->SetFrontend(&ui);
  ui.Answers = {Answer::Abort};
  std::vector<uint8_t> data(4096, 1);
  // Every write to /dev/full fails as a full disk does.
  EXPECT_FALSE(SaveBufferToFile(*s, data, "/dev/full"));
  EXPECT_EQ(s->Flags.RunState.load(), kStop);
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/full")) << "a device is never replaced";
  EXPECT_FALSE(std::filesystem::exists("/dev/full.part"));
  ui.Answers = {Answer::Ignore};
  s->Flags.RunState = kRunning;
  EXPECT_FALSE(SaveBufferToFile(*s, data, "/nonexistent-folder/x.DB"));
  EXPECT_EQ(s->Flags.RunState.load(), kRunning);
}

}  // namespace
}  // namespace tarnwick
