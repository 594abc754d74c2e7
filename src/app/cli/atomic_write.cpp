#include "app/cli/atomic_write.h"

#include <atomic>
#include <chrono>
#include <span>

#include "source/file_io.h"

namespace tarnwick::cli {

namespace {

std::span<const uint8_t> BytesOf(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// A name beside path that no other save of this process or another uses.
std::string TemporaryBeside(const std::string& path, unsigned attempt) {
  static std::atomic<unsigned> counter{0};
  const size_t slash = path.find_last_of("/\\");
  const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const auto tick = std::chrono::steady_clock::now().time_since_epoch().count();
  return folder + "." + name + "." + std::to_string(tick % 1000000007) + "-" +
         std::to_string(counter++) + "-" + std::to_string(attempt);
}

}  // namespace

std::string WriteFileAtomically(const std::string& path, const std::string& text) {
  switch (TypeOfPath(path)) {
    case PathType::Directory: return "Is a directory";
    // Moving over /dev/stdout or a FIFO would replace it, not write to it.
    case PathType::Other: return WriteWholeFile(path, BytesOf(text), OutputFile::Mode::InPlace).Reason;
    case PathType::None:
    case PathType::Regular: break;
  }
  WriteResult r;
  std::string temp;
  for (unsigned attempt = 0; attempt < 16; ++attempt) {
    temp = TemporaryBeside(path, attempt);
    r = WriteWholeFile(temp, BytesOf(text), OutputFile::Mode::Exclusive);
    if (!r.Exists) break;
  }
  if (r.Ok) r = MoveIntoPlace(temp, path);
  if (!r.Ok) {
    if (!r.Exists) RemoveFile(temp);
    return r.Reason;
  }
  return {};
}

}  // namespace tarnwick::cli
