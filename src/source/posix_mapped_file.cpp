#include "source/mapped_file.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace tarnwick {

MappedFile::~MappedFile() { Close(); }

void MappedFile::Close() {
  if (data_) ::munmap(const_cast<uint8_t*>(data_), size_);
  data_ = nullptr;
  size_ = 0;
  open_ = false;
}

void MappedFile::Release() const {
  // The mapping is private and never written: nothing of it is lost.
  if (data_) ::madvise(const_cast<uint8_t*>(data_), size_, MADV_DONTNEED);
}

bool MappedFile::Open(const std::string& path, int& error) {
  Close();
  // Not blocking: a pipe without a writer is refused at once, not waited on.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error = errno;
    return false;
  }
  // The size is the open file's own, not the one a look at the path gave
  // before: a file cut shorter in between is never mapped past its end.
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0;
  if (!ok) {
    error = errno;
  } else if (!S_ISREG(st.st_mode)) {
    error = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
    ok = false;
  } else if (static_cast<uint64_t>(st.st_size) > SIZE_MAX) {
    error = EFBIG;
    ok = false;
  } else if (st.st_size > 0) {
    const size_t size = static_cast<size_t>(st.st_size);
    void* p = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) {
      error = errno;
      ok = false;
    } else {
      // The tables a check reads lie scattered: no reading ahead of them.
      ::madvise(p, size, MADV_RANDOM);
      data_ = static_cast<const uint8_t*>(p);
      size_ = size;
    }
  }
  ::close(fd);  // the mapping keeps the file
  open_ = ok;
  return ok;
}

}  // namespace tarnwick
#endif  // _WIN32
