#pragma once
#include <cstdint>
#include <string>

namespace tarnwick {

struct Session;

// Claim the sectors of an archive whose first sector states its total size,
// reading nothing but that sector. Reaching the end of the scan range stops
// the claim without failing it.
void CarveCab(Session& s, const std::string& targetFolder, uint64_t carveStart);  // cabinet 1.3
void Carve7z(Session& s, const std::string& targetFolder, uint64_t carveStart);   // 7z 0.3

}  // namespace tarnwick
