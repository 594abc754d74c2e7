#pragma once
// What a compound file's tree says about the chat history it holds: whose
// conversations (the storages named by a contact's or a group's number) and
// how much message store there is.
#include <cstdint>
#include <string>
#include <vector>

#include "compound/compound_file.h"

namespace tarnwick {

struct QQContents {
  // Names of the storages C2CMsg/<number> and GroupMsg/<number> whose name is
  // a decimal number, in ascending numeric order.
  std::vector<std::string> Contacts;
  std::vector<std::string> Groups;
  // The summed directory sizes of every stream named Data.msj, wherever it
  // lies (conversations, system messages), and how many there are.
  uint64_t MessageStoreBytes = 0;
  uint32_t MessageStoreStreams = 0;
};

// Storage and stream names compare without regard to ASCII case, as the
// compound file's own directory does.
QQContents ReadQQContents(const CompoundCheck& check);

}  // namespace tarnwick
