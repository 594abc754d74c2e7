#pragma once
// A database put together on disk rather than in memory: an unnamed file in
// the target folder that the assembly is appended to, its tables read into a
// sparse view for the whole-file check, and copied file to file when it is
// saved. A database of any size costs no more memory than its tables.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "source/system_file.h"

namespace tarnwick {

struct Session;
struct SavedFile;

class FileAssembly {
 public:
  static constexpr size_t kHeaderBytes = 512;

  FileAssembly() = default;
  ~FileAssembly();
  FileAssembly(const FileAssembly&) = delete;
  FileAssembly& operator=(const FileAssembly&) = delete;

  // Opens a new unnamed file in folder. False with the system's error kept.
  bool Open(const std::string& folder);
  // Appends bytes; false (and every later call fails) when the write fails.
  bool Append(std::span<const uint8_t> bytes);
  // After the last Append: writes out what is pending. False on a failure.
  bool Finish();
  // A view of the whole file in which only the given 512-byte blocks are
  // read and every other byte reads as zero, for checks that look at the
  // file's tables alone: untouched pages of it cost no memory.
  bool MapBlocks(const std::vector<uint64_t>& blocks);

  // After the check: the view keeps the header's block only, and the
  // memory its tables took is given back (a database held for later).
  void KeepHeaderOnly() { view_.GiveBack(kHeaderBytes); }

  std::span<const uint8_t> Bytes() const { return {map_, map_ ? size_ : 0}; }
  uint64_t Size() const { return size_; }
  bool Ok() const { return error_ == 0 && file_.IsOpen(); }
  int Error() const { return error_; }

  // Copies the file to a new file at path, under a temporary name first and
  // renamed into place when whole. False with the system's error (0: a
  // short copy).
  bool CopyTo(const std::string& path, int& error) const;

 private:
  bool Flush();
  SystemFile file_;
  int error_ = 0;
  uint64_t size_ = 0;
  uint64_t written_ = 0;  // bytes of it in the file
  ZeroedMemory view_;
  uint8_t* map_ = nullptr;
  std::vector<uint8_t> pending_;  // appended bytes not yet written
};

// The database carver's save of an assembly, through the same save as one
// from memory: nothing in the folder is replaced, saved.Path becomes the name
// written (or the one that already held these bytes); on a failure the
// system's reason goes to SaveError and Abort/Retry/Ignore is asked; Abort
// stops the scan. True when the bytes are in the folder.
bool SaveAssemblyToFile(Session& s, const FileAssembly& assembly, SavedFile& saved);

}  // namespace tarnwick
