#include "source/mapped_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "source/system_file.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

bool SameBytes(std::span<const uint8_t> view, const std::vector<uint8_t>& bytes) {
  return std::equal(view.begin(), view.end(), bytes.begin(), bytes.end());
}

TEST(MappedFile, ShowsTheWholeFileAndTheNextOneOpened) {
  test::TempDir dir("mapped");
  // Not a whole number of pages, under a name that is not ASCII (in UTF-8,
  // as the program's paths are: written through the program's own files).
  const std::string first = dir.Path().string() + "/\xE8\x81\x8A\xE5\xA4\xA9.db";
  const std::string second = (dir / "second.db").string();
  const std::vector<uint8_t> a = test::RandomBytes(3 * 65536 + 123, 1);
  const std::vector<uint8_t> b = test::RandomBytes(700, 2);
  int error = 0;
  SystemFile out;
  ASSERT_TRUE(out.CreateNew(first, error) && out.WriteAll(a, error) && out.Close(error))
      << SystemErrorText(error);
  test::WriteFileBytes(second, b);

  MappedFile view;
  ASSERT_TRUE(view.Open(first, error)) << SystemErrorText(error);
  EXPECT_TRUE(view.IsOpen());
  EXPECT_TRUE(SameBytes(view.Bytes(), a));
  // The pages let go come back from the file as they were.
  view.Release();
  EXPECT_TRUE(SameBytes(view.Bytes(), a));
  // Opened again, the view is of the other file, at its size.
  ASSERT_TRUE(view.Open(second, error)) << SystemErrorText(error);
  EXPECT_TRUE(SameBytes(view.Bytes(), b));
  view.Close();
  EXPECT_FALSE(view.IsOpen());
  EXPECT_TRUE(view.Bytes().empty());
}

TEST(MappedFile, AnEmptyFileIsAnEmptyView) {
  test::TempDir dir("mapped-empty");
  const std::string path = (dir / "empty.db").string();
  test::WriteFileBytes(path, {});
  MappedFile view;
  int error = 0;
  ASSERT_TRUE(view.Open(path, error)) << SystemErrorText(error);
  EXPECT_TRUE(view.IsOpen());
  EXPECT_TRUE(view.Bytes().empty());
}

TEST(MappedFile, WhatCannotBeMappedSaysWhy) {
  test::TempDir dir("mapped-none");
  const std::string file = (dir / "file.db").string();
  test::WriteFileBytes(file, test::RandomBytes(100, 3));
  MappedFile view;
  int error = 0;
  ASSERT_TRUE(view.Open(file, error)) << SystemErrorText(error);
  EXPECT_FALSE(view.Open((dir / "missing.db").string(), error));
  EXPECT_TRUE(IsNotFound(error)) << SystemErrorText(error);
  EXPECT_FALSE(view.IsOpen());
  // A folder is no file to map, and a failed open leaves nothing open.
  error = 0;
  EXPECT_FALSE(view.Open(dir.Path().string(), error));
  EXPECT_NE(error, 0);
  EXPECT_FALSE(SystemErrorText(error).empty());
  EXPECT_TRUE(view.Bytes().empty());
}

}  // namespace
}  // namespace tarnwick
