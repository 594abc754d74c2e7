#pragma once
// The Source on Windows: an image file, a whole disk (\\.\PhysicalDriveN) or
// a volume (\\.\X:), opened read-only with reading and writing by others
// allowed. A raw disk or volume only reads whole sectors into a buffer
// aligned to its sector size, so reads go through an aligned bounce buffer.
#ifdef _WIN32
#include <string>
#include <vector>

#include "source/device.h"

namespace tarnwick {

class WindowsDevice final : public FileDevice {
 public:
  static std::unique_ptr<WindowsDevice> Open(const std::string& path, std::string& error);
  ~WindowsDevice() override;

  int64_t ReadAt(uint64_t offset, std::span<uint8_t> out) override;

 private:
  WindowsDevice() = default;
  bool ReadAligned(uint64_t offset, uint8_t* into, uint32_t bytes, uint32_t& got);
  void* handle_ = nullptr;
  bool raw_ = false;  // a disk or a volume: sector-aligned reads only
  uint8_t* bounce_ = nullptr;
  uint32_t bounceBytes_ = 0;
};

// UTF-8 and UTF-16 for the wide system calls.
std::wstring WidePath(const std::string& utf8);
std::string NarrowText(const std::wstring& wide);

// "\\.\PhysicalDrive3" -> 3, "\\.\E:" -> 'E' as the letter; -1 / 0 otherwise.
int DiskNumberOfPath(const std::string& path);
char VolumeLetterOfPath(const std::string& path);

// The system's words for an error code.
std::string SystemMessage(unsigned long error);

}  // namespace tarnwick
#endif  // _WIN32
