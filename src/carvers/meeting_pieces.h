#pragma once
// Where the pieces of databases that lie beside each other meet.
//
// Between two anchors in different pieces of a database, the reassembly
// knows how many of the file's own sectors there are, but where the first
// piece ends and the next begins is often left open: encrypted data looks
// alike on both sides of the cut. Each such place offers a few cuts. Taken
// one database at a time, none of them is sure; taken together, they often
// are: a piece that ends among encrypted sectors is followed by another
// database's piece (the sector behind its last is where the other one
// starts), and one whose neighbour is text, zeros or nothing at all ends
// there. A cut is kept only while every one of its two ends is met that
// way; where exactly one cut of a place is left, it is the one.
#include <cstdint>
#include <vector>

namespace tarnwick {

// One way to cut the file's own sectors between two anchors: Behind of them
// run on after the first anchor, the rest lead up to the second. All
// sectors are Source sectors; -1 where there is none.
struct PieceCut {
  uint64_t Behind = 0;
  int64_t TailEnd =
      -1;  // the last sector taken behind the first anchor (the anchor itself when none)
  int64_t AfterTail = -1;      // the next unclaimed sector behind that one
  bool TailEndsPlain = false;  // what follows the tail does not look like stream data
  int64_t HeadStart = -1;  // the first sector taken before the second anchor (the anchor when none)
  int64_t BeforeHead = -1;       // the unclaimed sector in front of it
  bool HeadStartsPlain = false;  // what lies in front of the head does not look like stream data
};

// A place where two pieces of one database meet and the evidence left more
// than one cut, or one whose ends still need a neighbour to be sure.
struct OpenSplit {
  uint64_t After = 0;   // Source sector of the anchor that the first piece runs on behind
  uint64_t Before = 0;  // Source sector of the anchor that the next piece leads up to
  uint64_t Own = 0;     // the file's own sectors between the two
  std::vector<PieceCut> Cuts;
};

// The cut taken at one open place.
struct ChosenCut {
  uint64_t After = 0;
  uint64_t Before = 0;
  uint64_t Own = 0;
  uint64_t Behind = 0;
  // Where its two parts end and begin, as they were seen when it was
  // chosen: a database that sees them elsewhere now does not take it.
  int64_t TailEnd = -1;
  int64_t HeadStart = -1;
};

// Chooses among the cuts of every database's open places at once; per
// database (in the order given), the places where exactly one cut is left.
// Where the evidence contradicts itself (some place keeps no cut, or two
// chosen pieces would share a sector), nothing is chosen anywhere.
std::vector<std::vector<ChosenCut>> ChooseMeetingCuts(
    const std::vector<std::vector<OpenSplit>>& perDatabase);

}  // namespace tarnwick
