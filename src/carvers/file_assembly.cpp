#include "carvers/file_assembly.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include "carvers/framework.h"
#include "scan/session.h"
#include "source/file_io.h"

namespace tarnwick {

namespace {

constexpr size_t kWriteChunk = size_t{1} << 20;
constexpr uint64_t kBlock = 512;
constexpr int kSlotFailedSave = 28;
constexpr int kSlotSaveCaption = 61;

bool WriteAll(int fd, const uint8_t* data, size_t n, int& error) {
  while (n > 0) {
    const ssize_t w = ::write(fd, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      error = w < 0 ? errno : 0;
      return false;
    }
    data += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// The bytes of from, count of them from offset 0, into to.
bool CopyFile(int from, int to, uint64_t count, int& error) {
  uint64_t done = 0;
  while (done < count) {
    loff_t in = static_cast<loff_t>(done);
    const ssize_t n = ::copy_file_range(from, &in, to, nullptr, count - done, 0);
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
    std::vector<uint8_t> buffer(kWriteChunk);
    while (done < count) {
      const ssize_t r = ::pread(from, buffer.data(), std::min<uint64_t>(kWriteChunk, count - done),
                                static_cast<off_t>(done));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) {
        error = r < 0 ? errno : 0;
        return false;
      }
      if (!WriteAll(to, buffer.data(), static_cast<size_t>(r), error)) return false;
      done += static_cast<uint64_t>(r);
    }
  }
  return true;
}

}  // namespace

FileAssembly::~FileAssembly() {
  if (map_) ::munmap(map_, static_cast<size_t>(size_));
  if (fd_ >= 0) ::close(fd_);
}

bool FileAssembly::Open(const std::string& folder) {
  const std::string dir = folder.empty() ? "." : folder;
  fd_ = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    // A file system without unnamed files: a named one, unlinked at once.
    std::string name = dir + (dir.back() == '/' ? "" : "/") + ".assembly-XXXXXX";
    fd_ = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd_ >= 0) ::unlink(name.c_str());
  }
  error_ = fd_ < 0 ? errno : 0;
  return fd_ >= 0;
}

bool FileAssembly::Flush() {
  if (!Ok()) return false;
  if (!pending_.empty() && !WriteAll(fd_, pending_.data(), pending_.size(), error_)) {
    if (error_ == 0) error_ = EIO;
    return false;
  }
  pending_.clear();
  return true;
}

bool FileAssembly::Append(std::span<const uint8_t> bytes) {
  if (!Ok() || map_) return false;
  pending_.insert(pending_.end(), bytes.begin(), bytes.end());
  size_ += bytes.size();
  return pending_.size() < kWriteChunk || Flush();
}

bool FileAssembly::Finish() { return Flush(); }

bool FileAssembly::MapBlocks(const std::vector<uint64_t>& blocks) {
  if (!Flush() || map_ || size_ == 0) return Ok() && !map_;
  void* p = ::mmap(nullptr, static_cast<size_t>(size_), PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) {
    error_ = errno;
    return false;
  }
  map_ = static_cast<uint8_t*>(p);
  for (uint64_t b : blocks) {
    const uint64_t at = b * kBlock;
    if (at >= size_) continue;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kBlock, size_ - at));
    size_t done = 0;
    while (done < n) {
      const ssize_t r = ::pread(fd_, map_ + at + done, n - done, static_cast<off_t>(at + done));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) {
        error_ = r < 0 ? errno : EIO;
        return false;
      }
      done += static_cast<size_t>(r);
    }
  }
  return true;
}

bool FileAssembly::CopyTo(const std::string& path, int& error) const {
  if (!Ok()) {
    error = error_;
    return false;
  }
  const std::string temporary = path + ".part";
  struct stat st {};
  if (::lstat(temporary.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(temporary.c_str());
  const int to = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (to < 0) {
    error = errno;
    return false;
  }
  bool ok = CopyFile(fd_, to, size_, error);
  // A rescued file is only counted once it is on the disk.
  if (ok && ::fsync(to) != 0 && errno != EINVAL) {
    error = errno;
    ok = false;
  }
  if (::close(to) != 0 && ok) {
    error = errno;
    ok = false;
  }
  if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
    error = errno;
    ok = false;
  }
  if (!ok) ::unlink(temporary.c_str());
  return ok;
}

bool SaveAssemblyToFile(Session& s, const FileAssembly& assembly, SavedFile& saved) {
  std::random_device random;
  while (true) {
    // A copy under a name of its own beside the one wanted, which the save
    // then takes over: it gets the name, or goes when the same bytes are
    // already in the folder. Nothing there is ever replaced.
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".%08x.assembly", static_cast<unsigned>(random()));
    const std::string temporary = saved.Path + suffix;
    int error = 0;
    if (TypeOfPath(temporary) == PathType::None && assembly.CopyTo(temporary, error))
      return SaveWithoutReplacing(s, SaveSource::InFile(temporary), saved);
    if (error == 0 && TypeOfPath(temporary) != PathType::None) continue;  // the name was taken
    s.SaveError = error != 0 ? std::strerror(error) : "short write";
    Answer a = s.UI->Ask(s.Text(kSlotFailedSave) + saved.Path, s.Text(kSlotSaveCaption),
                         Buttons::AbortRetryIgnore);
    if (a == Answer::Retry) continue;
    if (a == Answer::Abort) {
      s.Flags.RunState = kStop;
      s.SaveAborted = true;
    }
    return false;
  }
}

}  // namespace tarnwick
