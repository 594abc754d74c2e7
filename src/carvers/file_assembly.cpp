#include "carvers/file_assembly.h"

#include <algorithm>
#include <cstdio>
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

}  // namespace

FileAssembly::~FileAssembly() = default;

bool FileAssembly::Open(const std::string& folder) {
  error_ = 0;
  file_.CreateUnnamedIn(folder, error_);
  return file_.IsOpen();
}

bool FileAssembly::Flush() {
  if (!Ok()) return false;
  if (!pending_.empty() && !file_.WriteAllAt(written_, pending_, error_)) {
    if (error_ == 0) error_ = InputOutputError();
    return false;
  }
  written_ += pending_.size();
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
  if (!view_.Reserve(static_cast<size_t>(size_), error_)) return false;
  map_ = view_.Data();
  for (uint64_t b : blocks) {
    const uint64_t at = b * kBlock;
    if (at >= size_) continue;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kBlock, size_ - at));
    const int64_t r = file_.ReadAt(at, std::span<uint8_t>(map_ + at, n), error_);
    if (r != static_cast<int64_t>(n)) {
      if (r >= 0) error_ = InputOutputError();
      return false;
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
  PathType type = PathType::None;
  uint64_t size = 0;
  int ignored = 0;
  if (LookAtPath(temporary, false, type, size, ignored) && type == PathType::Regular)
    RemoveName(temporary);
  // Named where it lies, when the system can; copied otherwise.
  if (written_ == size_ && file_.GiveName(temporary, error)) {
    error = RenameReplacing(temporary, path);
    if (error == 0) return true;
    RemoveName(temporary);
    return false;
  }
  if (error != 0) return false;
  SystemFile to;
  if (!to.CreateNew(temporary, error)) return false;
  bool ok = CopyFileBytes(file_, to, size_, error);
  // A rescued file is only counted once it is on the disk.
  if (ok) ok = to.Flush(error);
  int closeError = 0;
  if (!to.Close(closeError) && ok) {
    error = closeError;
    ok = false;
  }
  if (ok) {
    error = RenameReplacing(temporary, path);
    ok = error == 0;
  }
  if (!ok) RemoveName(temporary);
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
    s.SaveError = SystemErrorText(error);
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
