#pragma once
// Helpers for the tests of the claim-only media and package carvers: media
// made once by real tools and kept in the build tree, images with a file
// laid into chosen sectors, the expected claims, and a QQ-like database.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "carvers/qq_database.h"
#include "scan/dispatch.h"
#include "scan/session.h"
#include "source/device.h"
#include "scan/session_source.h"
#include "support/sessions.h"
#include "support/test_support.h"

namespace tarnwick::test::media {

using test::Marked;
using test::RandomBytes;
using test::SectorRun;

namespace fs = std::filesystem;

inline constexpr uint64_t kSector = 512;

// A file made by a shell command (which writes "$OUT") the first time it is
// asked for; later calls, in this process or another test process, read the
// kept copy. Empty when the command failed.
inline std::vector<uint8_t> Made(const std::string& name, const std::string& command) {
  const fs::path dir = fs::path(TARNWICK_BINARY_DIR) / "test-media";
  fs::create_directories(dir);
  const fs::path kept = dir / name;
  if (fs::exists(kept)) return ReadFileBytes(kept);
  TempDir work("media");
  const fs::path out = work / name;
  auto r = Run("cd " + ShellQuote(work.Path().string()) + " && OUT=" + ShellQuote(out.string()) +
               " && " + command);
  if (r.Status != 0 || !fs::exists(out)) {
    ADD_FAILURE() << "making " << name << " failed: " << r.Err;
    return {};
  }
  const fs::path partial = dir / (name + ".part" + std::to_string(::getpid()));
  fs::copy_file(out, partial, fs::copy_options::overwrite_existing);
  fs::rename(partial, kept);  // whole or not at all, even with tests running side by side
  return ReadFileBytes(kept);
}

// A shell command writing n bytes to file that look random and are the
// same on every run.
inline std::string Noise(const std::string& file, size_t n) {
  return "python3 -c 'import random; random.seed(" + std::to_string(n) + "); open(\"" + file +
         "\", \"wb\").write(random.randbytes(" + std::to_string(n) + "))'";
}

// Tools that a test needs; the reason to skip when one is missing.
inline std::string Missing(std::initializer_list<const char*> tools) {
  for (const char* t : tools)
    if (!HaveTool(t)) return std::string(t) + " is not installed";
  return {};
}

// ffmpeg's test picture with a tone, in the container the extension names.
inline std::vector<uint8_t> FfmpegMedia(const std::string& name, const std::string& options = "") {
  return Made(name,
              "ffmpeg -v error -nostdin -y -f lavfi -i testsrc=duration=3:size=176x144:rate=10 "
              "-f lavfi -i sine=duration=3 -shortest -fflags +bitexact " +
                  options + " \"$OUT\"");
}

// The sectors 0 .. n-1 shifted to start at first.
inline uint64_t SectorsOf(uint64_t bytes) { return (bytes + kSector - 1) / kSector; }

// `count` sectors from `first` onwards that are not in `foreign`.
inline std::vector<uint64_t> SectorsAvoiding(uint64_t first, uint64_t count,
                                             const std::set<uint64_t>& foreign) {
  std::vector<uint64_t> v;
  for (uint64_t s = first; v.size() < count; ++s)
    if (!foreign.count(s)) v.push_back(s);
  return v;
}

// Lays the file's 512-byte pieces into the given sectors of the image, in order.
inline void Lay(std::vector<uint8_t>& img, const std::vector<uint8_t>& file,
                const std::vector<uint64_t>& at) {
  ASSERT_GE(at.size(), SectorsOf(file.size()));
  for (size_t k = 0; k * kSector < file.size(); ++k) {
    size_t n = std::min<size_t>(kSector, file.size() - k * kSector);
    ASSERT_LE((at[k] + 1) * kSector, img.size());
    std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(k * kSector), n,
                img.begin() + static_cast<std::ptrdiff_t>(at[k] * kSector));
  }
}

// An image of random filler with the file laid into the given sectors.
inline std::vector<uint8_t> ImageWith(uint64_t sectors, const std::vector<uint8_t>& file,
                                      const std::vector<uint64_t>& at, uint32_t seed = 77) {
  std::vector<uint8_t> img = RandomBytes(sectors * kSector, seed);
  Lay(img, file, at);
  return img;
}

// What a successful carve of a file of `bytes` bytes laid at `at` claims:
// the sectors up to the one holding the last byte, then the rest of that
// cluster; with the foreign sectors that were claimed beforehand.
inline std::vector<uint64_t> ExpectedClaims(const std::vector<uint64_t>& at, uint64_t bytes,
                                            uint32_t spc = 1, int32_t phase = 0,
                                            const std::set<uint64_t>& foreign = {}) {
  std::set<uint64_t> all(foreign);
  const uint64_t n = SectorsOf(bytes);
  for (uint64_t k = 0; k < n; ++k) all.insert(at[k]);
  if (spc > 1 && n > 0) {
    for (uint64_t t = at[n - 1] + 1; (t + spc - static_cast<uint64_t>(phase) % spc) % spc != 0; ++t)
      all.insert(t);
  }
  return {all.begin(), all.end()};
}

// An in-memory Source that notes where each device read began.
class RecordingDevice final : public SourceDevice {
 public:
  explicit RecordingDevice(std::vector<uint8_t> bytes, std::vector<uint64_t>* reads)
      : bytes_(std::move(bytes)), reads_(reads) {}
  uint64_t Size() const override { return bytes_.size(); }
  int64_t ReadAt(uint64_t offset, std::span<uint8_t> out) override {
    reads_->push_back(offset);
    std::fill(out.begin(), out.end(), 0);
    if (offset >= bytes_.size()) return 0;
    size_t n = std::min<size_t>(out.size(), bytes_.size() - offset);
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), n, out.begin());
    return static_cast<int64_t>(n);
  }

 private:
  std::vector<uint8_t> bytes_;
  std::vector<uint64_t>* reads_;
};

// A Session over any device, set up as CarveSession sets up its own.
inline std::unique_ptr<Session> DeviceSession(std::unique_ptr<SourceDevice> device,
                                              uint32_t spc = 1, int32_t phase = 0) {
  auto s = EnglishSession();
  OpenImageDevice(*s, std::move(device), "device.img");
  s->Scan.SectorsPerCluster = spc;
  s->ScanClusterPhase = phase;
  s->FirstScanSector = 0;
  s->LastScanSector = static_cast<int64_t>(s->Scan.LastSector);
  s->Map.Allocate(s->Scan.LastSector);
  return s;
}

// A QQ-like compound file made by gsf, with the two streams QQ keeps.
inline std::vector<uint8_t> QQDatabase(size_t matrixBytes = 150000, size_t seqBytes = 30000) {
  TempDir dir("qqdb");
  WriteFileBytes(dir / "Matrix.dat", RandomBytes(matrixBytes, 5));
  WriteFileBytes(dir / "seqbase.dat", RandomBytes(seqBytes, 6));
  auto r = Run("cd " + ShellQuote(dir.Path().string()) +
               " && gsf createole out.ole Matrix.dat seqbase.dat");
  EXPECT_EQ(r.Status, 0) << r.Err;
  return ReadFileBytes(dir / "out.ole");
}

// The rescued databases in a folder.
inline std::vector<std::vector<uint8_t>> WrittenFiles(const fs::path& folder) {
  std::vector<std::vector<uint8_t>> out;
  for (const auto& e : fs::directory_iterator(folder)) {
    if (e.is_regular_file()) out.push_back(ReadFileBytes(e.path()));
  }
  return out;
}

// The database laid from sector `first` with the whole other file inside its
// span: the first half of the database, the file, the rest of the database.
struct Nested {
  std::vector<uint8_t> Image;
  uint64_t DatabaseStart = 0;
  uint64_t FileStart = 0;
};

inline Nested NestInDatabase(const std::vector<uint8_t>& db, const std::vector<uint8_t>& file,
                             uint64_t first = 8) {
  Nested n;
  const uint64_t dbSectors = SectorsOf(db.size());
  const uint64_t head = dbSectors / 2;
  const uint64_t fileSectors = SectorsOf(file.size());
  n.DatabaseStart = first;
  n.FileStart = first + head;
  std::vector<uint64_t> dbAt = SectorRun(first, head);
  for (uint64_t k = head; k < dbSectors; ++k) dbAt.push_back(first + fileSectors + k);
  n.Image = ImageWith(first + dbSectors + fileSectors + 16, db, dbAt, 91);
  Lay(n.Image, file, SectorRun(n.FileStart, fileSectors));
  return n;
}

// Lays the database around the whole file (NestInDatabase). The database
// carver alone may give it back only as it was (its reassembly can step over
// a file that does not look like its data, or send it to damaged/), never
// with the file's bytes in it; once `carve` has claimed the file (writing
// nothing itself), it must, byte for byte.
inline void ExpectDatabaseBackAround(const std::vector<uint8_t>& db,
                                     const std::vector<uint8_t>& file, CarverFn carve,
                                     const std::string& what) {
  SCOPED_TRACE(what);
  auto nested = NestInDatabase(db, file);
  {
    TempDir out("alone-qq");
    auto s = CarveSession(nested.Image);
    CarveQQDatabase(*s, out.Path().string() + "/", nested.DatabaseStart * kSector);
    auto files = WrittenFiles(out.Path());
    EXPECT_TRUE(files.empty() || files[0] == db) << "alone, no wrong file is called whole";
  }
  TempDir out("around-qq");
  auto s = CarveSession(nested.Image);
  carve(*s, out.Path().string() + "/", nested.FileStart * kSector);
  EXPECT_TRUE(WrittenFiles(out.Path()).empty()) << "the file's carver writes nothing";
  CarveQQDatabase(*s, out.Path().string() + "/", nested.DatabaseStart * kSector);
  auto files = WrittenFiles(out.Path());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0], db);
}

}  // namespace tarnwick::test::media
