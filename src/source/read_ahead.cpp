#include "source/read_ahead.h"

#include <chrono>
#include <span>

namespace tarnwick {

namespace {

// How long a side spins before it sleeps.
constexpr std::chrono::microseconds kSpin{50};

// Spins until ready() or kSpin has passed; whether ready() held. The spin
// gives the processor up at each turn: where the other side waits for the
// same core (a busy machine), it runs at once.
template <typename Ready>
bool SpinUntil(Ready ready) {
  const auto until = std::chrono::steady_clock::now() + kSpin;
  while (true) {
    if (ready()) return true;
    std::this_thread::yield();
    if (std::chrono::steady_clock::now() >= until) return ready();
  }
}

}  // namespace

ReadAhead::ReadAhead(size_t bufferBytes) : bytes_(bufferBytes), capacity_(bufferBytes) {}

ReadAhead::~ReadAhead() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  cv_.notify_all();
  thread_.join();  // a read in progress ends first
}

void ReadAhead::Start(SourceDevice& device, uint64_t offset, size_t count) {
  Discard();
  if (count == 0 || count > capacity_) return;
  if (!thread_.joinable()) thread_ = std::thread(&ReadAhead::Loop, this);
  device_ = &device;
  offset_ = offset;
  count_ = count;
  pending_ = true;
  asked_ = true;
  if (threadSleeps_) {
    std::lock_guard<std::mutex> lock(mutex_);
    cv_.notify_all();
  }
}

bool ReadAhead::Holds(const SourceDevice& device, uint64_t offset, size_t count) const {
  return pending_ && device_ == &device && offset_ == offset && count_ == count;
}

int64_t ReadAhead::Take(PageAlignedBytes& into) {
  if (!pending_) return -1;
  WaitUntilDone();
  pending_ = false;
  bytes_.Swap(into);
  return result_;
}

void ReadAhead::Discard() {
  if (!pending_) return;
  WaitUntilDone();
  pending_ = false;
}

void ReadAhead::WaitUntilDone() {
  if (SpinUntil([this] { return !asked_; })) return;
  std::unique_lock<std::mutex> lock(mutex_);
  callerSleeps_ = true;
  cv_.wait(lock, [this] { return !asked_; });
  callerSleeps_ = false;
}

bool ReadAhead::WaitForWork() {
  const auto ready = [this] { return asked_ || quit_; };
  if (!SpinUntil(ready)) {
    std::unique_lock<std::mutex> lock(mutex_);
    threadSleeps_ = true;
    cv_.wait(lock, ready);
    threadSleeps_ = false;
  }
  return !quit_;
}

void ReadAhead::Loop() {
  while (WaitForWork()) {
    result_ = device_->ReadAt(offset_, std::span<uint8_t>(bytes_.data(), count_));
    asked_ = false;
    if (callerSleeps_) {
      std::lock_guard<std::mutex> lock(mutex_);
      cv_.notify_all();
    }
  }
}

}  // namespace tarnwick
