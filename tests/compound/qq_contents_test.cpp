// What a compound file's tree says about the conversations it holds.
#include "compound/qq_contents.h"

#include <gtest/gtest.h>

#include <algorithm>

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

}  // namespace
}  // namespace tarnwick
