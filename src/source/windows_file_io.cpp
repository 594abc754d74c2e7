#include "source/file_io.h"

#ifdef _WIN32
#include <windows.h>

#include <algorithm>

#include "source/windows_device.h"

namespace tarnwick {

std::filesystem::path PathOf(const std::string& utf8) { return WidePath(utf8); }
std::string TextOf(const std::filesystem::path& path) { return NarrowText(path.wstring()); }

PathType TypeOfPath(const std::string& path) {
  const DWORD a = GetFileAttributesW(WidePath(path).c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return PathType::None;
  if (a & FILE_ATTRIBUTE_REPARSE_POINT) return PathType::Other;
  if (a & FILE_ATTRIBUTE_DIRECTORY) return PathType::Directory;
  if (a & FILE_ATTRIBUTE_DEVICE) return PathType::Other;
  return PathType::Regular;
}

OutputFile::~OutputFile() {
  if (handle_) CloseHandle(static_cast<HANDLE>(handle_));
}

void OutputFile::Fail(unsigned long error) {
  if (!result_.Ok) return;
  result_.Ok = false;
  result_.NoSpace = error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL ||
                    error == ERROR_FILE_TOO_LARGE || error == ERROR_NOT_ENOUGH_QUOTA;
  result_.Exists = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
  result_.Reason = error != 0 ? SystemMessage(error) : "short write";
}

bool OutputFile::Open(const std::string& path, Mode mode) {
  DWORD disposition = CREATE_ALWAYS;
  DWORD flags = FILE_ATTRIBUTE_NORMAL;
  if (mode == Mode::Exclusive) {
    disposition = CREATE_NEW;
    flags |= FILE_FLAG_OPEN_REPARSE_POINT;
  }
  if (mode == Mode::InPlace) disposition = OPEN_EXISTING;
  HANDLE h = CreateFileW(WidePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                         disposition, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    Fail(GetLastError());
    return false;
  }
  // Only a file on a disk can be flushed; a console or a pipe has nothing to.
  flush_ = GetFileType(h) == FILE_TYPE_DISK;
  if (mode == Mode::InPlace && flush_) SetEndOfFile(h);
  handle_ = h;
  return true;
}

bool OutputFile::Write(std::span<const uint8_t> bytes) {
  if (!handle_ || !result_.Ok) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const DWORD piece = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
    DWORD n = 0;
    if (!WriteFile(static_cast<HANDLE>(handle_), bytes.data() + done, piece, &n, nullptr)) {
      Fail(GetLastError());
      return false;
    }
    if (n == 0) {
      Fail(ERROR_DISK_FULL);
      return false;
    }
    done += n;
  }
  return true;
}

WriteResult OutputFile::Finish() {
  if (!handle_) return result_;
  HANDLE h = static_cast<HANDLE>(handle_);
  if (flush_ && !FlushFileBuffers(h)) Fail(GetLastError());
  if (!CloseHandle(h)) Fail(GetLastError());
  handle_ = nullptr;
  return result_;
}

WriteResult WriteWholeFile(const std::string& path, std::span<const uint8_t> bytes,
                           OutputFile::Mode mode) {
  OutputFile file;
  if (file.Open(path, mode)) file.Write(bytes);
  return file.Finish();
}

WriteResult MoveIntoPlace(const std::string& from, const std::string& to) {
  WriteResult r;
  if (!MoveFileExW(WidePath(from).c_str(), WidePath(to).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    r.Ok = false;
    r.Reason = SystemMessage(GetLastError());
  }
  return r;
}

bool MakeFolder(const std::string& path) {
  return CreateDirectoryW(WidePath(path).c_str(), nullptr) ||
         GetLastError() == ERROR_ALREADY_EXISTS;
}

bool RemoveFile(const std::string& path) { return DeleteFileW(WidePath(path).c_str()) != 0; }

void MakeWritable(const std::string& path) {
  const std::wstring wide = WidePath(path);
  const DWORD a = GetFileAttributesW(wide.c_str());
  if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY))
    SetFileAttributesW(wide.c_str(), a & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
}

void SetModifiedTime(const std::string& path, int64_t unixSeconds) {
  HANDLE h = CreateFileW(WidePath(path).c_str(), FILE_WRITE_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  // File times count 100-nanosecond steps from 1601.
  const uint64_t ticks = static_cast<uint64_t>(unixSeconds + 11644473600LL) * 10000000ULL;
  FILETIME written;
  written.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  written.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  SetFileTime(h, nullptr, nullptr, &written);
  CloseHandle(h);
}

bool ReadFileBytes(const std::string& path, std::string& bytes, std::string& reason) {
  bytes.clear();
  HANDLE h = CreateFileW(WidePath(path).c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    reason = SystemMessage(GetLastError());
    return false;
  }
  char buffer[1 << 16];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(h, buffer, sizeof buffer, &n, nullptr)) {
      reason = SystemMessage(GetLastError());
      bytes.clear();
      CloseHandle(h);
      return false;
    }
    if (n == 0) break;
    bytes.append(buffer, n);
  }
  CloseHandle(h);
  return true;
}

}  // namespace tarnwick
#endif  // _WIN32
