#include "carvers/rar.h"

#include <gtest/gtest.h>

#include "carvers/archive_support.h"
#include "source/bytes.h"
#include "support/recording_frontend.h"

namespace tarnwick {
namespace {

using test::CarveSession;
using test::ExpectedClaims;
using test::LayOut;
using test::Marked;
using test::RandomBytes;

// RAR 4 archives put together block by block: no free tool writes them.
uint32_t Crc32(const std::vector<uint8_t>& bytes, size_t from) {
  uint32_t crc = 0xFFFFFFFF;
  for (size_t i = from; i < bytes.size(); ++i) {
    crc ^= bytes[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void Put(std::vector<uint8_t>& v, uint64_t x, int width) {
  for (int i = 0; i < width; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

// A block: the header CRC is the low half of the CRC-32 of the header from
// its type byte on; `body` is the rest of the header after the size field.
std::vector<uint8_t> Block(uint8_t type, uint16_t flags, const std::vector<uint8_t>& body) {
  std::vector<uint8_t> b = {0, 0, type};
  Put(b, flags, 2);
  Put(b, 7 + body.size(), 2);
  b.insert(b.end(), body.begin(), body.end());
  const uint32_t crc = Crc32(b, 2);
  b[0] = static_cast<uint8_t>(crc);
  b[1] = static_cast<uint8_t>(crc >> 8);
  return b;
}

const std::vector<uint8_t> kMarker = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};

std::vector<uint8_t> ArchiveHeader() { return Block(0x73, 0, std::vector<uint8_t>(6, 0)); }
std::vector<uint8_t> EndBlock() { return Block(0x7B, 0x4000, {}); }

// A stored file block; packedSize overrides the packed size field (the
// data is still the given bytes).
std::vector<uint8_t> FileBlock(const std::string& name, const std::vector<uint8_t>& data,
                               int64_t packedSize = -1) {
  std::vector<uint8_t> body;
  Put(body, packedSize < 0 ? data.size() : static_cast<uint64_t>(packedSize), 4);
  Put(body, data.size(), 4);
  Put(body, 2, 1);  // host: Windows
  Put(body, Crc32(data, 0), 4);
  Put(body, 0x5A210000, 4);  // DOS time
  Put(body, 20, 1);          // version 2.0 to extract
  Put(body, 0x30, 1);        // stored
  Put(body, name.size(), 2);
  Put(body, 0x20, 4);  // archive attribute
  body.insert(body.end(), name.begin(), name.end());
  auto b = Block(0x74, 0x8000, body);
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

using Files = std::vector<std::pair<std::string, std::vector<uint8_t>>>;

std::vector<uint8_t> Rar(const Files& files) {
  std::vector<uint8_t> r = kMarker;
  auto add = [&r](const std::vector<uint8_t>& b) { r.insert(r.end(), b.begin(), b.end()); };
  add(ArchiveHeader());
  for (const auto& [name, data] : files) add(FileBlock(name, data));
  add(EndBlock());
  return r;
}

// 7-Zip, where it is installed, tests the hand-made archive and states its
// length independently.
void ExpectSoundArchive(const std::vector<uint8_t>& rar) {
  if (!test::HaveTool("7z")) return;
  test::TempDir dir("rar");
  test::WriteFileBytes(dir / "a.rar", rar);
  auto r = test::Run("7z t -slt " + test::ShellQuote((dir / "a.rar").string()));
  EXPECT_NE(r.Out.find("Everything is Ok"), std::string::npos) << r.Out << r.Err;
  EXPECT_NE(r.Out.find("Physical Size = " + std::to_string(rar.size()) + "\n"), std::string::npos)
      << r.Out;
}

Files Several() {
  return {{"a.txt", RandomBytes(100, 1)},
          {"b.bin", RandomBytes(3000, 2)},
          {"c.bin", RandomBytes(70000, 3)},
          {"d", RandomBytes(10, 4)}};
}

TEST(RarCarver, AnArchiveWithinTheStartSectorKeepsItAndItsCluster) {
  std::vector<uint8_t> rar = kMarker;
  for (const auto& b : {ArchiveHeader(), EndBlock()}) rar.insert(rar.end(), b.begin(), b.end());
  ExpectSoundArchive(rar);
  for (auto [spc, expected] :
       {std::pair{1u, test::SectorRun(10, 1)}, std::pair{8u, test::SectorRun(10, 6)}}) {
    auto s = CarveSession(test::Image(40, rar, {10}), spc, 0);
    CarveRar(*s, "", 10 * 512);
    EXPECT_EQ(Marked(*s), expected) << spc;
  }
}

TEST(RarCarver, ClaimsExactlyTheArchiveAcrossSectorsClaimedEarlier) {
  auto rar = Rar(Several());
  ExpectSoundArchive(rar);
  const std::set<uint64_t> foreign = {4,  9,  10, 11, 50, 51, 52, 53,
                                      54, 55, 56, 57, 58, 59, 60, 150};
  for (auto [spc, phase] : {std::pair{1u, 0}, std::pair{4u, 1}}) {
    auto at = LayOut(3, rar.size(), foreign);
    auto s = CarveSession(test::Image(at.back() + 12, rar, at), spc, phase);
    test::MarkAll(*s, foreign);
    CarveRar(*s, "", 3 * 512);
    EXPECT_EQ(Marked(*s), ExpectedClaims(at, rar.size(), foreign, spc, phase)) << spc;
  }
}

TEST(RarCarver, ABlockHeaderAcrossASectorBoundaryIsFollowed) {
  // The second file block's header starts at byte 505 and its added size
  // lies in the next sector; the block is 1539 bytes long and ends 3 bytes
  // into a sector, so only one of its sectors may be skipped unread.
  auto rar =
      Rar({{"a", RandomBytes(452, 5)}, {"b", RandomBytes(1506, 6)}, {"c", RandomBytes(2000, 7)}});
  ASSERT_EQ(rar[505 + 2], 0x74);
  ASSERT_EQ(rar[505 + 1539 + 2], 0x74);
  ExpectSoundArchive(rar);
  auto at = LayOut(2, rar.size(), {});
  auto s = CarveSession(test::Image(at.back() + 8, rar, at));
  CarveRar(*s, "", 2 * 512);
  EXPECT_EQ(Marked(*s), ExpectedClaims(at, rar.size()));
}

TEST(RarCarver, PackedDataIsClaimedWithoutBeingRead) {
  auto rar = Rar({{"big.bin", RandomBytes(10'000'000, 8)}, {"after.txt", RandomBytes(300, 9)}});
  auto at = LayOut(1, rar.size(), {});
  // Bad sectors inside the packed data, never asked for.
  const std::set<uint64_t> bad = {1000, 10000, 19000};
  auto s = test::FaultySession(test::Image(at.back() + 4, rar, at), bad);
  CarveRar(*s, "", 512);
  EXPECT_EQ(Marked(*s), ExpectedClaims(at, rar.size()));
  EXPECT_TRUE(test::NeverAskedFor(*s, bad));
}

TEST(RarCarver, ABlockHeaderThatCannotBeReadIsSteppedOverToTheNextBlock) {
  // Small files, so that block headers lie in many sectors; the next block
  // after the lost one is found by its header's CRC. The end block's own
  // sector leaves the end unknown: nothing or everything, never a wrong run.
  Files files;
  for (int i = 0; i < 12; ++i)
    files.push_back(
        {"f" + std::to_string(i), RandomBytes(200 + 97 * static_cast<size_t>(i), 40 + i)});
  auto rar = Rar(files);
  ExpectSoundArchive(rar);
  const auto at = LayOut(2, rar.size(), {});
  const auto img = test::Image(at.back() + 20, rar, at);
  const auto whole = ExpectedClaims(at, rar.size());
  for (size_t k = 1; k < at.size(); ++k) {
    auto s = test::FaultySession(img, {at[k]});
    CarveRar(*s, "", 2 * 512);
    if (k + 1 < at.size())
      EXPECT_EQ(Marked(*s), whole) << "sector " << k;
    else
      EXPECT_TRUE(Marked(*s).empty() || Marked(*s) == whole);
  }
  // Another archive right behind one whose end block is lost is not taken
  // into it.
  auto two = rar;
  two.resize((rar.size() + 511) / 512 * 512, 0);
  two.insert(two.end(), rar.begin(), rar.end());
  const auto both = LayOut(2, two.size(), {});
  auto s = test::FaultySession(test::Image(both.back() + 20, two, both), {at.back()});
  CarveRar(*s, "", 2 * 512);
  EXPECT_TRUE(Marked(*s).empty());
}

TEST(RarCarver, ALongWalkKeepsItsBufferSmallAndShowsProgress) {
  Files many;
  // Blocks below two sectors are read whole, so the collected bytes grow
  // past 60 sectors again and again.
  for (int i = 0; i < 400; ++i)
    many.push_back(
        {"f" + std::to_string(i), RandomBytes(300 + static_cast<size_t>(7 * i % 700), 20 + i)});
  auto rar = Rar(many);
  ASSERT_GT(rar.size(), 60u * 512 * 7);
  auto at = LayOut(7, rar.size(), {});
  auto s = CarveSession(test::Image(at.back() + 4, rar, at));
  test::RecordingFrontend ui;
  s->SetFrontend(&ui);
  CarveRar(*s, "", 7 * 512);
  EXPECT_EQ(Marked(*s), ExpectedClaims(at, rar.size()));
  // Each compaction shows where the walk is, without waiting for a tick.
  ASSERT_GE(ui.LabelHistory.size(), 5u);
  EXPECT_GE(ui.Pumps, static_cast<int>(ui.LabelHistory.size()));
  for (const auto& label : ui.LabelHistory) {
    ASSERT_EQ(label.rfind("Sector: 7, ", 0), 0u) << label;
    const uint64_t at_ = std::stoull(label.substr(11));
    EXPECT_GT(at_, 67u);
    EXPECT_LE(at_, at.back() + 1);
  }
}

TEST(RarCarver, MalformedArchivesGiveEverySectorBack) {
  auto base = Several();
  auto withBlock = [&](const std::vector<uint8_t>& bad) {
    std::vector<uint8_t> r = kMarker;
    auto a = ArchiveHeader();
    r.insert(r.end(), a.begin(), a.end());
    auto f = FileBlock("first.bin", RandomBytes(5000, 10));
    r.insert(r.end(), f.begin(), f.end());
    r.insert(r.end(), bad.begin(), bad.end());
    auto e = EndBlock();
    r.insert(r.end(), e.begin(), e.end());
    return r;
  };
  struct Case {
    const char* what;
    std::vector<uint8_t> rar;
  };
  std::vector<Case> cases = {
      {"a second marker block", withBlock(Block(0x72, 0, {}))},
      {"block type 0x7C", withBlock(Block(0x7C, 0, {}))},
      {"a block of length 0", withBlock({0, 0, 0x7A, 0, 0, 0, 0})},
      // As a signed 32-bit length this block would be negative and lead
      // the walk backwards.
      {"a packed size of 2^31", withBlock(FileBlock("neg", {}, 0x80000000LL))},
      {"a packed size that wraps 32 bits", withBlock(FileBlock("wrap", {}, 0xFFFFFFFFLL))},
      {"a RAR 5 marker",
       [] {
         std::vector<uint8_t> r = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x01, 0x00};
         auto a = ArchiveHeader();
         r.insert(r.end(), a.begin(), a.end());
         return r;
       }()},
  };
  const std::set<uint64_t> foreign = {8, 20};
  for (const auto& c : cases) {
    auto at = LayOut(5, c.rar.size(), foreign);
    auto s = CarveSession(test::Image(at.back() + 30, c.rar, at), 4, 0);
    test::MarkAll(*s, foreign);
    CarveRar(*s, "", 5 * 512);
    EXPECT_EQ(Marked(*s), (std::vector<uint64_t>{8, 20})) << c.what;
  }
  // The end block lies beyond the scan range.
  auto rar = Rar(base);
  auto at = LayOut(5, rar.size(), {});
  auto s = CarveSession(test::Image(at.back() + 30, rar, at));
  s->LastScanSector = static_cast<int64_t>(at.back() - 1);
  CarveRar(*s, "", 5 * 512);
  EXPECT_TRUE(Marked(*s).empty());
  // A claimed start sector is left alone.
  s->LastScanSector = static_cast<int64_t>(s->Scan.LastSector);
  s->Map.MarkSector(5);
  CarveRar(*s, "", 5 * 512);
  EXPECT_EQ(Marked(*s), std::vector<uint64_t>{5});
}

TEST(RarCarver, ADatabaseAroundAnArchiveIsRescuedWhole) {
  if (!test::HaveTool("gsf")) GTEST_SKIP() << "gsf (libgsf-bin) is not installed";
  auto db = test::MakeQQDatabase();
  auto rar = Rar(Several());
  auto with = test::RescueAround(db, rar, CarveRar);
  EXPECT_TRUE(with.Written);
  EXPECT_TRUE(with.SameBytes);
  auto without = test::RescueAround(db, rar, nullptr);
  EXPECT_FALSE(without.Written && without.SameBytes);
}

}  // namespace
}  // namespace tarnwick
