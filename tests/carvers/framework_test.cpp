#include "carvers/framework.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstring>

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

// The names in a folder, sorted.
std::vector<std::string> NamesIn(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(SaveBufferToFile, NeverReplacesAFileAndNamesTheOneThatHoldsTheSameBytes) {
  test::TempDir dir("save");
  auto s = CarveSession(NumberedSectors(4));
  const std::string path = (dir / "FILE_AAAAAAAA.DB").string();
  const std::vector<uint8_t> earlier{1, 2, 3}, ours(3000, 0x5A);
  test::WriteFileBytes(path, earlier);
  ::chmod(path.c_str(), 0444);

  SavedFile saved;
  saved.Path = path;
  ASSERT_TRUE(SaveBufferToFile(*s, ours, saved));
  EXPECT_EQ(saved.Path, (dir / "FILE_AAAAAAAA-2.DB").string());
  EXPECT_FALSE(saved.AlreadyThere);
  EXPECT_EQ(test::ReadFileBytes(path), earlier) << "the earlier file is untouched";
  EXPECT_EQ(test::ReadFileBytes(saved.Path), ours);

  // The same bytes again, as a second rescue of the same disk finds them.
  SavedFile again;
  again.Path = path;
  ASSERT_TRUE(SaveBufferToFile(*s, ours, again));
  EXPECT_EQ(again.Path, saved.Path);
  EXPECT_TRUE(again.AlreadyThere);
  EXPECT_EQ(s->AlreadyThereCount, 1u);
  // A file one byte longer or with one byte changed is another file.
  std::vector<uint8_t> longer = ours, changed = ours;
  longer.push_back(0x5A);
  changed[2999] = 0;
  for (const auto* bytes : {&longer, &changed}) {
    SavedFile other;
    other.Path = path;
    ASSERT_TRUE(SaveBufferToFile(*s, *bytes, other));
    EXPECT_FALSE(other.AlreadyThere);
    EXPECT_EQ(test::ReadFileBytes(other.Path), *bytes);
  }
  EXPECT_EQ(NamesIn(dir.Path()),
            (std::vector<std::string>{"FILE_AAAAAAAA-2.DB", "FILE_AAAAAAAA-3.DB",
                                      "FILE_AAAAAAAA-4.DB", "FILE_AAAAAAAA.DB"}))
      << "no temporary file is left behind";
  EXPECT_EQ(s->AlreadyThereCount, 1u);
}

TEST(SaveBufferToFile, WhatIsNotARegularFileIsNeverWrittenThroughOrTakenForACopy) {
  test::TempDir dir("save-other");
  auto s = CarveSession(NumberedSectors(4));
  const std::vector<uint8_t> ours(600, 7);
  const std::filesystem::path target = dir / "elsewhere.DB";
  test::WriteFileBytes(target, ours);
  // A link to a file with the same bytes, and a folder, under the wanted names.
  std::filesystem::create_symlink(target, dir / "FILE_AAAAAAAB.DB");
  std::filesystem::create_directory(dir / "FILE_AAAAAAAB-2.DB");
  SavedFile saved;
  saved.Path = (dir / "FILE_AAAAAAAB.DB").string();
  ASSERT_TRUE(SaveBufferToFile(*s, ours, saved));
  EXPECT_EQ(saved.Path, (dir / "FILE_AAAAAAAB-3.DB").string());
  EXPECT_FALSE(saved.AlreadyThere);
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "FILE_AAAAAAAB.DB"));
  EXPECT_EQ(test::ReadFileBytes(saved.Path), ours);
}

TEST(SaveBufferToFile, ASavedFileHasThePermissionsTheUmaskGives) {
  test::TempDir dir("umask");
  auto s = CarveSession(NumberedSectors(4));
  const std::vector<uint8_t> data(100, 3);
  for (const auto& [mask, mode] : {std::pair<mode_t, mode_t>{077, 0600}, {022, 0644}}) {
    const mode_t old = ::umask(mask);
    SavedFile saved;
    saved.Path = (dir / ("FILE_" + std::to_string(mask) + ".DB")).string();
    const bool ok = SaveBufferToFile(*s, data, saved);
    ::umask(old);
    ASSERT_TRUE(ok);
    struct stat st {};
    ASSERT_EQ(::stat(saved.Path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, mode) << "umask " << mask;
  }
}

TEST(PlaceWithoutReplacing, EveryWayOfTakingANameNumbersTheSameAndLeavesNothingBehind) {
  for (ClaimMethod method : {ClaimMethod::RenameNoReplace, ClaimMethod::Link,
                             ClaimMethod::ExclusivePlaceholder}) {
    test::TempDir dir("claim");
    // The number goes before the extension, and a dot in a folder's name is not one.
    const std::filesystem::path folder = dir / "out.d";
    std::filesystem::create_directory(folder);
    const std::string wanted = (folder / "FILE_AAAAAAAC").string();
    std::vector<std::string> paths;
    for (uint8_t k = 1; k <= 3; ++k) {
      const std::vector<uint8_t> bytes(100 * k, k);
      Placement p = PlaceWithoutReplacing(SaveSource::InMemory(bytes), wanted, method);
      ASSERT_TRUE(p.Saved) << std::strerror(p.Error);
      EXPECT_FALSE(p.AlreadyThere);
      EXPECT_EQ(test::ReadFileBytes(p.Path), bytes);
      paths.push_back(p.Path);
    }
    EXPECT_EQ(paths, (std::vector<std::string>{wanted, wanted + "-2", wanted + "-3"}));
    const std::vector<uint8_t> second(200, 2);
    Placement p = PlaceWithoutReplacing(SaveSource::InMemory(second), wanted, method);
    EXPECT_TRUE(p.Saved && p.AlreadyThere);
    EXPECT_EQ(p.Path, wanted + "-2");
    EXPECT_EQ(NamesIn(folder), (std::vector<std::string>{"FILE_AAAAAAAC", "FILE_AAAAAAAC-2",
                                                         "FILE_AAAAAAAC-3"}));
  }
}

TEST(PlaceWithoutReplacing, BytesInAFileOfTheirOwnAreTakenOver) {
  test::TempDir dir("from-file");
  const std::string wanted = (dir / "FILE_AAAAAAAD.DB").string();
  const std::vector<uint8_t> bytes = test::RandomBytes(3 * 1048576 + 5, 9);  // several chunks
  const std::string staged = (dir / "staged.tmp").string();
  test::WriteFileBytes(staged, bytes);
  Placement p = PlaceWithoutReplacing(SaveSource::InFile(staged), wanted);
  ASSERT_TRUE(p.Saved);
  EXPECT_EQ(p.Path, wanted);
  EXPECT_FALSE(std::filesystem::exists(staged));
  EXPECT_EQ(test::ReadFileBytes(wanted), bytes);
  // The same bytes staged again: the file in the folder is named, the staged one goes.
  test::WriteFileBytes(staged, bytes);
  p = PlaceWithoutReplacing(SaveSource::InFile(staged), wanted);
  EXPECT_TRUE(p.Saved && p.AlreadyThere);
  EXPECT_FALSE(std::filesystem::exists(staged));
  // Staged on another file system: copied beside the target, then removed.
  const std::filesystem::path shm = "/dev/shm";
  struct stat a {}, b {};
  if (::stat(shm.c_str(), &a) == 0 && ::stat(dir.Path().c_str(), &b) == 0 && a.st_dev != b.st_dev) {
    const std::string elsewhere =
        (shm / ("tarnwick-staged-" + std::to_string(::getpid()) + ".tmp")).string();
    std::vector<uint8_t> other = bytes;
    other[0] ^= 1;
    test::WriteFileBytes(elsewhere, other);
    p = PlaceWithoutReplacing(SaveSource::InFile(elsewhere), wanted);
    ASSERT_TRUE(p.Saved) << std::strerror(p.Error);
    EXPECT_EQ(p.Path, (dir / "FILE_AAAAAAAD-2.DB").string());
    EXPECT_EQ(test::ReadFileBytes(p.Path), other);
    EXPECT_FALSE(std::filesystem::exists(elsewhere));
    std::filesystem::remove(elsewhere);
  }
  // A staged file that is gone: a failure, and nothing is made.
  p = PlaceWithoutReplacing(SaveSource::InFile(staged), (dir / "FILE_AAAAAAAE.DB").string());
  EXPECT_FALSE(p.Saved);
  EXPECT_EQ(p.Error, ENOENT);
  EXPECT_FALSE(std::filesystem::exists(dir / "FILE_AAAAAAAE.DB"));
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
  EXPECT_EQ(s->SaveError, "No such file or directory");
  EXPECT_EQ(test::ReadFileBytes(path), data);
}

// Files may grow no larger than `bytes` while it lives: writes past it fail
// as on a full disk (EFBIG instead of the signal).
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    old_signal_ = std::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &old_);
    rlimit limit = old_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    std::signal(SIGXFSZ, old_signal_);
  }

 private:
  rlimit old_{};
  void (*old_signal_)(int);
};

TEST(SaveBufferToFile, AFailedWriteLeavesNothingAndAbortStopsTheScan) {
  test::TempDir dir("full");
  auto s = CarveSession(NumberedSectors(4));
  test::RecordingFrontend ui;
  s->SetFrontend(&ui);
  ui.Answers = {Answer::Abort};
  const std::vector<uint8_t> data(4096, 1);
  const std::string path = (dir / "FILE_AAAAAAAA.DB").string();
  {
    FileSizeLimit limit(1024);
    EXPECT_FALSE(SaveBufferToFile(*s, data, path));
  }
  EXPECT_EQ(s->SaveError, std::strerror(EFBIG));
  EXPECT_EQ(s->Flags.RunState.load(), kStop);
  EXPECT_TRUE(s->SaveAborted);
  EXPECT_TRUE(NamesIn(dir.Path()).empty()) << "neither a part file nor a truncated one";
  ui.Answers = {Answer::Ignore};
  s->Flags.RunState = kRunning;
  s->SaveAborted = false;
  EXPECT_FALSE(SaveBufferToFile(*s, data, "/nonexistent-folder/x.DB"));
  EXPECT_EQ(s->Flags.RunState.load(), kRunning);
  EXPECT_FALSE(s->SaveAborted);
}

}  // namespace
}  // namespace tarnwick
