// What a compound file's tree says about the conversations it holds.
#include "compound/qq_contents.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <thread>

#include "source/system_file.h"
#include "support/test_support.h"

#ifndef _WIN32
#include <sys/stat.h>

#include <fstream>
#endif

namespace tarnwick {
namespace {

CompoundEntry Entry(const std::string& path, uint8_t type, uint64_t size = 0) {
  CompoundEntry e;
  e.Path = path;
  e.Name = path.substr(path.rfind('/') + 1);
  e.Type = type;
  e.Size = size;
  e.Depth = path.empty() ? 0 : 1 + static_cast<int>(std::count(path.begin(), path.end(), '/'));
  return e;
}

TEST(QQContents, NumberedStoragesUnderTheConversationFolders) {
  CompoundCheck c;
  c.Entries = {Entry("", 5),
               Entry("C2CMsg", 1),
               Entry("C2CMsg/987654321", 1),
               Entry("C2CMsg/20481234", 1),
               Entry("C2CMsg/notes", 1),         // not a number
               Entry("C2CMsg/12a4", 1),          // not a number
               Entry("C2CMsg/55555", 2, 10),     // a stream, not a storage
               Entry("C2CMsg/20481234/777", 1),  // too deep
               Entry("gROUPmSG", 1),             // names compare without case
               Entry("gROUPmSG/5550001", 1),
               Entry("Archive", 1),
               Entry("Archive/31337", 1),          // not a conversation folder
               Entry("123456789012345678901", 1),  // top level, and too long anyway
               Entry("GroupMsg2", 1),
               Entry("GroupMsg2/42", 1)};
  const QQContents q = ReadQQContents(c);
  EXPECT_EQ(q.Contacts, (std::vector<std::string>{"20481234", "987654321"}));
  EXPECT_EQ(q.Groups, (std::vector<std::string>{"5550001"}));
  EXPECT_EQ(q.MessageStoreBytes, 0u);
}

TEST(QQContents, MessageStoreIsEveryDataMsjStream) {
  CompoundCheck c;
  c.Entries = {Entry("", 5),
               Entry("C2CMsg/1/Data.msj", 2, 24000),
               Entry("C2CMsg/1/Index.msj", 2, 1200),
               Entry("GroupMsg/2/DATA.MSJ", 2, 15000),
               Entry("SysMsg/Data.msj", 2, 2100),
               Entry("Data.msj", 1),  // a storage of that name holds no bytes
               Entry("Other/Data.msj.bak", 2, 999)};
  const QQContents q = ReadQQContents(c);
  EXPECT_EQ(q.MessageStoreBytes, 41100u);
  EXPECT_EQ(q.MessageStoreStreams, 3u);
}

TEST(QQContents, NumbersSortByValueAndTheSameNumberTwiceStaysTwice) {
  CompoundCheck c;
  c.Entries = {Entry("C2CMsg/100", 1), Entry("C2CMsg/99", 1), Entry("C2CMsg/1000", 1),
               Entry("C2CMsg/099", 1)};
  EXPECT_EQ(ReadQQContents(c).Contacts, (std::vector<std::string>{"99", "099", "100", "1000"}));
}

// Everything a judgement says, in one text to compare.
std::string Judgement(const InspectedFile& f) {
  std::ostringstream o;
  const CompoundCheck& c = f.Check;
  o << f.Path << '|' << f.ReadError << '|' << f.FileBytes << '|' << c.IsCompound << c.Whole << '|'
    << c.Problem << '|' << c.Length << '|' << c.SectorSize << '|' << c.QQNameCount << '\n';
  for (const CompoundEntry& e : c.Entries)
    o << e.Path << ' ' << int{e.Type} << ' ' << e.Size << ' ' << e.Depth << ' ' << e.Intact << '\n';
  for (const auto* list : {&c.IntactStreams, &c.BrokenStreams, &f.Contents.Contacts,
                           &f.Contents.Groups, &f.UncertainStreams}) {
    for (const std::string& s : *list) o << s << ',';
    o << '\n';
  }
  for (const auto* list : {&c.SectorStream, &c.MiniStreamSectors, &c.MiniSectorStream}) {
    for (uint32_t v : *list) o << v << ',';
    o << '\n';
  }
  for (uint8_t use : c.SectorUse) o << int{use};
  o << '\n' << f.Contents.MessageStoreBytes << ' ' << f.Contents.MessageStoreStreams;
  return o.str();
}

// A file is judged the same through its view as from its bytes in memory:
// whole and large enough that the pages read are let go on the way (over
// 256 table sectors), and cut short by a rescue or a copy that stopped.
TEST(InspectFile, JudgesAFileAsItsBytesAre) {
  if (!test::HaveOlefile()) GTEST_SKIP() << "no python3-olefile";
  test::TempDir dir("inspect-file");
  const std::filesystem::path db = dir / "db.db";
  const std::vector<uint8_t> bytes = test::LongLivedDatabase(db, "--seed 3 --scale 400");
  ASSERT_GT(bytes.size(), 300u * 65536) << "too few FAT sectors to let pages go";
  int releases = 0;
  const CompoundCheck counted = CheckCompoundFile(bytes, [&releases] { ++releases; });
  EXPECT_GE(releases, 1);
  const InspectedFile whole = InspectFile(db.string());
  EXPECT_TRUE(whole.Check.Whole) << whole.Check.Problem;
  EXPECT_FALSE(whole.Contents.Contacts.empty());
  const InspectedFile inMemory = InspectBytes(db.string(), bytes);
  EXPECT_EQ(Judgement(whole), Judgement(inMemory));
  EXPECT_EQ(counted.SectorUse, inMemory.Check.SectorUse);

  const std::filesystem::path cut = dir / "cut.db";
  const std::vector<uint8_t> half(bytes.begin(), bytes.begin() + bytes.size() / 2 + 100);
  test::WriteFileBytes(cut, half);
  const InspectedFile shorter = InspectFile(cut.string());
  EXPECT_TRUE(shorter.Check.IsCompound);
  EXPECT_FALSE(shorter.Check.Whole);
  EXPECT_EQ(shorter.FileBytes, half.size());
  EXPECT_EQ(Judgement(shorter), Judgement(InspectBytes(cut.string(), half)));
}

TEST(InspectFile, AnEmptyFileIsReadAndOneThatIsGoneIsSaidSo) {
  test::TempDir dir("inspect-none");
  const std::string empty = (dir / "empty.db").string();
  test::WriteFileBytes(empty, {});
  const InspectedFile e = InspectFile(empty);
  EXPECT_EQ(e.ReadError, "");
  EXPECT_EQ(e.FileBytes, 0u);
  EXPECT_FALSE(e.Check.IsCompound);

  const std::string gone = (dir / "gone.db").string();
  const InspectedFile g = InspectFile(gone);
  EXPECT_EQ(g.Path, gone);
  EXPECT_FALSE(g.ReadError.empty());
  int notFound = 0;
  PathType type = PathType::Other;
  uint64_t size = 0;
  LookAtPath(gone, true, type, size, notFound);
  EXPECT_EQ(g.ReadError, SystemErrorText(notFound));
  EXPECT_FALSE(g.Check.IsCompound);
  EXPECT_FALSE(InspectFile(dir.Path().string()).ReadError.empty()) << "a folder";
}

#ifndef _WIN32
// What cannot be mapped, a pipe, is read through instead.
TEST(InspectFile, APipeIsReadToItsEnd) {
  if (!test::HaveOlefile()) GTEST_SKIP() << "no python3-olefile";
  test::TempDir dir("inspect-pipe");
  const std::vector<uint8_t> bytes = test::LongLivedDatabase(dir / "db.db", "--seed 4");
  ASSERT_FALSE(bytes.empty());
  const std::string pipe = (dir / "pipe").string();
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  std::thread writer([&] {
    std::ofstream out(pipe, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  });
  const InspectedFile read = InspectFile(pipe);
  writer.join();
  EXPECT_TRUE(read.Check.Whole) << read.ReadError << read.Check.Problem;
  EXPECT_EQ(Judgement(read), Judgement(InspectBytes(pipe, bytes)));
}
#endif

}  // namespace
}  // namespace tarnwick
