// Whole-disk images made by sfdisk and sgdisk with volumes from the real
// formatters inside: the rescue of the whole disk against the rescues of its
// partitions one by one, and formatted volumes whose geometry nobody gives.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using test::ShellQuote;

std::string Cli(const std::string& args) {
  return std::string("TARNWICK_LANG=en ") + TARNWICK_CLI + " " + args;
}

class WholeDiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"sfdisk", "sgdisk", "mmls", "mkfs.vfat", "mcopy", "mkfs.ntfs",
                             "ntfscp", "gsf"})
      if (!test::HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
    for (int i = 1; i <= 8; ++i) MakeDatabase(i);
  }

  // QQ<i>.db: a compound file with the two names a QQ database holds.
  void MakeDatabase(int i) {
    fs::path dir = tmp_ / ("db" + std::to_string(i));
    fs::create_directories(dir / "msg");
    test::WriteFileBytes(dir / "Matrix.dat", test::RandomBytes(50000 + 7000 * i, 100 + i));
    test::WriteFileBytes(dir / "seqbase.dat", test::RandomBytes(30000, 200 + i));
    test::WriteFileBytes(dir / "msg" / "Data.msj", test::RandomBytes(12000, 300 + i));
    auto r = test::Run("cd " + ShellQuote(dir.string()) + " && gsf createole QQ" +
                       std::to_string(i) + ".db Matrix.dat seqbase.dat msg");
    ASSERT_EQ(r.Status, 0) << r.Err;
    hashes_[i] = test::Sha256OfFile(dir / ("QQ" + std::to_string(i) + ".db"));
  }

  // Runs a bash script in the temporary folder; $D<i> names database i.
  void Sh(const std::string& script) {
    std::string vars;
    for (int i = 1; i <= 8; ++i)
      vars += "D" + std::to_string(i) + "=db" + std::to_string(i) + "/QQ" + std::to_string(i) +
              ".db; ";
    auto r = test::Run("cd " + ShellQuote(tmp_.Path().string()) + " && bash -ec " +
                       ShellQuote(vars + script) + " 2>&1");
    ASSERT_EQ(r.Status, 0) << r.Out;
  }

  // The hashes of what a rescue wrote, and its stderr.
  std::multiset<std::string> Rescue(const std::string& args, std::string* err = nullptr) {
    fs::path out = tmp_ / ("out" + std::to_string(++runs_));
    fs::create_directories(out);
    auto r = test::Run(Cli("rescue " + args + " --out " + ShellQuote(out.string())));
    EXPECT_EQ(r.Status, 0) << r.Err;
    if (err) *err = r.Err;
    std::multiset<std::string> got;
    for (const auto& e : fs::directory_iterator(out))
      if (e.is_regular_file()) got.insert(test::Sha256OfFile(e.path()));
    return got;
  }

  std::string Img(const std::string& name) { return ShellQuote((tmp_ / name).string()); }

  test::TempDir tmp_{"wholedisk"};
  std::map<int, std::string> hashes_;
  int runs_ = 0;
};

// MBR with a logical partition; a FAT16 partition with a deleted database,
// an NTFS logical partition, and a FAT16 partition deleted from the table
// with its volume intact.
TEST_F(WholeDiskTest, MbrDiskBringsBackWhatItsPartitionsDoAndTheDeletedOne) {
  Sh(R"(truncate -s 48M disk.img
printf 'label: dos\nstart=2048, size=20480, type=e\nstart=22528, size=40000, type=5\nstart=24576, size=16384, type=7\nstart=65536, size=20480, type=e\n' | sfdisk -q disk.img
mkfs.vfat -F 16 -s 4 --offset 2048 disk.img 10240 >/dev/null
mcopy -i disk.img@@1048576 $D1 ::/ ; mcopy -i disk.img@@1048576 $D2 ::/ ; mdel -i disk.img@@1048576 ::/QQ1.db
truncate -s 8M ntfs.img
mkfs.ntfs -q -F -f -c 4096 -s 512 -p 24576 -H 255 -S 63 ntfs.img
ntfscp -q ntfs.img $D3 QQ3.db
dd if=ntfs.img of=disk.img bs=512 seek=24576 conv=notrunc status=none
mkfs.vfat -F 16 -s 2 --offset 65536 disk.img 10240 >/dev/null
mcopy -i disk.img@@33554432 $D4 ::/
printf 'label: dos\nstart=2048, size=20480, type=e\nstart=22528, size=40000, type=5\nstart=24576, size=16384, type=7\n' | sfdisk -q disk.img
)");
  // partitions agrees with mmls on where each partition lies.
  auto listed = test::Run(Cli("partitions " + Img("disk.img")));
  ASSERT_EQ(listed.Status, 0) << listed.Err;
  EXPECT_EQ(listed.Out,
            "1\t2048\t22527\t0x0e FAT16 (LBA)\tFAT16\t-\n"
            "5\t24576\t40959\t0x07 NTFS/exFAT\tNTFS\t-\n");
  auto mmls = test::Run("mmls " + Img("disk.img"));
  EXPECT_NE(mmls.Out.find("0000002048   0000022527"), std::string::npos) << mmls.Out;
  EXPECT_NE(mmls.Out.find("0000024576   0000040959"), std::string::npos) << mmls.Out;

  std::string err;
  auto whole = Rescue(Img("disk.img"), &err);
  auto p1 = Rescue(Img("disk.img") + " --partition 1");
  auto p5 = Rescue(Img("disk.img") + " --partition 5");
  EXPECT_EQ(p1, (std::multiset<std::string>{hashes_[1], hashes_[2]}));
  EXPECT_EQ(p5, (std::multiset<std::string>{hashes_[3]}));
  // Each partition's rescue, byte for byte, and the deleted partition's database.
  std::multiset<std::string> want = p1;
  want.insert(p5.begin(), p5.end());
  want.insert(hashes_[4]);
  EXPECT_EQ(whole, want);
  EXPECT_NE(err.find("FAT16 boot sector at sector 65536"), std::string::npos) << err;

  // identify on a partition of the disk, and a partition that is not there.
  auto id = test::Run(Cli("identify --json --partition 5 " + Img("disk.img")));
  EXPECT_NE(id.Out.find("\"kind\": \"partition\""), std::string::npos) << id.Out;
  EXPECT_NE(id.Out.find("\"fs_name\": \"NTFS\""), std::string::npos) << id.Out;
  EXPECT_NE(id.Out.find("\"last_sector\": 16383"), std::string::npos) << id.Out;
  auto none = test::Run(Cli("identify --partition 2 " + Img("disk.img")));
  EXPECT_EQ(none.Status, 1);
  EXPECT_NE(none.Err.find("no partition 2"), std::string::npos) << none.Err;
  EXPECT_EQ(test::Run(Cli("identify --partition x " + Img("disk.img"))).Status, 2);
  // hexdump of a partition's sector 0 is the disk's sector 24576.
  EXPECT_EQ(test::Run(Cli("hexdump --partition 5 " + Img("disk.img") + " 0")).Out.substr(10),
            test::Run(Cli("hexdump " + Img("disk.img") + " 24576")).Out.substr(10));
}

// GPT whose primary header is overwritten: the backup tells the partitions.
TEST_F(WholeDiskTest, GptDiskWithALostPrimaryHeader) {
  Sh(R"(truncate -s 40M gpt.img
sgdisk -n 1:2048:+16M -t 1:0700 -c 1:first -n 2:0:+12M -t 2:0700 gpt.img >/dev/null
mkfs.vfat -F 16 -s 8 --offset 2048 gpt.img 16384 >/dev/null
mcopy -i gpt.img@@1048576 $D5 ::/ ; mcopy -i gpt.img@@1048576 $D6 ::/ ; mdel -i gpt.img@@1048576 ::/QQ6.db
truncate -s 12M ntfs.img
mkfs.ntfs -q -F -f -c 2048 -s 512 -p 34816 -H 255 -S 63 ntfs.img
ntfscp -q ntfs.img $D7 QQ7.db
dd if=ntfs.img of=gpt.img bs=512 seek=34816 conv=notrunc status=none
dd if=/dev/urandom of=gpt.img bs=512 seek=1 count=1 conv=notrunc status=none
)");
  auto listed = test::Run(Cli("partitions --json " + Img("gpt.img")));
  ASSERT_EQ(listed.Status, 0) << listed.Err;
  EXPECT_NE(listed.Out.find("\"backup_used\": true"), std::string::npos) << listed.Out;
  EXPECT_NE(listed.Out.find("\"first_sector\": 34816, \"last_sector\": 59391"), std::string::npos)
      << listed.Out;
  EXPECT_NE(listed.Out.find("\"name\": \"first\""), std::string::npos) << listed.Out;
  auto whole = Rescue(Img("gpt.img"));
  auto p1 = Rescue(Img("gpt.img") + " --partition 1");
  auto p2 = Rescue(Img("gpt.img") + " --partition 2");
  EXPECT_EQ(p1, (std::multiset<std::string>{hashes_[5], hashes_[6]}));
  EXPECT_EQ(p2, (std::multiset<std::string>{hashes_[7]}));
  std::multiset<std::string> want = p1;
  want.insert(p2.begin(), p2.end());
  EXPECT_EQ(whole, want);
}

// An NTFS volume formatted as FAT32: its backup boot sector at the last
// sector survives and tells the old geometry, shown by identify and used when
// the user says "formatted" and nothing more.
TEST_F(WholeDiskTest, NtfsFormattedAsFat32ComesBackByItsBackupBootSector) {
  Sh(R"(truncate -s 40M vol.img
mkfs.ntfs -q -F -f -c 8192 -s 512 vol.img
ntfscp -q vol.img $D1 QQ1.db
ntfscp -q vol.img $D2 QQ2.db
mkfs.vfat -F 32 -s 1 vol.img >/dev/null
)");
  auto id = test::Run(Cli("identify " + Img("vol.img")));
  EXPECT_NE(id.Out.find("FsKind: 2 FAT32"), std::string::npos) << id.Out;
  EXPECT_NE(id.Out.find("FormerFsKind: NTFS\nFormerSectorsPerCluster: 16\nFormerClusterPhase: 0\n"
                        "FormerFrom: NTFS backup boot sector at sector 81919\n"),
            std::string::npos)
      << id.Out;
  std::string err;
  auto formatted = Rescue(Img("vol.img") + " --reason formatted", &err);
  EXPECT_NE(err.find("A former NTFS volume was found"), std::string::npos) << err;
  EXPECT_EQ(formatted, (std::multiset<std::string>{hashes_[1], hashes_[2]}));
  // What a user who remembered would have got.
  EXPECT_EQ(Rescue(Img("vol.img") + " --reason formatted --fs NTFS --cluster 8K"), formatted);
}

// A FAT16 volume with 8K clusters formatted as NTFS: no boot sector of the
// old volume is left, and the cluster size comes from the file starts.
TEST_F(WholeDiskTest, FatFormattedAsNtfsTakesItsClustersFromTheFileStarts) {
  Sh(R"(truncate -s 40M vol.img
mkfs.vfat -F 16 -s 16 -R 3 vol.img >/dev/null
for i in 1 2 3 4 5 6 7 8; do eval mcopy -i vol.img \$D$i ::/; done
mkfs.ntfs -q -F -f -c 4096 -s 512 vol.img
)");
  auto fat = test::Run("cd " + ShellQuote(tmp_.Path().string()) +
                       " && truncate -s 40M probe.img && mkfs.vfat -F 16 -s 16 -R 3 probe.img "
                       ">/dev/null && fsstat probe.img | grep -m1 'Data Area'");
  // The old FAT's data area starts where its first cluster does.
  uint64_t dataStart = std::stoull(fat.Out.substr(fat.Out.find(':') + 1));
  std::string err;
  fs::path report = tmp_ / "report.json";
  auto got = Rescue(Img("vol.img") + " --reason formatted --report " +
                        ShellQuote(report.string()),
                    &err);
  std::multiset<std::string> want;
  for (int i = 1; i <= 8; ++i) want.insert(hashes_[i]);
  EXPECT_EQ(got, want);
  EXPECT_NE(err.find("16 sectors per cluster at phase " + std::to_string(dataStart % 16)),
            std::string::npos)
      << err;
  auto rep = test::Run("/usr/bin/python3 -c 'import json,sys; g=json.load(open(sys.argv[1]))"
                       "[\"geometry\"]; print(g[\"sectors_per_cluster\"])' " +
                       ShellQuote(report.string()));
  EXPECT_EQ(rep.Out, "16\n") << rep.Err;
}

// FAT32 formatted as NTFS: the format wrote over FAT32's backup boot sector
// too, so the old clusters come from the file starts.
TEST_F(WholeDiskTest, Fat32FormattedAsNtfsTakesItsClustersFromTheFileStarts) {
  Sh(R"(truncate -s 72M vol.img
mkfs.vfat -F 32 -s 2 -R 33 vol.img >/dev/null
for i in 1 2 3 4 5 6 7 8; do eval mcopy -i vol.img \$D$i ::/; done
fsstat vol.img | grep -m1 'Data Area' > data-area.txt
mkfs.ntfs -q -F -f -c 4096 -s 512 vol.img
)");
  std::string area = test::Run("cat " + Img("data-area.txt")).Out;
  uint64_t dataStart = std::stoull(area.substr(area.find(':') + 1));
  std::string err;
  auto got = Rescue(Img("vol.img") + " --reason formatted", &err);
  std::multiset<std::string> want;
  for (int i = 1; i <= 8; ++i) want.insert(hashes_[i]);
  EXPECT_EQ(got, want);
  EXPECT_NE(err.find("2 sectors per cluster at phase " + std::to_string(dataStart % 2)),
            std::string::npos)
      << err;
}

// A disk repartitioned: the FAT16 partition at 2048 gave way to an NTFS one
// at 6144, quick-formatted over it. The old boot sector survives before the
// new partition and the old volume's clusters are read inside it too.
TEST_F(WholeDiskTest, RepartitionedDiskKeepsTheOlderVolumesFileStarts) {
  Sh(R"(truncate -s 64M rep.img
printf 'label: dos\nstart=2048, size=120000, type=e\n' | sfdisk -q rep.img
mkfs.vfat -F 16 -s 4 --offset 2048 rep.img 60000 >/dev/null
head -c 40000000 /dev/zero > filler.bin
mcopy -i rep.img@@1048576 filler.bin ::/
for i in 1 2 3 4 5 6; do eval mcopy -i rep.img@@1048576 \$D$i ::/; done
printf 'label: dos\nstart=6144, size=120000, type=7\n' | sfdisk -q --wipe never rep.img
truncate -s 61440000 ntfs.img
mkfs.ntfs -q -F -f -c 4096 -s 512 -p 6144 -H 255 -S 63 ntfs.img
dd if=ntfs.img of=rep.img bs=512 seek=6144 conv=notrunc,sparse status=none
)");
  std::string err;
  auto got = Rescue(Img("rep.img"), &err);
  std::multiset<std::string> want;
  for (int i = 1; i <= 6; ++i) want.insert(hashes_[i]);
  EXPECT_EQ(got, want);
  EXPECT_NE(err.find("partition 1, NTFS, 8 sectors per cluster at phase 0, and a former "
                     "volume's 4 at phase"),
            std::string::npos)
      << err;
}

}  // namespace
}  // namespace tarnwick
