#include "carvers/framework.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <utility>

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

std::vector<std::string> NamesIn(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(SaveBufferToFile, NeverReplacesAnythingAndNamesTheFileThatHoldsTheSameBytes) {
  test::TempDir dir("save");
  auto s = CarveSession(NumberedSectors(4));
  const std::string path = (dir / "FILE_AAAAAAAA.DB").string();
  const std::vector<uint8_t> earlier{1, 2, 3}, ours(3000, 0x5A);
  test::WriteFileBytes(path, earlier);
  ::chmod(path.c_str(), 0444);
  // A link to a copy of our bytes and a folder are neither written through nor taken for copies.
  test::WriteFileBytes(dir / "copy", ours);
  std::filesystem::create_symlink(dir / "copy", dir / "FILE_AAAAAAAA-2.DB");
  std::filesystem::create_directory(dir / "FILE_AAAAAAAA-3.DB");
  std::vector<uint8_t> changed = ours;
  changed.back() = 0;
  std::vector<std::pair<std::string, bool>> got;  // name, already there
  const mode_t umask = ::umask(077);
  for (const std::vector<uint8_t>* bytes : {&ours, &ours, &std::as_const(changed)}) {
    SavedFile saved;
    saved.Path = path;
    ASSERT_TRUE(SaveBufferToFile(*s, *bytes, saved));
    EXPECT_EQ(test::ReadFileBytes(saved.Path), *bytes);
    got.emplace_back(std::filesystem::path(saved.Path).filename().string(), saved.AlreadyThere);
  }
  ::umask(umask);
  EXPECT_EQ(got, (std::vector<std::pair<std::string, bool>>{{"FILE_AAAAAAAA-4.DB", false},
                                                            {"FILE_AAAAAAAA-4.DB", true},
                                                            {"FILE_AAAAAAAA-5.DB", false}}));
  EXPECT_EQ(s->AlreadyThereCount, 1u);
  EXPECT_EQ(test::ReadFileBytes(path), earlier);
  struct stat st {};
  ASSERT_EQ(::stat((dir / "FILE_AAAAAAAA-4.DB").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "rescued chats are as private as the umask says";
  EXPECT_EQ(NamesIn(dir.Path()).size(), 6u) << "no temporary file is left behind";
}

TEST(PlaceWithoutReplacing, EveryWayOfTakingANameNumbersTheSame) {
  for (ClaimMethod method :
       {ClaimMethod::RenameNoReplace, ClaimMethod::Link, ClaimMethod::ExclusivePlaceholder}) {
    test::TempDir dir("claim");
    // The number goes before an extension; a dot in a folder's name is none.
    const std::filesystem::path folder = dir / "out.d";
    std::filesystem::create_directory(folder);
    const std::string wanted = (folder / "FILE_AAAAAAAC").string();
    for (uint8_t k = 1; k <= 3; ++k) {
      const std::vector<uint8_t> bytes(100 * k, k);
      SavePlacement p = PlaceWithoutReplacing(SaveSource::InMemory(bytes), wanted, method);
      ASSERT_TRUE(p.Saved && !p.AlreadyThere) << std::strerror(p.Error);
      EXPECT_EQ(p.Path, k == 1 ? wanted : wanted + "-" + std::to_string(k));
      EXPECT_EQ(test::ReadFileBytes(p.Path), bytes);
    }
    EXPECT_EQ(NamesIn(folder).size(), 3u);
  }
}

TEST(PlaceWithoutReplacing, BytesInAFileOfTheirOwnAreTakenOver) {
  test::TempDir dir("from-file");
  const std::string wanted = (dir / "FILE_AAAAAAAD.DB").string(), staged = dir / "staged";
  const std::vector<uint8_t> bytes = test::RandomBytes(3 * 1048576 + 5, 9);  // several chunks
  for (int round = 0; round < 2; ++round) {
    test::WriteFileBytes(staged, bytes);
    SavePlacement p = PlaceWithoutReplacing(SaveSource::InFile(staged), wanted);
    ASSERT_TRUE(p.Saved);
    EXPECT_EQ(p.Path, wanted);
    EXPECT_EQ(p.AlreadyThere, round == 1);
    EXPECT_FALSE(std::filesystem::exists(staged));
  }
  EXPECT_EQ(test::ReadFileBytes(wanted), bytes);
  // Staged on another file system: copied beside the target.
  struct stat shm {
  }, here{};
  if (::stat("/dev/shm", &shm) == 0 && ::stat(dir.Path().c_str(), &here) == 0 &&
      shm.st_dev != here.st_dev) {
    const std::string far = "/dev/shm/tarnwick-staged-" + std::to_string(::getpid());
    test::WriteFileBytes(far, {4, 5});
    SavePlacement p = PlaceWithoutReplacing(SaveSource::InFile(far), wanted);
    EXPECT_TRUE(p.Saved) << std::strerror(p.Error);
    EXPECT_EQ(test::ReadFileBytes(dir / "FILE_AAAAAAAD-2.DB"), (std::vector<uint8_t>{4, 5}));
    EXPECT_FALSE(std::filesystem::remove(far));
  }
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

TEST(SaveBufferToFile, AFailedWriteLeavesNothingAndAbortStopsTheScan) {
  test::TempDir dir("full");
  auto s = CarveSession(NumberedSectors(4));
  test::RecordingFrontend ui;
  s->SetFrontend(&ui);
  ui.Answers = {Answer::Abort};
  const std::vector<uint8_t> data(4096, 1);
  // Files may not grow past 1 KiB: the write fails (EFBIG) as on a full disk.
  auto* oldSignal = std::signal(SIGXFSZ, SIG_IGN);
  rlimit old{}, small{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  small = old;
  small.rlim_cur = 1024;
  ::setrlimit(RLIMIT_FSIZE, &small);
  const bool saved = SaveBufferToFile(*s, data, (dir / "FILE_AAAAAAAA.DB").string());
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldSignal);
  EXPECT_FALSE(saved);
  EXPECT_EQ(s->SaveError, std::strerror(EFBIG));
  EXPECT_EQ(s->Flags.RunState.load(), kStop);
  EXPECT_TRUE(s->SaveAborted);
  EXPECT_TRUE(NamesIn(dir.Path()).empty()) << "neither a part file nor a truncated one";
}

}  // namespace
}  // namespace tarnwick
