#include "filesystems/ntfs_record.h"

#include "source/bytes.h"
#include "source/utf16.h"

namespace tarnwick {

namespace {

constexpr uint32_t kStride = 512;
constexpr uint32_t kAttrStandardInformation = 0x10;
constexpr uint32_t kAttrAttributeList = 0x20;
constexpr uint32_t kAttrFileName = 0x30;
constexpr uint32_t kAttrData = 0x80;
constexpr uint32_t kAttrEnd = 0xFFFFFFFF;
constexpr uint16_t kFlagCompressed = 0x0001;
constexpr uint16_t kFlagEncrypted = 0x4000;
constexpr uint64_t kRecordNumberMask = 0x0000FFFFFFFFFFFFull;
// Below this, cluster numbers and counts are ones a volume can have (2^48
// clusters): larger ones are garbage and would overflow sector arithmetic.
constexpr uint64_t kLargestCluster = uint64_t{1} << 48;

// Reads a little-endian integer of n bytes (n <= 8), sign-extended when asked.
uint64_t ReadVarLE(std::span<const uint8_t> b, size_t at, size_t n, bool isSigned) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v |= uint64_t{b[at + i]} << (8 * i);
  if (isSigned && n > 0 && n < 8 && (b[at + n - 1] & 0x80) != 0) v |= ~uint64_t{0} << (8 * n);
  return v;
}

void ReadStandardInformation(std::span<const uint8_t> value, NtfsRecord& r) {
  if (value.size() < 16) return;
  r.Created = NtfsTimeToUnix(LE64(value, 0));
  r.Modified = NtfsTimeToUnix(LE64(value, 8));
}

void ReadFileName(std::span<const uint8_t> value, NtfsRecord& r) {
  if (value.size() < 66) return;
  const size_t units = U8(value, 64);
  if (66 + 2 * units > value.size()) return;
  NtfsName n;
  const uint64_t parent = LE64(value, 0);
  n.ParentRecord = parent & kRecordNumberMask;
  n.ParentSequence = static_cast<uint16_t>(parent >> 48);
  n.Created = NtfsTimeToUnix(LE64(value, 8));
  n.Modified = NtfsTimeToUnix(LE64(value, 16));
  n.Namespace = U8(value, 65);
  n.Name = Utf16LeToUtf8(value, 66, units, false);
  r.Names.push_back(std::move(n));
}

// One attribute at `at` of a record whose attributes end at `used`.
// Returns the attribute's length, 0 to stop the walk.
uint32_t ReadAttribute(std::span<const uint8_t> rec, size_t at, size_t used, NtfsRecord& r) {
  if (at + 8 > used) return 0;
  const uint32_t type = LE32(rec, at);
  if (type == kAttrEnd) return 0;
  const uint32_t length = LE32(rec, at + 4);
  if (length < 24 || length % 8 != 0 || at + length > used) return 0;
  std::span<const uint8_t> a = rec.subspan(at, length);
  const bool nonResident = U8(a, 8) != 0;
  const uint8_t nameLength = U8(a, 9);
  const uint16_t flags = LE16(a, 12);
  const bool named = nameLength != 0;

  if (!nonResident) {
    const uint32_t valueLength = LE32(a, 16);
    const uint16_t valueOffset = LE16(a, 20);
    if (uint64_t{valueOffset} + valueLength > length) return length;  // a broken value: skipped
    std::span<const uint8_t> value = a.subspan(valueOffset, valueLength);
    if (type == kAttrStandardInformation) ReadStandardInformation(value, r);
    if (type == kAttrFileName) ReadFileName(value, r);
    if (type == kAttrAttributeList) {
      r.HasAttributeList = true;
      r.AttributeList = ParseNtfsAttributeList(value);
      r.AttributeListSize = valueLength;
    }
    if (type == kAttrData && !named) {
      r.HasData = true;
      r.DataResident = true;
      r.ResidentData.assign(value.begin(), value.end());
      r.DataSize = valueLength;
      r.DataSizeKnown = true;
    }
    return length;
  }

  if (length < 64) return length;
  const uint64_t lowest = LE64(a, 16);
  const uint64_t highest = LE64(a, 24);
  const uint16_t runsOffset = LE16(a, 32);
  if (runsOffset < 64 || runsOffset >= length) return length;
  std::vector<NtfsExtent> extents;
  const bool decoded = DecodeNtfsRunList(a.subspan(runsOffset), extents);
  if (type == kAttrAttributeList) {
    r.HasAttributeList = true;
    if (decoded) r.AttributeListRuns = std::move(extents);
    r.AttributeListSize = LE64(a, 48);
    return length;
  }
  if (type != kAttrData || named) return length;
  r.HasData = true;
  r.Compressed = r.Compressed || (flags & kFlagCompressed) != 0;
  r.Encrypted = r.Encrypted || (flags & kFlagEncrypted) != 0;
  NtfsDataPiece piece;
  piece.LowestVcn = lowest;
  piece.HighestVcn = highest;
  uint64_t clusters = 0;
  for (const NtfsExtent& e : extents) clusters += e.Count;
  // An empty attribute has highest VCN lowest - 1 (and no runs).
  piece.RunsValid = decoded && highest + 1 >= lowest && clusters == highest + 1 - lowest;
  piece.Extents = std::move(extents);
  if (lowest == 0) {
    r.DataSize = LE64(a, 48);
    r.DataSizeKnown = true;
  }
  r.DataPieces.push_back(std::move(piece));
  return length;
}

}  // namespace

int64_t NtfsTimeToUnix(uint64_t filetime) {
  constexpr int64_t kEpochDifference = 11'644'473'600;
  return static_cast<int64_t>(filetime / 10'000'000) - kEpochDifference;
}

const NtfsName* NtfsRecord::BestName() const {
  static constexpr uint8_t kOrder[] = {1, 3, 0, 2};
  for (uint8_t ns : kOrder) {
    for (const NtfsName& n : Names) {
      if (n.Namespace == ns) return &n;
    }
  }
  return Names.empty() ? nullptr : &Names.front();
}

bool ApplyNtfsFixups(std::span<uint8_t> record) {
  if (record.size() < 48 || record.size() % kStride != 0) return false;
  const uint16_t offset = LE16(record, 4);
  const uint16_t count = LE16(record, 6);
  const size_t strides = record.size() / kStride;
  if (count != strides + 1 || offset % 2 != 0 || size_t{offset} + 2u * count > record.size())
    return false;
  const uint8_t u0 = record[offset], u1 = record[offset + 1u];
  for (size_t k = 0; k < strides; ++k) {
    const size_t end = (k + 1) * kStride - 2;
    if (end < size_t{offset} + 2u * count && end >= offset) return false;  // array over a stride end
    if (record[end] != u0 || record[end + 1] != u1) return false;
  }
  for (size_t k = 0; k < strides; ++k) {
    const size_t end = (k + 1) * kStride - 2;
    record[end] = record[offset + 2 * (k + 1)];
    record[end + 1] = record[offset + 2 * (k + 1) + 1];
  }
  return true;
}

bool DecodeNtfsRunList(std::span<const uint8_t> runs, std::vector<NtfsExtent>& out) {
  uint64_t cluster = 0;
  size_t at = 0;
  while (at < runs.size()) {
    const uint8_t head = runs[at];
    if (head == 0) return true;
    const size_t lengthBytes = head & 0x0F, offsetBytes = head >> 4;
    if (lengthBytes == 0 || lengthBytes > 8 || offsetBytes > 8) return false;
    if (at + 1 + lengthBytes + offsetBytes > runs.size()) return false;
    const uint64_t count = ReadVarLE(runs, at + 1, lengthBytes, false);
    if (count == 0 || count >= kLargestCluster) return false;
    NtfsExtent e;
    e.Count = count;
    if (offsetBytes == 0) {
      e.Sparse = true;
    } else {
      const int64_t delta =
          static_cast<int64_t>(ReadVarLE(runs, at + 1 + lengthBytes, offsetBytes, true));
      const int64_t next = static_cast<int64_t>(cluster) + delta;
      if (delta <= -static_cast<int64_t>(kLargestCluster) ||
          delta >= static_cast<int64_t>(kLargestCluster) || next < 0 ||
          static_cast<uint64_t>(next) >= kLargestCluster)
        return false;
      cluster = static_cast<uint64_t>(next);
      e.Cluster = cluster;
    }
    out.push_back(e);
    at += 1 + lengthBytes + offsetBytes;
  }
  return false;  // no terminator within the attribute
}

std::vector<NtfsListEntry> ParseNtfsAttributeList(std::span<const uint8_t> value) {
  std::vector<NtfsListEntry> out;
  size_t at = 0;
  while (at + 26 <= value.size()) {
    const uint16_t length = LE16(value, at + 4);
    if (length < 26 || at + length > value.size()) break;
    NtfsListEntry e;
    e.Type = LE32(value, at);
    e.Named = U8(value, at + 6) != 0;
    e.LowestVcn = LE64(value, at + 8);
    const uint64_t ref = LE64(value, at + 16);
    e.Record = ref & kRecordNumberMask;
    e.Sequence = static_cast<uint16_t>(ref >> 48);
    out.push_back(e);
    at += length;
  }
  return out;
}

NtfsRecord ParseNtfsRecord(std::span<uint8_t> record) {
  NtfsRecord r;
  if (record.size() < 56 || !BytesEqual(record, 0, "FILE")) return r;
  if (!ApplyNtfsFixups(record)) return r;
  std::span<const uint8_t> rec = record;
  const uint16_t firstAttribute = LE16(rec, 20);
  const uint16_t flags = LE16(rec, 22);
  const uint32_t used = LE32(rec, 24);
  if (used > rec.size() || firstAttribute < 42 || firstAttribute >= used) return r;
  r.Valid = true;
  r.Sequence = LE16(rec, 16);
  r.InUse = (flags & 0x0001) != 0;
  r.IsDirectory = (flags & 0x0002) != 0;
  const uint64_t base = LE64(rec, 32);
  r.BaseRecord = base & kRecordNumberMask;
  r.BaseSequence = static_cast<uint16_t>(base >> 48);
  // Records written since Windows XP carry their own number after the fix-up offset.
  if (LE16(rec, 4) >= 48) {
    r.Number = LE32(rec, 44);
    r.NumberKnown = true;
  }
  size_t at = firstAttribute;
  // Each attribute is at least 24 bytes long: the walk ends.
  while (const uint32_t length = ReadAttribute(rec, at, used, r)) at += length;
  return r;
}

}  // namespace tarnwick
