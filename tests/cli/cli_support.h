#pragma once
// What the command-line tests share: the program, QQ-like databases made by
// gsf, and FAT16 images they were deleted from.
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace tarnwick::test {

inline std::string Cli(const std::string& args) {
  return std::string("TARNWICK_LANG=en ") + TARNWICK_CLI + " " + args;
}

inline std::string Python() { return "/usr/bin/python3"; }

inline std::filesystem::path SourceFile(const std::string& relative) {
  return std::filesystem::path(TARNWICK_SOURCE_DIR) / relative;
}

// A compound file made by `gsf createole` from streams named by path
// ("C2CMsg/12345/Data.msj" makes the storages C2CMsg and C2CMsg/12345).
inline std::filesystem::path MakeCompound(const std::filesystem::path& dir, const std::string& name,
                                          const std::map<std::string, size_t>& streams,
                                          uint32_t seed) {
  namespace fs = std::filesystem;
  const fs::path tree = dir / ("tree-" + name);
  std::vector<std::string> top;
  for (const auto& [path, size] : streams) {
    const fs::path p = tree / path;
    fs::create_directories(p.parent_path());
    WriteFileBytes(p, RandomBytes(size, seed++));
    const std::string first = path.substr(0, path.find('/'));
    if (top.empty() || top.back() != first) top.push_back(first);
  }
  std::string args;
  for (const std::string& t : top) args += " " + ShellQuote(t);
  const fs::path out = dir / name;
  CommandResult r = Run("cd " + ShellQuote(tree.string()) + " && gsf createole " +
                        ShellQuote(out.string()) + args + " >/dev/null");
  if (r.Status != 0) return {};
  return out;
}

// The layout of a QQ message database with two contacts and one group.
inline std::map<std::string, size_t> QQLayout(size_t matrixBytes) {
  return {{"Matrix.dat", matrixBytes},
          {"seqbase.dat", 3000},
          {"Info/Info.dat", 700},
          {"C2CMsg/20481234/Data.msj", 24000},
          {"C2CMsg/20481234/Index.msj", 1200},
          {"C2CMsg/987654321/Data.msj", 9000},
          {"C2CMsg/987654321/Index.msj", 450},
          {"GroupMsg/5550001/Data.msj", 15000},
          {"GroupMsg/5550001/Index.msj", 750},
          {"SysMsg/Data.msj", 2100}};
}

// A FAT16 image onto which the files were copied and then deleted.
inline std::filesystem::path DeletedFat16(const std::filesystem::path& img,
                                          const std::vector<std::filesystem::path>& files) {
  if (Run("truncate -s 32M " + ShellQuote(img.string()) + " && mkfs.vfat -F 16 -s 4 " +
          ShellQuote(img.string()) + " >/dev/null")
          .Status != 0)
    return {};
  for (const auto& f : files)
    Run("mcopy -i " + ShellQuote(img.string()) + " " + ShellQuote(f.string()) + " ::");
  for (const auto& f : files)
    Run("mdel -i " + ShellQuote(img.string()) + " ::" + f.filename().string());
  return img;
}

}  // namespace tarnwick::test
