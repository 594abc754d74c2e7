#pragma once
// The Session's Source: opening, closing and the raw and windowed reads of it.
// The device, the read window and its fault record are the source layer's;
// what ties them to one scan (the geometry, the scan range, the texts) is here.
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "source/device.h"
#include "source/read_cache.h"
#include "source/source.h"

namespace tarnwick {

struct Session;

// Opens a partition device; itemText is what the drive list shows.
OpenOutcome OpenPartition(Session& s, const std::string& devicePath, const std::string& itemText);
// Opens a whole disk (no boot-sector identification).
OpenOutcome OpenDisk(Session& s, const std::string& devicePath, const std::string& itemText);
// Opens an image file.
OpenOutcome OpenImage(Session& s, const std::string& path);
// Opens an already made device as an image (tests, tools).
OpenOutcome OpenImageDevice(Session& s, std::unique_ptr<SourceDevice> device,
                            const std::string& name);
// Picks the path by what the path is: a partition, a whole disk, or an image.
OpenOutcome OpenAny(Session& s, const std::string& path);
void CloseSource(Session& s);

// Position for a read: -1 on failure (no Source, or beyond what 64 bits hold).
int64_t SeekSource(Session& s, int method, int64_t offset);
// Reads bytes at a byte offset of the Source. True when the device did not
// report a failure (a short read at the end of an image still succeeds; its
// missing bytes are zero). delivered, when given, receives the byte count.
bool ReadSource(Session& s, uint64_t offset, std::span<uint8_t> out, uint64_t* delivered = nullptr);
// Reads count sectors of bytesPerSector bytes from sector.
bool ReadSectors(Session& s, uint64_t sector, uint32_t count, uint32_t bytesPerSector,
                 std::span<uint8_t> out);

// Copies count bytes of the Source at position into dest through the read
// window, reading no further than the scan range's last sector, with the
// failed-read handling of the read window. reach is how much the window is
// filled with when position lies outside it. Returns how many bytes it could
// not deliver (0: all of them); those are zero in dest.
uint64_t ReadCached(Session& s, uint8_t* dest, uint64_t count, uint64_t position,
                    SkippedSectors skipped = SkippedSectors::ReadNow,
                    uint32_t reach = ReadCache::kWindow);
// The count bytes of the Source at position, read as ReadCached reads them
// but left in the window: valid until the next read. Empty when they are not
// all to be had there; ReadCached then says what is.
std::span<const uint8_t> CachedBytesAt(Session& s, uint64_t position, uint32_t count,
                                       uint32_t reach = ReadCache::kWindow);

// What the read window learnt of the open Source's failures.
const ReadFaults& SourceFaults(const Session& s);

// Why the open Source has no sector to scan ("" when it has one): an empty
// image, or one smaller than a sector.
std::string EmptySourceReason(const Session& s);

// True when a folder lies on the Source: its file system's device is the
// Source's device, one of its partitions or its disk; for an image Source,
// when the folder is the image file itself.
bool IsOnSource(const Session& s, const std::string& path);

}  // namespace tarnwick
