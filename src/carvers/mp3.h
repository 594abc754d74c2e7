#pragma once
#include <cstdint>
#include <string>

namespace tarnwick {

struct Session;

// An MP3 (or any MPEG audio) file: its ID3v2 tags, then a run of MPEG audio
// frames of one version, layer and sampling rate, then an APE tag with its
// header and an ID3v1 tag when they follow. The run ends at the first
// header that does not follow; fewer than four frames fail the carve.
// Claims the file's sectors and writes nothing; the folder is not used.
void CarveMp3(Session& s, const std::string& targetFolder, uint64_t carveStart);

}  // namespace tarnwick
