#pragma once
// Phase 2's table: which carver follows a file start of each TypeCode. This
// is the one place that knows every carver.
#include <cstdint>
#include <span>
#include <string>

namespace tarnwick {

struct Session;

using CarverFn = void (*)(Session& s, const std::string& targetFolder, uint64_t carveStart);

struct DispatchRow {
  uint8_t Type;
  CarverFn Carver;  // null: recognised, nothing is carved
  bool WithFolder;  // the carver may write files and gets the target folder
};

std::span<const DispatchRow> DispatchTable();
// The row of a TypeCode, or null when phase 2 has none for it.
const DispatchRow* DispatchRowFor(uint8_t type);

}  // namespace tarnwick
