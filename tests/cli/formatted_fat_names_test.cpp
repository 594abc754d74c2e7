// A FAT volume formatted again with the same geometry keeps its old
// subdirectories' clusters: the names they hold reach the report of the
// databases rescued from it.
#include <gtest/gtest.h>

#include <filesystem>

#include "cli/cli_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using test::ShellQuote;

TEST(FormattedFatNames, AnOldDirectorysEntryNamesTheDatabaseItsStartLeadsTo) {
  for (const char* tool : {"mkfs.vfat", "mcopy", "mmd", "gsf"}) {
    if (!test::HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
  }
  test::TempDir dir("formatted-fat-names");
  const fs::path db = test::MakeCompound(dir.Path(), "Msg2.0.db", test::QQLayout(40000), 7);
  ASSERT_FALSE(db.empty());
  const fs::path img = dir / "volume.img";
  const std::string i = ShellQuote(img.string());
  const std::string format = "mkfs.vfat -F 16 -s 4 " + i + " >/dev/null";
  ASSERT_EQ(test::Run("truncate -s 32M " + i + " && " + format).Status, 0);
  ASSERT_EQ(test::Run("MTOOLS_SKIP_CHECK=1 mmd -i " + i + " '::/Tencent Files' '::/Tencent Files/20481234' "
                      "&& MTOOLS_SKIP_CHECK=1 mcopy -i " + i + " " + ShellQuote(db.string()) +
                      " '::/Tencent Files/20481234/Msg2.0.db'")
                .Status,
            0);
  // The quick format writes new tables and a new root; the old clusters stay.
  ASSERT_EQ(test::Run(format).Status, 0);

  const fs::path out = dir / "out";
  fs::create_directories(out);
  const fs::path report = dir / "report.json";
  const auto r = test::Run(test::Cli("rescue " + i + " --out " + ShellQuote(out.string()) +
                                     " --report " + ShellQuote(report.string())));
  ASSERT_EQ(r.Status, 0) << r.Err;
  const auto q = test::Run(
      test::Python() + " -c " +
      ShellQuote("import json,sys; r=json.load(open(sys.argv[1]))['rescued']; "
                 "print(len(r), r[0].get('original_path', ''), r[0].get('deleted'), "
                 "r[0].get('layout_from'))") +
      " " + ShellQuote(report.string()));
  ASSERT_EQ(q.Status, 0) << q.Err;
  // One database, byte for byte, named by the entry of its old folder; the
  // entry gave only its start, so its layout is still the carve's.
  EXPECT_EQ(q.Out, "1 $OrphanFiles/Msg2.0.db True carve\n");
  EXPECT_EQ(test::ReadFileBytes(*fs::directory_iterator(out)), test::ReadFileBytes(db));
}

}  // namespace
}  // namespace tarnwick
