#include "source/mapped_file.h"

#ifdef _WIN32
#include <windows.h>

#include <cstdint>

#include "source/windows_device.h"

namespace tarnwick {

MappedFile::~MappedFile() { Close(); }

void MappedFile::Close() {
  if (data_) UnmapViewOfFile(data_);
  data_ = nullptr;
  size_ = 0;
  open_ = false;
}

void MappedFile::Release() const {
  // Unlocking pages that were never locked takes them out of the working set.
  if (data_) VirtualUnlock(const_cast<uint8_t*>(data_), size_);
}

bool MappedFile::Open(const std::string& path, int& error) {
  Close();
  HANDLE file = CreateFileW(WidePath(path).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = static_cast<int>(GetLastError());
    return false;
  }
  LARGE_INTEGER n{};
  bool ok = false;
  if (GetFileType(file) != FILE_TYPE_DISK) {
    error = ERROR_INVALID_FUNCTION;
  } else if (!GetFileSizeEx(file, &n)) {
    error = static_cast<int>(GetLastError());
  } else if (static_cast<uint64_t>(n.QuadPart) > SIZE_MAX) {
    error = ERROR_FILE_TOO_LARGE;
  } else if (n.QuadPart == 0) {
    ok = true;  // an empty file has no mapping: the view is empty
  } else {
    // Mapped at the size the open file has: one cut shorter since cannot
    // be mapped that far and fails here. While the view lasts, Windows
    // keeps the file from being cut shorter at all.
    const uint64_t size = static_cast<uint64_t>(n.QuadPart);
    HANDLE mapping =
        CreateFileMappingW(file, nullptr, PAGE_READONLY, static_cast<DWORD>(size >> 32),
                           static_cast<DWORD>(size & 0xFFFFFFFFu), nullptr);
    void* view =
        mapping ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(size)) : nullptr;
    if (!view) error = static_cast<int>(GetLastError());
    if (mapping) CloseHandle(mapping);  // the view keeps the mapping
    if (view) {
      data_ = static_cast<const uint8_t*>(view);
      size_ = static_cast<size_t>(size);
      ok = true;
    }
  }
  CloseHandle(file);
  open_ = ok;
  return ok;
}

}  // namespace tarnwick
#endif  // _WIN32
