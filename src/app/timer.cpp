// PLACEHOLDER: replaced whole by the timer's real implementation.
#include "app/timer.h"

namespace tarnwick {

TTimerThread::TTimerThread(THiResTimer& owner) : owner_(owner) {}
TTimerThread::~TTimerThread() = default;
void TTimerThread::Terminate() {}
void TTimerThread::Execute() {}
THiResTimer::~THiResTimer() = default;
void THiResTimer::SetEnabled(bool v) { enabled_ = v; }
void THiResTimer::Signal() {}
bool THiResTimer::WaitForSignal() { return false; }
void THiResTimer::TickLoop() {}

}  // namespace tarnwick
