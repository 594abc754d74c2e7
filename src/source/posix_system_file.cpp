#include "source/system_file.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace tarnwick {

namespace {
constexpr size_t kCopyChunk = size_t{1} << 20;
}  // namespace

std::string SystemErrorText(int error) { return error != 0 ? std::strerror(error) : "short write"; }

bool IsNameTaken(int error) { return error == EEXIST; }
bool IsNotFound(int error) { return error == ENOENT; }
bool IsOtherVolume(int error) { return error == EXDEV; }
bool IsUnsupported(int error) {
  return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == ENOTSUP ||
         error == EPERM || error == EMLINK;
}
int NameTakenError() { return EEXIST; }
int InputOutputError() { return EIO; }

bool LookAtPath(const std::string& path, bool followLinks, PathType& type, uint64_t& size,
                int& error) {
  struct stat st {};
  type = PathType::None;
  size = 0;
  if ((followLinks ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) {
    error = errno;
    return errno == ENOENT;
  }
  type = S_ISREG(st.st_mode)   ? PathType::Regular
         : S_ISDIR(st.st_mode) ? PathType::Directory
                               : PathType::Other;
  size = static_cast<uint64_t>(st.st_size);
  return true;
}

int RenameWithoutReplacing(const std::string& from, const std::string& to) {
  return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0 ? 0
                                                                                          : errno;
}

int LinkName(const std::string& from, const std::string& to) {
  return ::link(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int RenameReplacing(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int RemoveName(const std::string& path) { return ::unlink(path.c_str()) == 0 ? 0 : errno; }

SystemFile::~SystemFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool SystemFile::IsOpen() const { return fd_ >= 0; }

bool SystemFile::OpenToRead(const std::string& path, bool followLinks, int& error) {
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW));
  if (fd_ < 0) error = errno;
  return fd_ >= 0;
}

bool SystemFile::CreateNew(const std::string& path, int& error) {
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd_ < 0) error = errno;
  return fd_ >= 0;
}

bool SystemFile::CreateUnnamedIn(const std::string& folder, int& error) {
  const std::string dir = folder.empty() ? "." : folder;
  fd_ = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    // A file system without unnamed files: a named one, unlinked at once.
    std::string name = dir + (dir.back() == '/' ? "" : "/") + ".assembly-XXXXXX";
    fd_ = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd_ >= 0) ::unlink(name.c_str());
  }
  if (fd_ < 0) error = errno;
  return fd_ >= 0;
}

int64_t SystemFile::Read(std::span<uint8_t> buffer, int& error) {
  size_t done = 0;
  while (done < buffer.size()) {
    const ssize_t n = ::read(fd_, buffer.data() + done, buffer.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = errno;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

int64_t SystemFile::ReadAt(uint64_t offset, std::span<uint8_t> buffer, int& error) const {
  size_t done = 0;
  while (done < buffer.size()) {
    const ssize_t n =
        ::pread(fd_, buffer.data() + done, buffer.size() - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = errno;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

bool SystemFile::WriteAll(std::span<const uint8_t> bytes, int& error) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : 0;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool SystemFile::WriteAllAt(uint64_t offset, std::span<const uint8_t> bytes, int& error) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n =
        ::pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : 0;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool SystemFile::GiveName(const std::string& path, int& error) const {
  error = 0;
  if (fd_ < 0) return false;
  // An unnamed file is named through its descriptor's entry in /proc; one
  // that had a name and lost it, or a system without /proc, is copied.
  const std::string self = "/proc/self/fd/" + std::to_string(fd_);
  if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0) {
    if (errno == EEXIST) error = errno;
    return false;
  }
  if (::fsync(fd_) == 0) return true;
  error = errno;
  ::unlink(path.c_str());
  return false;
}

bool SystemFile::Flush(int& error) {
  // EINVAL: a pipe or a special file, which has nothing to flush.
  if (::fsync(fd_) == 0 || errno == EINVAL) return true;
  error = errno;
  return false;
}

bool SystemFile::Close(int& error) {
  if (fd_ < 0) return true;
  const int fd = std::exchange(fd_, -1);
  if (::close(fd) == 0) return true;
  error = errno;
  return false;
}

bool CopyFileBytes(const SystemFile& from, SystemFile& to, uint64_t count, int& error) {
  uint64_t done = 0;
  while (done < count) {
    loff_t in = static_cast<loff_t>(done);
    const ssize_t n = ::copy_file_range(from.fd_, &in, to.fd_, nullptr, count - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n > 0) {
      done += static_cast<uint64_t>(n);
      continue;
    }
    if (n == 0) {
      error = 0;
      return false;
    }
    if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) {
      error = errno;
      return false;
    }
    // No copy in the kernel between these files: through a small buffer.
    std::vector<uint8_t> buffer(kCopyChunk);
    while (done < count) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(kCopyChunk, count - done));
      const int64_t r = from.ReadAt(done, std::span<uint8_t>(buffer.data(), want), error);
      if (r <= 0) {
        if (r == 0) error = 0;
        return false;
      }
      if (!to.WriteAll(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(r)), error))
        return false;
      done += static_cast<uint64_t>(r);
    }
  }
  return true;
}

ZeroedMemory::~ZeroedMemory() {
  if (data_) ::munmap(data_, size_);
}

void ZeroedMemory::GiveBack(size_t from) {
  const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  const size_t at = (from + page - 1) / page * page;
  if (!data_ || at >= size_) return;
  ::madvise(data_ + at, size_ - at, MADV_DONTNEED);
}

bool ZeroedMemory::Reserve(size_t size, int& error) {
  void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) {
    error = errno;
    return false;
  }
  data_ = static_cast<uint8_t*>(p);
  size_ = size;
  return true;
}

}  // namespace tarnwick
#endif  // _WIN32
