#include "source/file_io.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

std::span<const uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string Contents(const fs::path& p) {
  std::string bytes, reason;
  EXPECT_TRUE(ReadFileBytes(p.string(), bytes, reason)) << reason;
  return bytes;
}

TEST(FileIo, WritesReplacesAndRefusesAsAsked) {
  test::TempDir dir("file-io");
  const std::string path = (dir / "report.json").string();

  ASSERT_TRUE(WriteWholeFile(path, Bytes("a longer first text")).Ok);
  EXPECT_EQ(TypeOfPath(path), PathType::Regular);
  EXPECT_EQ(TypeOfPath(dir.Path().string()), PathType::Directory);
  EXPECT_EQ(TypeOfPath((dir / "none").string()), PathType::None);

  // Truncate leaves nothing of the longer old contents.
  ASSERT_TRUE(WriteWholeFile(path, Bytes("short")).Ok);
  EXPECT_EQ(Contents(path), "short");

  // An exclusive create never touches what is there, and says why.
  const WriteResult refused = WriteWholeFile(path, Bytes("other"), OutputFile::Mode::Exclusive);
  EXPECT_FALSE(refused.Ok);
  EXPECT_TRUE(refused.Exists);
  EXPECT_FALSE(refused.Reason.empty());
  EXPECT_EQ(Contents(path), "short");

  // Moving a whole new file into place replaces the old one in one step.
  const std::string fresh = (dir / "report.json.new").string();
  ASSERT_TRUE(WriteWholeFile(fresh, Bytes("new contents"), OutputFile::Mode::Exclusive).Ok);
  ASSERT_TRUE(MoveIntoPlace(fresh, path).Ok);
  EXPECT_EQ(Contents(path), "new contents");
  EXPECT_EQ(TypeOfPath(fresh), PathType::None);

  EXPECT_TRUE(RemoveFile(path));
  EXPECT_FALSE(RemoveFile(path));
}

TEST(FileIo, FailuresCarryTheSystemsReason) {
  test::TempDir dir("file-io-fail");
  const std::string inMissingFolder = (dir / "no-such-folder" / "x.img").string();
  OutputFile file;
  EXPECT_FALSE(file.Open(inMissingFolder));
  EXPECT_FALSE(file.Write(Bytes("never written")));
  const WriteResult r = file.Finish();
  EXPECT_FALSE(r.Ok);
  EXPECT_FALSE(r.NoSpace);
  EXPECT_FALSE(r.Reason.empty());

  std::string bytes, reason;
  EXPECT_FALSE(ReadFileBytes(inMissingFolder, bytes, reason));
  EXPECT_FALSE(reason.empty());

  EXPECT_FALSE(MoveIntoPlace(inMissingFolder, (dir / "y").string()).Ok);
}

TEST(FileIo, FoldersAndTimes) {
  test::TempDir dir("file-io-folder");
  const std::string folder = (dir / "damaged").string();
  EXPECT_TRUE(MakeFolder(folder));
  EXPECT_TRUE(MakeFolder(folder));  // already there
  EXPECT_EQ(TypeOfPath(folder), PathType::Directory);
  EXPECT_FALSE(MakeFolder((dir / "a" / "b").string()));  // no parent

  // A rescued picture keeps the date its camera wrote.
  const std::string picture = (dir / "FILE_AAAAAAAA.JPG").string();
  ASSERT_TRUE(WriteWholeFile(picture, Bytes("\xff\xd8\xff\xd9")).Ok);
  const int64_t taken = 1262347200;  // 2010-01-01 12:00:00 UTC
  SetModifiedTime(picture, taken);
  const auto written = fs::last_write_time(picture);
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
      std::chrono::file_clock::to_sys(written).time_since_epoch());
  EXPECT_EQ(seconds.count(), taken);
}

TEST(FileIo, LargeWritesArriveWhole) {
  test::TempDir dir("file-io-large");
  const std::vector<uint8_t> bytes = test::RandomBytes(3 << 20, 7);
  OutputFile file;
  ASSERT_TRUE(file.Open((dir / "big.img").string()));
  for (size_t at = 0; at < bytes.size(); at += 1 << 20)
    ASSERT_TRUE(file.Write(std::span(bytes).subspan(at, 1 << 20)));
  ASSERT_TRUE(file.Finish().Ok);
  EXPECT_EQ(test::ReadFileBytes(dir / "big.img"), bytes);
}

}  // namespace
}  // namespace tarnwick
