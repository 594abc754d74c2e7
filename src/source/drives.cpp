#include "source/drives.h"

#include <cctype>

namespace tarnwick {

namespace {

std::string Trim(const std::string& text) {
  size_t b = 0, e = text.size();
  while (b < e && std::isspace(static_cast<unsigned char>(text[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1]))) --e;
  return text.substr(b, e - b);
}

}  // namespace

std::string SizeText(int64_t bytes) {
  if (bytes < 0) bytes = 0;
  // Hundredths of a MiB; the product stays within 64 bits for any real disk.
  int64_t v = bytes > INT64_MAX / 100 ? bytes / 1048576 * 100 : (bytes * 100 + 524288) / 1048576;
  const char* unit = "MB";
  if (v >= 1024) {
    v = (v + 512) / 1024;
    unit = "GB";
  }
  std::string digits = std::to_string(v);
  // Two digits at least, so that 5 hundredths read ".05" and not ".5".
  if (digits.size() < 2) digits.insert(0, 2 - digits.size(), '0');
  std::string text = digits + unit;
  // The point goes before the third character from the end of the digits.
  int64_t at = static_cast<int64_t>(text.size()) - 3 - 1;  // zero-based: before position len-3
  if (at < 0) at = 0;
  text.insert(static_cast<size_t>(at), ".");
  return text;
}

std::string DiskDescription(const std::string& vendor, const std::string& product) {
  std::string p = Trim(product);
  if (p.empty()) return {};
  std::string v = Trim(vendor);
  return (v.empty() ? std::string() : " " + v) + " " + p;
}

void RemoveNetworkDrives(std::vector<DriveItem>& items) {
  for (size_t i = items.size(); i-- > 0;) {
    if (items[i].Kind == DriveKind::Network)
      items.erase(items.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

std::vector<DriveItem> DriveList(const BlockTree& tree) {
  std::vector<DriveItem> items = RebuildDriveItems(tree, TextCase::UpperCase);
  RemoveNetworkDrives(items);
  std::vector<DriveItem> disks = PhysicalDiskItems(tree);
  items.insert(items.end(), disks.begin(), disks.end());
  return items;
}

const char* DriveKindName(DriveKind kind) {
  switch (kind) {
    case DriveKind::Removable: return "removable";
    case DriveKind::Fixed: return "fixed";
    case DriveKind::Network: return "network";
    case DriveKind::Optical: return "optical";
    case DriveKind::Ram: return "ram";
  }
  return "fixed";
}

}  // namespace tarnwick
