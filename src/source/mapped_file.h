#pragma once
// A whole file seen as read-only memory: the pages come from the file as
// they are read, so what is never read costs no memory. Each platform has its
// own implementation (posix_mapped_file.cpp, windows_mapped_file.cpp). Paths
// are UTF-8; errors are the system's own codes, as in system_file.h.
//
// The view holds the file as long as it was when opened. On Windows the file
// cannot be cut shorter while it is mapped. On Linux it can: a read of a page
// past the new end then stops the program with SIGBUS. The view is meant for
// files of our own (the rescue's output folder) and for files the user names
// to be looked at, not for files another program is rewriting.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace tarnwick {

class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // Maps the regular file at path (a link: what it points to), at the size
  // it has once open. An empty file maps to an empty view. False, with the
  // system's error code, when it cannot be opened or is no regular file.
  bool Open(const std::string& path, int& error);
  // Lets the view go; Bytes() is empty afterwards.
  void Close();

  // Lets the pages read so far go from memory; read again, they come back
  // from the file. Bytes() stays as it is.
  void Release() const;

  bool IsOpen() const { return open_; }
  std::span<const uint8_t> Bytes() const { return {data_, size_}; }

 private:
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  bool open_ = false;
};

}  // namespace tarnwick
