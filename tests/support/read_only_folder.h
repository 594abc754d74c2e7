#pragma once
// A folder that nothing can be written into, whoever runs the tests: root
// writes through permissions, so for root a read-only tmpfs is mounted on
// it; anyone else loses the folder's write permission.
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

namespace tarnwick::test {

class ReadOnlyFolder {
 public:
  explicit ReadOnlyFolder(std::filesystem::path dir) : dir_(std::move(dir)) {
    std::filesystem::create_directories(dir_);
    if (::geteuid() != 0) {
      std::filesystem::permissions(
          dir_, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
      return;
    }
    if (::mount("tarnwick-test", dir_.c_str(), "tmpfs", MS_RDONLY, "size=64k") != 0) {
      why_ = std::string("a read-only tmpfs could not be mounted: ") + std::strerror(errno);
      return;
    }
    mounted_ = true;
  }
  ~ReadOnlyFolder() {
    if (mounted_) ::umount(dir_.c_str());
    std::error_code ec;
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, ec);
  }
  ReadOnlyFolder(const ReadOnlyFolder&) = delete;
  ReadOnlyFolder& operator=(const ReadOnlyFolder&) = delete;

  // Why it could not be made; empty when it is read-only.
  const std::string& Unavailable() const { return why_; }
  // The reason a write into it fails with.
  std::string Reason() const { return std::strerror(mounted_ ? EROFS : EACCES); }

 private:
  std::filesystem::path dir_;
  bool mounted_ = false;
  std::string why_;
};

}  // namespace tarnwick::test
