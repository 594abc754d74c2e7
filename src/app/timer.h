#pragma once
// A periodic timer on threads of its own: a ticking thread stands in for the
// system's multimedia timer and only signals an auto-reset event; the worker
// thread (TTimerThread) waits on that event and calls OnTimer. Ticks that
// arrive while OnTimer still runs are merged, as an auto-reset event merges them.
#include <atomic>
#include <chrono>
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
  // Made suspended: nothing runs until Start.
  explicit TTimerThread(THiResTimer& owner);
  // Ends the thread and waits for it (unless it is the thread itself).
  ~TTimerThread();
  TTimerThread(const TTimerThread&) = delete;
  TTimerThread& operator=(const TTimerThread&) = delete;
  void Start();  // throws std::system_error when no thread can be had
  void Terminate();

 private:
  static void Execute(THiResTimer& owner, uint64_t generation);
  THiResTimer& owner_;
  uint64_t generation_;
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
  // Starts or stops the timer; nothing happens when v is the current value.
  // Starting fails with EHiResTimer when the interval is 0 or a thread cannot
  // be had; Enabled then stays false and no thread is left behind. Stopping
  // waits for a running OnTimer to return, except when OnTimer itself stops
  // the timer.
  void SetEnabled(bool v);

  uint32_t Interval = 100;    // ms between ticks
  uint32_t Resolution = 100;  // ms; kept for the component's shape
  Notify OnTimer;
  // While true, ticks are not passed on to the worker.
  std::atomic<bool> Paused{false};

 private:
  friend class TTimerThread;
  void Signal();
  // Waits for the event and resets it; false once that worker is to end.
  bool WaitForSignal(uint64_t generation);
  void TickLoop(std::chrono::milliseconds period);
  void StopTicker();
  void StopWorker();

  bool enabled_ = false;
  std::mutex mutex_;
  std::condition_variable eventCv_;   // the worker waits here
  std::condition_variable tickerCv_;  // the ticker sleeps here
  bool signalled_ = false;            // the auto-reset event
  bool tickerEnd_ = false;
  // Each worker serves one generation; a new one (or none) makes it end.
  uint64_t generation_ = 0;
  uint64_t liveGeneration_ = 0;
  std::unique_ptr<TTimerThread> worker_;
  std::thread ticker_;
};

}  // namespace tarnwick
