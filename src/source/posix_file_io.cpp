#include "source/file_io.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tarnwick {

std::filesystem::path PathOf(const std::string& utf8) { return utf8; }
std::string TextOf(const std::filesystem::path& path) { return path.string(); }

PathType TypeOfPath(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return PathType::None;
  if (S_ISREG(st.st_mode)) return PathType::Regular;
  if (S_ISDIR(st.st_mode)) return PathType::Directory;
  return PathType::Other;
}

OutputFile::~OutputFile() {
  if (fd_ >= 0) ::close(fd_);
}

void OutputFile::Fail(unsigned long error) {
  if (!result_.Ok) return;
  const int e = static_cast<int>(error);
  result_.Ok = false;
  result_.NoSpace = e == ENOSPC || e == EDQUOT || e == EFBIG;
  result_.Exists = e == EEXIST;
  result_.Reason = e != 0 ? std::strerror(e) : "short write";
}

bool OutputFile::Open(const std::string& path, Mode mode) {
  int flags = O_WRONLY | O_CLOEXEC;
  if (mode == Mode::Truncate) flags |= O_CREAT | O_TRUNC;
  if (mode == Mode::Exclusive) flags |= O_CREAT | O_EXCL | O_NOFOLLOW;
  if (mode == Mode::InPlace) flags |= O_TRUNC;  // no effect on a device or a pipe
  fd_ = ::open(path.c_str(), flags, 0644);
  if (fd_ < 0) Fail(static_cast<unsigned long>(errno));
  return fd_ >= 0;
}

bool OutputFile::Write(std::span<const uint8_t> bytes) {
  if (fd_ < 0 || !result_.Ok) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      Fail(n < 0 ? static_cast<unsigned long>(errno) : ENOSPC);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

WriteResult OutputFile::Finish() {
  if (fd_ < 0) return result_;
  // EINVAL: a pipe or a special file, which has nothing to flush.
  if (::fsync(fd_) != 0 && errno != EINVAL) Fail(static_cast<unsigned long>(errno));
  if (::close(fd_) != 0) Fail(static_cast<unsigned long>(errno));
  fd_ = -1;
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
  if (::rename(from.c_str(), to.c_str()) != 0) {
    r.Ok = false;
    r.Reason = std::strerror(errno);
  }
  return r;
}

bool MakeFolder(const std::string& path) {
  return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

void MakeWritable(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) ::chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR);
}

void SetModifiedTime(const std::string& path, int64_t unixSeconds) {
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(unixSeconds);
  times[1].tv_nsec = 0;
  ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

bool ReadFileBytes(const std::string& path, std::string& bytes, std::string& reason) {
  bytes.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    reason = std::strerror(errno);
    return false;
  }
  char buffer[1 << 16];
  int error = 0;
  while (true) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    bytes.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  if (error != 0) {
    reason = std::strerror(error);
    bytes.clear();
    return false;
  }
  return true;
}

}  // namespace tarnwick
#endif  // _WIN32
