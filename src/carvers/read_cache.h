#pragma once
#include <array>
#include <cstdint>

namespace tarnwick {

// The 64 KiB read-ahead window through which the scan and the carvers read.
struct ReadCache {
  static constexpr uint32_t kWindow = 65536;
  std::array<uint8_t, kWindow> Window{};
  uint64_t WindowBase = 0;
  uint32_t WindowFill = 0;  // bytes of the window that the device delivered
  bool WindowValid = false;

  void Drop() { WindowValid = false; }
};

}  // namespace tarnwick
