#include "scan/session_source.h"

#include <algorithm>
#include <filesystem>

#include "scan/session.h"
#include "volume/hexview.h"
#include "volume/identify.h"
#include "source/file_io.h"

namespace tarnwick {

namespace {

constexpr int kSlotFailedOpenDrive = 16;
constexpr int kSlotTotalSectors = 18;
constexpr int kSlotFailedOpenFile = 48;
constexpr int kSlotFailedParameters = 63;
constexpr int kSlotOpened = 84;
constexpr int kSlotSectorSize = 86;

bool SectorSizeUsable(uint32_t bps) { return bps > 0 && bps <= kMaxSectorSize; }

void SetUnidentified(VolumeGeometry& g, uint32_t bytesPerSector) {
  g.FsKind = kFsOther;
  g.BytesPerSector = bytesPerSector;
  g.SectorsPerCluster = 1;
  g.ClusterPhase = -1;
}

void NewSource(Session& s, std::unique_ptr<SourceDevice> device, const std::string& path,
               DeviceKind kind) {
  s.Cache.Reset();  // first: a read ahead of the old device ends before it goes
  s.Source.Device = std::move(device);
  s.Source.Path = path;
  s.Source.Kind = kind;
  s.Source.Position = 0;
  if (auto* file = dynamic_cast<FileDevice*>(s.Source.Device.get())) {
    s.Source.Identity = file->Identity();
  } else {
    s.Source.Identity = {};
  }
}

// Identification on an image or a partition: on success the boxes are
// locked to the volume; otherwise the user states the geometry.
void IdentifyInto(Session& s, OpenOutcome& out, uint32_t fallbackSectorSize) {
  if (Identify(s)) {
    out.ReasonIndex = 0;
    out.FsBoxesEnabled = false;
  } else {
    out.ReasonIndex = 2;
    out.FsBoxesEnabled = true;
    SetUnidentified(s.Detected, fallbackSectorSize);
  }
}

// The steps every successful open ends with.
void CommonTail(Session& s, OpenOutcome& out, uint64_t length, const std::string& name,
                bool setSectorSizePanel, const std::string& shownName) {
  uint32_t bps = s.Detected.BytesPerSector;
  s.Detected.LastSector = length / bps - 1;  // an empty Source gives all bits set
  s.Scan = s.Detected;
  out.FreeOnlyEnabled = s.Scan.FsKind < kFsOther;
  out.FsIndex = FsIndexForKind(s.Scan.FsKind);
  out.ClusterIndex = ClusterIndexFor(s.Scan.SectorsPerCluster, s.Scan.BytesPerSector);
  out.FirstSectorText = "0";
  out.LastSectorText = std::to_string(static_cast<int64_t>(s.Scan.LastSector));
  if (setSectorSizePanel) out.StatusSectorSize = s.Text(kSlotSectorSize) + std::to_string(bps);
  out.StatusTotal = s.Text(kSlotTotalSectors) + std::to_string(s.Scan.LastSector + 1);
  s.Source.Position = 0;
  out.SectorShown = ShowSector(s, 0).has_value();
  s.Source.Name = name;
  out.Label16 = s.Text(kSlotOpened) + shownName;
  out.Opened = true;
}

OpenOutcome Refuse(int slot, std::string reason = {}) {
  OpenOutcome out;
  out.ErrorSlot = slot;
  out.SystemReason = std::move(reason);
  return out;
}

}  // namespace

OpenOutcome OpenPartition(Session& s, const std::string& devicePath, const std::string& itemText) {
  CloseSource(s);
  std::string error;
  auto device = FileDevice::Open(devicePath, error);
  if (!device) return Refuse(kSlotFailedOpenDrive, error);
  bool geometryKnown = device->GeometryKnown();
  uint32_t deviceSectorSize = device->SectorSize();
  uint64_t length = device->Size();
  NewSource(s, std::move(device), devicePath, DeviceKind::Partition);
  s.Source.Letter = itemText.empty() ? '?' : static_cast<char>(std::toupper(itemText[0]));
  if (!geometryKnown) {
    CloseSource(s);
    return Refuse(kSlotFailedParameters);
  }
  OpenOutcome out;
  uint32_t fallback = SectorSizeUsable(deviceSectorSize) ? deviceSectorSize : 512;
  IdentifyInto(s, out, fallback);
  CommonTail(s, out, length, itemText, true, itemText);
  return out;
}

OpenOutcome OpenDisk(Session& s, const std::string& devicePath, const std::string& itemText) {
  CloseSource(s);
  std::string error;
  auto device = FileDevice::Open(devicePath, error);
  if (!device) return Refuse(kSlotFailedOpenDrive, error);
  bool usable = device->GeometryKnown() && SectorSizeUsable(device->SectorSize());
  uint32_t bps = device->SectorSize();
  uint64_t length = device->Size();
  NewSource(s, std::move(device), devicePath, DeviceKind::Disk);
  if (!usable) {
    CloseSource(s);
    return Refuse(kSlotFailedParameters);
  }
  OpenOutcome out;
  out.ReasonIndex = 2;
  out.FsBoxesEnabled = true;
  SetUnidentified(s.Detected, bps);
  CommonTail(s, out, length, itemText, true, itemText);
  return out;
}

OpenOutcome OpenImageDevice(Session& s, std::unique_ptr<SourceDevice> device,
                            const std::string& name) {
  CloseSource(s);
  s.Source.Letter = '#';
  if (!device) return Refuse(kSlotFailedOpenFile);
  uint64_t length = device->Size();
  NewSource(s, std::move(device), name, DeviceKind::Image);
  OpenOutcome out;
  IdentifyInto(s, out, 512);
  std::string fileName = TextOf(PathOf(name).filename());
  CommonTail(s, out, length, name, false, fileName);
  return out;
}

OpenOutcome OpenImage(Session& s, const std::string& path) {
  CloseSource(s);
  s.Source.Letter = '#';
  std::string error;
  auto device = FileDevice::Open(path, error);
  if (!device) return Refuse(kSlotFailedOpenFile, error);
  std::string full = TextOf(std::filesystem::absolute(PathOf(path)).lexically_normal());
  return OpenImageDevice(s, std::move(device), full);
}

OpenOutcome OpenAny(Session& s, const std::string& path) {
  switch (KindOfPath(path)) {
    case DeviceKind::Partition: return OpenPartition(s, path, path);
    case DeviceKind::Disk: return OpenDisk(s, path, path);
    case DeviceKind::Image: break;
  }
  return OpenImage(s, path);
}

void CloseSource(Session& s) {
  s.Cache.Drop();  // first: a read ahead of the device ends before it goes
  if (s.Source.IsOpen()) {
    s.Source.Letter = 0;
    s.Source.Device.reset();
  }
  s.Regions.clear();
}

int64_t SeekSource(Session& s, int method, int64_t offset) {
  if (!s.Source.IsOpen()) return -1;
  if (method == kFileEnd) {
    uint64_t size = s.Source.Device->Size();
    if (offset < 0 && static_cast<uint64_t>(-offset) > size) return -1;
    return static_cast<int64_t>(size) + offset;
  }
  if (method != kFileBegin || offset < 0) return -1;
  return offset;
}

bool ReadSource(Session& s, uint64_t offset, std::span<uint8_t> out, uint64_t* delivered) {
  if (delivered) *delivered = 0;
  if (!s.Source.IsOpen()) return false;
  if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
  // The device is read by one thread at a time: a read ahead of the search
  // (the sector view asked for while it runs) ends first.
  s.Cache.Ahead.Discard();
  int64_t n = s.Source.Device->ReadAt(offset, out);
  if (n < 0) return false;
  if (delivered) *delivered = static_cast<uint64_t>(n);
  return true;
}

bool ReadSectors(Session& s, uint64_t sector, uint32_t count, uint32_t bytesPerSector,
                 std::span<uint8_t> out) {
  uint64_t bytes = uint64_t{count} * bytesPerSector;
  if (bytes > out.size() || bytesPerSector == 0) return false;
  if (sector > static_cast<uint64_t>(INT64_MAX) / bytesPerSector) return false;
  uint64_t offset = sector * bytesPerSector;
  if (SeekSource(s, kFileBegin, static_cast<int64_t>(offset)) < 0) return false;
  return ReadSource(s, offset, out.first(static_cast<size_t>(bytes)));
}

uint64_t ReadCached(Session& s, uint8_t* dest, uint64_t count, uint64_t position,
                    SkippedSectors skipped, uint32_t reach) {
  if (!s.Source.IsOpen() || s.LastScanSector < 0) {
    std::fill(dest, dest + count, uint8_t{0});
    return count;
  }
  const uint32_t bps = s.Scan.BytesPerSector;
  const uint64_t end = (static_cast<uint64_t>(s.LastScanSector) + 1) * bps;
  const uint64_t fillsBefore = s.Cache.WindowFills;
  uint64_t undelivered = ReadThroughWindow(*s.Source.Device, s.Cache, end, bps, dest, count,
                                           position, skipped, reach);
  s.Source.Position += (s.Cache.WindowFills - fillsBefore) * reach;
  return undelivered;
}

std::span<const uint8_t> CachedBytesAt(Session& s, uint64_t position, uint32_t count,
                                       uint32_t reach) {
  if (!s.Source.IsOpen() || s.LastScanSector < 0) return {};
  const uint32_t bps = s.Scan.BytesPerSector;
  const uint64_t end = (static_cast<uint64_t>(s.LastScanSector) + 1) * bps;
  const uint64_t fillsBefore = s.Cache.WindowFills;
  const uint8_t* at =
      WindowBytesAt(*s.Source.Device, s.Cache, end, bps, position, count, reach);
  s.Source.Position += (s.Cache.WindowFills - fillsBefore) * reach;
  if (at == nullptr) return {};
  return {at, count};
}

const ReadFaults& SourceFaults(const Session& s) { return s.Cache.Faults; }

std::string EmptySourceReason(const Session& s) {
  if (!s.Source.IsOpen() || s.Scan.LastSector != UINT64_MAX) return {};
  const uint64_t size = s.Source.Device->Size();
  if (size == 0) return "the source is empty (0 bytes): there is no sector to read";
  return "the source holds only " + std::to_string(size) + " bytes, less than one " +
         std::to_string(s.Scan.BytesPerSector) + "-byte sector";
}

bool IsOnSource(const Session& s, const std::string& path) {
  return s.Source.IsOpen() && LiesOnSource(s.Source.Identity, path);
}

}  // namespace tarnwick
