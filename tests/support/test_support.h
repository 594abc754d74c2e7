#pragma once
// Helpers shared by the test binaries.
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace tarnwick::test {

// n bytes of filler that look random and are the same for the same seed.
inline std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

// A fresh empty folder under the build tree, removed when the object dies.
class TempDir {
 public:
  explicit TempDir(const std::string& tag);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

struct CommandResult {
  int Status = -1;  // exit status, or -1 when it did not exit normally
  std::string Out;  // stdout
  std::string Err;  // stderr
};

// Runs a shell command line, capturing both streams.
CommandResult Run(const std::string& commandLine);
// True when a program of that name is on PATH.
bool HaveTool(const std::string& name);
// Quotes a text for the shell.
std::string ShellQuote(const std::string& text);

std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);
std::string Sha256OfFile(const std::filesystem::path& path);

// Whether /usr/bin/python3 has olefile: the layout writer and the oracle need it.
bool HaveOlefile();
// A database in the long-lived layout of tests/corpus/ole_writer.py (FAT and
// directory sectors between the data), written to file with the writer's
// arguments and read back; a failure and no bytes when the writer fails.
std::vector<uint8_t> LongLivedDatabase(const std::filesystem::path& file, const std::string& args);

}  // namespace tarnwick::test
