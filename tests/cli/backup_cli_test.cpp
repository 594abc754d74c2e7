// tarnwick-cli backup and drives as scripts call them.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "support/test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using test::ShellQuote;

std::string Cli(const std::string& args) {
  return std::string("TARNWICK_LANG=en ") + TARNWICK_CLI + " " + args;
}

TEST(BackupCommand, CopiesTheRangeSectorForSector) {
  if (!test::HaveTool("mkfs.vfat")) GTEST_SKIP() << "needs mkfs.vfat";
  test::TempDir tmp("backup-cli");
  fs::path img = tmp / "disk.img", copy = tmp / "copy.img", part = tmp / "part.img";
  ASSERT_EQ(test::Run("truncate -s 16M " + ShellQuote(img.string()) + " && mkfs.vfat -F 16 " +
                      ShellQuote(img.string()))
                .Status,
            0);
  auto whole =
      test::Run(Cli("backup " + ShellQuote(img.string()) + " " + ShellQuote(copy.string())));
  ASSERT_EQ(whole.Status, 0) << whole.Err;
  EXPECT_EQ(whole.Out.substr(whole.Out.rfind('\n', whole.Out.size() - 2) + 1), "Finished!\n");
  EXPECT_EQ(test::Run("cmp " + ShellQuote(img.string()) + " " + ShellQuote(copy.string())).Status,
            0);

  auto range = test::Run(Cli("backup " + ShellQuote(img.string()) + " " +
                             ShellQuote(part.string()) + " --range 5-100"));
  ASSERT_EQ(range.Status, 0) << range.Err;
  EXPECT_EQ(fs::file_size(part), 96u * 512);
  EXPECT_EQ(test::Run("cmp -n " + std::to_string(96 * 512) + " -i " + std::to_string(5 * 512) +
                      ":0 " + ShellQuote(img.string()) + " " + ShellQuote(part.string()))
                .Status,
            0);
}

TEST(BackupCommand, NeverWritesOntoTheSourceAndRefusesBadRanges) {
  test::TempDir tmp("backup-refuse");
  fs::path img = tmp / "disk.img";
  std::vector<uint8_t> bytes(64 * 512, 0x42);
  test::WriteFileBytes(img, bytes);
  const std::string before = test::Sha256OfFile(img);
  auto self = test::Run(Cli("backup " + ShellQuote(img.string()) + " " + ShellQuote(img.string())));
  EXPECT_EQ(self.Status, 1);
  EXPECT_NE(self.Err.find("Can't save IMG file on source drive!"), std::string::npos) << self.Err;
  EXPECT_EQ(test::Sha256OfFile(img), before);
  auto bad = test::Run(Cli("backup " + ShellQuote(img.string()) + " " +
                           ShellQuote((tmp / "x.img").string()) + " --range 10-64"));
  EXPECT_EQ(bad.Status, 1);
  EXPECT_NE(bad.Err.find("Invalid sector range!"), std::string::npos) << bad.Err;
  EXPECT_EQ(test::Run(Cli("backup " + ShellQuote(img.string()))).Status, 2);
}

TEST(DrivesCommand, ListsItemsWithTheirDevices) {
  auto r = test::Run(Cli("drives --json") +
                     " | /usr/bin/python3 -c 'import json,sys; d=json.load(sys.stdin); "
                     "print(all(i[\"device\"].startswith(\"/dev/\") and i[\"text\"] for i in d))'");
  EXPECT_EQ(r.Out, "True\n") << r.Err;
  EXPECT_EQ(test::Run(Cli("drives --frob")).Status, 2);
}

}  // namespace
}  // namespace tarnwick
