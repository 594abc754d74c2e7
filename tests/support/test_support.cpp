#include "support/test_support.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <process.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>

namespace tarnwick::test {

namespace fs = std::filesystem;

TempDir::TempDir(const std::string& tag) {
  std::random_device rd;
  fs::path base = fs::path(TARNWICK_BINARY_DIR) / "test-tmp";
  fs::create_directories(base);
  for (int attempt = 0; attempt < 100; ++attempt) {
#ifdef _WIN32
    const int pid = ::_getpid();
#else
    const int pid = ::getpid();
#endif
    fs::path p = base / (tag + "-" + std::to_string(pid) + "-" + std::to_string(rd()));
    if (fs::create_directory(p)) {
      path_ = p;
      return;
    }
  }
  throw std::runtime_error("cannot make a temporary folder");
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

#ifdef _WIN32
// The Windows build of the tests runs under wine, without the Linux tools:
// a test that needs one skips itself (HaveTool), and a command never runs.
CommandResult Run(const std::string& commandLine) {
  CommandResult r;
  r.Err = "no shell to run: " + commandLine;
  return r;
}

bool HaveTool(const std::string&) { return false; }
#else
static std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

CommandResult Run(const std::string& commandLine) {
  TempDir tmp("run");
  fs::path out = tmp / "out", err = tmp / "err";
  std::string full = "( " + commandLine + " ) >" + ShellQuote(out.string()) + " 2>" +
                     ShellQuote(err.string()) + " </dev/null";
  int rc = std::system(full.c_str());
  CommandResult r;
  r.Status = (rc != -1 && WIFEXITED(rc)) ? WEXITSTATUS(rc) : -1;
  r.Out = Slurp(out);
  r.Err = Slurp(err);
  return r;
}

bool HaveTool(const std::string& name) {
  return std::system(("command -v " + ShellQuote(name) + " >/dev/null 2>&1").c_str()) == 0;
}
#endif

std::string ShellQuote(const std::string& text) {
  std::string q = "'";
  for (char c : text) {
    if (c == '\'')
      q += "'\\''";
    else
      q += c;
  }
  return q + "'";
}

std::vector<uint8_t> ReadFileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteFileBytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::string Sha256OfFile(const fs::path& path) {
  CommandResult r = Run("sha256sum " + ShellQuote(path.string()));
  return r.Out.substr(0, 64);
}

bool HaveOlefile() { return Run("/usr/bin/python3 -c 'import olefile'").Status == 0; }

std::vector<uint8_t> LongLivedDatabase(const fs::path& file, const std::string& args) {
  const std::string writer = std::string(TARNWICK_SOURCE_DIR) + "/tests/corpus/ole_writer.py";
  const CommandResult r = Run("/usr/bin/python3 " + ShellQuote(writer) + " " +
                              ShellQuote(file.string()) + " " + args);
  EXPECT_EQ(r.Status, 0) << r.Err;
  return r.Status == 0 ? ReadFileBytes(file) : std::vector<uint8_t>{};
}

}  // namespace tarnwick::test
