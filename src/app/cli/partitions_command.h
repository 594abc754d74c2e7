#pragma once
// The command line's "partitions" command, and the opening of a SOURCE that
// every command shares: a whole Source, or one partition of it (--partition N).
#include <optional>
#include <string>

#include "source/source.h"

namespace tarnwick {
struct Session;
}

namespace tarnwick::cli {

int RunPartitionsCommand(int argc, char** argv);
extern const char* const kPartitionsHelp;

// The partition number given to --partition: a whole number from 1.
std::optional<int> ParsePartitionNumber(const std::string& text);

// Opens SOURCE, or its partition when one is given. On failure the reason is
// on stderr already and the outcome says Opened false.
OpenOutcome OpenCliSource(Session& s, const std::string& path, std::optional<int> partition);

}  // namespace tarnwick::cli
