#pragma once
// The calls beneath a save that never replaces a file and beneath a database
// assembled on disk: files opened, created only where nothing is, and
// unnamed; names taken without replacing; positioned reads and writes; a
// zero-filled view of memory. Each platform has its own implementation
// (posix_system_file.cpp, windows_system_file.cpp). Paths are UTF-8.
//
// An error is the system's own code (errno, or GetLastError's on Windows);
// 0 stands for a transfer that stopped short without one.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "source/file_io.h"

namespace tarnwick {

// The system's words for an error code ("short write" for 0).
std::string SystemErrorText(int error);

// What an error code says, as far as a save needs to know.
bool IsNameTaken(int error);    // something is at the name already
bool IsNotFound(int error);     // nothing is at the path (or its folder)
bool IsOtherVolume(int error);  // the two names are on different file systems
bool IsUnsupported(int error);  // the file system lacks that way of taking a name
int NameTakenError();           // the code IsNameTaken answers true for
int InputOutputError();         // a transfer the device did not complete

// The characters that end a folder's name in a path.
#ifdef _WIN32
inline constexpr const char* kPathSeparators = "/\\";
#else
inline constexpr const char* kPathSeparators = "/";
#endif

// What is at path and, for a regular file, its size. followLinks: a
// symbolic link answers for what it points to. False (with error) only when
// the path cannot be looked at; nothing there is PathType::None, with the
// not-found error in error.
bool LookAtPath(const std::string& path, bool followLinks, PathType& type, uint64_t& size,
                int& error);

// Gives the file at from the name to unless something has it: IsNameTaken
// when it has. 0 when done, else the error code.
int RenameWithoutReplacing(const std::string& from, const std::string& to);
// A second name for the file at from (fails when to is taken); from stays.
int LinkName(const std::string& from, const std::string& to);
// Moves from to to in one step, replacing a file there.
int RenameReplacing(const std::string& from, const std::string& to);
// Removes a name; 0 when removed.
int RemoveName(const std::string& path);

// One open file, closed when it goes.
class SystemFile {
 public:
  SystemFile() = default;
  ~SystemFile();
  SystemFile(const SystemFile&) = delete;
  SystemFile& operator=(const SystemFile&) = delete;

  // An existing file, to read; with followLinks false a link is not opened.
  bool OpenToRead(const std::string& path, bool followLinks, int& error);
  // A new file to write, with the permissions the user's settings give new
  // files; fails (IsNameTaken) when anything is at path, a link too.
  bool CreateNew(const std::string& path, int& error);
  // A new file in folder to write and read back that keeps no name there
  // (or one that goes with it) and is gone when closed.
  bool CreateUnnamedIn(const std::string& folder, int& error);

  bool IsOpen() const;
  // Reads from the current position until buffer is full or the file ends:
  // the count read, or -1 on an error.
  int64_t Read(std::span<uint8_t> buffer, int& error);
  // The same at offset; the current position is left as it was.
  int64_t ReadAt(uint64_t offset, std::span<uint8_t> buffer, int& error) const;
  // Writes all of bytes at the current position.
  bool WriteAll(std::span<const uint8_t> bytes, int& error);
  // Writes all of bytes at offset; the current position is left as it was.
  bool WriteAllAt(uint64_t offset, std::span<const uint8_t> bytes, int& error);
  // Gives a file made by CreateUnnamedIn the name path (nothing may be
  // there) and puts its bytes on the disk, without copying them. False,
  // with error 0, where the system cannot name such a file: it is copied.
  bool GiveName(const std::string& path, int& error) const;
  // Puts what was written on the disk; a file that has nothing to flush
  // (a pipe) is no failure.
  bool Flush(int& error);
  // Closes; false when the close reported a failure of a write before.
  bool Close(int& error);

 private:
  friend bool CopyFileBytes(const SystemFile& from, SystemFile& to, uint64_t count, int& error);
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
};

// The first count bytes of from, written at to's current position.
bool CopyFileBytes(const SystemFile& from, SystemFile& to, uint64_t count, int& error);

// Memory of a given size that reads as zeros and costs nothing until a page
// of it is written.
class ZeroedMemory {
 public:
  ZeroedMemory() = default;
  ~ZeroedMemory();
  ZeroedMemory(const ZeroedMemory&) = delete;
  ZeroedMemory& operator=(const ZeroedMemory&) = delete;

  bool Reserve(size_t size, int& error);
  uint8_t* Data() const { return data_; }
  // Gives back the pages from byte `from` on (rounded up to a page): they
  // read as zeros again and take no memory until written.
  void GiveBack(size_t from);

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace tarnwick
