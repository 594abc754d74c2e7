#include "source/drives.h"

#ifndef _WIN32

#include <blkid/blkid.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

namespace tarnwick {

namespace fs = std::filesystem;

namespace {

std::string ReadLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line)) return {};
  return line;
}

std::string Trim(const std::string& text) {
  size_t b = 0, e = text.size();
  while (b < e && std::isspace(static_cast<unsigned char>(text[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1]))) --e;
  return text.substr(b, e - b);
}

std::string Cased(std::string text, bool upper) {
  for (char& c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x80) c = static_cast<char>(upper ? std::toupper(u) : std::tolower(u));
  }
  return text;
}

// udev writes blanks and other bytes of a label as \xHH in the link name.
std::string UnescapeLinkName(const std::string& name) {
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '\\' && i + 3 < name.size() && name[i + 1] == 'x' &&
        std::isxdigit(static_cast<unsigned char>(name[i + 2])) &&
        std::isxdigit(static_cast<unsigned char>(name[i + 3]))) {
      out += static_cast<char>(std::stoi(name.substr(i + 2, 2), nullptr, 16));
      i += 3;
    } else {
      out += name[i];
    }
  }
  return out;
}

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// Names compared with their digit runs as numbers: loop2 before loop10.
bool NaturalLess(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (std::isdigit(static_cast<unsigned char>(a[i])) &&
        std::isdigit(static_cast<unsigned char>(b[j]))) {
      size_t ie = i, je = j;
      while (ie < a.size() && std::isdigit(static_cast<unsigned char>(a[ie]))) ++ie;
      while (je < b.size() && std::isdigit(static_cast<unsigned char>(b[je]))) ++je;
      std::string na = a.substr(i, ie - i), nb = b.substr(j, je - j);
      na.erase(0, std::min(na.find_first_not_of('0'), na.size()));
      nb.erase(0, std::min(nb.find_first_not_of('0'), nb.size()));
      if (na.size() != nb.size()) return na.size() < nb.size();
      if (na != nb) return na < nb;
      i = ie;
      j = je;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

// One entry of the block tree.
struct BlockEntry {
  std::string Name;
  fs::path Dir;  // the entry's folder, links resolved
  bool Partition = false;
  fs::path DiskDir;  // the disk's folder (the entry's own for a whole disk)
  uint64_t Bytes = 0;
  bool Removable = false;
  bool HasPartitions = false;
};

uint64_t SizeOf(const fs::path& dir) {
  std::string line = Trim(ReadLine(dir / "size"));
  if (line.empty() || !std::all_of(line.begin(), line.end(), ::isdigit) || line.size() > 18)
    return 0;
  return std::stoull(line) * 512;  // the kernel counts 512-byte units here
}

std::vector<BlockEntry> ReadTree(const BlockTree& tree) {
  std::vector<BlockEntry> entries;
  std::error_code ec;
  for (const auto& link : fs::directory_iterator(tree.SysClassBlock, ec)) {
    BlockEntry e;
    e.Name = link.path().filename().string();
    e.Dir = fs::canonical(link.path(), ec);
    if (ec) continue;
    e.Partition = fs::exists(e.Dir / "partition", ec);
    e.DiskDir = e.Partition ? e.Dir.parent_path() : e.Dir;
    e.Bytes = SizeOf(e.Dir);
    e.Removable = Trim(ReadLine(e.DiskDir / "removable")) == "1";
    entries.push_back(std::move(e));
  }
  for (auto& e : entries) {
    if (e.Partition) continue;
    for (const auto& p : entries) {
      if (p.Partition && p.DiskDir == e.Dir) e.HasPartitions = true;
    }
  }
  std::sort(entries.begin(), entries.end(),
            [](const BlockEntry& a, const BlockEntry& b) { return NaturalLess(a.Name, b.Name); });
  return entries;
}

bool IsOptical(const std::string& name) { return StartsWith(name, "sr"); }
bool IsRam(const std::string& name) { return StartsWith(name, "ram") || StartsWith(name, "zram"); }
// Volumes made of other devices (device mapper, software RAID): listed as
// volumes, never as disks.
bool IsCompound(const std::string& name) {
  return StartsWith(name, "dm-") || StartsWith(name, "md");
}

std::string DevicePath(const BlockTree& tree, const std::string& name) {
  return (fs::path(tree.DevDir) / name).string();
}

std::optional<VolumeProbe> Probe(const BlockTree& tree, const std::string& path) {
  return tree.Probe ? tree.Probe(path) : ProbeVolume(path);
}

DriveItem VolumeItem(const BlockTree& tree, const BlockEntry& e, DriveKind kind, bool upper,
                     const std::optional<VolumeProbe>& known = std::nullopt) {
  DriveItem item;
  item.DevicePath = DevicePath(tree, e.Name);
  item.Kind = kind;
  const std::string letter = Cased(e.Name, upper);
  if (kind == DriveKind::Removable) {
    item.Text = letter + ":";
    return item;
  }
  std::optional<VolumeProbe> probe = known ? known : Probe(tree, item.DevicePath);
  std::string label = probe ? probe->Label : std::string();
  item.Text = letter + ": [" + Cased(label, upper) + "]";
  return item;
}

}  // namespace

std::vector<DriveItem> RebuildDriveItems(const BlockTree& tree, TextCase textCase) {
  const bool upper = textCase == TextCase::UpperCase;
  std::vector<DriveItem> items;
  for (const BlockEntry& e : ReadTree(tree)) {
    if (e.Bytes == 0) continue;  // no medium, or an unused loop device
    if (IsOptical(e.Name)) {
      items.push_back(VolumeItem(tree, e, DriveKind::Optical, upper));
    } else if (IsRam(e.Name)) {
      items.push_back(VolumeItem(tree, e, DriveKind::Ram, upper));
    } else if (e.Partition || IsCompound(e.Name)) {
      items.push_back(
          VolumeItem(tree, e, e.Removable ? DriveKind::Removable : DriveKind::Fixed, upper));
    } else if (!e.HasPartitions) {
      // A whole disk without a partition table is a volume when it is a
      // removable medium or holds a file system of its own.
      if (e.Removable) {
        items.push_back(VolumeItem(tree, e, DriveKind::Removable, upper));
        continue;
      }
      auto probe = Probe(tree, DevicePath(tree, e.Name));
      if (probe && probe->HasFileSystem)
        items.push_back(VolumeItem(tree, e, DriveKind::Fixed, upper, probe));
    }
  }
  return items;
}

std::vector<DriveItem> PhysicalDiskItems(const BlockTree& tree) {
  std::vector<DriveItem> items;
  int n = 0;
  for (const BlockEntry& e : ReadTree(tree)) {
    if (e.Partition || e.Bytes == 0 || IsOptical(e.Name) || IsRam(e.Name) || IsCompound(e.Name))
      continue;
    if (n >= kMaxListedDisks) break;
    DriveItem item;
    item.IsDisk = true;
    item.DevicePath = DevicePath(tree, e.Name);
    item.Kind = e.Removable ? DriveKind::Removable : DriveKind::Fixed;
    std::string description = DiskDescription(ReadLine(e.Dir / "device" / "vendor"),
                                              ReadLine(e.Dir / "device" / "model"));
    item.Text = std::string(e.Removable ? "RM" : "HD") + std::to_string(n) + description + " (" +
                SizeText(static_cast<int64_t>(e.Bytes)) + ")";
    items.push_back(std::move(item));
    ++n;
  }
  return items;
}

void ProbeVolumeAt(const std::string& devicePath, uint64_t offset, uint64_t length,
                   std::string& type, std::string& label) {
  type.clear();
  label.clear();
  if (devicePath.empty() || length == 0) return;
  int fd = ::open(devicePath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  blkid_probe pr = blkid_new_probe();
  if (pr && blkid_probe_set_device(pr, fd, static_cast<blkid_loff_t>(offset),
                                   static_cast<blkid_loff_t>(length)) == 0) {
    blkid_probe_enable_superblocks(pr, 1);
    blkid_probe_set_superblocks_flags(pr, BLKID_SUBLKS_LABEL | BLKID_SUBLKS_TYPE);
    if (blkid_do_safeprobe(pr) == 0) {
      const char* value = nullptr;
      size_t len = 0;
      if (blkid_probe_lookup_value(pr, "TYPE", &value, &len) == 0 && value) type = value;
      if (blkid_probe_lookup_value(pr, "LABEL", &value, &len) == 0 && value) label = value;
    }
  }
  if (pr) blkid_free_probe(pr);
  ::close(fd);
}

std::optional<VolumeProbe> ProbeVolume(const std::string& devicePath) {
  blkid_probe pr = blkid_new_probe_from_filename(devicePath.c_str());
  if (pr) {
    blkid_probe_enable_superblocks(pr, 1);
    blkid_probe_set_superblocks_flags(pr, BLKID_SUBLKS_LABEL | BLKID_SUBLKS_TYPE);
    VolumeProbe out;
    if (blkid_do_safeprobe(pr) == 0) {
      const char* value = nullptr;
      size_t len = 0;
      if (blkid_probe_lookup_value(pr, "TYPE", &value, &len) == 0) out.HasFileSystem = true;
      if (blkid_probe_lookup_value(pr, "LABEL", &value, &len) == 0 && value) out.Label = value;
    }
    blkid_free_probe(pr);
    return out;
  }
  // Not readable (no root): udev's label links still name it.
  std::error_code ec;
  fs::path target = fs::canonical(devicePath, ec);
  if (ec) return std::nullopt;
  for (const auto& link : fs::directory_iterator("/dev/disk/by-label", ec)) {
    std::error_code ec2;
    if (fs::canonical(link.path(), ec2) == target) {
      VolumeProbe out;
      out.HasFileSystem = true;
      out.Label = UnescapeLinkName(link.path().filename().string());
      return out;
    }
  }
  return std::nullopt;
}

}  // namespace tarnwick

#endif  // _WIN32
