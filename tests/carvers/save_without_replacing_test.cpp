// The save that never replaces a file, in what every platform shares: the
// names it takes, the files it leaves alone, and how a failure is told.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "carvers/framework.h"
#include "source/system_file.h"
#include "support/recording_frontend.h"
#include "support/sessions.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> NamesIn(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(SaveWithoutReplacing, EveryWayOfTakingANameStepsOverFilesAndFolders) {
  for (ClaimMethod method :
       {ClaimMethod::RenameNoReplace, ClaimMethod::Link, ClaimMethod::ExclusivePlaceholder}) {
    test::TempDir dir("keep-what-is-there");
    const std::string wanted = (dir / "FILE_AAAAAAAE.DB").string();
    const std::vector<uint8_t> earlier = test::RandomBytes(600, 1),
                               ours = test::RandomBytes(600, 2);
    test::WriteFileBytes(wanted, earlier);
    fs::create_directory(dir / "FILE_AAAAAAAE-2.DB");

    SavePlacement p = PlaceWithoutReplacing(SaveSource::InMemory(ours), wanted, method);
    ASSERT_TRUE(p.Saved) << SystemErrorText(p.Error);
    EXPECT_EQ(p.Path, (dir / "FILE_AAAAAAAE-3.DB").string());
    EXPECT_FALSE(p.AlreadyThere);
    EXPECT_EQ(test::ReadFileBytes(p.Path), ours);
    EXPECT_EQ(test::ReadFileBytes(wanted), earlier) << "a file of that name is never written";

    // The same bytes from a file of their own: named where they are, and
    // the file they came in goes.
    test::WriteFileBytes(dir / "staged", ours);
    p = PlaceWithoutReplacing(SaveSource::InFile((dir / "staged").string()), wanted, method);
    ASSERT_TRUE(p.Saved) << SystemErrorText(p.Error);
    EXPECT_TRUE(p.AlreadyThere);
    EXPECT_EQ(p.Path, (dir / "FILE_AAAAAAAE-3.DB").string());
    EXPECT_EQ(
        NamesIn(dir.Path()),
        (std::vector<std::string>{"FILE_AAAAAAAE-2.DB", "FILE_AAAAAAAE-3.DB", "FILE_AAAAAAAE.DB"}))
        << "no temporary name is left";
  }
}

TEST(SaveWithoutReplacing, AFolderThatIsNotThereIsToldInTheSystemsWords) {
  test::TempDir dir("missing-folder");
  const std::string wanted = (dir / "gone" / "FILE_AAAAAAAF.DB").string();
  const std::vector<uint8_t> bytes(1000, 7);
  const SavePlacement p = PlaceWithoutReplacing(SaveSource::InMemory(bytes), wanted);
  EXPECT_FALSE(p.Saved);
  EXPECT_TRUE(IsNotFound(p.Error)) << SystemErrorText(p.Error);

  // Given up, a file the bytes came in is not left behind either.
  auto s = test::EnglishSession();
  test::RecordingFrontend ui;
  ui.Answers = {Answer::Ignore};
  s->SetFrontend(&ui);
  const std::string staged = (dir / "staged").string();
  test::WriteFileBytes(staged, bytes);
  SavedFile saved;
  saved.Path = wanted;
  EXPECT_FALSE(SaveWithoutReplacing(*s, SaveSource::InFile(staged), saved));
  s->SetFrontend(nullptr);
  EXPECT_EQ(s->SaveError, SystemErrorText(p.Error));
  EXPECT_EQ(ui.Questions.size(), 1u);
  EXPECT_TRUE(NamesIn(dir.Path()).empty());
}

}  // namespace
}  // namespace tarnwick
