#include "source/windows_device.h"

#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace tarnwick {

namespace {

constexpr uint32_t kLargestBounce = 1u << 20;
constexpr size_t kBounceAlignment = 4096;

bool StartsWithDevicePrefix(const std::string& path) {
  return path.size() > 4 && (path.compare(0, 4, "\\\\.\\") == 0 || path.compare(0, 4, "//./") == 0);
}

struct Handle {
  HANDLE h = INVALID_HANDLE_VALUE;
  explicit Handle(HANDLE value) : h(value) {}
  ~Handle() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool Valid() const { return h != INVALID_HANDLE_VALUE; }
};

// The disk a disk or volume handle lies on, or -1.
int64_t DiskNumberOfHandle(HANDLE h) {
  STORAGE_DEVICE_NUMBER number{};
  DWORD got = 0;
  if (!DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof number,
                       &got, nullptr))
    return -1;
  return static_cast<int64_t>(number.DeviceNumber);
}

// The disk that the volume holding path lies on, or -1.
int64_t DiskNumberOfFolder(const std::string& path) {
  wchar_t mountPoint[MAX_PATH + 1] = {};
  if (!GetVolumePathNameW(WidePath(path).c_str(), mountPoint, MAX_PATH)) return -1;
  wchar_t volume[MAX_PATH + 1] = {};
  if (!GetVolumeNameForVolumeMountPointW(mountPoint, volume, MAX_PATH)) return -1;
  std::wstring device = volume;
  if (!device.empty() && device.back() == L'\\') device.pop_back();  // the volume, not its root
  Handle h(CreateFileW(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr));
  return h.Valid() ? DiskNumberOfHandle(h.h) : -1;
}

bool FileIdOf(const std::string& path, uint64_t& volume, uint64_t& index) {
  Handle h(CreateFileW(WidePath(path).c_str(), 0,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!h.Valid() || !GetFileInformationByHandle(h.h, &info)) return false;
  volume = info.dwVolumeSerialNumber;
  index = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  return true;
}

bool DeviceWentAway(DWORD error) {
  return error == ERROR_NOT_READY || error == ERROR_DEVICE_NOT_CONNECTED ||
         error == ERROR_DEV_NOT_EXIST ||
         error == ERROR_MEDIA_CHANGED || error == ERROR_NO_MEDIA_IN_DRIVE;
}

}  // namespace

std::wstring WidePath(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                    nullptr, 0);
  std::wstring out(static_cast<size_t>(std::max(n, 0)), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string NarrowText(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                    nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(std::max(n, 0)), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

std::string SystemMessage(unsigned long error) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out = n > 0 && text ? NarrowText(std::wstring(text, n)) : std::string();
  if (text) LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' ||
                          out.back() == '.'))
    out.pop_back();
  return out.empty() ? "system error " + std::to_string(error) : out;
}

int DiskNumberOfPath(const std::string& path) {
  if (!StartsWithDevicePrefix(path)) return -1;
  const std::string rest = path.substr(4);
  static const char kDrive[] = "physicaldrive";
  if (rest.size() <= sizeof kDrive - 1) return -1;
  for (size_t i = 0; i + 1 < sizeof kDrive; ++i)
    if (std::tolower(static_cast<unsigned char>(rest[i])) != kDrive[i]) return -1;
  int n = 0;
  for (size_t i = sizeof kDrive - 1; i < rest.size(); ++i) {
    if (rest[i] < '0' || rest[i] > '9' || n > 100000) return -1;
    n = n * 10 + (rest[i] - '0');
  }
  return n;
}

char VolumeLetterOfPath(const std::string& path) {
  if (!StartsWithDevicePrefix(path) || path.size() != 6 || path[5] != ':') return 0;
  const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(path[4])));
  return c >= 'A' && c <= 'Z' ? c : 0;
}

std::unique_ptr<FileDevice> FileDevice::Open(const std::string& path, std::string& error) {
  return WindowsDevice::Open(path, error);
}

std::unique_ptr<WindowsDevice> WindowsDevice::Open(const std::string& path, std::string& error) {
  const bool raw = StartsWithDevicePrefix(path);
  const std::wstring wide = WidePath(path);
  if (!raw) {
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      error = "is a directory";
      return nullptr;
    }
  }
  HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    error = SystemMessage(code);
    if (raw && code == ERROR_ACCESS_DENIED)
      error += " (raw disks and volumes are read only by an administrator: start the console "
               "with \"Run as administrator\")";
    return nullptr;
  }
  std::unique_ptr<WindowsDevice> device(new WindowsDevice());
  device->handle_ = h;
  device->raw_ = raw;
  if (raw) {
    device->kind_ = DiskNumberOfPath(path) >= 0 ? DeviceKind::Disk : DeviceKind::Partition;
    device->identity_.isBlock = true;
    const int64_t disk = DiskNumberOfHandle(h);
    device->identity_.rdev = disk >= 0 ? static_cast<uint64_t>(disk) + 1 : 0;
    GET_LENGTH_INFORMATION length{};
    DISK_GEOMETRY_EX geometry[8]{};  // room for the partition and detection data behind it
    DWORD got = 0;
    const bool haveLength = DeviceIoControl(h, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length,
                                            sizeof length, &got, nullptr);
    const bool haveGeometry = DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0,
                                              geometry, sizeof geometry, &got, nullptr);
    const uint32_t sector = haveGeometry ? geometry[0].Geometry.BytesPerSector : 0;
    int64_t bytes = haveLength ? length.Length.QuadPart : -1;
    if (bytes < 0 && haveGeometry && device->kind_ == DeviceKind::Disk)
      bytes = geometry[0].DiskSize.QuadPart;
    if (bytes >= 0 && sector > 0 && (sector & (sector - 1)) == 0 && sector <= kLargestBounce) {
      device->size_ = static_cast<uint64_t>(bytes);
      device->sectorSize_ = sector;
    } else {
      device->geometryKnown_ = false;
    }
  } else {
    device->kind_ = DeviceKind::Image;
    BY_HANDLE_FILE_INFORMATION info{};
    LARGE_INTEGER size{};
    if (!GetFileInformationByHandle(h, &info) || !GetFileSizeEx(h, &size)) {
      error = SystemMessage(GetLastError());
      return nullptr;
    }
    if (GetFileType(h) != FILE_TYPE_DISK) {
      error = "is not a disk or an image file";
      return nullptr;
    }
    device->identity_.dev = info.dwVolumeSerialNumber;
    device->identity_.ino = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    device->size_ = static_cast<uint64_t>(size.QuadPart);
  }
  return device;
}

WindowsDevice::~WindowsDevice() {
  if (handle_) CloseHandle(static_cast<HANDLE>(handle_));
  if (bounce_) ::operator delete (bounce_, std::align_val_t{kBounceAlignment});
}

// One read at offset; got is what arrived (short only at the end).
bool WindowsDevice::ReadAligned(uint64_t offset, uint8_t* into, uint32_t bytes, uint32_t& got) {
  got = 0;
  while (got < bytes) {
    OVERLAPPED at{};
    const uint64_t where = offset + got;
    at.Offset = static_cast<DWORD>(where & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(where >> 32);
    DWORD n = 0;
    if (!ReadFile(static_cast<HANDLE>(handle_), into + got, bytes - got, &n, &at)) {
      const DWORD code = GetLastError();
      if (code == ERROR_HANDLE_EOF) return true;
      if (DeviceWentAway(code)) gone_ = true;
      return false;
    }
    if (n == 0) return true;
    got += n;
  }
  return true;
}

int64_t WindowsDevice::ReadAt(uint64_t offset, std::span<uint8_t> out) {
  std::fill(out.begin(), out.end(), uint8_t{0});
  if (out.empty() || offset >= size_) return 0;
  const uint64_t wanted = std::min<uint64_t>(out.size(), size_ - offset);
  if (!raw_) {
    uint64_t done = 0;
    while (done < wanted) {
      const uint32_t step = static_cast<uint32_t>(std::min<uint64_t>(wanted - done, kLargestBounce));
      uint32_t got = 0;
      if (!ReadAligned(offset + done, out.data() + done, step, got)) {
        std::fill(out.begin(), out.end(), uint8_t{0});
        return -1;
      }
      done += got;
      if (got < step) break;
    }
    return static_cast<int64_t>(done);
  }
  // A raw device: whole sectors, into memory aligned to the sector size.
  const uint64_t sector = sectorSize_;
  uint64_t done = 0;
  while (done < wanted) {
    const uint64_t at = offset + done;
    const uint64_t first = at / sector * sector;
    const uint64_t last = std::min<uint64_t>((offset + wanted + sector - 1) / sector * sector,
                                             first + kLargestBounce);
    const uint32_t bytes = static_cast<uint32_t>(last - first);
    if (bounce_ == nullptr) {
      bounce_ = static_cast<uint8_t*>(
          ::operator new (kLargestBounce, std::align_val_t{kBounceAlignment}));
      bounceBytes_ = kLargestBounce;
    }
    uint32_t got = 0;
    if (!ReadAligned(first, bounce_, bytes, got)) {
      std::fill(out.begin(), out.end(), uint8_t{0});
      return -1;
    }
    const uint64_t skip = at - first;
    if (got <= skip) break;
    const uint64_t take = std::min<uint64_t>(got - skip, wanted - done);
    std::memcpy(out.data() + done, bounce_ + skip, static_cast<size_t>(take));
    done += take;
    if (got < bytes) break;
  }
  return static_cast<int64_t>(done);
}

DeviceKind KindOfPath(const std::string& path) {
  if (DiskNumberOfPath(path) >= 0) return DeviceKind::Disk;
  if (VolumeLetterOfPath(path) != 0) return DeviceKind::Partition;
  return DeviceKind::Image;
}

bool LiesOnSource(const DeviceIdentity& id, const std::string& path) {
  if (id.isBlock) {
    if (id.rdev == 0) return false;
    const int64_t disk = DiskNumberOfFolder(path);
    return disk >= 0 && static_cast<uint64_t>(disk) + 1 == id.rdev;
  }
  uint64_t volume = 0, index = 0;
  return id.ino != 0 && FileIdOf(path, volume, index) && volume == id.dev && index == id.ino;
}

bool IsDeviceOfSource(const DeviceIdentity& id, const std::string& path) {
  if (!id.isBlock || id.rdev == 0 || !StartsWithDevicePrefix(path)) return false;
  Handle h(CreateFileW(WidePath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr));
  if (!h.Valid()) return false;
  const int64_t disk = DiskNumberOfHandle(h.h);
  return disk >= 0 && static_cast<uint64_t>(disk) + 1 == id.rdev;
}

}  // namespace tarnwick
#endif  // _WIN32
