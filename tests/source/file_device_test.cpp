#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include <algorithm>
#include <string>
#include <vector>

#include "source/device.h"
#include "support/test_support.h"
#ifdef _WIN32
#include "source/windows_device.h"
#endif

namespace tarnwick {
namespace {

TEST(FileDevice, ReadsAnImageAndKnowsItAgain) {
  test::TempDir dir("file-device");
  const std::vector<uint8_t> bytes = test::RandomBytes(5000, 3);
  test::WriteFileBytes(dir / "disk.img", bytes);
  test::WriteFileBytes(dir / "other.img", bytes);
  const std::string path = (dir / "disk.img").string();

  std::string error;
  auto device = FileDevice::Open(path, error);
  ASSERT_TRUE(device) << error;
  EXPECT_EQ(device->Size(), 5000u);
  EXPECT_EQ(device->Kind(), DeviceKind::Image);
  EXPECT_EQ(KindOfPath(path), DeviceKind::Image);

  // A read across the end delivers what there is and zeros behind it; one
  // beyond the end delivers nothing.
  std::vector<uint8_t> out(4096, 0x55);
  EXPECT_EQ(device->ReadAt(4096, out), 904);
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 904, bytes.begin() + 4096));
  EXPECT_TRUE(std::all_of(out.begin() + 904, out.end(), [](uint8_t b) { return b == 0; }));
  EXPECT_EQ(device->ReadAt(6000, out), 0);
  std::vector<uint8_t> odd(333);
  EXPECT_EQ(device->ReadAt(17, odd), 333);
  EXPECT_TRUE(std::equal(odd.begin(), odd.end(), bytes.begin() + 17));

  // The image itself may not be written to; a copy of it may.
  EXPECT_TRUE(LiesOnSource(device->Identity(), path));
  EXPECT_FALSE(LiesOnSource(device->Identity(), (dir / "other.img").string()));
  EXPECT_FALSE(IsDeviceOfSource(device->Identity(), path));
}

TEST(FileDevice, RefusesWhatIsNoSourceWithAReason) {
  test::TempDir dir("file-device-refused");
  std::string error;
  EXPECT_FALSE(FileDevice::Open(dir.Path().string(), error));
  EXPECT_NE(error.find("directory"), std::string::npos) << error;
  error.clear();
  EXPECT_FALSE(FileDevice::Open((dir / "missing.img").string(), error));
  EXPECT_FALSE(error.empty());
}

#ifdef _WIN32
TEST(WindowsDevice, RawPathsAreTold) {
  EXPECT_EQ(DiskNumberOfPath("\\\\.\\PhysicalDrive0"), 0);
  EXPECT_EQ(DiskNumberOfPath("\\\\.\\physicaldrive17"), 17);
  EXPECT_EQ(DiskNumberOfPath("\\\\.\\PhysicalDrive"), -1);
  EXPECT_EQ(DiskNumberOfPath("\\\\.\\PhysicalDrive1x"), -1);
  EXPECT_EQ(DiskNumberOfPath("C:\\PhysicalDrive1"), -1);
  EXPECT_EQ(VolumeLetterOfPath("\\\\.\\e:"), 'E');
  EXPECT_EQ(VolumeLetterOfPath("\\\\.\\E:\\"), 0);
  EXPECT_EQ(VolumeLetterOfPath("E:"), 0);
  EXPECT_EQ(KindOfPath("\\\\.\\PhysicalDrive2"), DeviceKind::Disk);
  EXPECT_EQ(KindOfPath("\\\\.\\D:"), DeviceKind::Partition);
  EXPECT_EQ(KindOfPath("D:\\images\\disk.img"), DeviceKind::Image);
}

TEST(WindowsDevice, TextsRoundTripThroughUtf16) {
  const std::string chinese = "\xe8\x81\x8a\xe5\xa4\xa9\xe8\xae\xb0\xe5\xbd\x95";  // 聊天记录
  const std::wstring wide = WidePath(chinese);
  ASSERT_EQ(wide.size(), 4u);
  EXPECT_EQ(wide[0], L'\u804a');
  EXPECT_EQ(NarrowText(wide), chinese);

  // A folder with that name holds an image that opens like any other.
  test::TempDir dir("utf16");
  const std::string folder = (dir.Path().string() + "\\" + chinese);
  ASSERT_TRUE(CreateDirectoryW(WidePath(folder).c_str(), nullptr));
  const std::string image = folder + "\\disk.img";
  HANDLE h = CreateFileW(WidePath(image).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  const char bytes[600] = {1, 2, 3};
  ASSERT_TRUE(WriteFile(h, bytes, sizeof bytes, &written, nullptr));
  CloseHandle(h);
  std::string error;
  auto device = FileDevice::Open(image, error);
  ASSERT_TRUE(device) << error;
  EXPECT_EQ(device->Size(), 600u);
}
#endif

}  // namespace
}  // namespace tarnwick
