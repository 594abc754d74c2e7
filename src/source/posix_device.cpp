#include "source/posix_device.h"

#ifndef _WIN32

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace tarnwick {

namespace {

std::string SysBlockPath(dev_t rdev) {
  return "/sys/dev/block/" + std::to_string(major(rdev)) + ":" + std::to_string(minor(rdev));
}

bool ReadDevNumber(const std::filesystem::path& file, dev_t& out) {
  std::ifstream in(file);
  unsigned maj = 0, min = 0;
  char colon = 0;
  if (!(in >> maj >> colon >> min) || colon != ':') return false;
  out = makedev(maj, min);
  return true;
}

// Why a file of this type cannot be a Source ("" when it can): only a
// regular file (an image) and a block device (a disk) hold sectors to scan.
std::string NotASourceReason(mode_t mode) {
  if (S_ISDIR(mode)) return "is a directory";
  if (S_ISFIFO(mode)) return "is a pipe (FIFO), not a disk or an image file";
  if (S_ISSOCK(mode)) return "is a socket, not a disk or an image file";
  if (S_ISCHR(mode)) return "is a character device, not a disk or an image file";
  if (!S_ISREG(mode) && !S_ISBLK(mode)) return "is not a disk or an image file";
  return {};
}

}  // namespace

std::unique_ptr<FileDevice> FileDevice::Open(const std::string& path, std::string& error) {
  return PosixDevice::Open(path, error);
}

std::unique_ptr<PosixDevice> PosixDevice::Open(const std::string& path, std::string& error) {
  // Decided before the open: opening a FIFO for reading waits for a writer.
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    error = NotASourceReason(st.st_mode);
    if (!error.empty()) return nullptr;
  }
  // Non-blocking, so that a FIFO put in the path's place since never hangs.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error = std::strerror(errno);
    return nullptr;
  }
  if (::fstat(fd, &st) != 0) {
    error = std::strerror(errno);
    ::close(fd);
    return nullptr;
  }
  error = NotASourceReason(st.st_mode);
  if (!error.empty()) {
    ::close(fd);
    return nullptr;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  std::unique_ptr<PosixDevice> device(new PosixDevice());
  device->fd_ = fd;
  if (S_ISBLK(st.st_mode)) {
    device->identity_.isBlock = true;
    device->identity_.rdev = st.st_rdev;
    device->kind_ = KindOfPath(path);
    uint64_t bytes = 0;
    int sector = 0;
    if (::ioctl(fd, BLKGETSIZE64, &bytes) == 0 && ::ioctl(fd, BLKSSZGET, &sector) == 0 &&
        sector > 0) {
      device->size_ = bytes;
      device->sectorSize_ = static_cast<uint32_t>(sector);
    } else {
      device->geometryKnown_ = false;
    }
  } else {
    device->kind_ = DeviceKind::Image;
    device->identity_.dev = st.st_dev;
    device->identity_.ino = st.st_ino;
    device->size_ = static_cast<uint64_t>(st.st_size);
  }
  // Scans read from start to end: the kernel may read ahead further.
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  if (pages > 0 && pageSize > 0)
    device->dropBehind_ =
        device->size_ > static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize) / 2;
  return device;
}

PosixDevice::~PosixDevice() {
  if (fd_ >= 0) ::close(fd_);
}

int64_t PosixDevice::ReadAt(uint64_t offset, std::span<uint8_t> out) {
  size_t done = 0;
  while (done < out.size()) {
    ssize_t n =
        ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      // The device itself went away, as opposed to a sector that is bad.
      if (errno == ENODEV || errno == ENXIO || errno == ENOMEDIUM || errno == ESHUTDOWN)
        gone_ = true;
      std::fill(out.begin() + static_cast<std::ptrdiff_t>(done), out.end(), uint8_t{0});
      return -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  std::fill(out.begin() + static_cast<std::ptrdiff_t>(done), out.end(), uint8_t{0});
  DropBehind(offset, done);
  return static_cast<int64_t>(done);
}

ByteSpan PosixDevice::NextData(uint64_t offset) const {
  // Block devices have no holes; for an image the file system knows them.
  if (kind_ != DeviceKind::Image || offset >= size_) return {offset, size_};
  const off_t data = ::lseek(fd_, static_cast<off_t>(offset), SEEK_DATA);
  if (data < 0) {
    // ENXIO: nothing but holes from offset on. Anything else: the file
    // system cannot tell, so every byte is read.
    return errno == ENXIO ? ByteSpan{size_, size_} : ByteSpan{offset, size_};
  }
  const uint64_t begin = std::min<uint64_t>(static_cast<uint64_t>(data), size_);
  const off_t hole = ::lseek(fd_, data, SEEK_HOLE);
  const uint64_t end = hole < 0 ? size_ : std::min<uint64_t>(static_cast<uint64_t>(hole), size_);
  return {begin, std::max(begin, end)};
}

// Pages are dropped in steps of kDropStep of contiguous reads, and only whole
// pages that were read: a page that the next read shares stays until it has.
void PosixDevice::DropBehind(uint64_t offset, uint64_t length) {
  constexpr uint64_t kDropStep = uint64_t{8} << 20;
  constexpr uint64_t kPage = 4096;
  if (!dropBehind_ || length == 0) return;
  if (offset != dropTo_ || dropTo_ - dropFrom_ >= kDropStep) {
    const uint64_t from = (dropFrom_ + kPage - 1) / kPage * kPage;
    const uint64_t to = offset == dropTo_ ? dropTo_ / kPage * kPage : dropTo_;
    if (to > from)
      ::posix_fadvise(fd_, static_cast<off_t>(from), static_cast<off_t>(to - from),
                      POSIX_FADV_DONTNEED);
    dropFrom_ = offset == dropTo_ ? to : offset;
  }
  dropTo_ = offset + length;
}

DeviceKind KindOfPath(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return DeviceKind::Image;
  std::error_code ec;
  if (std::filesystem::exists(SysBlockPath(st.st_rdev) + "/partition", ec))
    return DeviceKind::Partition;
  return DeviceKind::Disk;
}

bool LiesOnSource(const DeviceIdentity& id, const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  if (id.isBlock) {
    auto related = RelatedBlockDevices(static_cast<dev_t>(id.rdev));
    auto related_to = [&](dev_t d) {
      return std::find(related.begin(), related.end(), d) != related.end();
    };
    if (related_to(st.st_dev)) return true;
    auto mounted = MountSourceDevice(path);
    return mounted && related_to(*mounted);
  }
  return id.ino != 0 && st.st_dev == id.dev && st.st_ino == id.ino;
}

bool IsDeviceOfSource(const DeviceIdentity& id, const std::string& path) {
  struct stat st {};
  if (!id.isBlock || ::stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return false;
  auto related = RelatedBlockDevices(static_cast<dev_t>(id.rdev));
  return std::find(related.begin(), related.end(), st.st_rdev) != related.end();
}

std::vector<dev_t> RelatedBlockDevices(dev_t rdev) {
  namespace fs = std::filesystem;
  std::vector<dev_t> out{rdev};
  std::error_code ec;
  fs::path self = fs::canonical(SysBlockPath(rdev), ec);
  if (ec) return out;
  fs::path disk = self;
  if (fs::exists(self / "partition", ec)) {
    disk = self.parent_path();
    dev_t d{};
    if (ReadDevNumber(disk / "dev", d)) out.push_back(d);
  }
  for (const auto& entry : fs::directory_iterator(disk, ec)) {
    dev_t d{};
    if (fs::exists(entry.path() / "partition", ec) && ReadDevNumber(entry.path() / "dev", d))
      out.push_back(d);
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

std::optional<dev_t> MountSourceDevice(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const std::string target = fs::canonical(path, ec).string();
  if (ec) return std::nullopt;
  std::ifstream info("/proc/self/mountinfo");
  std::string line, bestSource;
  size_t bestLength = 0;
  while (std::getline(info, line)) {
    // id parent major:minor root mount-point options ... - type source options
    std::istringstream fields(line);
    std::string id, parent, number, root, mountPoint;
    if (!(fields >> id >> parent >> number >> root >> mountPoint)) continue;
    size_t dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    std::istringstream tail(line.substr(dash + 3));
    std::string type, source;
    if (!(tail >> type >> source)) continue;
    bool covers =
        target == mountPoint || mountPoint == "/" ||
        (target.size() > mountPoint.size() &&
         target.compare(0, mountPoint.size(), mountPoint) == 0 && target[mountPoint.size()] == '/');
    if (covers && mountPoint.size() >= bestLength) {
      bestLength = mountPoint.size();
      bestSource = source;
    }
  }
  struct stat st {};
  if (bestSource.empty() || ::stat(bestSource.c_str(), &st) != 0 || !S_ISBLK(st.st_mode))
    return std::nullopt;
  return st.st_rdev;
}

}  // namespace tarnwick

#endif  // _WIN32
