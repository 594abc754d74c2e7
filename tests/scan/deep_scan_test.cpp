#include "scan/deep_scan.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>

#include "source/bytes.h"
#include "support/opened_image.h"
#include "support/recording_frontend.h"
#include "support/sessions.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

constexpr uint8_t kOleSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

std::vector<uint8_t> Zeros(uint64_t sectors) { return std::vector<uint8_t>(sectors * 512, 0); }

void Put(std::vector<uint8_t>& img, uint64_t sector, std::span<const uint8_t> bytes) {
  std::copy(bytes.begin(), bytes.end(), img.begin() + static_cast<std::ptrdiff_t>(sector * 512));
}

// Opens the image bytes as a Source, with the rescue boxes as an open leaves them.
struct Opened : test::OpenedImage {
  using OpenedImage::OpenedImage;
  // The geometry a user states for a formatted volume.
  void Geometry(uint32_t spc, int32_t phase) {
    s->Detected.SectorsPerCluster = s->Scan.SectorsPerCluster = spc;
    s->Detected.ClusterPhase = s->Scan.ClusterPhase = phase;
    boxes.Cluster = 0;
    while ((512u << boxes.Cluster) < spc * 512u) ++boxes.Cluster;
  }
  std::vector<std::pair<uint64_t, uint8_t>> Entries() const {
    std::vector<std::pair<uint64_t, uint8_t>> v;
    for (uint64_t i = 0; i < s->Found.Count; ++i)
      v.emplace_back(s->Found.Sectors[i], s->Found.Types[i]);
    return v;
  }
};

std::vector<uint8_t> CompoundFile(const std::map<std::string, size_t>& streams) {
  test::TempDir dir("ole");
  std::string names;
  uint32_t seed = 7;
  for (const auto& [name, size] : streams) {
    std::mt19937 rng(seed++);
    std::vector<uint8_t> bytes(size);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    test::WriteFileBytes(dir / name, bytes);
    names += " " + name;
  }
  auto r = test::Run("cd " + test::ShellQuote(dir.Path().string()) + " && gsf createole out.ole" +
                     names);
  EXPECT_EQ(r.Status, 0) << r.Err;
  return test::ReadFileBytes(dir / "out.ole");
}

std::vector<uint8_t> JpegStart(uint8_t marker) { return {0xFF, 0xD8, 0xFF, marker, 0, 16}; }
const std::vector<uint8_t> kPngStart = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};

// A FAT directory sector of a freshly formatted medium: every entry deleted.
std::vector<uint8_t> DeletedDirectory() { return std::vector<uint8_t>(512, 0xE5); }

TEST(Alignment, TheBusiestResidueBecomesTheClusterPhase) {
  auto img = Zeros(64);
  Put(img, 5, JpegStart(0xE0));      // 1: weighs 1
  Put(img, 9, kPngStart);            // 9: weighs 1
  Put(img, 12, JpegStart(0xDB));     // 2: weighs 0.5
  Put(img, 17, DeletedDirectory());  // 100: weighs nothing
  Opened o(std::move(img));
  o.Geometry(4, -1);
  ScanRequest r = o.Request("");
  r.NeedFolder = false;
  ASSERT_EQ(SearchPhase(*o.s, o.boxes, r).ErrorSlot, 0);
  EXPECT_EQ(o.s->ScanClusterPhase, 1);
  EXPECT_EQ(o.Entries(), (std::vector<std::pair<uint64_t, uint8_t>>{{5, 1}, {9, 9}, {17, 100}}));
  EXPECT_EQ(o.ui.Captions[Dialog::Search], "Tidying up the list");
  EndSearchOnly(*o.s);
}

TEST(Alignment, ATieGoesToTheLowerResidue) {
  auto img = Zeros(64);
  Put(img, 7, kPngStart);   // residue 3
  Put(img, 10, kPngStart);  // residue 2
  Opened o(std::move(img));
  o.Geometry(4, -1);
  ScanRequest r = o.Request("");
  r.NeedFolder = false;
  ASSERT_EQ(SearchPhase(*o.s, o.boxes, r).ErrorSlot, 0);
  EXPECT_EQ(o.s->ScanClusterPhase, 2);
  EXPECT_EQ(o.Entries(), (std::vector<std::pair<uint64_t, uint8_t>>{{10, 9}}));
  EndSearchOnly(*o.s);
}

TEST(PhaseOne, StreamMiddlesAreNeverListed) {
  auto img = Zeros(16);
  // An MPEG-2 pack with clock reference 0 (29) and an MPEG-1 pack with 0 (31).
  Put(img, 2, std::vector<uint8_t>{0, 0, 1, 0xBA, 0x44, 0, 4, 0, 4, 1, 0, 0, 0xF8});
  Put(img, 4, std::vector<uint8_t>{0, 0, 1, 0xBA, 0x21, 0, 1, 0, 1, 0x80, 0, 1});
  Opened o(std::move(img));
  ScanRequest r = o.Request("");
  r.NeedFolder = false;
  ASSERT_EQ(SearchPhase(*o.s, o.boxes, r).ErrorSlot, 0);
  EXPECT_EQ(o.Entries(), (std::vector<std::pair<uint64_t, uint8_t>>{{4, 31}}));
  EndSearchOnly(*o.s);
}

TEST(PhaseTwo, MetadataClustersAreSteppedOverByTheDatabase) {
  // A directory cluster found inside a database's span is marked before the
  // database is carved, so the database is reassembled around it.
  test::TempDir out("meta");
  auto db = CompoundFile({{"Matrix.dat", 30000}, {"seqbase.dat", 5000}});
  const uint64_t n = db.size() / 512;
  auto img = Zeros(n + 64);
  Put(img, 8, std::span<const uint8_t>(db.data(), 16 * 512));  // sectors 8..23
  Put(img, 24, DeletedDirectory());                            // cluster 24..27
  Put(img, 28, std::span<const uint8_t>(db.data() + 16 * 512, db.size() - 16 * 512));
  Opened o(std::move(img));
  o.Geometry(4, 0);
  ScanOutcome r = DeepScan(*o.s, o.boxes, o.Request(out.Path().string()));
  ASSERT_EQ(r.Rescued, 1u);
  EXPECT_EQ(test::ReadFileBytes(out / "FILE_AAAAAAAI.DB"), db);
}

TEST(StartChecks, EachRefusalNamesItsTextAndChangesNothing) {
  test::TempDir out("checks");
  Opened o(Zeros(64));
  const std::string folder = out.Path().string();

  o.s->TypeMask = 0;
  EXPECT_EQ(DeepScan(*o.s, o.boxes, o.Request(folder)).ErrorSlot, 20);
  o.s->TypeMask = kTypeMaskQQ;

  ScanOutcome r = DeepScan(*o.s, o.boxes, o.Request(""));
  EXPECT_EQ(r.ErrorSlot, 21);
  EXPECT_TRUE(r.FocusFolder);
  EXPECT_EQ(DeepScan(*o.s, o.boxes, o.Request(folder + "/missing")).ErrorSlot, 21);

  EXPECT_EQ(DeepScan(*o.s, o.boxes, o.Request(folder, "abc", "100")).ErrorSlot, 23);
  EXPECT_EQ(DeepScan(*o.s, o.boxes, o.Request(folder, "10", "9")).ErrorSlot, 23);
  EXPECT_EQ(DeepScan(*o.s, o.boxes, o.Request(folder, "-1", "9")).ErrorSlot, 23);
  EXPECT_EQ(DeepScan(*o.s, o.boxes, o.Request(folder, "0", "64")).ErrorSlot, 23);

  EXPECT_FALSE(o.s->Map.Allocated());
  EXPECT_TRUE(o.ui.Events.empty()) << "no dialog was shown";
  EXPECT_FALSE(o.s->HiTimer1.Enabled());
}

TEST(StartChecks, TheLastSectorAloneIsAValidRange) {
  test::TempDir out("one");
  auto img = Zeros(64);
  Put(img, 63, kOleSignature);
  Opened o(std::move(img));
  ScanOutcome r = SearchPhase(*o.s, o.boxes, o.Request(out.Path().string(), "63", "63"));
  EXPECT_EQ(r.ErrorSlot, 0);
  EXPECT_EQ(o.Entries(), (std::vector<std::pair<uint64_t, uint8_t>>{{63, 5}}));
  EndSearchOnly(*o.s);
}

TEST(PhaseOne, OnlyStartsAtTheClusterPhaseAreKept) {
  auto img = Zeros(64);
  for (uint64_t sector : {3, 10, 18, 26, 27}) Put(img, sector, kOleSignature);
  Opened o(std::move(img));
  o.Geometry(8, 2);
  ScanRequest r = o.Request("");
  r.NeedFolder = false;
  ASSERT_EQ(SearchPhase(*o.s, o.boxes, r).ErrorSlot, 0);
  EXPECT_EQ(o.Entries(), (std::vector<std::pair<uint64_t, uint8_t>>{{10, 5}, {18, 5}, {26, 5}}));
  EXPECT_EQ(o.s->ScanClusterPhase, 2);
  EndSearchOnly(*o.s);
  EXPECT_EQ(o.s->Found.Count, 0u);
  EXPECT_FALSE(o.s->Map.Allocated());
}

TEST(PhaseOne, ProgressShowsSectorPercentAndFoundStarts) {
  auto img = Zeros(200);
  Put(img, 50, kOleSignature);
  Opened o(std::move(img));
  ScanRequest r = o.Request("");
  r.NeedFolder = false;
  ASSERT_EQ(SearchPhase(*o.s, o.boxes, r).ErrorSlot, 0);
  EXPECT_EQ(o.ui.Captions[Dialog::Search], "Searching file");
  EXPECT_EQ(o.ui.Label(Dialog::Search, 4), "Source:/m/d.img");
  EXPECT_EQ(o.ui.Label(Dialog::Search, 1), "Sector: 199");
  EXPECT_EQ(o.ui.Label(Dialog::Search, 2), "Percent: 99.50%");
  EXPECT_EQ(o.ui.Label(Dialog::Search, 3), "Found: 1");
  EXPECT_EQ((o.ui.ButtonTexts[{Dialog::Search, 0}]), "Cancel");
  EndSearchOnly(*o.s);
}

TEST(PhaseOne, CancelEndsTheSearchAndTheRescueRunsOnWhatWasFound) {
  test::TempDir out("cancel");
  auto db = CompoundFile({{"Matrix.dat", 20000}, {"seqbase.dat", 5000}});
  const uint64_t n = db.size() / 512;
  auto img = Zeros(4000);
  Put(img, 10, db);
  Put(img, 3000, db);
  Opened o(std::move(img));
  // The user presses Cancel once the search has passed sector 2000.
  o.ui.OnPump = [&] {
    o.s->Flags.ElapsedMs += 200;
    if (o.ui.Label(Dialog::Search, 1) == "Sector: 2000") o.s->Flags.SearchCancel = true;
  };
  ScanOutcome r = DeepScan(*o.s, o.boxes, o.Request(out.Path().string()));
  EXPECT_EQ(r.Rescued, 1u);
  EXPECT_EQ(r.EndText, "Rescued file 1");
  EXPECT_TRUE(fs::exists(out / "FILE_AAAAAAAK.DB"));
  EXPECT_GT(n, 0u);
  // The end says where the search stopped and that the rest was not searched.
  EXPECT_EQ(r.Stop().Phase, StopPhase::Search);
  EXPECT_EQ(r.Stop().AtSector, 2001u);
  const RescueEndNotes notes = EndNotes(*o.s, r);
  EXPECT_EQ(notes.Lines, (std::vector<std::string>{
                             "The search was stopped at sector 2001 (50.02% searched): sectors "
                             "2001 to 3999 were not searched, and nothing on them was found."}));
  EXPECT_TRUE(notes.StoppedByUser && !notes.Failed);
}

TEST(PhaseTwo, StopEndsTheRescueAfterTheCurrentCarve) {
  test::TempDir out("stop");
  auto db = CompoundFile({{"Matrix.dat", 20000}, {"seqbase.dat", 5000}});
  auto img = Zeros(1000);
  for (uint64_t at : {10, 300, 600}) Put(img, at, db);
  Opened o(std::move(img));
  // Pause after the first file, then Stop while paused.
  int pausedPumps = 0;
  o.ui.OnPump = [&] {
    if (o.s->RescuedCount == 1 && o.s->Flags.RunState == kRunning && pausedPumps == 0)
      o.s->Flags.RunState = kPaused;
    if (o.s->Flags.RunState == kPaused && ++pausedPumps == 5) o.s->Flags.RunState = kStop;
  };
  ScanOutcome r = DeepScan(*o.s, o.boxes, o.Request(out.Path().string()));
  EXPECT_EQ(r.Rescued, 1u);
  EXPECT_EQ(r.EndText, "Rescued file 1");
  EXPECT_TRUE(fs::exists(out / "FILE_AAAAAAXC.DB"));  // 600: the list is walked backwards
  EXPECT_EQ(pausedPumps, 5);
  EXPECT_EQ(o.ui.Events, (std::vector<std::string>{"main hidden", "show search", "close search",
                                                   "show rescue", "close rescue", "main shown"}));
  EXPECT_TRUE(o.s->Flags.RescueDone);
  EXPECT_FALSE(o.s->Map.Allocated());
  // One of the three carved; the next to carve was the one at 300.
  EXPECT_EQ(r.SearchStop.Phase, StopPhase::None);
  EXPECT_EQ(&r.Stop(), &r.RescueStop);
  const RescueEndNotes notes = EndNotes(*o.s, r);
  EXPECT_EQ(notes.Lines, (std::vector<std::string>{
                             "The rescue was stopped after 1 of the 3 file starts found; the "
                             "rest, from sector 300 on, were not carved."}));
  EXPECT_TRUE(notes.StoppedByUser);
}

TEST(PhaseTwo, AStopNamesTheNextStartOfEitherPassAndNoneWhenNothingIsLeft) {
  auto db = CompoundFile({{"Matrix.dat", 20000}, {"seqbase.dat", 5000}});
  for (bool jpegLeft : {false, true}) {
    test::TempDir out("stop-late");
    auto img = Zeros(400);
    Put(img, 10, db);
    if (jpegLeft) Put(img, 200, JpegStart(0xDB));  // TypeCode 2: the second pass's
    Opened o(std::move(img));
    o.ui.OnPump = [&] {
      if (o.s->RescuedCount == 1) o.s->Flags.RunState = kStop;
    };
    ScanOutcome r = DeepScan(*o.s, o.boxes, o.Request(out.Path().string()));
    EXPECT_EQ(r.Rescued, 1u);
    EXPECT_EQ(r.RescueStop.Phase, jpegLeft ? StopPhase::Rescue : StopPhase::None);
    EXPECT_EQ(EndNotes(*o.s, r).StoppedByUser, jpegLeft);
    EXPECT_EQ(r.RescueStop.AtSector, jpegLeft ? 200u : 0u);
  }
}

TEST(PhaseTwo, AbortInTheSaveBoxIsAFailureNotTheUsersStop) {
  test::TempDir out("abort");
  auto db = CompoundFile({{"Matrix.dat", 20000}, {"seqbase.dat", 5000}});
  auto img = Zeros(1000);
  for (uint64_t at : {10, 600}) Put(img, at, db);
  Opened o(std::move(img));
  const fs::path folder = out / "target";
  fs::create_directory(folder);
  o.ui.OnPump = [&] {  // the folder goes once the search is done: the first save fails
    if (o.s->Flags.SearchCancel) fs::remove_all(folder);
  };
  o.ui.Answers = {Answer::Abort};
  ScanOutcome r = DeepScan(*o.s, o.boxes, o.Request(folder.string()));
  EXPECT_EQ(r.Unsaved, 1u);
  EXPECT_EQ(r.RescueStop.AtSector, 10u);
  EXPECT_FALSE(r.RescueStop.ByUser);
  const RescueEndNotes notes = EndNotes(*o.s, r);
  EXPECT_TRUE(notes.Failed && !notes.StoppedByUser);
  EXPECT_EQ(notes.Lines.size(), 2u);  // the stop and the file not saved
}

TEST(PhaseTwo, ARepeatedRescueNamesTheWholeAndTheDamagedCopiesAlreadyThere) {
  test::TempDir out("repeat");
  auto db = CompoundFile({{"Matrix.dat", 20000}, {"seqbase.dat", 5000}});
  auto img = Zeros(1000);
  Put(img, 100, db);
  Put(img, 600, db);
  for (uint32_t round = 0; round < 2; ++round) {
    // Sector 110 of the first copy cannot be read: that one is damaged.
    Opened o(img);
    OpenImageDevice(*o.s,
                    std::make_unique<FaultyDevice>(std::make_unique<MemoryDevice>(img),
                                                   std::set<uint64_t>{110}),
                    "/m/bad.img");
    ScanOutcome r = DeepScan(*o.s, o.boxes, o.Request(out.Path().string()));
    EXPECT_EQ(r.Rescued + r.Damaged, 2u);
    EXPECT_EQ(r.AlreadyThere, 2 * round);
    const auto lines = EndNotes(*o.s, r).Lines;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Already in the folder, not written again: 2"),
              round);
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(out / "damaged"), {}), 1);
  EXPECT_EQ(std::distance(fs::directory_iterator(out.Path()), {}), 2);  // the file and damaged/
}

TEST(PhaseTwo, DialogTextsFollowTheCarves) {
  test::TempDir out("texts");
  auto db = CompoundFile({{"Matrix.dat", 20000}, {"seqbase.dat", 5000}});
  auto img = Zeros(400);
  Put(img, 100, db);
  Opened o(std::move(img));
  ScanOutcome r = DeepScan(*o.s, o.boxes, o.Request(out.Path().string()));
  EXPECT_EQ(r.Rescued, 1u);
  EXPECT_EQ(o.ui.Captions[Dialog::Rescue], "Rescuing file");
  EXPECT_EQ(o.ui.Label(Dialog::Rescue, 4), "Source:/m/d.img");
  EXPECT_EQ(o.ui.Label(Dialog::Rescue, 1), "Success: 1");
  EXPECT_EQ(o.ui.Label(Dialog::Rescue, 2), "Progress: 0%");
  EXPECT_EQ(o.ui.Label(Dialog::Rescue, 3), "Sector: 100");
  EXPECT_EQ((o.ui.ButtonTexts[{Dialog::Rescue, 1}]), "Pause");
  EXPECT_EQ((o.ui.ButtonTexts[{Dialog::Rescue, 0}]), "Stop");
}

TEST(PhaseTwo, FilesThatStartLaterAreCarvedFirstAndClaimTheirSectors) {
  // A second compound file begins inside the first one's span: being later in
  // the list it is carved first, and the first is reassembled around it.
  test::TempDir out("nested");
  auto outer = CompoundFile({{"Matrix.dat", 60000}, {"seqbase.dat", 5000}});
  auto inner = CompoundFile({{"WordDocument", 9000}});
  const uint64_t n = outer.size() / 512, m = inner.size() / 512;
  auto img = Zeros(n + m + 40);
  // outer: sectors 10..29, then inner's sectors, then the rest of outer.
  std::span<const uint8_t> o1(outer.data(), 20 * 512),
      o2(outer.data() + 20 * 512, outer.size() - 20 * 512);
  Put(img, 10, o1);
  Put(img, 30, inner);
  Put(img, 30 + m, o2);
  Opened o(std::move(img));
  ScanOutcome r = DeepScan(*o.s, o.boxes, o.Request(out.Path().string()));
  ASSERT_EQ(r.Rescued, 1u);
  EXPECT_EQ(test::ReadFileBytes(out / "FILE_AAAAAAAK.DB"), outer);
}

}  // namespace
}  // namespace tarnwick
