// tarnwick-cli over sources that are not disks and folders that cannot take
// the rescued files: each ends at once, says why, and exits non-zero.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "support/read_only_folder.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using test::ShellQuote;

std::string Cli(const std::string& args) {
  return std::string("TARNWICK_LANG=en timeout 60 ") + TARNWICK_CLI + " " + args;
}

std::string LastLine(const std::string& text) {
  std::string t = text;
  while (!t.empty() && t.back() == '\n') t.pop_back();
  size_t at = t.rfind('\n');
  return at == std::string::npos ? t : t.substr(at + 1);
}

TEST(CliSources, PipesSocketsCharacterDevicesAndEmptyImagesAreRefusedWithTheReason) {
  test::TempDir dir("cli-sources");
  const fs::path fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Without the check this waits for a writer for ever (timeout says 124).
  auto r = test::Run(Cli("identify " + ShellQuote(fifo.string())));
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("is a pipe (FIFO), not a disk or an image file"), std::string::npos)
      << r.Err;
  r = test::Run(Cli("rescue /dev/null --out " + ShellQuote(dir.Path().string())));
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("is a character device"), std::string::npos) << r.Err;

  test::WriteFileBytes(dir / "empty.img", {});
  r = test::Run(Cli("rescue " + ShellQuote((dir / "empty.img").string()) + " --out " +
                    ShellQuote(dir.Path().string())));
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("the source is empty (0 bytes)"), std::string::npos) << r.Err;
  test::WriteFileBytes(dir / "small.img", std::vector<uint8_t>(300, 7));
  r = test::Run(Cli("backup " + ShellQuote((dir / "small.img").string()) + " " +
                    ShellQuote((dir / "copy.img").string())));
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("only 300 bytes, less than one 512-byte sector"), std::string::npos)
      << r.Err;
}

class CliSaving : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::HaveTool("gsf")) GTEST_SKIP() << "gsf is not installed";
    const fs::path db = dir_ / "db";
    fs::create_directories(db);
    test::WriteFileBytes(db / "Matrix.dat", test::RandomBytes(50000, 3));
    test::WriteFileBytes(db / "seqbase.dat", test::RandomBytes(4000, 4));
    ASSERT_EQ(
        test::Run("cd " + ShellQuote(db.string()) + " && gsf createole q.db Matrix.dat seqbase.dat")
            .Status,
        0);
    auto bytes = test::ReadFileBytes(db / "q.db");
    std::vector<uint8_t> image(2000 * 512, 0);
    std::copy(bytes.begin(), bytes.end(), image.begin() + 100 * 512);
    test::WriteFileBytes(image_, image);
    fs::create_directories(out_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(out_, fs::perms::owner_all, ec);
  }
  // The rescue with stdin not a terminal and, as a disk that fills up, a
  // limit of 20 KiB on the files it writes (the limit's signal ignored, so
  // that writes past it fail as on a full disk).
  test::CommandResult Rescue(const std::string& more, bool full = true) {
    const std::string limit = full ? "trap '' XFSZ; ulimit -f 20; " : "";
    return test::Run(limit + Cli("rescue " + ShellQuote(image_.string()) + " --out " +
                                 ShellQuote(out_.string()) + " " + more + " </dev/null"));
  }

  test::TempDir dir_{"cli-saving"};
  fs::path image_ = dir_ / "q.img";
  fs::path out_ = dir_ / "readonly";
};

TEST_F(CliSaving, AFullOrReadOnlyFolderIsAFailureThatSaysWhyAndLeavesNoFile) {
  auto r = Rescue("");
  EXPECT_EQ(r.Status, 1);
  EXPECT_EQ(LastLine(r.Out), "Rescued file 0");
  EXPECT_NE(r.Err.find("1 file could not be saved (File too large)."), std::string::npos) << r.Err;
  EXPECT_TRUE(fs::is_empty(out_));
  {
    test::ReadOnlyFolder readOnly(out_);
    if (readOnly.Unavailable().empty()) {
      r = Rescue("", false);
      EXPECT_EQ(r.Status, 1);
      EXPECT_EQ(LastLine(r.Out), "Rescued file 0");
      EXPECT_NE(r.Err.find("1 file could not be saved (" + readOnly.Reason() + ")."),
                std::string::npos)
          << r.Err;
    }
  }
  // With room, the same rescue succeeds.
  r = Rescue("", false);
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(LastLine(r.Out), "Rescued file 1");
}

TEST_F(CliSaving, RetryWithoutATerminalGivesUpAfterABoundedNumberOfTries) {
  auto r = Rescue("--on-save-error retry");
  EXPECT_EQ(r.Status, 1) << r.Err;
  EXPECT_NE(r.Err.find("given up"), std::string::npos) << r.Err;
  size_t asks = 0;
  for (size_t at = r.Err.find("Failed save file"); at != std::string::npos;
       at = r.Err.find("Failed save file", at + 1))
    ++asks;
  EXPECT_EQ(asks, 6u) << "the first try and five retries";
  EXPECT_NE(r.Err.find("1 file could not be saved"), std::string::npos) << r.Err;
}

}  // namespace
}  // namespace tarnwick
