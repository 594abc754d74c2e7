#pragma once
// What a compound file's tree says about the chat history it holds: whose
// conversations (the storages named by a contact's or a group's number) and
// how much message store there is.
#include <cstdint>
#include <span>
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

// One file judged by the whole-file check, with what its tree says.
struct InspectedFile {
  std::string Path;
  std::string ReadError;  // the system's reason when the file could not be read
  uint64_t FileBytes = 0;
  CompoundCheck Check;
  QQContents Contents;
  // What the rescue that wrote the file knew of its streams beyond their
  // chains: those placed by a guess (the file's bytes cannot show it).
  std::vector<std::string> UncertainStreams;
};

InspectedFile InspectBytes(const std::string& path, std::span<const uint8_t> bytes);
// The file at path judged through a read-only view of it (a pipe or a
// device: read into memory); ReadError says why when it cannot be read.
InspectedFile InspectFile(const std::string& path);

}  // namespace tarnwick
