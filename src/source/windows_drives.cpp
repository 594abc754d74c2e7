#include "source/drives.h"

#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cctype>

#include "source/windows_device.h"

namespace tarnwick {

namespace {

std::string Cased(std::string text, bool upper) {
  for (char& c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x80) c = static_cast<char>(upper ? std::toupper(u) : std::tolower(u));
  }
  return text;
}

// The text at offset of a storage descriptor, up to its zero or its end.
std::string DescriptorText(const std::vector<uint8_t>& d, DWORD got, DWORD offset) {
  std::string out;
  for (DWORD i = offset; offset != 0 && i < got && d[i] != 0; ++i)
    out += static_cast<char>(d[i]);
  return out;
}

// A volume's label, with the system's "insert a disk" boxes kept away.
std::string VolumeLabel(const std::wstring& root) {
  const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS);
  wchar_t label[MAX_PATH + 1] = {};
  const BOOL ok = GetVolumeInformationW(root.c_str(), label, MAX_PATH + 1, nullptr, nullptr,
                                        nullptr, nullptr, 0);
  SetErrorMode(previous);
  return ok ? NarrowText(label) : std::string();
}

}  // namespace

std::vector<DriveItem> RebuildDriveItems(const BlockTree&, TextCase textCase) {
  const bool upper = textCase == TextCase::UpperCase;
  std::vector<DriveItem> items;
  wchar_t roots[27 * 4 + 1] = {};
  const DWORD n = GetLogicalDriveStringsW(static_cast<DWORD>(std::size(roots) - 1), roots);
  if (n == 0 || n >= std::size(roots)) return items;
  for (const wchar_t* root = roots; *root; root += wcslen(root) + 1) {
    const char letterChar = static_cast<char>(root[0]);
    if (!std::isalpha(static_cast<unsigned char>(letterChar))) continue;
    const std::string letter = Cased(std::string(1, letterChar), upper);
    DriveItem item;
    item.DevicePath = std::string("\\\\.\\") + static_cast<char>(std::toupper(letterChar)) + ":";
    switch (GetDriveTypeW(root)) {
      case DRIVE_REMOVABLE:
        item.Kind = DriveKind::Removable;
        item.Text = letter + ":";
        items.push_back(item);
        continue;
      case DRIVE_FIXED: item.Kind = DriveKind::Fixed; break;
      case DRIVE_CDROM: item.Kind = DriveKind::Optical; break;
      case DRIVE_RAMDISK: item.Kind = DriveKind::Ram; break;
      case DRIVE_REMOTE: item.Kind = DriveKind::Network; break;
      default: continue;
    }
    item.Text = letter + ": [" + Cased(VolumeLabel(root), upper) + "]";
    items.push_back(item);
  }
  return items;
}

std::vector<DriveItem> PhysicalDiskItems(const BlockTree&) {
  std::vector<DriveItem> items;
  for (int n = 0; n < kMaxListedDisks; ++n) {
    const std::string path = "\\\\.\\PhysicalDrive" + std::to_string(n);
    HANDLE h = CreateFileW(WidePath(path).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) continue;
    DISK_GEOMETRY_EX geometry[8]{};
    DWORD got = 0;
    if (!DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, geometry,
                         sizeof geometry, &got, nullptr)) {
      CloseHandle(h);
      continue;
    }
    DriveItem item;
    item.IsDisk = true;
    item.DevicePath = path;
    item.Kind = DriveKind::Fixed;
    std::string prefix = "HD", description;
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    std::vector<uint8_t> d(4096);
    if (DeviceIoControl(h, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, d.data(),
                        static_cast<DWORD>(d.size()), &got, nullptr) &&
        got >= sizeof(STORAGE_DEVICE_DESCRIPTOR)) {
      const auto* desc = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(d.data());
      description = DiskDescription(DescriptorText(d, got, desc->VendorIdOffset),
                                    DescriptorText(d, got, desc->ProductIdOffset));
      if (desc->RemovableMedia) {
        prefix = "RM";
        item.Kind = DriveKind::Removable;
      }
    }
    item.Text = prefix + std::to_string(n) + description + " (" +
                SizeText(geometry[0].DiskSize.QuadPart) + ")";
    items.push_back(std::move(item));
    CloseHandle(h);
  }
  return items;
}

// No probing library here: a partition's own boot sector is all that tells
// what it holds.
void ProbeVolumeAt(const std::string&, uint64_t, uint64_t, std::string& type,
                   std::string& label) {
  type.clear();
  label.clear();
}

std::optional<VolumeProbe> ProbeVolume(const std::string& devicePath) {
  const char letter = VolumeLetterOfPath(devicePath);
  if (letter == 0) return std::nullopt;
  const std::wstring root = WidePath(std::string(1, letter) + ":\\");
  VolumeProbe out;
  const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS);
  wchar_t label[MAX_PATH + 1] = {};
  wchar_t fileSystem[MAX_PATH + 1] = {};
  const BOOL ok = GetVolumeInformationW(root.c_str(), label, MAX_PATH + 1, nullptr, nullptr,
                                        nullptr, fileSystem, MAX_PATH + 1);
  SetErrorMode(previous);
  if (!ok) return std::nullopt;
  out.HasFileSystem = fileSystem[0] != 0;
  out.Label = NarrowText(label);
  return out;
}

}  // namespace tarnwick
#endif  // _WIN32
