#include "scan/backup.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "scan/session.h"
#include "source/device.h"
#include "scan/session_source.h"
#include "support/read_only_folder.h"
#include "support/recording_frontend.h"
#include "support/sessions.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using test::RandomBytes;
using test::RecordingFrontend;
using test::ShellQuote;

std::vector<uint8_t> Slice(const std::vector<uint8_t>& v, uint64_t firstSector,
                           uint64_t lastSector) {
  return {v.begin() + static_cast<std::ptrdiff_t>(firstSector * 512),
          v.begin() + static_cast<std::ptrdiff_t>((lastSector + 1) * 512)};
}

class BackupTest : public ::testing::Test {
 protected:
  // An in-memory Source of random bytes (no file system) with the given
  // cluster size in sectors.
  void OpenMemory(std::vector<uint8_t> bytes, uint32_t spc = 1, std::set<uint64_t> bad = {}) {
    bytes_ = bytes;
    std::unique_ptr<SourceDevice> dev = std::make_unique<MemoryDevice>(std::move(bytes));
    if (!bad.empty()) dev = std::make_unique<FaultyDevice>(std::move(dev), std::move(bad));
    ASSERT_TRUE(OpenImageDevice(*s_, std::move(dev), "memory.img").Opened);
    s_->Scan.SectorsPerCluster = spc;
    s_->SetFrontend(&ui_);
  }
  BackupOutcome Backup(const std::string& first, const std::string& last, bool freeOnly = false) {
    BackupRequest r;
    r.FirstText = first;
    r.LastText = last;
    r.ImagePath = image_.string();
    r.FreeOnly = freeOnly;
    return BackupToImage(*s_, r);
  }
  std::vector<std::string> QuestionTexts() const {
    std::vector<std::string> out;
    for (const auto& q : ui_.Questions) out.push_back(q.Text + " | " + q.Caption);
    return out;
  }

  std::unique_ptr<Session> s_ = test::EnglishSession();
  RecordingFrontend ui_;
  std::vector<uint8_t> bytes_;
  test::TempDir dir_{"backup"};
  fs::path image_ = dir_ / "out.img";
};

TEST_F(BackupTest, WholeFatImageIsCopiedByteForByte) {
  if (!test::HaveTool("mkfs.vfat") || !test::HaveTool("cmp"))
    GTEST_SKIP() << "mkfs.vfat or cmp missing";
  fs::path src = dir_ / "fat.img";
  ASSERT_EQ(test::Run("truncate -s 24M " + ShellQuote(src.string()) + " && mkfs.vfat -F 16 -s 8 " +
                      ShellQuote(src.string()))
                .Status,
            0);
  ASSERT_TRUE(OpenImage(*s_, src.string()).Opened);
  s_->SetFrontend(&ui_);
  EXPECT_EQ(s_->Scan.SectorsPerCluster, 8u);
  auto out = Backup("0", std::to_string(s_->Scan.LastSector));
  EXPECT_EQ(out.End, BackupEnd::Finished);
  EXPECT_EQ(out.SectorsWritten, s_->Scan.LastSector + 1);
  EXPECT_EQ(test::Run("cmp " + ShellQuote(src.string()) + " " + ShellQuote(image_.string())).Status,
            0);
  EXPECT_EQ(QuestionTexts(), std::vector<std::string>{"Finished! | Prompt"});
  EXPECT_EQ(ui_.Events,
            (std::vector<std::string>{"main hidden", "show search", "close search", "main shown"}));
  EXPECT_EQ(ui_.Captions[Dialog::Search], "Backup to IMG");
  EXPECT_EQ(ui_.Label(Dialog::Search, 4), "Source:" + s_->Source.Name);
  EXPECT_EQ((ui_.ButtonTexts[{Dialog::Search, 0}]), "Cancel");
  EXPECT_TRUE(s_->Flags.SearchCancel);
  EXPECT_FALSE(s_->Map.Allocated());
}

TEST_F(BackupTest, RangesEndingInsideAClusterStepAndLargeClusters) {
  auto bytes = RandomBytes(5000 * 512, 7);
  struct Case {
    uint32_t spc;
    uint64_t first, last;
  } cases[] = {{8, 3, 3},       {8, 5, 2052},    {8, 0, 4999},
               {256, 17, 4321}, {4096, 1, 4999}, {1, 4999, 4999}};
  for (const Case& c : cases) {
    SCOPED_TRACE("spc " + std::to_string(c.spc) + " range " + std::to_string(c.first) + "-" +
                 std::to_string(c.last));
    OpenMemory(bytes, c.spc);
    auto out = Backup(std::to_string(c.first), std::to_string(c.last));
    EXPECT_EQ(out.End, BackupEnd::Finished);
    EXPECT_EQ(out.SectorsWritten, c.last - c.first + 1);
    EXPECT_TRUE(test::ReadFileBytes(image_) == Slice(bytes, c.first, c.last));
  }
}

TEST_F(BackupTest, BadSectorsAreReadAgainOneByOneAndOnlyTheyAreZeroed) {
  auto bytes = RandomBytes(3000 * 512, 3);
  OpenMemory(bytes, 8, {5, 300, 301, 2999});
  auto out = Backup("0", "2999");
  EXPECT_EQ(out.End, BackupEnd::FinishedBadSectors);
  EXPECT_EQ(out.BadSectors, 4u);
  EXPECT_EQ(QuestionTexts(),
            std::vector<std::string>{"Finished! There're some bad sectors. | Prompt"});
  auto image = test::ReadFileBytes(image_);
  ASSERT_EQ(image.size(), bytes.size());
  for (uint64_t sector : {5, 300, 301, 2999}) {
    for (size_t k = 0; k < 512; ++k) bytes[sector * 512 + k] = 0;
  }
  EXPECT_TRUE(image == bytes);
}

TEST_F(BackupTest, InvalidRangesAreRefusedBeforeAnything) {
  OpenMemory(RandomBytes(100 * 512, 1));
  for (auto [first, last] : std::vector<std::pair<std::string, std::string>>{
           {"-1", "5"}, {"6", "5"}, {"0", "100"}, {"abc", "5"}, {"0", ""}}) {
    ui_.Questions.clear();
    EXPECT_EQ(CheckBackupRange(*s_, first, last), 35);
    auto out = Backup(first, last);
    EXPECT_EQ(out.End, BackupEnd::Refused);
    EXPECT_EQ(QuestionTexts(), (std::vector<std::string>{"Invalid sector range! | Error",
                                                         "Invalid sector range! | Error"}));
  }
  EXPECT_EQ(CheckBackupRange(*s_, "0", "99"), 0);
  EXPECT_FALSE(fs::exists(image_));
  EXPECT_TRUE(ui_.Events.empty());
}

TEST_F(BackupTest, CancelAsksWhetherToDeleteTheImage) {
  for (Answer answer : {Answer::Yes, Answer::No}) {
    OpenMemory(RandomBytes(2000 * 512, 2));
    ui_.Questions.clear();
    ui_.OnPump = [this] { s_->Flags.SearchCancel = true; };  // Cancel pressed at once
    ui_.Answers = {answer};
    auto out = Backup("0", "1999");
    EXPECT_EQ(QuestionTexts(),
              std::vector<std::string>{"Didn't finish, delete target file? | Prompt"});
    ASSERT_EQ(ui_.Questions.size(), 1u);
    EXPECT_EQ(ui_.Questions[0].Kind, Buttons::YesNo);
    EXPECT_LT(out.SectorsWritten, 2000u);
    if (answer == Answer::Yes) {
      EXPECT_EQ(out.End, BackupEnd::CancelledDeleted);
      EXPECT_FALSE(fs::exists(image_));
    } else {
      EXPECT_EQ(out.End, BackupEnd::CancelledKept);
      EXPECT_TRUE(fs::exists(image_));
    }
    EXPECT_TRUE(s_->Flags.SearchCancel);
    ui_.OnPump = nullptr;
  }
}

TEST_F(BackupTest, AFullTargetSaysNoSpaceAndAFailedCreateNamesTheRealReason) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  OpenMemory(RandomBytes(64 * 512, 4));
  image_ = "/dev/full";
  auto out = Backup("0", "63");
  EXPECT_EQ(out.End, BackupEnd::WriteFailed);
  EXPECT_EQ(QuestionTexts(),
            std::vector<std::string>{"No enough free space on dest drive! | Error"});
  EXPECT_EQ(ui_.Events.back(), "main shown");

  ui_.Questions.clear();
  image_ = dir_ / "no-such-folder" / "x.img";
  out = Backup("0", "63");
  EXPECT_EQ(out.End, BackupEnd::WriteFailed);
  EXPECT_EQ(out.SystemReason, std::strerror(ENOENT));
  EXPECT_EQ(QuestionTexts(),
            std::vector<std::string>{"Failed save file: \r\n\r\n" + image_.string() + "\r\n\r\n" +
                                     std::strerror(ENOENT) + " | Error"});

  // A folder that cannot be written to is not a full disk either.
  test::ReadOnlyFolder locked(dir_ / "locked");
  if (locked.Unavailable().empty()) {
    ui_.Questions.clear();
    image_ = dir_ / "locked" / "x.img";
    out = Backup("0", "63");
    EXPECT_EQ(out.SystemReason, locked.Reason());
    EXPECT_EQ(out.MessageSlot, 28);
  }
}

TEST_F(BackupTest, UnreadableSectorsAreZerosAndCountedOnceAndADeadSourceStopsTheCopy) {
  auto bytes = RandomBytes(1024 * 512, 8);
  OpenMemory(bytes, 1, {100, 101, 102, 700});
  auto out = Backup("0", "1023");
  EXPECT_EQ(out.End, BackupEnd::FinishedBadSectors);
  EXPECT_EQ(out.BadSectors, 4u);
  auto image = test::ReadFileBytes(image_);
  ASSERT_EQ(image.size(), bytes.size());
  for (uint64_t n : {100, 101, 102, 700}) {
    EXPECT_TRUE(std::all_of(image.begin() + n * 512, image.begin() + (n + 1) * 512,
                            [](uint8_t b) { return b == 0; }));
    std::fill(bytes.begin() + n * 512, bytes.begin() + (n + 1) * 512, uint8_t{0});
  }
  EXPECT_EQ(image, bytes);

  // A device that dies after a few reads: the copy ends, saying so.
  auto inner = std::make_unique<MemoryDevice>(RandomBytes(4096 * 512, 9));
  auto dying = std::make_unique<FaultyDevice>(std::move(inner), std::set<uint64_t>{});
  dying->DieAtRead(5, true);
  ASSERT_TRUE(OpenImageDevice(*s_, std::move(dying), "dying.img").Opened);
  s_->Scan.SectorsPerCluster = 1;
  out = Backup("0", "4095");
  EXPECT_EQ(out.End, BackupEnd::SourceLost);
  EXPECT_TRUE(out.SourceLost);
  EXPECT_FALSE(out.SystemReason.empty());
  EXPECT_LT(out.SectorsWritten, 4096u);
}

TEST_F(BackupTest, TheImageSourceItselfIsNeverATarget) {
  fs::path src = dir_ / "source.img";
  test::WriteFileBytes(src, RandomBytes(64 * 512, 5));
  const std::string before = test::Sha256OfFile(src);
  fs::create_hard_link(src, dir_ / "link.img");
  ASSERT_TRUE(OpenImage(*s_, src.string()).Opened);
  s_->SetFrontend(&ui_);
  for (fs::path target : {src, dir_ / "link.img", dir_ / "." / "source.img"}) {
    image_ = target;
    ui_.Questions.clear();
    EXPECT_EQ(Backup("0", "63").End, BackupEnd::Refused);
    EXPECT_EQ(QuestionTexts(),
              std::vector<std::string>{"Can't save IMG file on source drive! | Error"});
  }
  EXPECT_EQ(test::Sha256OfFile(src), before);
  image_ = dir_ / "other.img";
  EXPECT_EQ(Backup("0", "63").End, BackupEnd::Finished);
}

TEST_F(BackupTest, FreeSpaceOptionWithoutAMapCopiesEverySector) {
  auto bytes = RandomBytes(256 * 512, 6);
  OpenMemory(bytes, 4);
  auto out = Backup("0", "255", true);
  EXPECT_TRUE(out.UntickFreeOnly);
  EXPECT_TRUE(out.DisableFreeOnly);
  EXPECT_FALSE(out.FreeOnlyApplied);
  EXPECT_EQ(out.End, BackupEnd::Finished);
  EXPECT_TRUE(test::ReadFileBytes(image_) == bytes);
  EXPECT_NE(
      std::find(ui_.CaptionHistory.begin(), ui_.CaptionHistory.end(), "Collecting free sectors"),
      ui_.CaptionHistory.end());
}

TEST_F(BackupTest, NothingHappensWithoutASource) {
  s_->SetFrontend(&ui_);
  EXPECT_EQ(Backup("0", "1").End, BackupEnd::NotRun);
  EXPECT_TRUE(ui_.Questions.empty());
  EXPECT_TRUE(ui_.Events.empty());
}

}  // namespace
}  // namespace tarnwick
