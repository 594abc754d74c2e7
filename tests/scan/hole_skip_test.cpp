// A sparse image is searched without reading its holes, and finds what
// reading every sector of the same bytes finds.
#include "scan/hole_skip.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "scan/deep_scan.h"
#include "source/device.h"
#include "source/slice_device.h"
#include "support/sessions.h"
#include "support/test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kMiB = uint64_t{1} << 20;

// Writes bytes at offset of a file that is otherwise a hole.
void WriteAt(const fs::path& path, uint64_t offset, const std::vector<uint8_t>& bytes) {
  std::fstream out(path, std::ios::in | std::ios::out | std::ios::binary);
  out.seekp(static_cast<std::streamoff>(offset));
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// A 24 MiB sparse image: a compound file at its start, one behind a hole
// and ending in the middle of a file-system block, one in its last MiB.
struct SparseImage {
  test::TempDir dir{"holes"};
  fs::path path = dir / "sparse.img";
  std::vector<uint8_t> database;

  SparseImage() {
    fs::create_directories(dir / "db");
    test::WriteFileBytes(dir / "db" / "Matrix.dat", test::RandomBytes(20000, 3));
    test::WriteFileBytes(dir / "db" / "seqbase.dat", test::RandomBytes(9000, 4));
    auto r = test::Run("cd " + test::ShellQuote((dir / "db").string()) +
                       " && gsf createole Msg.db Matrix.dat seqbase.dat");
    EXPECT_EQ(r.Status, 0) << r.Err;
    database = test::ReadFileBytes(dir / "db" / "Msg.db");
    { std::ofstream(path, std::ios::binary); }
    fs::resize_file(path, 24 * kMiB);
    WriteAt(path, 0, database);
    WriteAt(path, 9 * kMiB + 1536, database);
    WriteAt(path, 23 * kMiB, database);
  }
  std::vector<uint8_t> Bytes() const { return test::ReadFileBytes(path); }
};

std::vector<std::pair<uint64_t, uint8_t>> Search(Session& s) {
  RescueBoxes boxes;
  ScanRequest r;
  r.NeedFolder = false;
  r.FirstText = "0";
  r.LastText = std::to_string(s.Scan.LastSector);
  EXPECT_EQ(SearchPhase(s, boxes, r).ErrorSlot, 0);
  std::vector<std::pair<uint64_t, uint8_t>> found;
  for (uint64_t i = 0; i < s.Found.Count; ++i)
    found.emplace_back(s.Found.Sectors[i], s.Found.Types[i]);
  EndSearchOnly(s);
  return found;
}

// The sparse image opened as a file, where the file system reports holes.
class HoleSkipTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::HaveTool("gsf")) GTEST_SKIP() << "gsf is not installed";
    img = std::make_unique<SparseImage>();
    std::string error;
    device = FileDevice::Open(img->path.string(), error);
    ASSERT_NE(device, nullptr) << error;
    if (device->NextData(kMiB).Begin == kMiB) GTEST_SKIP() << "this file system shows no holes";
  }
  std::unique_ptr<SparseImage> img;
  std::unique_ptr<FileDevice> device;
};

TEST_F(HoleSkipTest, ASparseImageIsSearchedWithoutItsHolesAndFindsWhatItsBytesHold) {
  // The data stretches: the sector after a hole is where its data begins.
  HoleSkip holes(device.get(), 512);
  EXPECT_EQ(holes.NextDataSector(0), 0u);
  EXPECT_EQ(holes.NextDataSector(1), 1u);
  const uint64_t second = holes.NextDataSector(1 * kMiB / 512);
  EXPECT_GT(second, 8 * kMiB / 512);
  EXPECT_LE(second, (9 * kMiB + 1536) / 512);
  EXPECT_EQ(holes.NextDataSector((9 * kMiB + 1536) / 512), (9 * kMiB + 1536) / 512);
  EXPECT_EQ(holes.NextDataSector(20 * kMiB / 512), 23 * kMiB / 512);

  // The same bytes read sector by sector find the same starts.
  auto fromFile = test::EnglishSession();
  ASSERT_TRUE(OpenImage(*fromFile, img->path.string()).Opened);
  auto fromMemory = test::EnglishSession();
  ASSERT_TRUE(
      OpenImageDevice(*fromMemory, std::make_unique<MemoryDevice>(img->Bytes()), "m.img").Opened);
  const auto found = Search(*fromFile);
  EXPECT_EQ(found, Search(*fromMemory));
  std::vector<uint64_t> sectors;
  for (const auto& [sector, type] : found) sectors.push_back(sector);
  EXPECT_NE(std::find(sectors.begin(), sectors.end(), (9 * kMiB + 1536) / 512), sectors.end());
  EXPECT_NE(std::find(sectors.begin(), sectors.end(), 23 * kMiB / 512), sectors.end());
}

TEST_F(HoleSkipTest, APartitionSeesTheHolesOfItsDiskImageAtItsOwnOffsets) {
  SliceDevice part(*device, 4 * kMiB, 12 * kMiB);
  const ByteSpan data = part.NextData(0);
  EXPECT_LE(data.Begin, 5 * kMiB + 1536);
  EXPECT_GT(data.Begin, 4 * kMiB);
  EXPECT_LE(data.End, 12 * kMiB);
  // Past its data, the partition holds only holes up to its end, though the
  // disk has data beyond it.
  EXPECT_EQ(part.NextData(7 * kMiB).Begin, 12 * kMiB);
  EXPECT_EQ(part.NextData(12 * kMiB).Begin, 12 * kMiB);
}

}  // namespace
}  // namespace tarnwick
