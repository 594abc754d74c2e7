#include "scan/scan_state.h"

namespace tarnwick {

__extension__ typedef unsigned __int128 Wide;

std::string FormatPercent(uint64_t total, uint64_t part) {
  if (total == 0) total = 1;
  // part x 10000 in 128 bits, so that sector counts of huge disks cannot wrap.
  Wide q = static_cast<Wide>(part) * 10000u / total;
  std::string digits = std::to_string(static_cast<uint64_t>(q));
  while (digits.size() < 3) digits.insert(digits.begin(), '0');
  digits.insert(digits.end() - 2, '.');
  return digits + "%";
}

std::string TargetFolderForm(const std::string& folderText) {
  if (folderText.empty() || folderText.back() == '/') return folderText;
  return folderText + "/";
}

}  // namespace tarnwick
