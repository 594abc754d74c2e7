// tarnwick-cli inspect, judged by olefile.
#include <gtest/gtest.h>

#include <filesystem>

#include "cli/cli_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using test::Cli;
using test::ShellQuote;

class InspectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::HaveTool("gsf")) GTEST_SKIP() << "gsf is not installed";
  }
  // inspect --json of the files, checked against olefile and the documented shape.
  std::string Agrees(const std::vector<fs::path>& files) {
    std::string args;
    for (const auto& f : files) args += " " + ShellQuote(f.string());
    const fs::path json = tmp_ / "inspect.json";
    auto r = test::Run(Cli("inspect --json" + args) + " > " + ShellQuote(json.string()));
    EXPECT_EQ(r.Status, 0) << r.Err;
    auto judged = test::Run(test::Python() + " " +
                            ShellQuote(test::SourceFile("tests/cli/olefile_agrees.py").string()) +
                            " " + ShellQuote(json.string()) + " --schema " +
                            ShellQuote(test::SourceFile("docs/report.schema.json").string()));
    return judged.Out + judged.Err;
  }
  test::TempDir tmp_{"inspect"};
};

TEST_F(InspectTest, TreeNumbersAndStoreAgreeWithOlefile) {
  auto layout = test::QQLayout(300000);
  layout["C2CMsg/notes/Data.msj"] = 500;   // a storage not named by a number
  layout["Archive/12345/Data.msj"] = 100;  // a number, but not under C2CMsg or GroupMsg
  const fs::path qq = test::MakeCompound(tmp_.Path(), "qq.db", layout, 1);
  // Over 7 MiB a 512-byte-sector file lists its FAT in a DIFAT chain.
  const fs::path big = test::MakeCompound(tmp_.Path(), "big.db", test::QQLayout(8u << 20), 50);
  const fs::path plain =
      test::MakeCompound(tmp_.Path(), "plain.doc", {{"WordDocument", 9000}, {"Data", 100}}, 90);
  ASSERT_FALSE(qq.empty() || big.empty() || plain.empty());
  EXPECT_EQ(Agrees({qq, big, plain}), "ok 3\n");

  auto r = test::Run(Cli("inspect " + ShellQuote(qq.string())));
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_NE(r.Out.find(": whole\n"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("  QQ database: yes\n"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("  Contacts: 2 (20481234, 987654321)\n"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("  Groups: 1 (5550001)\n"), std::string::npos) << r.Out;
  // Every Data.msj: 24000 + 9000 + 15000 + 2100 + 500 + 100.
  EXPECT_NE(r.Out.find("  Message store: 50700 bytes in 6 Data.msj streams\n"), std::string::npos)
      << r.Out;
  EXPECT_NE(r.Out.find("\n          Data.msj  24000\n"), std::string::npos) << r.Out;

  auto doc = test::Run(Cli("inspect " + ShellQuote(plain.string())));
  EXPECT_NE(doc.Out.find("  QQ database: no\n  Contacts: 0\n  Groups: 0\n"), std::string::npos)
      << doc.Out;
}

TEST_F(InspectTest, LongLivedLayoutsAgreeWithOlefile) {
  // Compound files laid out as a program that grew them for years leaves them.
  const fs::path writer = test::SourceFile("tests/corpus/ole_writer.py");
  if (!fs::exists(writer)) GTEST_SKIP() << "tests/corpus/ole_writer.py is not in this tree";
  std::vector<fs::path> files;
  const std::vector<std::string> variants = {"--seed 1", "--seed 2 --plain", "--seed 3 --scale 300",
                                             "--seed 4 --sector-size 4096"};
  for (size_t i = 0; i < variants.size(); ++i) {
    const fs::path f = tmp_ / ("writer" + std::to_string(i) + ".db");
    auto made = test::Run(test::Python() + " " + ShellQuote(writer.string()) + " " +
                          ShellQuote(f.string()) + " " + variants[i]);
    ASSERT_EQ(made.Status, 0) << made.Err;
    files.push_back(f);
  }
  EXPECT_EQ(Agrees(files), "ok 4\n");
}

TEST_F(InspectTest, ABrokenChainNamesTheFileDamagedWithItsStreams) {
  const fs::path qq = test::MakeCompound(tmp_.Path(), "qq.db", test::QQLayout(300000), 7);
  ASSERT_FALSE(qq.empty());
  // End the chain of one large stream after its first sector: its FAT entry
  // becomes end-of-chain, so the chain no longer covers the stream's size.
  auto broke = test::Run(test::Python() + " - " + ShellQuote(qq.string()) + R"PY( <<'PYEND'
import olefile, struct, sys
path = sys.argv[1]
ole = olefile.OleFileIO(path)
start = ole.direntries[ole._find(['C2CMsg', '20481234', 'Data.msj'])].isectStart
ole.close()
data = bytearray(open(path, 'rb').read())
ss = 1 << struct.unpack_from('<H', data, 30)[0]
per = ss // 4
fat_sector = struct.unpack_from('<I', data, 76 + 4 * (start // per))[0]
struct.pack_into('<I', data, (fat_sector + 1) * ss + 4 * (start % per), 0xFFFFFFFE)
open(path, 'wb').write(data)
PYEND
)PY");
  ASSERT_EQ(broke.Status, 0) << broke.Err;

  auto j = test::Run(Cli("inspect --json " + ShellQuote(qq.string())) + " | " + test::Python() +
                     " -c 'import json,sys; f=json.load(sys.stdin)[\"files\"][0]; "
                     "print(f[\"verdict\"], f[\"broken_streams\"], bool(f[\"problem\"]), "
                     "\"Matrix.dat\" in f[\"intact_streams\"], len(f[\"intact_streams\"]))'");
  EXPECT_EQ(j.Out, "damaged ['C2CMsg/20481234/Data.msj'] True True 9\n") << j.Err;

  auto t = test::Run(Cli("inspect " + ShellQuote(qq.string())));
  EXPECT_EQ(t.Status, 0) << t.Err;
  EXPECT_NE(t.Out.find(": damaged ("), std::string::npos) << t.Out;
  EXPECT_NE(t.Out.find("  Broken streams: C2CMsg/20481234/Data.msj\n"), std::string::npos) << t.Out;
  EXPECT_NE(t.Out.find("Data.msj  24000  [broken]\n"), std::string::npos) << t.Out;
  // The tree the directory gives is still shown, and its numbers counted.
  EXPECT_NE(t.Out.find("  Contacts: 2 (20481234, 987654321)\n"), std::string::npos) << t.Out;
}

TEST_F(InspectTest, OtherFilesAndUnreadableOnesAreSaidSo) {
  const fs::path noise = tmp_ / "noise.bin";
  test::WriteFileBytes(noise, test::RandomBytes(5000, 3));
  const fs::path missing = tmp_ / "missing.db";
  auto r =
      test::Run(Cli("inspect " + ShellQuote(noise.string()) + " " + ShellQuote(missing.string())));
  EXPECT_EQ(r.Status, 1);
  EXPECT_EQ(r.Out, noise.string() + ": not compound\n  Size: 5000 bytes\n");
  EXPECT_NE(r.Err.find("missing.db could not be read: No such file or directory"),
            std::string::npos)
      << r.Err;
  // In JSON the unreadable file has its place, with the reason.
  auto j = test::Run(
      Cli("inspect --json " + ShellQuote(missing.string()) + " " + ShellQuote(noise.string())) +
      " | " + test::Python() +
      " -c 'import json,sys; f=json.load(sys.stdin)[\"files\"]; "
      "print(f[0][\"error\"], \"|\", f[1][\"verdict\"], f[1][\"tree\"])'");
  EXPECT_EQ(j.Out, "No such file or directory | not compound []\n") << j.Err;
  EXPECT_EQ(Agrees({noise}), "ok 0\n")
      << "a file that is no compound file has the documented shape";
  EXPECT_EQ(test::Run(Cli("inspect")).Status, 2);
}

}  // namespace
}  // namespace tarnwick
