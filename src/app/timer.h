#pragma once
// A periodic timer on threads of its own: a ticking thread stands in for the
// system's multimedia timer and only signals an auto-reset event; the worker
// thread (TTimerThread) waits on that event and calls OnTimer. Ticks that
// arrive while OnTimer still runs are merged, as an auto-reset event merges them.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace tarnwick {

class EHiResTimer : public std::runtime_error {
 public:
  EHiResTimer() : std::runtime_error("Unable to create a timer") {}
};

class THiResTimer;

class TTimerThread {
 public:
  explicit TTimerThread(THiResTimer& owner);
  ~TTimerThread();
  TTimerThread(const TTimerThread&) = delete;
  TTimerThread& operator=(const TTimerThread&) = delete;
  void Terminate();

 private:
  void Execute();
  THiResTimer& owner_;
  std::thread thread_;
};

class THiResTimer {
 public:
  using Notify = std::function<void(THiResTimer& sender)>;

  THiResTimer() = default;
  ~THiResTimer();
  THiResTimer(const THiResTimer&) = delete;
  THiResTimer& operator=(const THiResTimer&) = delete;

  bool Enabled() const { return enabled_; }
  // Starts or stops the timer. Starting fails with EHiResTimer when the
  // interval is 0 or the ticking thread cannot be had; Enabled stays false.
  void SetEnabled(bool v);

  uint32_t Interval = 100;    // ms between ticks
  uint32_t Resolution = 100;  // ms; kept for the component's shape
  Notify OnTimer;
  // While true, ticks are not passed on to the worker.
  std::atomic<bool> Paused{false};

 private:
  friend class TTimerThread;
  void Signal();
  bool WaitForSignal();  // false once the worker is asked to end
  void TickLoop();

  bool enabled_ = false;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool signalled_ = false;   // the auto-reset event
  bool stopping_ = false;
  std::unique_ptr<TTimerThread> worker_;
  std::thread ticker_;
};

}  // namespace tarnwick
