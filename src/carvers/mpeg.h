#pragma once
#include <cstdint>
#include <string>

namespace tarnwick {

struct Session;

// An MPEG-1 or MPEG-2 program stream: walks pack headers and the units after
// them by their lengths until the structure stops, claiming long units
// unread. At each cluster boundary the pack's clock must go on plausibly
// from the one before, or the stream is taken to end there. Writes nothing;
// the folder is not used.
void CarveMpegProgramStream(Session& s, const std::string& targetFolder, uint64_t carveStart);

// An MPEG transport stream in 192-byte packets (a 4-byte arrival time
// before each 188-byte packet): walks the packets while their sync byte
// holds and, at cluster boundaries, while the arrival time goes on
// plausibly. Writes nothing; the folder is not used.
void CarveTransportStream(Session& s, const std::string& targetFolder, uint64_t carveStart);

// An MPEG transport stream in plain 188-byte packets: walks the packets
// while their sync byte holds and, at the first packet of each cluster,
// while that packet's continuity counter follows. Writes nothing; the
// folder is not used.
void CarvePlainTransportStream(Session& s, const std::string& targetFolder, uint64_t carveStart);

}  // namespace tarnwick
