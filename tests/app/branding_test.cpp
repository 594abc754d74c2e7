#include "app/branding.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/tzlb.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

using test::TempDir;
namespace fs = std::filesystem;

// Decompressed branding data: `skipped` filler strings, then the given text
// (terminated when `terminate`).
std::string Data(const std::string& text, int skipped = 45, bool terminate = true) {
  std::string d;
  for (int i = 0; i < skipped; ++i) {
    d += "filler" + std::string(static_cast<size_t>(i % 3), 'x');
    d += '\0';
  }
  d += text;
  if (terminate) d += '\0';
  return d;
}

std::vector<uint8_t> Packed(const std::string& data) {
  TZLB z;
  z.Compress(data.data(), data.size());
  return z.Output().Bytes();
}

std::string WriteBranding(const TempDir& dir, const std::string& data) {
  fs::path p = dir / "Tarnwick.dll";
  test::WriteFileBytes(p, Packed(data));
  return p.string();
}

TEST(Branding, ReadsTheFourLines) {
  TempDir dir("branding");
  std::string path =
      WriteBranding(dir, Data("Rescuer \r\nsecond\r\nthird\r\nhttps://example.org/tarnwick"));
  BrandingRecord r;
  ASSERT_TRUE(ReadBrandingFile(path, r));
  EXPECT_EQ(r.BrandingTitle, "Rescuer");
  EXPECT_EQ(r.SecondText, "second");
  EXPECT_EQ(r.ThirdText, "third");
  EXPECT_EQ(r.BrandingUrl, "https://example.org/tarnwick");
  EXPECT_EQ(MainWindowTitle(r, TextsFor(Language::English)), "Rescuer1.78");
}

TEST(Branding, LineBreaksOfEveryKindAndTrimming) {
  BrandingRecord r;
  ASSERT_TRUE(ParseBrandingData(Data(" \t Title\x01\rtwo\nthree\r\n  url  "), r));
  EXPECT_EQ(r.BrandingTitle, "Title");
  EXPECT_EQ(r.SecondText, "two");
  EXPECT_EQ(r.ThirdText, "three");
  EXPECT_EQ(r.BrandingUrl, "url");
  // LF CR is two breaks, with an empty line between.
  ASSERT_TRUE(ParseBrandingData(Data("a\n\rb\nc"), r));
  EXPECT_EQ(r.BrandingTitle, "a");
  EXPECT_EQ(r.SecondText, "");
  EXPECT_EQ(r.ThirdText, "b");
  EXPECT_EQ(r.BrandingUrl, "c");
}

TEST(Branding, FiveOrMoreLinesUseTheFirstFour) {
  BrandingRecord r;
  ASSERT_TRUE(ParseBrandingData(Data("t\r\n2\r\n3\r\nu\r\nfifth\r\nsixth"), r));
  EXPECT_EQ(r.BrandingTitle, "t");
  EXPECT_EQ(r.BrandingUrl, "u");
}

TEST(Branding, EmptyLinesAreAccepted) {
  BrandingRecord r;
  r.BrandingTitle = "old";
  ASSERT_TRUE(ParseBrandingData(Data("\r\n\r\n\r\n\r\n"), r));
  EXPECT_EQ(r.BrandingTitle, "");
  EXPECT_EQ(r.BrandingUrl, "");
  EXPECT_EQ(MainWindowTitle(r, TextsFor(Language::English)), "Tarnwick 1.78");
  EXPECT_EQ(MainWindowTitle(r, TextsFor(Language::SimplifiedChinese)), "Tarnwick1.78");
}

TEST(Branding, TooFewLinesOrStringsFail) {
  BrandingRecord r;
  r.BrandingTitle = "untouched";
  EXPECT_FALSE(ParseBrandingData(Data("one\r\ntwo\r\nthree"), r));
  // A break at the very end opens no fourth line.
  EXPECT_FALSE(ParseBrandingData(Data("one\r\ntwo\r\nthree\r\n"), r));
  // The data ends before the 46th string: it is empty.
  EXPECT_FALSE(ParseBrandingData(Data("", 45, false), r));
  EXPECT_FALSE(ParseBrandingData(Data("t\r\n2\r\n3\r\nu", 44), r));
  EXPECT_FALSE(ParseBrandingData("", r));
  EXPECT_EQ(r.BrandingTitle, "untouched");

  // With 44 fillers, the four lines are the 45th string and are skipped.
  TempDir dir("branding");
  std::string path = WriteBranding(dir, Data("t\r\n2\r\n3\r\nu", 44));
  EXPECT_FALSE(ReadBrandingFile(path, r));
  EXPECT_EQ(StartupOutcome(path).Action, StartupAction::ShowSlot34AndExit);
}

TEST(Branding, UnterminatedLastStringEndsAtTheEndOfData) {
  BrandingRecord r;
  ASSERT_TRUE(ParseBrandingData(Data("t\r\n2\r\n3\r\nlast", 45, false), r));
  EXPECT_EQ(r.BrandingUrl, "last");
  // Strings after the 46th do not matter.
  ASSERT_TRUE(ParseBrandingData(Data("t\r\n2\r\n3\r\nu") + std::string("more\0", 5), r));
  EXPECT_EQ(r.BrandingUrl, "u");
}

TEST(Branding, MissingFileFailsWithoutTryingToOpen) {
  TempDir dir("branding");
  int opens = 0;
  auto opener = [&](const std::string&) -> std::optional<std::vector<uint8_t>> {
    ++opens;
    return std::nullopt;
  };
  BrandingRecord r;
  EXPECT_FALSE(ReadBrandingFile((dir / "Tarnwick.dll").string(), r, opener, [](auto) {}));
  // A folder of that name is no file either.
  fs::create_directory(dir / "Tarnwick.dll");
  EXPECT_FALSE(ReadBrandingFile((dir / "Tarnwick.dll").string(), r, opener, [](auto) {}));
  EXPECT_EQ(opens, 0);
  EXPECT_EQ(StartupOutcome((dir / "nothing").string()).Action, StartupAction::ShowSlot34AndExit);
}

TEST(Branding, OpenIsTriedElevenTimesWithPauses) {
  TempDir dir("branding");
  std::string path = WriteBranding(dir, Data("t\r\n2\r\n3\r\nu"));
  int opens = 0;
  std::vector<std::chrono::milliseconds> pauses;
  auto pause = [&](std::chrono::milliseconds ms) { pauses.push_back(ms); };
  auto never = [&](const std::string&) -> std::optional<std::vector<uint8_t>> {
    ++opens;
    return std::nullopt;
  };
  BrandingRecord r;
  EXPECT_FALSE(ReadBrandingFile(path, r, never, pause));
  EXPECT_EQ(opens, 11);
  ASSERT_EQ(pauses.size(), 10u);
  for (auto p : pauses) EXPECT_EQ(p, std::chrono::milliseconds(100));
  EXPECT_EQ(StartupOutcome(path, never, pause).Action, StartupAction::ShowSlot34AndExit);

  // Opening on the last allowed try still succeeds.
  opens = 0;
  pauses.clear();
  auto lateOpen = [&](const std::string& p) -> std::optional<std::vector<uint8_t>> {
    if (++opens < 11) return std::nullopt;
    return ReadWholeFile(p);
  };
  ASSERT_TRUE(ReadBrandingFile(path, r, lateOpen, pause));
  EXPECT_EQ(opens, 11);
  EXPECT_EQ(pauses.size(), 10u);
  EXPECT_EQ(r.BrandingUrl, "u");
}

TEST(Branding, ContentThatIsNotZlibIsADecompressionError) {
  TempDir dir("branding");
  fs::path p = dir / "Tarnwick.dll";
  const std::string text = "MZ\x90 this is not a zlib stream at all";
  test::WriteFileBytes(p, std::vector<uint8_t>(text.begin(), text.end()));
  BrandingRecord r;
  EXPECT_THROW(ReadBrandingFile(p.string(), r), EZlibError);
  StartupResult out = StartupOutcome(p.string());
  EXPECT_EQ(out.Action, StartupAction::DecompressionError);
  EXPECT_EQ(out.ErrorMessage, "incorrect header check");

  // An empty file is no zlib stream either.
  test::WriteFileBytes(p, {});
  EXPECT_EQ(StartupOutcome(p.string()).Action, StartupAction::DecompressionError);
}

TEST(Branding, FileWrittenByPythonsZlib) {
  if (!test::HaveTool("python3")) GTEST_SKIP() << "python3 is not installed";
  TempDir dir("branding");
  fs::path p = dir / "Tarnwick.dll";
  std::string script =
      "import zlib,sys\n"
      "d=b''.join(b'skip%d\\0' % i for i in range(45))+b'  Py "
      "Title\\r\\nb\\r\\nc\\r\\nhttp://x/\\0'\n"
      "open(sys.argv[1],'wb').write(zlib.compress(d,9))\n";
  fs::path py = dir / "make.py";
  test::WriteFileBytes(py, std::vector<uint8_t>(script.begin(), script.end()));
  auto res =
      test::Run("python3 " + test::ShellQuote(py.string()) + " " + test::ShellQuote(p.string()));
  ASSERT_EQ(res.Status, 0) << res.Err;
  StartupResult out = StartupOutcome(p.string());
  ASSERT_EQ(out.Action, StartupAction::Run);
  EXPECT_EQ(out.Branding.BrandingTitle, "Py Title");
  EXPECT_EQ(out.Branding.BrandingUrl, "http://x/");
}

TEST(Branding, DefaultFileOfTheBuildReadsBack) {
  fs::path p = fs::path(TARNWICK_BINARY_DIR) / kBrandingFileName;
  ASSERT_TRUE(fs::exists(p)) << p;
  StartupResult out = StartupOutcome(p.string());
  ASSERT_EQ(out.Action, StartupAction::Run);
  EXPECT_EQ(out.Branding.BrandingTitle, "Tarnwick v");
  EXPECT_FALSE(out.Branding.SecondText.empty());
  EXPECT_FALSE(out.Branding.ThirdText.empty());
  EXPECT_EQ(out.Branding.BrandingUrl, "https://tarnwick.example/");
  EXPECT_EQ(MainWindowTitle(out.Branding, TextsFor(Language::English)), "Tarnwick v1.78");
}

TEST(Branding, ReadWholeFileAndExecutableFolder) {
  TempDir dir("branding");
  test::WriteFileBytes(dir / "f", {1, 2, 3});
  EXPECT_EQ(ReadWholeFile((dir / "f").string()), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_FALSE(ReadWholeFile((dir / "none").string()));
  EXPECT_FALSE(ReadWholeFile(dir.Path().string()));  // a folder cannot be read

  std::string folder = ExecutableFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.back(), '/');
  EXPECT_TRUE(fs::exists(folder + "test_app")) << folder;
}

}  // namespace
}  // namespace tarnwick
