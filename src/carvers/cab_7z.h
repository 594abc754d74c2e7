#pragma once
#include <cstdint>
#include <span>
#include <string>

namespace tarnwick {

struct Session;

// Claim the sectors of an archive whose first sector states its total size.
// Reaching the end of the scan range stops the claim without failing it.
// The cabinet (version 1.3) carver reads nothing but its first sector.
void CarveCab(Session& s, const std::string& targetFolder, uint64_t carveStart);
// A 7z archive of any 0.x format version. Its start header's CRC must hold;
// the next header, which ends the archive, is read and its CRC checked too
// (one over 16 MiB is claimed unchecked). The sectors between are claimed
// unread.
void Carve7z(Session& s, const std::string& targetFolder, uint64_t carveStart);

// True for the 32-byte start header of a 7z archive: the signature, major
// version 0 and a start-header CRC that matches the fields it covers.
bool Is7zStartHeader(std::span<const uint8_t> head);

}  // namespace tarnwick
