// The rescue report: its documented shape, what it says of each file, and
// how it is written.
#include <gtest/gtest.h>

#include <filesystem>

#include "cli/cli_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using test::Cli;
using test::ShellQuote;

class ReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"mkfs.vfat", "mcopy", "gsf"})
      if (!test::HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
    db_ = test::MakeCompound(tmp_.Path(), "A.DB", test::QQLayout(200000), 11);
    ASSERT_FALSE(db_.empty());
    img_ = test::DeletedFat16(tmp_ / "fat16.img", {db_});
    ASSERT_FALSE(img_.empty());
  }
  test::CommandResult Rescue(const fs::path& out, const std::string& report) {
    fs::create_directories(out);
    return test::Run(Cli("rescue " + ShellQuote(img_.string()) + " --out " +
                         ShellQuote(out.string()) + " --report " + ShellQuote(report)));
  }
  std::string Judge(const fs::path& report) {
    auto r = test::Run(test::Python() + " " +
                       ShellQuote(test::SourceFile("tests/cli/olefile_agrees.py").string()) + " " +
                       ShellQuote(report.string()) + " --schema " +
                       ShellQuote(test::SourceFile("docs/report.schema.json").string()) +
                       " --cli " + ShellQuote(TARNWICK_CLI));
    return r.Out + r.Err;
  }
  test::TempDir tmp_{"report"};
  fs::path db_, img_;
};

TEST_F(ReportTest, HasItsDocumentedShapeAndSaysWhatInspectSays) {
  const fs::path out = tmp_ / "out", report = tmp_ / "report.json";
  auto r = Rescue(out, report.string());
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, "Rescued file 1\n");
  EXPECT_EQ(Judge(report), "ok 1\n");
  auto fields = test::Run(test::Python() +
                          " -c 'import json,sys; d=json.load(open(sys.argv[1])); "
                          "f=d[\"rescued\"][0]; print(d[\"version\"], "
                          "d[\"unreadable_sectors\"], f[\"verdict\"], "
                          "f[\"contacts\"], f[\"groups\"][\"numbers\"], "
                          "f[\"message_store_bytes\"], f[\"uncertain_streams\"])' " +
                          ShellQuote(report.string()));
  EXPECT_EQ(fields.Out,
            "2 [] whole {'count': 2, 'numbers': ['20481234', '987654321']} ['5550001'] 50100 []\n")
      << fields.Err;
  // Written whole under its own name: no temporary file is left beside it.
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(tmp_.Path()))
    if (e.path().filename().string().find("report") != std::string::npos)
      names.push_back(e.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"report.json"});
}

TEST_F(ReportTest, AReportThatCannotBeWrittenFailsAndKeepsWhatWasRescued) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  const fs::path out = tmp_ / "out";
  auto full = Rescue(out, "/dev/full");
  EXPECT_EQ(full.Status, 1);
  EXPECT_NE(full.Err.find("The report could not be written to /dev/full: No space left on device"),
            std::string::npos)
      << full.Err;
  EXPECT_EQ(full.Out, "Rescued file 1\n");
  ASSERT_TRUE(fs::exists("/dev/full")) << "the device was replaced";
  EXPECT_TRUE(fs::is_character_file("/dev/full"));
  size_t files = 0;
  for (const auto& e : fs::directory_iterator(out)) files += e.is_regular_file();
  EXPECT_EQ(files, 1u);

  auto nowhere = Rescue(tmp_ / "out2", (tmp_ / "no-such-folder" / "report.json").string());
  EXPECT_EQ(nowhere.Status, 1);
  EXPECT_NE(nowhere.Err.find("No such file or directory"), std::string::npos) << nowhere.Err;
  EXPECT_EQ(nowhere.Out, "Rescued file 1\n");

  auto folder = Rescue(tmp_ / "out3", (tmp_ / "out3").string());  // a folder is no report
  EXPECT_EQ(folder.Status, 1);
  EXPECT_NE(folder.Err.find("Is a directory"), std::string::npos) << folder.Err;
  EXPECT_TRUE(fs::is_directory(tmp_ / "out3"));
}

TEST_F(ReportTest, PathsThatAreNotUtf8StayExact) {
  // A folder whose name is Latin-1, as an old system or a USB stick may have it.
  const fs::path out = tmp_ / "Gr\xfc\xdf-\xff";
  const fs::path report = tmp_ / "report.json";
  auto r = Rescue(out, report.string());
  ASSERT_EQ(r.Status, 0) << r.Err;
  // The report is strict UTF-8 JSON; the exact bytes come back from the hex form.
  EXPECT_EQ(Judge(report), "ok 1\n");
  auto names = test::Run(test::Python() +
                         " -c 'import json,os,sys; "
                         "f=json.loads(open(sys.argv[1],\"rb\").read().decode()"
                         ")[\"rescued\"][0]; "
                         "p=bytes.fromhex(f[\"file_bytes_hex\"]); "
                         "print(\"\\ufffd\" in f[\"file\"], os.path.isfile(p), "
                         "p.startswith(os.fsencode(sys.argv[2])))' " +
                         ShellQuote(report.string()) + " " + ShellQuote(out.string()));
  EXPECT_EQ(names.Out, "True True True\n") << names.Err;
}

}  // namespace
}  // namespace tarnwick
