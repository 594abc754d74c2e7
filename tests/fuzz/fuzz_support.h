#pragma once
// What the fuzz targets share: one Session reused for every input (making a
// Session per input would cost more than the code under test), and the input
// laid out as an in-memory Source of whole 512-byte sectors.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <set>
#include <vector>

#include "filesystems/file_record.h"
#include "filesystems/sector_reader.h"
#include "scan/session.h"
#include "source/device.h"

namespace tarnwick::fuzz {

// Larger inputs are passed over: they add time, not paths.
constexpr size_t kMaxInput = 4 << 20;

inline Session& SharedSession() {
  static Session* session = [] {
    ::setenv("TARNWICK_LANG", "en", 1);
    return new Session();
  }();
  return *session;
}

// The bytes padded with zeros to whole sectors (at least one).
inline std::vector<uint8_t> Sectors(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  bytes.resize(std::max<size_t>((size + 511) / 512, 1) * 512, 0);
  return bytes;
}

// The sectors a failing disk would not deliver: those whose last byte is
// 0xBD, so that an input says where its own bad sectors lie and the
// carvers' ways past an unreadable sector are fuzzed too.
inline std::set<uint64_t> BadSectors(const std::vector<uint8_t>& sectors) {
  std::set<uint64_t> bad;
  for (size_t k = 0; k * 512 < sectors.size(); ++k)
    if (sectors[k * 512 + 511] == 0xBD) bad.insert(k);
  return bad;
}

// The Session as phase 2 has it: the device as the Source, one sector per
// cluster, the whole Source as the scan range, a clear sector map.
inline void CarveOver(Session& s, std::unique_ptr<SourceDevice> device) {
  const uint64_t sectors = device->Size() / 512;
  s.Source.Device = std::move(device);
  s.Cache.Reset();
  s.Scan.LastSector = sectors - 1;
  s.Scan.BytesPerSector = 512;
  s.Scan.SectorsPerCluster = 1;
  s.Scan.ClusterPhase = 0;
  s.Scan.FsKind = kFsOther;
  s.FirstScanSector = 0;
  s.LastScanSector = static_cast<int64_t>(sectors - 1);
  s.ScanClusterPhase = 0;
  s.Map.Allocate(sectors - 1);
  s.Flags.RunState = kRunning;
  s.RescuedCount = 0;
  s.UnsavedCount = 0;
}

// The input as a volume that a file-system reader reads: whole sectors on a
// device that fails the sectors the input marks bad, through a read window.
struct HostileVolume {
  explicit HostileVolume(std::vector<uint8_t> bytes)
      : SectorCount(bytes.size() / 512),
        Device(std::make_unique<MemoryDevice>(bytes), BadSectors(bytes)),
        Reader(Device, Cache, 512, SectorCount) {}
  uint64_t SectorCount;
  FaultyDevice Device;
  ReadCache Cache;
  DeviceSectorReader Reader;
};

// A record that claims to know a file's layout holds every byte of it.
inline void CheckLayoutsCoverSizes(const std::vector<FileRecord>& records) {
  for (const FileRecord& r : records) {
    uint64_t covered = 0;
    for (const FileRun& run : r.Runs) covered += run.Sectors;
    if (r.LayoutKnown && covered * 512 < r.Size) __builtin_trap();
  }
}

}  // namespace tarnwick::fuzz
