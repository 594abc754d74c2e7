#pragma once
// How far each stream of an assembled compound file can be trusted, from how
// each of its sectors came to be where it is. A file put together from a
// disk knows more than its bytes show: a sector may have been placed by a
// guess among clusters that looked alike, or be known wrong (unreadable,
// written over). The file's own check only sees whether the chains hold.
#include <cstdint>
#include <string>
#include <vector>

#include "compound/compound_file.h"

namespace tarnwick {

// How one compound-file sector of an assembly was placed.
enum class Placement : uint8_t {
  Sure = 0,     // forced by the file's own tables or the evidence, or read in one run
  Guessed = 1,  // chosen among places that the evidence could not tell apart
  Wrong = 2,    // known not to hold the file's bytes: unreadable, written over
};

struct StreamStates {
  std::vector<std::string> Intact;     // every sector sure and the chain sound
  std::vector<std::string> Uncertain;  // sound chain, some sector guessed, none wrong
  std::vector<std::string> Broken;     // chain broken or some sector known wrong
};

// Judges every stream of the check's tree, in tree order. placement[n] is
// how compound-file sector n was placed; sectors past its end count as sure.
// A small stream is judged by the mini stream sectors holding its bytes.
StreamStates JudgeStreams(const CompoundCheck& check, const std::vector<Placement>& placement);

}  // namespace tarnwick
