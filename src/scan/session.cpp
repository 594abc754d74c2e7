#include "scan/session.h"

namespace tarnwick {

Session::Session() : Texts(&TextsFor(ChooseLanguage())), UI(&silent_) {
  HiTimer1.Interval = 200;
  HiTimer1.Resolution = 100;
  // HiTimer1Timer: the worker thread is the counter's only writer.
  HiTimer1.OnTimer = [this](THiResTimer&) {
    Flags.ElapsedMs.fetch_add(200, std::memory_order_relaxed);
  };
}

Session::~Session() { HiTimer1.SetEnabled(false); }

}  // namespace tarnwick
