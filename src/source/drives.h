#pragma once
// The drive list: the volumes of this machine (partitions, removable drives,
// optical drives, RAM disks), then the whole disks. Read from
// /sys/class/block and libblkid on Linux (posix_drives.cpp), from the volume
// and disk calls on Windows (windows_drives.cpp).
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick {

// The icon an item carries.
enum class DriveKind { Removable, Fixed, Network, Optical, Ram };

enum class TextCase { LowerCase, UpperCase };

struct DriveItem {
  std::string Text;        // what the list shows
  std::string DevicePath;  // what an open reads
  DriveKind Kind = DriveKind::Fixed;
  bool IsDisk = false;  // a whole-disk item ("HD0 ..." or "RM0 ...")
};

// What a probe of a volume found.
struct VolumeProbe {
  bool HasFileSystem = false;
  std::string Label;
};
// Probes a device for a file system and its label; nothing when it cannot be read.
using VolumeProber = std::function<std::optional<VolumeProbe>(const std::string& devicePath)>;

// The machine the list describes: where the block-device tree and the device
// nodes live, and how labels are read. Tests point it at a tree of their own.
struct BlockTree {
  std::string SysClassBlock = "/sys/class/block";
  std::string DevDir = "/dev";
  VolumeProber Probe;  // empty: libblkid, then /dev/disk/by-label
};

// The disks numbered in the list: 0 to 19.
constexpr int kMaxListedDisks = 20;

// "465.76GB", "5.00MB", ".50MB": hundredths of a MiB (or GiB), rounded half up.
std::string SizeText(int64_t bytes);
// " VENDOR PRODUCT", " PRODUCT" when there is no vendor, or empty when there
// is no product.
std::string DiskDescription(const std::string& vendor, const std::string& product);

// The volume items, in the order of the device names.
std::vector<DriveItem> RebuildDriveItems(const BlockTree& tree, TextCase textCase);
// The whole-disk items, numbered from 0 in the order of the device names.
std::vector<DriveItem> PhysicalDiskItems(const BlockTree& tree);
// Deletes every item with the network icon, from the last to the first.
void RemoveNetworkDrives(std::vector<DriveItem>& items);
// The whole list as the main window shows it after its first show.
std::vector<DriveItem> DriveList(const BlockTree& tree = {});

// The default prober: libblkid, falling back on the /dev/disk/by-label links.
std::optional<VolumeProbe> ProbeVolume(const std::string& devicePath);

// The file-system type and label of the bytes [offset, offset + length) of a
// device, as the system's probing library names them (libblkid on Linux;
// nothing on Windows); empty when nothing is found.
void ProbeVolumeAt(const std::string& devicePath, uint64_t offset, uint64_t length,
                   std::string& type, std::string& label);

const char* DriveKindName(DriveKind kind);

}  // namespace tarnwick
