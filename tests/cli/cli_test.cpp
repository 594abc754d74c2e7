// tarnwick-cli as scripts and users call it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "support/test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

using test::RandomBytes;
using test::ShellQuote;

std::string Cli(const std::string& args) {
  return std::string("TARNWICK_LANG=en ") + TARNWICK_CLI + " " + args;
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"mkfs.vfat", "mcopy", "gsf"}) {
      if (!test::HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
    }
  }
  // A QQ-like compound file made by gsf.
  fs::path MakeDatabase(const std::string& name, size_t matrixBytes, uint32_t seed) {
    fs::path dir = tmp_ / ("db-" + name);
    fs::create_directories(dir / "msg");
    test::WriteFileBytes(dir / "Matrix.dat", RandomBytes(matrixBytes, seed));
    test::WriteFileBytes(dir / "seqbase.dat", RandomBytes(30000, seed + 1));
    test::WriteFileBytes(dir / "msg" / "Data.msj", RandomBytes(12000, seed + 2));
    auto r = test::Run("cd " + ShellQuote(dir.string()) + " && gsf createole " + ShellQuote(name) +
                       " Matrix.dat seqbase.dat msg");
    EXPECT_EQ(r.Status, 0) << r.Err;
    return dir / name;
  }
  // A FAT16 image on which the databases were copied and then deleted.
  fs::path DeletedFat16(const std::vector<fs::path>& files) {
    fs::path img = tmp_ / "fat16.img";
    EXPECT_EQ(test::Run("truncate -s 32M " + ShellQuote(img.string()) +
                        " && mkfs.vfat -F 16 -s 4 " + ShellQuote(img.string()))
                  .Status,
              0);
    for (const auto& f : files) {
      EXPECT_EQ(
          test::Run("mcopy -i " + ShellQuote(img.string()) + " " + ShellQuote(f.string()) + " ::")
              .Status,
          0);
    }
    for (const auto& f : files) {
      EXPECT_EQ(
          test::Run("mdel -i " + ShellQuote(img.string()) + " ::" + f.filename().string()).Status,
          0);
    }
    return img;
  }
  test::TempDir tmp_{"cli"};
};

TEST_F(CliTest, RescueBringsBackDeletedDatabasesAndReportsThemTruthfully) {
  fs::path a = MakeDatabase("A.DB", 400000, 1), b = MakeDatabase("B.DB", 90000, 10);
  fs::path img = DeletedFat16({a, b});
  const std::string before = test::Sha256OfFile(img);
  fs::path out = tmp_ / "out", report = tmp_ / "report.json";
  fs::create_directory(out);
  auto r = test::Run(Cli("rescue " + ShellQuote(img.string()) + " --out " +
                         ShellQuote(out.string()) + " --report " + ShellQuote(report.string())));
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, "Rescued file 2\n");
  EXPECT_EQ(test::Sha256OfFile(img), before) << "the Source was changed";

  std::set<std::string> want = {test::Sha256OfFile(a), test::Sha256OfFile(b)}, got;
  for (const auto& e : fs::directory_iterator(out)) {
    EXPECT_EQ(e.path().extension(), ".DB");
    got.insert(test::Sha256OfFile(e.path()));
  }
  EXPECT_EQ(got, want);

  // The report's runs, read back from the image, give the files' bytes.
  auto check = test::Run("/usr/bin/python3 - " + ShellQuote(report.string()) + " " +
                         ShellQuote(img.string()) + R"PY( <<'PYEND'
import hashlib, json, sys
rep = json.load(open(sys.argv[1])); img = open(sys.argv[2], 'rb').read()
assert len(rep['rescued']) == 2, rep
for f in rep['rescued']:
    data = b''.join(img[a*512:(b+1)*512] for a, b in f['sectors'])[:f['bytes']]
    disk = open(f['file'], 'rb').read()
    assert data == disk, f['file']
    assert hashlib.sha256(disk).hexdigest() == f['sha256']
    assert f['sectors'][0][0] == f['start_sector']
print('ok')
PYEND
)PY");
  EXPECT_EQ(check.Out, "ok\n") << check.Err;
}

TEST_F(CliTest, IdentifyPrintsTheGeometryInBothForms) {
  fs::path img = DeletedFat16({});
  auto r = test::Run(Cli("identify " + ShellQuote(img.string())));
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_NE(r.Out.find("Kind: image\n"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("LastSector: 65535\n"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("BytesPerSector: 512\n"), std::string::npos) << r.Out;
  auto j = test::Run(Cli("identify --json " + ShellQuote(img.string())) +
                     " | /usr/bin/python3 -c 'import json,sys; d=json.load(sys.stdin); "
                     "print(d[\"kind\"], d[\"last_sector\"], d[\"bytes_per_sector\"])'");
  EXPECT_EQ(j.Out, "image 65535 512\n") << j.Err;
}

TEST_F(CliTest, BadInputGetsAClearMessageAndItsExitStatus) {
  auto missing = test::Run(Cli("identify /nonexistent/disk.img"));
  EXPECT_EQ(missing.Status, 1);
  EXPECT_NE(missing.Err.find("Failed to open file!"), std::string::npos) << missing.Err;
  EXPECT_NE(missing.Err.find("No such file"), std::string::npos) << missing.Err;

  EXPECT_EQ(test::Run(Cli("")).Status, 2);
  EXPECT_EQ(test::Run(Cli("frobnicate x")).Status, 2);
  EXPECT_EQ(test::Run(Cli("rescue x.img")).Status, 2);  // no --out
  EXPECT_EQ(test::Run(Cli("scan x.img --fs EXT4")).Status, 2);
  auto help = test::Run(Cli("rescue --help"));
  EXPECT_EQ(help.Status, 0);
  EXPECT_NE(help.Out.find("--out DIR"), std::string::npos);

  fs::path img = tmp_ / "small.img";
  test::WriteFileBytes(img, RandomBytes(8192, 3));
  auto noFolder = test::Run(
      Cli("rescue " + ShellQuote(img.string()) + " --out " + ShellQuote((tmp_ / "nope").string())));
  EXPECT_EQ(noFolder.Status, 1);
  EXPECT_NE(noFolder.Err.find("Please select folder to save file!"), std::string::npos)
      << noFolder.Err;
  auto range = test::Run(Cli("scan " + ShellQuote(img.string()) + " --range 5-16"));
  EXPECT_EQ(range.Status, 1);
  EXPECT_NE(range.Err.find("invalid sector range!"), std::string::npos) << range.Err;
}

TEST_F(CliTest, HexdumpShowsOneSectorAsTheViewDoes) {
  fs::path img = DeletedFat16({});
  auto r = test::Run(Cli("hexdump " + ShellQuote(img.string()) + " 0"));
  ASSERT_EQ(r.Status, 0) << r.Err;
  std::istringstream lines(r.Out);
  std::vector<std::string> v;
  for (std::string l; std::getline(lines, l);) v.push_back(l);
  ASSERT_EQ(v.size(), 17u);
  EXPECT_EQ(v[0].size(), 117u);
  EXPECT_EQ(v[1].substr(0, 10), "000: EB3C ");  // mkfs.vfat's FAT16 jump
  EXPECT_EQ(v[16].substr(0, 5), "1E0: ");
  EXPECT_EQ(v[16].substr(5 + 15 * 5, 4), "55AA");
  auto bad = test::Run(Cli("hexdump " + ShellQuote(img.string()) + " 65536"));
  EXPECT_EQ(bad.Status, 1);
  EXPECT_NE(bad.Err.find("Invalid sector range!"), std::string::npos);
  EXPECT_EQ(test::Run(Cli("hexdump " + ShellQuote(img.string()) + " abc")).Status, 1);
}

TEST_F(CliTest, ScanListsTheFileStarts) {
  fs::path a = MakeDatabase("A.DB", 50000, 5);
  fs::path img = DeletedFat16({a});
  auto r = test::Run(Cli("scan " + ShellQuote(img.string())));
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_NE(r.Out.find("\t5\n"), std::string::npos) << r.Out;
  auto j = test::Run(Cli("scan --json " + ShellQuote(img.string())) +
                     " | /usr/bin/python3 -c 'import json,sys; d=json.load(sys.stdin); "
                     "print(sum(1 for s,t in d[\"entries\"] if t == 5))'");
  EXPECT_EQ(j.Out, "1\n") << j.Err;
}

TEST_F(CliTest, FreemapListsWhatTheFileSystemAllocates) {
  fs::path a = MakeDatabase("A.DB", 50000, 30);
  fs::path img = DeletedFat16({});
  ASSERT_EQ(test::Run("mcopy -i " + ShellQuote(img.string()) + " " + ShellQuote(a.string()) + " ::")
                .Status,
            0);
  auto r =
      test::Run(Cli("freemap --json " + ShellQuote(img.string())) +
                " | /usr/bin/python3 -c 'import json,sys; d=json.load(sys.stdin); "
                "print(d[\"complete\"], d[\"cancelled\"], sum(b-a+1 for a,b in d[\"runs\"]))'");
  // The Sleuth Kit counts the same sectors as allocated.
  auto tsk = test::Run("blkls -a -l " + ShellQuote(img.string()) + " | grep -c '^[0-9]'");
  ASSERT_EQ(tsk.Status, 0) << tsk.Err;
  EXPECT_EQ(r.Out, "True False " + tsk.Out) << r.Err;

  fs::path noise = tmp_ / "noise.img";
  test::WriteFileBytes(noise, RandomBytes(64 * 512, 4));
  auto none = test::Run(Cli("freemap " + ShellQuote(noise.string())));
  EXPECT_EQ(none.Status, 3);
  EXPECT_EQ(none.Out, "");
}

TEST_F(CliTest, AFolderOnTheSourceDriveIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a loop device";
  if (!test::HaveTool("mkfs.ntfs") || !test::HaveTool("ntfs-3g")) GTEST_SKIP() << "needs ntfs-3g";
  fs::path img = tmp_ / "ntfs.img", mnt = tmp_ / "mnt";
  fs::create_directory(mnt);
  ASSERT_EQ(test::Run("truncate -s 16M " + ShellQuote(img.string()) + " && mkfs.ntfs -F -q -f " +
                      ShellQuote(img.string()))
                .Status,
            0);
  auto loop = test::Run("losetup -f --show " + ShellQuote(img.string()));
  if (loop.Status != 0) GTEST_SKIP() << "no loop device: " << loop.Err;
  std::string dev = loop.Out.substr(0, loop.Out.find('\n'));
  auto mounted = test::Run("ntfs-3g " + dev + " " + ShellQuote(mnt.string()));
  if (mounted.Status != 0) {
    test::Run("losetup -d " + dev);
    GTEST_SKIP() << "cannot mount with FUSE here: " << mounted.Err;
  }
  auto onSource = test::Run(Cli("rescue " + dev + " --out " + ShellQuote(mnt.string())));
  auto elsewhere = test::Run(Cli("rescue " + dev + " --out " + ShellQuote(tmp_.Path().string())));
  test::Run("umount " + ShellQuote(mnt.string()) + "; losetup -d " + dev);
  EXPECT_EQ(onSource.Status, 1);
  EXPECT_NE(onSource.Err.find("Dest folder can't be on source drive!"), std::string::npos)
      << onSource.Err;
  EXPECT_EQ(elsewhere.Status, 0) << elsewhere.Err;
  EXPECT_EQ(elsewhere.Out, "Rescued file 0\n");
}

TEST_F(CliTest, SectorsBeyondTwoTebibytesAreCarvedWhereTheyLie) {
  // A sparse image of 2^32 + 4096 sectors with a database past sector 2^32.
  fs::path a = MakeDatabase("A.DB", 60000, 20);
  fs::path img = tmp_ / "huge.img";
  const uint64_t at = (uint64_t{1} << 32) + 100;
  auto made = test::Run("truncate -s " + std::to_string(((uint64_t{1} << 32) + 4096) * 512) + " " +
                        ShellQuote(img.string()) + " && dd if=" + ShellQuote(a.string()) +
                        " of=" + ShellQuote(img.string()) + " bs=512 seek=" + std::to_string(at) +
                        " conv=notrunc status=none");
  if (made.Status != 0) GTEST_SKIP() << "no room for a sparse 2 TiB image: " << made.Err;
  fs::path out = tmp_ / "out";
  fs::create_directory(out);
  auto r =
      test::Run(Cli("rescue " + ShellQuote(img.string()) + " --out " + ShellQuote(out.string()) +
                    " --range " + std::to_string(at - 50) + "-" + std::to_string(at + 1000)));
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, "Rescued file 1\n");
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(out)) files.push_back(e.path());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(test::Sha256OfFile(files[0]), test::Sha256OfFile(a));
}

TEST_F(CliTest, CtrlCCancelsTheSearchAndTheRescueStillEnds) {
  // A 40 GiB disk of zeros. An image file's holes are not read, so the
  // search of a sparse file would end at once: the disk is a loop device.
  fs::path backing = tmp_ / "long.img";
  ASSERT_EQ(test::Run("truncate -s 40G " + ShellQuote(backing.string())).Status, 0);
  auto loop = test::Run("losetup -f --show " + ShellQuote(backing.string()));
  if (loop.Status != 0) GTEST_SKIP() << "no loop device: " << loop.Err;
  const std::string img = loop.Out.substr(0, loop.Out.find('\n'));
  struct Detach {
    std::string dev;
    ~Detach() { test::Run("losetup -d " + dev); }
  } detach{img};
  fs::path out = tmp_ / "out";
  fs::create_directory(out);
  fs::path log = tmp_ / "stdout";
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::setenv("TARNWICK_LANG", "en", 1);
    if (!std::freopen(log.c_str(), "w", stdout) || !std::freopen("/dev/null", "w", stderr))
      ::_exit(126);
    ::execl(TARNWICK_CLI, TARNWICK_CLI, "rescue", img.c_str(), "--out", out.c_str(), nullptr);
    ::_exit(127);
  }
  // Give it time to reach the search, then press Ctrl-C (scanning all of 40 GiB
  // takes far longer than this).
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ::kill(pid, SIGINT);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by a signal instead of cancelling";
  EXPECT_EQ(WEXITSTATUS(status), 130) << "a cut-short run is not a finished one";
  std::ifstream in(log);
  std::string text((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(text, "Rescued file 0\n");
}

}  // namespace
}  // namespace tarnwick
