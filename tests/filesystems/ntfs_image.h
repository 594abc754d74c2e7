#pragma once
// Small NTFS volumes put together in memory, record by record, for the cases
// no tool makes on purpose: loops, reused folders, hostile run lists.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "filesystems/sector_reader.h"

namespace tarnwick::test {

// A run of clusters; Cluster < 0 is a sparse run.
struct ClusterRun {
  int64_t Cluster;
  uint64_t Count;
};

inline void PutLE(std::vector<uint8_t>& b, size_t at, uint64_t v, size_t n) {
  for (size_t i = 0; i < n; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// The run list bytes: each length in 1-2 bytes, each start a signed delta in
// the fewest bytes that hold it.
inline std::vector<uint8_t> EncodeRuns(const std::vector<ClusterRun>& runs) {
  std::vector<uint8_t> out;
  int64_t previous = 0;
  for (const ClusterRun& r : runs) {
    const size_t lengthBytes = r.Count < 0x80 ? 1 : (r.Count < 0x8000 ? 2 : 4);
    size_t offsetBytes = 0;
    int64_t delta = 0;
    if (r.Cluster >= 0) {
      delta = r.Cluster - previous;
      offsetBytes = 1;
      while (offsetBytes < 8 && (delta < -(int64_t{1} << (8 * offsetBytes - 1)) ||
                                 delta >= (int64_t{1} << (8 * offsetBytes - 1))))
        ++offsetBytes;
      previous = r.Cluster;
    }
    out.push_back(static_cast<uint8_t>(lengthBytes | (offsetBytes << 4)));
    for (size_t i = 0; i < lengthBytes; ++i) out.push_back(static_cast<uint8_t>(r.Count >> (8 * i)));
    for (size_t i = 0; i < offsetBytes; ++i)
      out.push_back(static_cast<uint8_t>(static_cast<uint64_t>(delta) >> (8 * i)));
  }
  out.push_back(0);
  return out;
}

// One file record of 1024 bytes, attributes appended in order.
class RecordBytes {
 public:
  RecordBytes(uint32_t number, uint16_t sequence, bool inUse, bool directory = false,
              uint64_t base = 0, uint16_t baseSequence = 0)
      : b_(1024, 0) {
    std::memcpy(b_.data(), "FILE", 4);
    PutLE(b_, 4, 48, 2);  // update sequence array at 48, 3 entries
    PutLE(b_, 6, 3, 2);
    PutLE(b_, 16, sequence, 2);
    PutLE(b_, 20, 56, 2);
    PutLE(b_, 22, (inUse ? 1 : 0) | (directory ? 2 : 0), 2);
    PutLE(b_, 28, 1024, 4);
    PutLE(b_, 32, base | (uint64_t{baseSequence} << 48), 8);
    PutLE(b_, 44, number, 4);
  }

  RecordBytes& Resident(uint32_t type, const std::vector<uint8_t>& value, uint8_t nameLength = 0) {
    const size_t length = (24 + value.size() + 7) / 8 * 8;
    Reserve(length);
    PutLE(b_, at_, type, 4);
    PutLE(b_, at_ + 4, length, 4);
    b_[at_ + 9] = nameLength;
    PutLE(b_, at_ + 16, value.size(), 4);
    PutLE(b_, at_ + 20, 24, 2);
    std::memcpy(b_.data() + at_ + 24, value.data(), value.size());
    at_ += length;
    return *this;
  }

  RecordBytes& NonResident(uint32_t type, uint64_t lowestVcn, uint64_t highestVcn,
                           const std::vector<uint8_t>& runs, uint64_t dataSize, uint16_t flags = 0) {
    const size_t length = (64 + runs.size() + 7) / 8 * 8;
    Reserve(length);
    PutLE(b_, at_, type, 4);
    PutLE(b_, at_ + 4, length, 4);
    b_[at_ + 8] = 1;
    PutLE(b_, at_ + 12, flags, 2);
    PutLE(b_, at_ + 16, lowestVcn, 8);
    PutLE(b_, at_ + 24, highestVcn, 8);
    PutLE(b_, at_ + 32, 64, 2);
    PutLE(b_, at_ + 48, dataSize, 8);
    PutLE(b_, at_ + 56, dataSize, 8);
    std::memcpy(b_.data() + at_ + 64, runs.data(), runs.size());
    at_ += length;
    return *this;
  }

  RecordBytes& FileName(uint64_t parent, uint16_t parentSequence, const std::string& name,
                        uint8_t nameSpace = 1) {
    std::vector<uint8_t> v(66 + 2 * name.size(), 0);
    PutLE(v, 0, parent | (uint64_t{parentSequence} << 48), 8);
    v[64] = static_cast<uint8_t>(name.size());
    v[65] = nameSpace;
    for (size_t i = 0; i < name.size(); ++i) v[66 + 2 * i] = static_cast<uint8_t>(name[i]);
    return Resident(0x30, v);
  }

  // $STANDARD_INFORMATION with both times as seconds since 1970.
  RecordBytes& Times(int64_t created, int64_t modified) {
    std::vector<uint8_t> v(48, 0);
    auto ft = [](int64_t unix) { return static_cast<uint64_t>(unix + 11'644'473'600) * 10'000'000; };
    PutLE(v, 0, ft(created), 8);
    PutLE(v, 8, ft(modified), 8);
    return Resident(0x10, v);
  }

  // A resident $ATTRIBUTE_LIST naming, for each (record, lowest VCN), a $DATA piece.
  RecordBytes& DataList(const std::vector<std::pair<uint64_t, uint64_t>>& pieces) {
    std::vector<uint8_t> v;
    for (const auto& [record, vcn] : pieces) {
      std::vector<uint8_t> e(32, 0);
      PutLE(e, 0, 0x80, 4);
      PutLE(e, 4, 32, 2);
      PutLE(e, 8, vcn, 8);
      PutLE(e, 16, record, 8);
      v.insert(v.end(), e.begin(), e.end());
    }
    return Resident(0x20, v);
  }

  // The finished record, protected by its update sequence as on disk.
  std::vector<uint8_t> Bytes() const {
    std::vector<uint8_t> b = b_;
    PutLE(b, at_, 0xFFFFFFFF, 4);
    PutLE(b, 24, at_ + 8, 4);
    PutLE(b, 48, 0x0707, 2);
    for (size_t k = 0; k < 2; ++k) {
      const size_t end = (k + 1) * 512 - 2;
      b[50 + 2 * k] = b[end];
      b[51 + 2 * k] = b[end + 1];
      PutLE(b, end, 0x0707, 2);
    }
    return b;
  }

 private:
  void Reserve(size_t length) {
    if (at_ + length + 8 > 1024) throw std::length_error("record full");
  }
  std::vector<uint8_t> b_;
  size_t at_ = 56;
};

// A volume of 4 KiB clusters, 512-byte sectors, 1 KiB records; the MFT of
// kMftRecords records at cluster kMftCluster.
class NtfsImage {
 public:
  static constexpr uint64_t kMftCluster = 4;
  static constexpr uint64_t kMftRecords = 64;
  static constexpr uint32_t kClusterBytes = 4096;

  explicit NtfsImage(uint64_t clusters = 1024) : bytes_(clusters * kClusterBytes, 0) {
    std::memcpy(bytes_.data() + 3, "NTFS    ", 8);
    PutLE(bytes_, 11, 512, 2);
    bytes_[13] = 8;
    PutLE(bytes_, 40, clusters * 8 - 1, 8);
    PutLE(bytes_, 48, kMftCluster, 8);
    PutLE(bytes_, 56, 2, 8);
    bytes_[64] = 0xF6;  // records of 2^10 bytes
    bytes_[510] = 0x55;
    bytes_[511] = 0xAA;
    const uint64_t mftClusters = kMftRecords * 1024 / kClusterBytes;
    Put(RecordBytes(0, 1, true)
            .FileName(5, 5, "$MFT")
            .NonResident(0x80, 0, mftClusters - 1,
                         EncodeRuns({{static_cast<int64_t>(kMftCluster), mftClusters}}),
                         kMftRecords * 1024));
    Put(RecordBytes(5, 5, true, true).FileName(5, 5, "."));
  }

  void Put(const RecordBytes& r) {
    const std::vector<uint8_t> b = r.Bytes();
    const uint64_t number = b[44] | (uint64_t{b[45]} << 8);
    std::memcpy(bytes_.data() + kMftCluster * kClusterBytes + number * 1024, b.data(), b.size());
  }

  void Write(uint64_t cluster, const std::vector<uint8_t>& data) {
    std::memcpy(bytes_.data() + cluster * kClusterBytes, data.data(), data.size());
  }

  std::vector<uint8_t>& Bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

// A SectorReader over bytes in memory.
class MemoryReader final : public SectorReader {
 public:
  explicit MemoryReader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  uint32_t SectorSize() const override { return 512; }
  uint64_t SectorCount() const override { return bytes_.size() / 512; }
  bool Read(uint64_t sector, std::span<uint8_t> out) override {
    std::fill(out.begin(), out.end(), uint8_t{0});
    if (sector >= SectorCount()) return out.empty();
    const uint64_t n = std::min<uint64_t>(out.size(), bytes_.size() - sector * 512);
    std::memcpy(out.data(), bytes_.data() + sector * 512, n);
    return n == out.size();
  }

 private:
  const std::vector<uint8_t>& bytes_;
};

}  // namespace tarnwick::test
