#pragma once
#include <cstdint>
#include <string>

namespace tarnwick {

// Percent with two decimals: part x 10000 / total, e.g. "12.34%". total > 0.
std::string FormatPercent(uint64_t total, uint64_t part);

// The folder box text in TargetFolder form: a "/" appended unless it is
// empty or already ends in one.
std::string TargetFolderForm(const std::string& folderText);

}  // namespace tarnwick
