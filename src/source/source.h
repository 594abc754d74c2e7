#pragma once
// What is kept of the one open Source (partition, whole disk or image file)
// and what opening it did to the window. Opening and reading it are
// operations on a Session (scan/session_source.h).
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "source/device.h"

namespace tarnwick {

struct SourceState {
  std::unique_ptr<SourceDevice> Device;  // null: no Source is open
  char Letter = 0;                       // '#' while an image is open
  std::string Name;                      // drive-list text or image path
  std::string Path;                      // the device or file path
  DeviceKind Kind = DeviceKind::Image;
  DeviceIdentity Identity;
  uint64_t Position = 0;  // SourcePosition
  bool IsOpen() const { return Device != nullptr; }
};

// What an open did to the window; the window applies it, tests check it.
struct OpenOutcome {
  bool Opened = false;
  int ErrorSlot = 0;                            // 16, 48 or 63 when not opened
  std::string SystemReason;                     // the system's word on a refused open
  int ReasonIndex = 0;                          // ComboBox3
  bool FsBoxesEnabled = false;                  // ComboBox2, ComboBox1
  bool FreeOnlyEnabled = false;                 // CheckBox8
  int FsIndex = 6;                              // ComboBox2
  int ClusterIndex = 0;                         // ComboBox1
  std::string FirstSectorText;                  // Edit3
  std::string LastSectorText;                   // Edit4
  std::optional<std::string> StatusSectorSize;  // panel 0; unset: keep the old text
  std::string StatusTotal;                      // panel 1
  std::string Label16;
  bool SectorShown = false;  // sector 0 in the viewer
};

// Seek origins.
constexpr int kFileBegin = 0;
constexpr int kFileEnd = 2;

}  // namespace tarnwick
