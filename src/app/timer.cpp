#include "app/timer.h"

#include <system_error>

namespace tarnwick {

TTimerThread::TTimerThread(THiResTimer& owner) : owner_(owner) {
  std::lock_guard lock(owner_.mutex_);
  generation_ = ++owner_.generation_;
  owner_.liveGeneration_ = generation_;
}

TTimerThread::~TTimerThread() {
  Terminate();
  if (!thread_.joinable()) return;
  // Stopped from inside OnTimer: the thread ends by itself once it returns.
  if (thread_.get_id() == std::this_thread::get_id())
    thread_.detach();
  else
    thread_.join();
}

void TTimerThread::Start() {
  thread_ = std::thread(&TTimerThread::Execute, std::ref(owner_), generation_);
}

void TTimerThread::Terminate() {
  {
    std::lock_guard lock(owner_.mutex_);
    if (owner_.liveGeneration_ == generation_) owner_.liveGeneration_ = 0;
  }
  owner_.eventCv_.notify_all();
}

// Touches only the owner, never the thread object, so that a thread detached
// by a stop from inside OnTimer can still end cleanly.
void TTimerThread::Execute(THiResTimer& owner, uint64_t generation) {
  while (owner.WaitForSignal(generation)) {
    if (!owner.OnTimer) continue;
    try {
      owner.OnTimer(owner);
    } catch (...) {
      // A failing handler must not take the process down with it; the next
      // tick calls it again.
    }
  }
}

THiResTimer::~THiResTimer() { SetEnabled(false); }

void THiResTimer::SetEnabled(bool v) {
  if (v == enabled_) return;
  if (!v) {
    StopTicker();
    StopWorker();
    enabled_ = false;
    return;
  }

  {
    std::lock_guard lock(mutex_);
    signalled_ = false;
    tickerEnd_ = false;
  }
  try {
    worker_ = std::make_unique<TTimerThread>(*this);
    worker_->Start();
  } catch (const std::system_error&) {
    worker_.reset();
    throw EHiResTimer();
  }
  if (Interval == 0) {
    StopWorker();
    throw EHiResTimer();
  }
  try {
    ticker_ = std::thread(&THiResTimer::TickLoop, this, std::chrono::milliseconds(Interval));
  } catch (const std::system_error&) {
    StopWorker();
    throw EHiResTimer();
  }
  enabled_ = true;
}

void THiResTimer::Signal() {
  {
    std::lock_guard lock(mutex_);
    signalled_ = true;
  }
  eventCv_.notify_one();
}

bool THiResTimer::WaitForSignal(uint64_t generation) {
  std::unique_lock lock(mutex_);
  eventCv_.wait(lock, [&] { return signalled_ || liveGeneration_ != generation; });
  if (liveGeneration_ != generation) return false;
  signalled_ = false;
  return true;
}

void THiResTimer::TickLoop(std::chrono::milliseconds period) {
  using Clock = std::chrono::steady_clock;
  auto next = Clock::now() + period;
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      if (tickerCv_.wait_until(lock, next, [this] { return tickerEnd_; })) return;
    }
    if (!Paused.load(std::memory_order_relaxed)) Signal();
    // Keep to the schedule; ticks that could not be kept are dropped, as the
    // event would merge them anyway.
    next += period;
    auto now = Clock::now();
    if (next <= now) next = now + period;
  }
}

void THiResTimer::StopTicker() {
  {
    std::lock_guard lock(mutex_);
    tickerEnd_ = true;
  }
  tickerCv_.notify_all();
  if (ticker_.joinable()) ticker_.join();
}

void THiResTimer::StopWorker() { worker_.reset(); }

}  // namespace tarnwick
