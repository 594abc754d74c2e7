#pragma once
// One NTFS file record (a "FILE" record of the MFT, or one found loose on the
// disk): its fix-ups, the names it carries, its times, and where its unnamed
// data stream lies. The bytes are hostile: every offset and length is
// checked against the record, and nothing here reads the Source.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tarnwick {

// A stretch of an attribute's clusters, in the order of its virtual clusters.
struct NtfsExtent {
  uint64_t Cluster = 0;  // volume cluster number (meaningless when Sparse)
  uint64_t Count = 0;    // clusters
  bool Sparse = false;
};

// One $FILE_NAME of a record.
struct NtfsName {
  uint64_t ParentRecord = 0;
  uint16_t ParentSequence = 0;
  uint8_t Namespace = 0;  // 0 POSIX, 1 Win32, 2 DOS, 3 Win32 and DOS
  std::string Name;       // UTF-8
  int64_t Created = 0, Modified = 0;  // seconds since 1970
};

// One piece of the unnamed $DATA attribute: the record that holds it covers
// virtual clusters LowestVcn .. HighestVcn.
struct NtfsDataPiece {
  uint64_t LowestVcn = 0;
  uint64_t HighestVcn = 0;
  std::vector<NtfsExtent> Extents;
  bool RunsValid = true;  // the run list decoded to its end and matches the VCN span
};

// An entry of an $ATTRIBUTE_LIST: which record holds which attribute.
struct NtfsListEntry {
  uint32_t Type = 0;
  uint64_t LowestVcn = 0;
  uint64_t Record = 0;
  uint16_t Sequence = 0;
  bool Named = false;
};

struct NtfsRecord {
  bool Valid = false;    // "FILE", fix-ups and header sound
  bool InUse = false;
  bool IsDirectory = false;
  uint16_t Sequence = 0;
  uint64_t Number = 0;   // as the header records it (0 when it does not)
  bool NumberKnown = false;
  uint64_t BaseRecord = 0;  // 0: a base record; else the record it extends
  uint16_t BaseSequence = 0;

  std::vector<NtfsName> Names;
  std::optional<int64_t> Created, Modified;  // $STANDARD_INFORMATION

  // The unnamed $DATA attribute, as far as this record holds it.
  bool HasData = false;
  bool DataResident = false;
  std::vector<uint8_t> ResidentData;
  uint64_t DataSize = 0;  // from the piece starting at VCN 0 (or the resident value)
  bool DataSizeKnown = false;
  bool Compressed = false, Encrypted = false;
  std::vector<NtfsDataPiece> DataPieces;

  // The $ATTRIBUTE_LIST: resident entries, or the runs of a non-resident one.
  bool HasAttributeList = false;
  std::vector<NtfsListEntry> AttributeList;
  std::vector<NtfsExtent> AttributeListRuns;
  uint64_t AttributeListSize = 0;

  // The preferred name: Win32 over POSIX over DOS. Null when there is none.
  const NtfsName* BestName() const;
};

// Undoes the update-sequence protection of a record in place: the last two
// bytes of every 512-byte stride must hold the sequence number and get back
// the bytes saved in the array. False when the array does not fit the
// record or a stride does not carry the number (a torn or foreign record).
bool ApplyNtfsFixups(std::span<uint8_t> record);

// Parses one record of recordSize bytes (its fix-ups are applied in place).
NtfsRecord ParseNtfsRecord(std::span<uint8_t> record);

// Decodes a run list: lengths unsigned, cluster offsets signed deltas from
// the previous run's start, no offset a sparse run. False when it runs off
// its bytes or a cluster number goes below zero.
bool DecodeNtfsRunList(std::span<const uint8_t> runs, std::vector<NtfsExtent>& out);

// Parses the entries of an $ATTRIBUTE_LIST value.
std::vector<NtfsListEntry> ParseNtfsAttributeList(std::span<const uint8_t> value);

// NTFS time (100 ns units since 1601) in seconds since 1970.
int64_t NtfsTimeToUnix(uint64_t filetime);

}  // namespace tarnwick
