#pragma once
// An NTFS volume's files as its MFT records them, in use or not: the MFT is
// found through the boot sector (or its backup at the volume's end), read
// along its own run list from record 0, and every record in it parsed.
// Paths follow the parent references, sequence numbers checked, so that a
// file whose folder was reused is not put into the new one.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "filesystems/file_record.h"
#include "filesystems/sector_reader.h"

namespace tarnwick {

// What the boot sector says, in the volume's own units.
struct NtfsVolume {
  uint64_t FirstSector = 0;  // Source sector of the volume's first sector
  uint32_t BytesPerSector = 0;
  uint32_t ClusterBytes = 0;
  uint32_t RecordBytes = 0;
  uint64_t TotalSectors = 0;  // the volume's own sectors, as the boot sector counts them
  uint64_t MftCluster = 0;
  uint64_t Clusters() const { return TotalSectors * BytesPerSector / ClusterBytes; }
};

// The volume a 512-byte NTFS boot sector tells of, when its fields are sane
// (sector size 512 to 4096, cluster up to 2 MiB, records 1 KiB or 4 KiB).
std::optional<NtfsVolume> ParseNtfsBootSector(std::span<const uint8_t> boot, uint64_t firstSector);

// The boot sector at firstSector, or else its backup at lastSector (the
// volume's last sector, where the primary one is gone). error says why not.
std::optional<NtfsVolume> FindNtfsVolume(SectorReader& reader, uint64_t firstSector,
                                         uint64_t lastSector, std::string& error);

// Figures of one read, for the curious and for benchmarks.
struct NtfsReadStats {
  uint64_t MftBytes = 0;      // the $MFT's size
  uint64_t Records = 0;       // records looked at
  uint64_t ValidRecords = 0;  // ... that parsed
  uint64_t Extensions = 0;    // extension records joined to their base
};

// Every named record of the volume's MFT, live and deleted. None, with
// error, when the boot sector or the MFT's own record cannot be read.
std::optional<std::vector<FileRecord>> ReadNtfsFiles(SectorReader& reader, uint64_t firstSector,
                                                     uint64_t lastSector, std::string& error,
                                                     NtfsReadStats* stats = nullptr);

// The same for records found loose, outside the MFT (a formatted or
// repartitioned volume's old records): each sector given is read as a record
// of the volume's geometry, joined with the others by record number (for
// paths and extension records) and its run list taken in that volume's
// clusters. Records that do not parse are passed over.
std::vector<FileRecord> ReadLooseNtfsRecords(SectorReader& reader, const NtfsVolume& volume,
                                             std::span<const uint64_t> recordSectors);

}  // namespace tarnwick
