#include "carvers/file_assembly.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/recording_frontend.h"
#include "support/sessions.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

// What a folder holds besides an open assembly: Windows (short of NTFS with
// names that can go while the file is open) shows the assembly's hidden
// file until it is closed, and only then removes it.
size_t EntriesIn(const fs::path& dir) {
  size_t n = 0;
  for (const auto& e : fs::directory_iterator(dir)) {
#ifdef _WIN32
    if (e.path().filename().string().starts_with(".assembly-")) continue;
#endif
    (void)e;
    ++n;
  }
  return n;
}

size_t AllEntriesIn(const fs::path& dir) {
  return static_cast<size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

TEST(FileAssemblyTest, WhatIsAppendedIsCopiedWholeAndTheViewHoldsOnlyTheBlocksAsked) {
  test::TempDir dir("assembly");
  // Past the write buffer's size, in uneven pieces.
  const std::vector<uint8_t> bytes = test::RandomBytes(3 * 1024 * 1024 + 1536, 4);
  const fs::path out = dir / "FILE_AAAAAAAB.DB";
  {
    FileAssembly a;
    ASSERT_TRUE(a.Open(dir.Path().string()));
    for (size_t at = 0; at < bytes.size();) {
      const size_t n = std::min<size_t>(bytes.size() - at, 70000);
      ASSERT_TRUE(a.Append(std::span<const uint8_t>(bytes).subspan(at, n)));
      at += n;
    }
    ASSERT_TRUE(a.Finish());
    EXPECT_EQ(a.Size(), bytes.size());
    // The unnamed file leaves nothing in the folder.
    EXPECT_EQ(EntriesIn(dir.Path()), 0u);

    ASSERT_TRUE(a.MapBlocks({0, 7, bytes.size() / 512 - 1}));
    const std::span<const uint8_t> view = a.Bytes();
    ASSERT_EQ(view.size(), bytes.size());
    EXPECT_TRUE(std::equal(view.begin(), view.begin() + 512, bytes.begin()));
    EXPECT_TRUE(
        std::equal(view.begin() + 7 * 512, view.begin() + 8 * 512, bytes.begin() + 7 * 512));
    EXPECT_TRUE(std::equal(view.end() - 512, view.end(), bytes.end() - 512));
    EXPECT_TRUE(
        std::all_of(view.begin() + 512, view.begin() + 7 * 512, [](uint8_t b) { return !b; }));

    int error = -1;
    ASSERT_TRUE(a.CopyTo(out.string(), error)) << error;
    EXPECT_EQ(test::ReadFileBytes(out), bytes);
    EXPECT_EQ(EntriesIn(dir.Path()), 1u) << "no temporary name is left";
  }
  EXPECT_EQ(AllEntriesIn(dir.Path()), 1u) << "the assembly's file goes with it";
}

TEST(FileAssemblyTest, AFailedSaveAsksAndLeavesNothing) {
  test::TempDir dir("assembly-fail");
  FileAssembly a;
  ASSERT_TRUE(a.Open(dir.Path().string()));
  ASSERT_TRUE(a.Append(test::RandomBytes(4096, 1)));
  ASSERT_TRUE(a.Finish());
  auto s = test::EnglishSession();
  test::RecordingFrontend ui;
  ui.Answers = {Answer::Ignore};
  s->SetFrontend(&ui);
  SavedFile saved;
  saved.Path = (dir / "no-such-folder" / "FILE.DB").string();
  EXPECT_FALSE(SaveAssemblyToFile(*s, a, saved));
  EXPECT_FALSE(s->SaveError.empty());
  EXPECT_EQ(ui.Questions.size(), 1u);
  s->SetFrontend(nullptr);
  EXPECT_EQ(EntriesIn(dir.Path()), 0u);
}

// An assembly is saved as a database from memory is: a file of that name
// with other bytes stays and the assembly takes the next free name; saved
// again, the same bytes are named rather than written twice.
TEST(FileAssemblyTest, ASaveNeverReplacesAndNamesTheSameBytesAlreadyThere) {
  test::TempDir dir("assembly-keep");
  const std::vector<uint8_t> bytes = test::RandomBytes(70000, 9);
  FileAssembly a;
  ASSERT_TRUE(a.Open(dir.Path().string()));
  ASSERT_TRUE(a.Append(bytes));
  ASSERT_TRUE(a.Finish());
  const fs::path wanted = dir / "FILE_AAAAAAAB.DB";
  const std::vector<uint8_t> other = test::RandomBytes(512, 10);
  test::WriteFileBytes(wanted, other);
  auto s = test::EnglishSession();

  SavedFile first;
  first.Path = wanted.string();
  ASSERT_TRUE(SaveAssemblyToFile(*s, a, first));
  EXPECT_EQ(first.Path, (dir / "FILE_AAAAAAAB-2.DB").string());
  EXPECT_FALSE(first.AlreadyThere);
  EXPECT_EQ(test::ReadFileBytes(wanted), other);
  EXPECT_EQ(test::ReadFileBytes(first.Path), bytes);

  SavedFile again;
  again.Path = wanted.string();
  ASSERT_TRUE(SaveAssemblyToFile(*s, a, again));
  EXPECT_EQ(again.Path, first.Path);
  EXPECT_TRUE(again.AlreadyThere);
  EXPECT_EQ(EntriesIn(dir.Path()), 2u) << "no copy or temporary name is left";
}

}  // namespace
}  // namespace tarnwick
