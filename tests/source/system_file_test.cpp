#include "source/system_file.h"

#include <gtest/gtest.h>

#include <algorithm>
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
  const std::vector<uint8_t> bytes = test::ReadFileBytes(p);
  return {bytes.begin(), bytes.end()};
}

bool MakeFile(const std::string& path, const std::string& text) {
  SystemFile file;
  int error = 0;
  return file.CreateNew(path, error) && file.WriteAll(Bytes(text), error) && file.Flush(error) &&
         file.Close(error);
}

TEST(SystemFile, NamesAreTakenOnlyWhereNothingIs) {
  test::TempDir dir("system-file");
  const std::string a = (dir / "a").string(), b = (dir / "b").string(), c = (dir / "c").string();
  ASSERT_TRUE(MakeFile(a, "first"));
  ASSERT_TRUE(MakeFile(b, "second"));

  // A new file never opens over an old one.
  SystemFile again;
  int error = 0;
  EXPECT_FALSE(again.CreateNew(a, error));
  EXPECT_TRUE(IsNameTaken(error)) << SystemErrorText(error);
  EXPECT_FALSE(SystemErrorText(error).empty());

  // Nor does a move or a second name: both files stay as they were.
  error = RenameWithoutReplacing(a, b);
  EXPECT_TRUE(IsNameTaken(error)) << SystemErrorText(error);
  error = LinkName(a, b);
  EXPECT_TRUE(IsNameTaken(error) || IsUnsupported(error)) << SystemErrorText(error);
  EXPECT_EQ(Contents(a), "first");
  EXPECT_EQ(Contents(b), "second");

  EXPECT_EQ(RenameWithoutReplacing(a, c), 0);
  EXPECT_EQ(Contents(c), "first");
  EXPECT_FALSE(fs::exists(a));
  // Replacing is asked for by name.
  EXPECT_EQ(RenameReplacing(c, b), 0);
  EXPECT_EQ(Contents(b), "first");
  EXPECT_EQ(RemoveName(b), 0);
  EXPECT_NE(RemoveName(b), 0);
}

TEST(SystemFile, LookingAtAPathTellsMissingFromUnreadable) {
  test::TempDir dir("look-at");
  const std::string file = (dir / "f.bin").string();
  ASSERT_TRUE(MakeFile(file, "12345"));
  PathType type = PathType::Other;
  uint64_t size = 0;
  int error = 0;
  ASSERT_TRUE(LookAtPath(file, false, type, size, error));
  EXPECT_EQ(type, PathType::Regular);
  EXPECT_EQ(size, 5u);
  ASSERT_TRUE(LookAtPath(dir.Path().string(), true, type, size, error));
  EXPECT_EQ(type, PathType::Directory);
  // Nothing there, and nothing of a folder that is not there, is no failure.
  for (const fs::path& missing : {dir / "none", dir / "no-folder" / "none"}) {
    ASSERT_TRUE(LookAtPath(missing.string(), false, type, size, error)) << missing;
    EXPECT_EQ(type, PathType::None);
    EXPECT_TRUE(IsNotFound(error)) << SystemErrorText(error);
  }
}

// An unnamed file is named where it lies, without a copy; a name taken is
// left alone and said so. Where the system cannot name it, it says nothing
// (the caller copies).
TEST(SystemFile, AnUnnamedFileIsGivenANameOrSaysWhyNot) {
  test::TempDir dir("named");
  SystemFile file;
  int error = 0;
  ASSERT_TRUE(file.CreateUnnamedIn(dir.Path().string(), error)) << SystemErrorText(error);
  const std::vector<uint8_t> bytes = test::RandomBytes(200000, 9);
  ASSERT_TRUE(file.WriteAllAt(0, bytes, error));
  const std::string taken = (dir / "taken").string();
  test::WriteFileBytes(taken, std::vector<uint8_t>({'m', 'i', 'n', 'e'}));
  EXPECT_FALSE(file.GiveName(taken, error));
  EXPECT_EQ(test::ReadFileBytes(taken), std::vector<uint8_t>({'m', 'i', 'n', 'e'}));
  const std::string name = (dir / "given").string();
  if (!file.GiveName(name, error)) {
    EXPECT_EQ(error, 0) << SystemErrorText(error);  // not this system: copied instead
    GTEST_SKIP() << "unnamed files cannot be named here";
  }
  EXPECT_EQ(test::ReadFileBytes(name), bytes);
  ASSERT_TRUE(file.Close(error));
  EXPECT_EQ(test::ReadFileBytes(name), bytes) << "the name outlives the file's handle";
}

TEST(SystemFile, AnUnnamedFileReadsAndWritesAtOffsetsAndCopiesOut) {
  test::TempDir dir("unnamed");
  SystemFile file;
  int error = 0;
  ASSERT_TRUE(file.CreateUnnamedIn(dir.Path().string(), error)) << SystemErrorText(error);
  const std::vector<uint8_t> bytes = test::RandomBytes(3 * 1048576 + 77, 5);
  ASSERT_TRUE(file.WriteAllAt(0, bytes, error));
  // Writing at an offset past the end leaves a hole that reads as zeros.
  ASSERT_TRUE(file.WriteAllAt(bytes.size() + 10, Bytes("tail"), error));
  std::vector<uint8_t> got(20);
  ASSERT_EQ(file.ReadAt(bytes.size() - 6, got, error), 20);
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + 6, bytes.end() - 6));
  EXPECT_TRUE(std::all_of(got.begin() + 6, got.begin() + 16, [](uint8_t x) { return x == 0; }));
  EXPECT_EQ(std::string(got.begin() + 16, got.end()), "tail");
  // A read past the end is short, not a failure.
  EXPECT_EQ(file.ReadAt(bytes.size() + 12, got, error), 2);

  const std::string out = (dir / "copy").string();
  SystemFile copy;
  ASSERT_TRUE(copy.CreateNew(out, error));
  ASSERT_TRUE(CopyFileBytes(file, copy, bytes.size(), error)) << SystemErrorText(error);
  ASSERT_TRUE(copy.Close(error));
  EXPECT_EQ(test::ReadFileBytes(out), bytes);
  // Asked for more than there is, the copy stops short and says so.
  SystemFile longer;
  ASSERT_TRUE(longer.CreateNew((dir / "longer").string(), error));
  error = -1;
  EXPECT_FALSE(CopyFileBytes(file, longer, bytes.size() + 100, error));
  EXPECT_EQ(error, 0);
  ASSERT_TRUE(longer.Close(error));

  ASSERT_TRUE(file.Close(error));
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir.Path()))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"copy", "longer"})) << "the unnamed file is gone";
}

TEST(SystemFile, ZeroedMemoryReadsAsZerosAndTakesWrites) {
  ZeroedMemory memory;
  int error = 0;
  const size_t size = size_t{64} << 20;
  ASSERT_TRUE(memory.Reserve(size, error)) << SystemErrorText(error);
  uint8_t* p = memory.Data();
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p[0] | p[size / 2] | p[size - 1], 0);
  p[size - 1] = 0xA5;
  EXPECT_EQ(p[size - 1], 0xA5);
  // Given back from a byte on: the page that holds it and those before
  // keep what was written, the ones after read as zeros and take writes.
  p[0] = 1;
  p[100] = 2;
  p[size / 2] = 3;
  memory.GiveBack(512);
  EXPECT_EQ(p[0], 1);
  EXPECT_EQ(p[100], 2);
  EXPECT_EQ(p[size / 2] | p[size - 1], 0);
  p[size / 2] = 4;
  EXPECT_EQ(p[size / 2], 4);
  memory.GiveBack(size + 4096);  // past the end: nothing
  EXPECT_EQ(p[size / 2], 4);
}

}  // namespace
}  // namespace tarnwick
