#include "source/system_file.h"

#ifdef _WIN32
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

#include "source/windows_device.h"

namespace tarnwick {

namespace {

constexpr size_t kCopyChunk = size_t{1} << 20;
constexpr DWORD kPiece = 1u << 30;  // ReadFile and WriteFile take a 32-bit count

constexpr DWORD kDispositionDelete = 0x1;
constexpr DWORD kDispositionPosixSemantics = 0x2;
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

int LastError() { return static_cast<int>(GetLastError()); }

HANDLE Handle(void* h) { return static_cast<HANDLE>(h); }

OVERLAPPED At(uint64_t offset) {
  OVERLAPPED o{};
  o.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
  o.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return o;
}

// The current position of a file, to keep over a positioned transfer
// (which moves it on a synchronous handle).
struct KeptPosition {
  explicit KeptPosition(HANDLE h) : h_(h) {
    LARGE_INTEGER zero{};
    ok_ = SetFilePointerEx(h_, zero, &at_, FILE_CURRENT) != 0;
  }
  ~KeptPosition() {
    if (ok_) SetFilePointerEx(h_, at_, nullptr, FILE_BEGIN);
  }
  HANDLE h_;
  LARGE_INTEGER at_{};
  bool ok_ = false;
};

// Reads until buffer is full or the file ends, from offset when given.
int64_t ReadFrom(HANDLE h, const uint64_t* offset, std::span<uint8_t> buffer, int& error) {
  size_t done = 0;
  while (done < buffer.size()) {
    const DWORD piece = static_cast<DWORD>(std::min<size_t>(buffer.size() - done, kPiece));
    DWORD n = 0;
    OVERLAPPED o = At(offset ? *offset + done : 0);
    if (!ReadFile(h, buffer.data() + done, piece, &n, offset ? &o : nullptr)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      error = LastError();
      return -1;
    }
    if (n == 0) break;
    done += n;
  }
  return static_cast<int64_t>(done);
}

bool WriteTo(HANDLE h, const uint64_t* offset, std::span<const uint8_t> bytes, int& error) {
  size_t done = 0;
  while (done < bytes.size()) {
    const DWORD piece = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, kPiece));
    DWORD n = 0;
    OVERLAPPED o = At(offset ? *offset + done : 0);
    if (!WriteFile(h, bytes.data() + done, piece, &n, offset ? &o : nullptr)) {
      error = LastError();
      return false;
    }
    if (n == 0) {
      error = 0;
      return false;
    }
    done += n;
  }
  return true;
}

bool IsTrailingSeparator(char c) { return c == '/' || c == '\\'; }

}  // namespace

std::string SystemErrorText(int error) {
  return error != 0 ? SystemMessage(static_cast<unsigned long>(error)) : "short write";
}

bool IsNameTaken(int error) { return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS; }
bool IsNotFound(int error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}
bool IsOtherVolume(int error) { return error == ERROR_NOT_SAME_DEVICE; }
bool IsUnsupported(int error) {
  return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
         error == ERROR_INVALID_PARAMETER || error == ERROR_TOO_MANY_LINKS ||
         error == ERROR_CALL_NOT_IMPLEMENTED;
}
int NameTakenError() { return ERROR_FILE_EXISTS; }
int InputOutputError() { return ERROR_IO_DEVICE; }

bool LookAtPath(const std::string& path, bool followLinks, PathType& type, uint64_t& size,
                int& error) {
  type = PathType::None;
  size = 0;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(WidePath(path).c_str(), GetFileExInfoStandard, &data)) {
    error = LastError();
    return IsNotFound(error);
  }
  const DWORD a = data.dwFileAttributes;
  if ((a & FILE_ATTRIBUTE_REPARSE_POINT) && !followLinks) {
    type = PathType::Other;
    return true;
  }
  type = (a & FILE_ATTRIBUTE_DIRECTORY) ? PathType::Directory
         : (a & FILE_ATTRIBUTE_DEVICE)  ? PathType::Other
                                        : PathType::Regular;
  size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  if (type == PathType::Regular && (a & FILE_ATTRIBUTE_REPARSE_POINT)) {
    // The size of what a link points to comes from the file itself.
    HANDLE h = CreateFileW(WidePath(path).c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER n{};
    const bool ok = h != INVALID_HANDLE_VALUE && GetFileSizeEx(h, &n);
    if (!ok) error = LastError();
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    if (!ok) return false;
    size = static_cast<uint64_t>(n.QuadPart);
  }
  return true;
}

int RenameWithoutReplacing(const std::string& from, const std::string& to) {
  // Without MOVEFILE_REPLACE_EXISTING a taken name fails the move.
  return MoveFileExW(WidePath(from).c_str(), WidePath(to).c_str(), MOVEFILE_WRITE_THROUGH)
             ? 0
             : LastError();
}

int LinkName(const std::string& from, const std::string& to) {
  return CreateHardLinkW(WidePath(to).c_str(), WidePath(from).c_str(), nullptr) ? 0 : LastError();
}

int RenameReplacing(const std::string& from, const std::string& to) {
  return MoveFileExW(WidePath(from).c_str(), WidePath(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
             ? 0
             : LastError();
}

int RemoveName(const std::string& path) {
  return DeleteFileW(WidePath(path).c_str()) ? 0 : LastError();
}

SystemFile::~SystemFile() {
  if (handle_) CloseHandle(Handle(handle_));
}

bool SystemFile::IsOpen() const { return handle_ != nullptr; }

bool SystemFile::OpenToRead(const std::string& path, bool followLinks, int& error) {
  const DWORD flags = FILE_ATTRIBUTE_NORMAL | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  HANDLE h = CreateFileW(WidePath(path).c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = LastError();
    return false;
  }
  handle_ = h;
  return true;
}

bool SystemFile::CreateNew(const std::string& path, int& error) {
  HANDLE h = CreateFileW(WidePath(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = LastError();
    return false;
  }
  handle_ = h;
  return true;
}

bool SystemFile::CreateUnnamedIn(const std::string& folder, int& error) {
  std::string dir = folder.empty() ? "." : folder;
  if (!IsTrailingSeparator(dir.back())) dir += '\\';
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, ".assembly-%08x.tmp", static_cast<unsigned>(random()));
    // Windows keeps no file without a name: this one is hidden, kept from
    // the disk where it can be, and goes when it is closed (or the program
    // ends in any way).
    HANDLE h = CreateFileW(
        WidePath(dir + name).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
        FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      error = LastError();
      if (IsNameTaken(error)) continue;
      return false;
    }
    // Where the file system lets a name go at once while the file stays open
    // (NTFS on Windows 10), the folder shows nothing at all.
    // The program is built for Windows 7 on, whose headers do not name these.
    struct {
      DWORD Flags;
    } gone{kDispositionDelete | kDispositionPosixSemantics};
    SetFileInformationByHandle(h, kFileDispositionInfoEx, &gone, sizeof gone);
    handle_ = h;
    return true;
  }
  return false;
}

int64_t SystemFile::Read(std::span<uint8_t> buffer, int& error) {
  return ReadFrom(Handle(handle_), nullptr, buffer, error);
}

int64_t SystemFile::ReadAt(uint64_t offset, std::span<uint8_t> buffer, int& error) const {
  KeptPosition keep(Handle(handle_));
  return ReadFrom(Handle(handle_), &offset, buffer, error);
}

bool SystemFile::WriteAll(std::span<const uint8_t> bytes, int& error) {
  return WriteTo(Handle(handle_), nullptr, bytes, error);
}

bool SystemFile::WriteAllAt(uint64_t offset, std::span<const uint8_t> bytes, int& error) {
  KeptPosition keep(Handle(handle_));
  return WriteTo(Handle(handle_), &offset, bytes, error);
}

bool SystemFile::GiveName(const std::string&, int& error) const {
  // Windows deletes the hidden file it made on close, whatever name it
  // gets: it is copied.
  error = 0;
  return false;
}

bool SystemFile::Flush(int& error) {
  if (GetFileType(Handle(handle_)) != FILE_TYPE_DISK) return true;
  if (FlushFileBuffers(Handle(handle_))) return true;
  error = LastError();
  return false;
}

bool SystemFile::Close(int& error) {
  if (!handle_) return true;
  HANDLE h = Handle(handle_);
  handle_ = nullptr;
  if (CloseHandle(h)) return true;
  error = LastError();
  return false;
}

bool CopyFileBytes(const SystemFile& from, SystemFile& to, uint64_t count, int& error) {
  std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(kCopyChunk, count)));
  for (uint64_t done = 0; done < count;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), count - done));
    const int64_t r = from.ReadAt(done, std::span<uint8_t>(buffer.data(), want), error);
    if (r <= 0) {
      if (r == 0) error = 0;
      return false;
    }
    if (!to.WriteAll(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(r)), error))
      return false;
    done += static_cast<uint64_t>(r);
  }
  return true;
}

ZeroedMemory::~ZeroedMemory() {
  if (data_) VirtualFree(data_, 0, MEM_RELEASE);
}

void ZeroedMemory::GiveBack(size_t from) {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  const size_t page = info.dwPageSize;
  const size_t at = (from + page - 1) / page * page;
  if (!data_ || at >= size_) return;
  // Decommitted and committed again, the pages read as zeros.
  if (VirtualFree(data_ + at, size_ - at, MEM_DECOMMIT))
    VirtualAlloc(data_ + at, size_ - at, MEM_COMMIT, PAGE_READWRITE);
}

bool ZeroedMemory::Reserve(size_t size, int& error) {
  // Committed pages read as zeros and take memory only once touched.
  void* p = VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (!p) {
    error = LastError();
    return false;
  }
  data_ = static_cast<uint8_t*>(p);
  size_ = size;
  return true;
}

}  // namespace tarnwick
#endif  // _WIN32
