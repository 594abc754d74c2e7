// The whole rescue over a device that fails chosen reads, and over target
// folders that cannot take the files.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <set>

#include "carvers/framework.h"
#include "carvers/media_support.h"
#include "scan/deep_scan.h"
#include "support/read_only_folder.h"
#include "support/recording_frontend.h"
#include "support/sessions.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> Database(uint32_t seed) {
  test::TempDir dir("faults-ole");
  std::mt19937 rng(seed);
  for (const auto& [name, size] :
       std::map<std::string, size_t>{{"Matrix.dat", 40000 + seed * 1000}, {"seqbase.dat", 3000}}) {
    std::vector<uint8_t> bytes(size);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    test::WriteFileBytes(dir / name, bytes);
  }
  auto r = test::Run("cd " + test::ShellQuote(dir.Path().string()) +
                     " && gsf createole out.ole Matrix.dat seqbase.dat");
  EXPECT_EQ(r.Status, 0) << r.Err;
  return test::ReadFileBytes(dir / "out.ole");
}

// An image of zeros with databases at the given sectors.
struct Laid {
  std::vector<uint8_t> image;
  std::map<uint64_t, std::vector<uint8_t>> databases;  // by start sector
  std::set<uint64_t> Own() const {
    std::set<uint64_t> own;
    for (const auto& [start, db] : databases)
      for (uint64_t k = 0; k < db.size() / 512; ++k) own.insert(start + k);
    return own;
  }
};

Laid Lay(uint64_t sectors, const std::vector<uint64_t>& starts) {
  Laid l;
  l.image.assign(sectors * 512, 0);
  uint32_t seed = 1;
  for (uint64_t start : starts) {
    auto db = Database(seed++);
    std::copy(db.begin(), db.end(), l.image.begin() + static_cast<std::ptrdiff_t>(start * 512));
    l.databases[start] = std::move(db);
  }
  return l;
}

struct Rescue {
  std::unique_ptr<Session> s = test::EnglishSession();
  test::RecordingFrontend ui;
  FaultyDevice* device = nullptr;
  test::TempDir out{"faults-out"};
  std::vector<SavedFile> saved;
  ScanOutcome outcome;

  Rescue(std::vector<uint8_t> image, std::set<uint64_t> bad) {
    auto d = std::make_unique<FaultyDevice>(std::make_unique<MemoryDevice>(std::move(image)),
                                            std::move(bad));
    device = d.get();
    OpenImageDevice(*s, std::move(d), "/m/failing.img");
    s->SetFrontend(&ui);
    s->OnFileSaved = [this](const SavedFile& f) { saved.push_back(f); };
  }
  ScanOutcome Run(const std::string& folder = "") {
    RescueBoxes boxes;
    boxes.Reason = 2;
    boxes.Fs = 6;
    ScanRequest r;
    r.FolderText = folder.empty() ? out.Path().string() : folder;
    r.FirstText = "0";
    r.LastText = std::to_string(s->Scan.LastSector);
    outcome = DeepScan(*s, boxes, r);
    return outcome;
  }
  std::vector<uint8_t> File(uint64_t start) const {
    return test::ReadFileBytes(OutputName(out.Path().string() + "/", start * 512, ".DB"));
  }
};

TEST(FailingDisk, BadSectorsOutsideDatabasesNeverCostThem) {
  // One bad free sector just behind each database (inside the window the
  // carve reads ahead), and 1% of all other sectors bad at random.
  Laid l = Lay(12000, {100, 3000, 7000});
  const auto own = l.Own();
  std::set<uint64_t> bad;
  for (const auto& [start, db] : l.databases) bad.insert(start + db.size() / 512 + 3);
  std::mt19937 rng(11);
  while (bad.size() < 120) {
    uint64_t n = rng() % 12000;
    if (!own.count(n)) bad.insert(n);
  }
  Rescue r(l.image, bad);
  ScanOutcome out = r.Run();
  ASSERT_EQ(out.Rescued, 3u);
  for (const auto& [start, db] : l.databases) EXPECT_EQ(r.File(start), db) << start;
  for (const auto& f : r.saved) EXPECT_TRUE(f.UnreadableSectors.empty());
  EXPECT_FALSE(out.SourceLost);
  // Each bad sector is asked for a few times at most over the whole rescue.
  for (const auto& [unit, asks] : r.device->AsksOfBadUnits()) EXPECT_LE(asks, 4u) << unit;
  EXPECT_LE(r.device->FailedReads(), 4 * bad.size());
  // Every bad sector the rescue met is listed for the end.
  const auto& unreadable = SourceFaults(*r.s).Unreadable;
  for (uint64_t n : bad)
    EXPECT_TRUE(unreadable.Contains(n) || SourceFaults(*r.s).Skipped.Contains(n)) << n;
  RescueEndNotes notes = EndNotes(*r.s, out);
  EXPECT_FALSE(notes.Failed);
  ASSERT_FALSE(notes.Lines.empty());
  EXPECT_EQ(notes.Lines[0].rfind("Unreadable sectors: ", 0), 0u) << notes.Lines[0];
}

TEST(FailingDisk, ABadSectorInsideADatabaseIsZerosAndNamed) {
  Laid l = Lay(2000, {200});
  const auto& db = l.databases.at(200);
  const uint64_t inside = 200 + db.size() / 512 / 2;
  Rescue r(l.image, {inside});
  ScanOutcome out = r.Run();
  // Zeros where the Source failed: never whole, so the file is in damaged/
  // with the sector named, and the top level holds nothing.
  EXPECT_EQ(out.Rescued, 0u);
  EXPECT_EQ(out.Damaged, 1u);
  ASSERT_EQ(r.saved.size(), 1u);
  EXPECT_TRUE(r.saved[0].Damaged);
  EXPECT_EQ(r.saved[0].UnreadableSectors, std::vector<uint64_t>{inside});
  EXPECT_NE(r.saved[0].Problem.find(std::to_string(inside)), std::string::npos);
  EXPECT_FALSE(r.saved[0].BrokenStreams.empty());
  auto want = db;
  const auto at = static_cast<std::ptrdiff_t>((inside - 200) * 512);
  std::fill(want.begin() + at, want.begin() + at + 512, uint8_t{0});
  EXPECT_EQ(test::ReadFileBytes(OutputName(r.out.Path().string() + "/damaged/", 200 * 512, ".DB")),
            want);
  EXPECT_EQ(SourceFaults(*r.s).Unreadable.Runs(), (std::vector<SectorInterval>{{inside, inside}}));
}

TEST(FailingDisk, ABadSectorInsideAClipDoesNotCostTheDatabaseAroundIt) {
  if (!test::HaveTool("ffmpeg") || !test::HaveTool("gsf")) GTEST_SKIP() << "needs ffmpeg and gsf";
  // The database's first sectors, a transport stream clip whose packets look
  // as random as the database's own data, then the rest of the database:
  // only the clip's carve claiming all of it lets the database step over it.
  const auto clip =
      test::media::FfmpegMedia("faults-clip.ts", "-c:v mpeg2video -c:a mp2 -f mpegts");
  ASSERT_FALSE(clip.empty());
  const auto db = Database(3);
  const uint64_t clipAt = 106, clipSectors = test::media::SectorsOf(clip.size());
  std::set<uint64_t> clipOwn;
  for (uint64_t k = 0; k < clipSectors; ++k) clipOwn.insert(clipAt + k);
  const auto dbAt = test::media::SectorsAvoiding(100, db.size() / 512, clipOwn);
  auto image = test::media::ImageWith(dbAt.back() + 200, db, dbAt);
  std::fill(image.begin() + static_cast<std::ptrdiff_t>((dbAt.back() + 1) * 512), image.end(), 0);
  std::copy(clip.begin(), clip.end(), image.begin() + static_cast<std::ptrdiff_t>(clipAt * 512));
  // Sectors in the middle of the clip, one of them where packets begin.
  Rescue r(image, {clipAt + clipSectors / 2, clipAt + clipSectors / 2 + 9});
  ScanOutcome out = r.Run();
  EXPECT_EQ(out.Rescued, 1u);
  EXPECT_EQ(out.Damaged, 0u);
  EXPECT_EQ(r.File(100), db);
}

TEST(FailingDisk, ADeviceThatDiesEndsTheScanWithAFailureAndKeepsWhatWasRescued) {
  Laid l = Lay(20000, {100, 15000});
  {
    // Dies in the middle of phase 1: nothing more is read, the rescue fails.
    Rescue r(l.image, {});
    // In the middle of phase 1, which reads the 20,000 sectors in search windows.
    r.device->DieAtRead(20000 * 512 / ReadCache::kSearchWindow / 2, true);
    ScanOutcome out = r.Run();
    EXPECT_TRUE(out.SourceLost);
    RescueEndNotes notes = EndNotes(*r.s, out);
    EXPECT_TRUE(notes.Failed);
    ASSERT_FALSE(notes.Lines.empty());
    EXPECT_NE(notes.Lines[0].find("stopped answering"), std::string::npos);
  }
  {
    Rescue r(l.image, {});
    r.device->DieAtRead(0);
    ScanOutcome out = r.Run();
    EXPECT_TRUE(out.SourceLost);
    EXPECT_EQ(out.Rescued, 0u);
    EXPECT_LE(r.device->Reads(), 24u);
    EXPECT_TRUE(EndNotes(*r.s, out).Failed);
  }
  {
    // Dies after phase 1: what phase 1 found and phase 2 carved before stays.
    Rescue r(l.image, {});
    r.s->Flags.ElapsedMs = 0;
    uint64_t carves = 0;
    r.ui.OnPump = [&] {
      if (r.ui.Label(Dialog::Rescue, 1).find("Success: 1") != std::string::npos && carves++ == 0)
        r.device->DieAtRead(r.device->Reads(), true);
    };
    ScanOutcome out = r.Run();
    EXPECT_EQ(out.Rescued, 1u);
    EXPECT_EQ(r.File(15000), l.databases.at(15000));
    EXPECT_TRUE(out.SourceLost);
    EXPECT_TRUE(EndNotes(*r.s, out).Failed);
  }
}

TEST(FailingDisk, TheEndNotesAreInTheInterfaceLanguage) {
  auto s = test::EnglishSession();
  ReadFaults& faults = s->Cache.Faults;
  for (uint64_t k = 0; k < 12; ++k) faults.Unreadable.Add(100 * k, 100 * k + k % 2);
  faults.Skipped.Add(7, 9);
  faults.Loss = SourceLoss::NoLongerReads;
  ScanOutcome out;
  out.SourceLost = true;
  out.Unsaved = 2;
  out.SaveError = "No space left on device";
  const std::string runs = "0, 100-101, 200, 300-301, 400, 500-501, 600, 700-701, 800, 900-901";
  const std::map<Language, std::vector<std::string>> want = {
      {Language::English,
       {"The source stopped answering (a sector that read before no longer reads): the scan "
        "ended early. Files rescued before that are kept.",
        "2 files could not be saved (No space left on device).",
        "Unreadable sectors: 18 in 12 runs: " + runs + " and 2 more runs.",
        "Sectors passed over after read failures and never read: 3 (7-9)."}},
      {Language::SimplifiedChinese,
       {"源设备已停止响应（此前能读取的扇区现在无法读取）：扫描提前结束。此前恢复的文件均已保留。",
        "2 个文件无法保存（No space left on device）。",
        "无法读取的扇区：18 个，共 12 段：" + runs + "，另有 2 段。",
        "读取失败后跳过、未再读取的扇区：3 个（7-9）。"}},
      {Language::TraditionalChinese,
       {"來源裝置已停止回應（先前能讀取的磁區現在無法讀取）："
        "掃描提前結束。此前恢復的檔案均已保留。",
        "2 個檔案無法儲存（No space left on device）。",
        "無法讀取的磁區：18 個，共 12 段：" + runs + "，另有 2 段。",
        "讀取失敗後跳過、未再讀取的磁區：3 個（7-9）。"}}};
  for (const auto& [language, lines] : want) {
    s->Texts = &TextsFor(language);
    RescueEndNotes notes = EndNotes(*s, out);
    EXPECT_TRUE(notes.Failed);
    EXPECT_EQ(notes.Lines, lines);
  }
  out.Unsaved = 1;
  s->Texts = &TextsFor(Language::English);
  EXPECT_EQ(EndNotes(*s, out).Lines[1], "1 file could not be saved (No space left on device).");
}

TEST(FailingDisk, AFailedSaveIsNotRescuedAndLeavesNoFile) {
  Laid l = Lay(2000, {100});
  {
    // A folder that cannot be written to.
    Rescue r(l.image, {});
    test::ReadOnlyFolder readOnly(r.out.Path());
    if (readOnly.Unavailable().empty()) {
      r.ui.Answers = {Answer::Ignore};
      ScanOutcome out = r.Run();
      EXPECT_EQ(out.Rescued, 0u);
      EXPECT_EQ(out.Unsaved, 1u);
      EXPECT_EQ(out.EndText, "Rescued file 0");
      EXPECT_EQ(out.SaveError, readOnly.Reason());
      RescueEndNotes notes = EndNotes(*r.s, out);
      EXPECT_TRUE(notes.Failed);
      ASSERT_EQ(notes.Lines.size(), 1u);
      EXPECT_EQ(notes.Lines[0], "1 file could not be saved (" + readOnly.Reason() + ").");
    }
  }
  {
    // A disk that fills up in the middle of the file (a file size limit
    // does the same to the writes): nothing under either name is left.
    Rescue r(l.image, {});
    r.ui.Answers = {Answer::Abort};
    struct rlimit old {};
    ::getrlimit(RLIMIT_FSIZE, &old);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 20000;
    ::setrlimit(RLIMIT_FSIZE, &small);
    ScanOutcome out = r.Run();
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(out.Rescued, 0u);
    EXPECT_EQ(out.Unsaved, 1u);
    EXPECT_EQ(out.SaveError, std::strerror(EFBIG));
    EXPECT_EQ(r.s->Flags.RunState.load(), kStop);
    EXPECT_TRUE(fs::is_empty(r.out.Path()));
    ASSERT_EQ(r.ui.Questions.size(), 1u);
  }
}

}  // namespace
}  // namespace tarnwick
