// A rescue of the whole of a disk of more than 2^32 sectors, as a sparse
// image: its holes are not read, and a file past sector 2^32 is found, carved
// and reported at its own sector, not at its low 32 bits.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>

#include "support/test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using test::ShellQuote;

// A QQ-like compound file made by gsf.
std::vector<uint8_t> MakeDatabase(const fs::path& dir) {
  fs::create_directories(dir / "msg");
  test::WriteFileBytes(dir / "Matrix.dat", test::RandomBytes(70000, 5));
  test::WriteFileBytes(dir / "seqbase.dat", test::RandomBytes(30000, 6));
  test::WriteFileBytes(dir / "msg" / "Data.msj", test::RandomBytes(12000, 7));
  auto r = test::Run("cd " + ShellQuote(dir.string()) +
                     " && gsf createole Msg.db Matrix.dat seqbase.dat msg");
  EXPECT_EQ(r.Status, 0) << r.Err;
  return test::ReadFileBytes(dir / "Msg.db");
}

TEST(BigDisk, AWhole4TiBImageIsScannedAndAFileBeyondSector2To32RescuedWithSmallMemory) {
  if (!test::HaveTool("gsf")) GTEST_SKIP() << "gsf is not installed";
  test::TempDir dir("bigdisk");
  const auto db = MakeDatabase(dir / "db");
  ASSERT_FALSE(db.empty());

  constexpr uint64_t kSectors = (uint64_t{4} << 40) / 512 + 65536;  // 4 TiB and 32 MiB
  constexpr uint64_t kAt = kSectors - 40'001;  // far past 2^32, its low 32 bits far before
  static_assert(kAt > (uint64_t{1} << 32) + 40'000);
  const fs::path img = dir / "disk.img";
  {
    std::ofstream out(img, std::ios::binary);
    out.seekp(static_cast<std::streamoff>(kAt * 512));
    out.write(reinterpret_cast<const char*>(db.data()), static_cast<std::streamsize>(db.size()));
  }
  std::error_code ec;
  fs::resize_file(img, kSectors * 512, ec);
  if (ec) GTEST_SKIP() << "no sparse file of 4 TiB here: " << ec.message();

  const fs::path out = dir / "out", report = dir / "report.json";
  fs::create_directories(out);
  // Every sector of the disk is in the scan; only the database's are read.
  auto r = test::Run(std::string("TARNWICK_LANG=en ") + TARNWICK_CLI + " rescue " +
                     ShellQuote(img.string()) + " --out " + ShellQuote(out.string()) +
                     " --report " + ShellQuote(report.string()));
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_NE(r.Out.find("Rescued file 1"), std::string::npos) << r.Out;

  // Named after its offset in 512-byte units and holding the database's bytes.
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(out)) files.push_back(e.path());
  ASSERT_EQ(files.size(), 1u);
  const auto rescued = test::ReadFileBytes(files[0]);
  ASSERT_GE(rescued.size(), db.size());
  EXPECT_TRUE(std::equal(db.begin(), db.end(), rescued.begin()));
  std::ifstream in(report);
  std::string json((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(json.find("\"start_sector\": " + std::to_string(kAt)), std::string::npos) << json;

  // One bit per sector would be 1 GiB for this disk, allocated before the
  // first read; the map holds what is marked instead.
  rusage usage{};
  ASSERT_EQ(getrusage(RUSAGE_CHILDREN, &usage), 0);
  EXPECT_LT(usage.ru_maxrss, 128 * 1024) << "KiB at the peak of a child";
}

}  // namespace
}  // namespace tarnwick
