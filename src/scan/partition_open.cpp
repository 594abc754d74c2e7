#include "scan/partition_open.h"

#include <filesystem>

#include "scan/session.h"
#include "source/slice_device.h"
#include "volume/identify.h"
#include "source/file_io.h"

namespace tarnwick {

namespace {

constexpr int kSlotFailedOpenDrive = 16;
constexpr int kSlotFailedOpenFile = 48;

std::string PartitionName(const std::string& name, int index) {
  return name + " (partition " + std::to_string(index) + ")";
}

}  // namespace

PartitionOpen OpenPartitionOfDevice(Session& s, std::unique_ptr<SourceDevice> disk,
                                    const std::string& name, int index) {
  PartitionOpen out;
  CloseSource(s);
  if (!disk) {
    out.Outcome.ErrorSlot = kSlotFailedOpenFile;
    return out;
  }
  out.Table = ReadPartitionTable(*disk);
  const PartitionEntry* p = out.Table.Find(index);
  if (p == nullptr) {
    out.Problem = out.Table.Scheme == TableScheme::None
                      ? "no partition table was found on " + name
                      : "there is no partition " + std::to_string(index) + " on " + name +
                            " (the partitions command lists them)";
    return out;
  }
  DeviceIdentity identity;
  if (auto* file = dynamic_cast<FileDevice*>(disk.get())) identity = file->Identity();
  auto slice = std::make_unique<SliceDevice>(std::move(disk), out.Table.ByteOffset(*p),
                                             out.Table.ByteLength(*p));
  out.Outcome = OpenImageDevice(s, std::move(slice), PartitionName(name, index));
  if (out.Outcome.Opened) {
    s.Source.Kind = DeviceKind::Partition;
    s.Source.Identity = identity;
  }
  return out;
}

PartitionOpen OpenPartitionOf(Session& s, const std::string& path, int index) {
  CloseSource(s);
  std::string error;
  auto device = FileDevice::Open(path, error);
  if (!device) {
    PartitionOpen out;
    out.Outcome.ErrorSlot =
        KindOfPath(path) == DeviceKind::Image ? kSlotFailedOpenFile : kSlotFailedOpenDrive;
    out.Outcome.SystemReason = error;
    return out;
  }
  std::string name = device->Kind() == DeviceKind::Image
                         ? TextOf(std::filesystem::absolute(PathOf(path)).lexically_normal())
                         : path;
  PartitionOpen out = OpenPartitionOfDevice(s, std::move(device), name, index);
  if (out.Outcome.Opened) s.Source.Path = path;
  return out;
}

}  // namespace tarnwick
