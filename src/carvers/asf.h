#pragma once
#include <cstdint>
#include <string>

namespace tarnwick {

struct Session;

// An ASF file (WMV, WMA) whose header object starts with its File
// Properties object: claims as many sectors as that object's File Size
// covers, without reading them. Writes nothing; the folder is not used.
void CarveAsf(Session& s, const std::string& targetFolder, uint64_t carveStart);

// An ASF file in any other object order: walks the top-level objects by
// their sizes from the header object to the end of the data object and on
// through the index objects that follow it, and claims their sectors, mostly
// unread; the sectors behind the last object are given back. Writes
// nothing; the folder is not used.
void CarveAsfObjectWalk(Session& s, const std::string& targetFolder, uint64_t carveStart);

}  // namespace tarnwick
