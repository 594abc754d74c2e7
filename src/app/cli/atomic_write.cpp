#include "app/cli/atomic_write.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace tarnwick::cli {

namespace {

std::string Reason(int error) { return std::strerror(error); }

// Writes all of text to fd; the errno of a failure, or 0.
int WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<size_t>(n);
  }
  return 0;
}

std::string WriteInPlace(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return Reason(errno);
  int error = WriteAll(fd, text);
  if (::close(fd) != 0 && error == 0) error = errno;
  return error ? Reason(error) : std::string();
}

}  // namespace

std::string WriteFileAtomically(const std::string& path, const std::string& text) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    // Renaming over /dev/stdout or a FIFO would replace it, not write to it.
    if (S_ISDIR(st.st_mode)) return Reason(EISDIR);
    return WriteInPlace(path, text);
  }
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string pattern =
      (slash == std::string::npos ? std::string() : folder) + "." + name + ".XXXXXX";
  std::vector<char> temp(pattern.begin(), pattern.end());
  temp.push_back('\0');
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return Reason(errno);
  int error = WriteAll(fd, text);
  // mkstemp makes the file 0600; a report is as readable as any new file.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  if (error == 0 && ::fchmod(fd, 0666 & ~mask) != 0) error = errno;
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temp.data(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temp.data());
    return Reason(error);
  }
  return {};
}

}  // namespace tarnwick::cli
