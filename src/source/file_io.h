#pragma once
// The program's own files (images, rescued files, reports): created, written
// whole and flushed to the disk, or moved into place over an older file in
// one step. Each platform has its own implementation (posix_file_io.cpp,
// windows_file_io.cpp). Paths are UTF-8.
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace tarnwick {

// A UTF-8 path as the file system library takes it, and back. On Windows the
// library would read a narrow text in the ANSI code page, and a Chinese
// folder name would not survive.
std::filesystem::path PathOf(const std::string& utf8);
std::string TextOf(const std::filesystem::path& path);

enum class PathType { None, Regular, Directory, Other };

// What is at path; a symbolic link is not followed.
PathType TypeOfPath(const std::string& path);

struct WriteResult {
  bool Ok = true;
  bool NoSpace = false;  // the disk (or the user's quota, or the file size limit) is full
  bool Exists = false;   // an exclusive create found something at the path
  std::string Reason;    // the system's words when not Ok
};

// A file being written from start to end.
class OutputFile {
 public:
  enum class Mode {
    Truncate,   // created, or emptied when it exists
    Exclusive,  // created; fails (Exists) when anything is at the path, a link too
    InPlace,    // written into as it is (a device, a pipe, a link), never created
  };
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  bool Open(const std::string& path, Mode mode = Mode::Truncate);
  // Writes all of bytes; false once any write has failed.
  bool Write(std::span<const uint8_t> bytes);
  // Flushes to the disk (what cannot be flushed, a pipe, is not a failure)
  // and closes. The result of everything since Open.
  WriteResult Finish();
  const WriteResult& Result() const { return result_; }

 private:
  void Fail(unsigned long error);
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
  bool flush_ = true;
  WriteResult result_;
};

// Writes bytes to a new file at path (see OutputFile::Mode) and flushes it.
WriteResult WriteWholeFile(const std::string& path, std::span<const uint8_t> bytes,
                           OutputFile::Mode mode = OutputFile::Mode::Truncate);

// Moves the file at from to to, replacing what is there, so that to always
// holds either the old or the whole new file.
WriteResult MoveIntoPlace(const std::string& from, const std::string& to);

// Makes a folder (its parent must exist); an existing folder is no failure.
bool MakeFolder(const std::string& path);

// Removes a file; false when it could not be removed.
bool RemoveFile(const std::string& path);

// Lets the program write the file again (a file rescued earlier, kept read-only).
void MakeWritable(const std::string& path);

// Sets the file's modification time, in seconds since 1970 UTC.
void SetModifiedTime(const std::string& path, int64_t unixSeconds);

// Reads a whole file; false with the system's words in reason.
bool ReadFileBytes(const std::string& path, std::string& bytes, std::string& reason);

}  // namespace tarnwick
