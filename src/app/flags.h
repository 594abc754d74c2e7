#pragma once
#include <atomic>
#include <cstdint>

namespace tarnwick {

enum RunStateValue : uint8_t { kRunning = 0, kPaused = 1, kStop = 2 };

// The flags through which the progress dialogs steer the long loops, and the
// millisecond counter that the 200 ms timer advances. The dialogs set them on
// the UI thread; the timer's worker thread is the only writer of ElapsedMs.
struct ProgressFlags {
  std::atomic<uint8_t> RunState{kRunning};
  std::atomic<bool> RescueDone{true};
  std::atomic<bool> SearchCancel{true};
  std::atomic<uint32_t> ElapsedMs{0};
};

}  // namespace tarnwick
