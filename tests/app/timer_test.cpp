#include "app/timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "scan/session.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

// Polls until the condition holds or a generous limit passes. Only a bound
// against hanging; nothing here depends on how fast the ticks come.
bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 5s) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return condition();
}

TEST(HiResTimer, SessionTimerAdvancesElapsedMsBy200) {
  Session s;
  EXPECT_EQ(s.HiTimer1.Interval, 200u);
  EXPECT_FALSE(s.HiTimer1.Enabled());
  s.HiTimer1.SetEnabled(true);
  EXPECT_TRUE(s.HiTimer1.Enabled());
  ASSERT_TRUE(Eventually([&] { return s.Flags.ElapsedMs.load() >= 400; }));
  s.HiTimer1.SetEnabled(false);
  EXPECT_FALSE(s.HiTimer1.Enabled());
  uint32_t stopped = s.Flags.ElapsedMs.load();
  EXPECT_EQ(stopped % 200, 0u);
  EXPECT_TRUE(s.RefreshDue());
  EXPECT_FALSE(s.RefreshDue());
  // Both threads are gone once SetEnabled(false) returns: nothing can tick.
  std::this_thread::sleep_for(450ms);
  EXPECT_EQ(s.Flags.ElapsedMs.load(), stopped);
}

TEST(HiResTimer, TicksCallOnTimerOneAtATimeWithTheTimerAsSender) {
  THiResTimer t;
  t.Interval = 5;
  std::atomic<int> calls{0}, inside{0}, overlap{0};
  std::atomic<bool> rightSender{true};
  t.OnTimer = [&](THiResTimer& sender) {
    if (&sender != &t) rightSender = false;
    if (inside.fetch_add(1) != 0) overlap = 1;
    std::this_thread::sleep_for(12ms);  // longer than the interval: ticks merge
    inside.fetch_sub(1);
    ++calls;
  };
  t.SetEnabled(true);
  ASSERT_TRUE(Eventually([&] { return calls.load() >= 5; }));
  t.SetEnabled(false);
  EXPECT_EQ(overlap.load(), 0);
  EXPECT_TRUE(rightSender.load());
  EXPECT_EQ(inside.load(), 0);  // the stop waited for the running call
}

TEST(HiResTimer, PausedTimerPassesNoTicksOn) {
  THiResTimer t;
  t.Interval = 10;
  std::atomic<int> calls{0};
  t.OnTimer = [&](THiResTimer&) { ++calls; };
  t.Paused = true;
  t.SetEnabled(true);
  std::this_thread::sleep_for(200ms);  // some twenty ticks, all held back
  EXPECT_EQ(calls.load(), 0);
  t.Paused = false;
  EXPECT_TRUE(Eventually([&] { return calls.load() >= 2; }));
}

TEST(HiResTimer, ZeroIntervalCannotBeEnabled) {
  THiResTimer t;
  t.Interval = 0;
  std::atomic<int> calls{0};
  t.OnTimer = [&](THiResTimer&) { ++calls; };
  try {
    t.SetEnabled(true);
    FAIL() << "no exception";
  } catch (const EHiResTimer& e) {
    EXPECT_STREQ(e.what(), "Unable to create a timer");
  }
  EXPECT_FALSE(t.Enabled());
  t.SetEnabled(false);  // nothing to do
  // The failed start left nothing behind; a proper interval works.
  t.Interval = 10;
  t.SetEnabled(true);
  EXPECT_TRUE(t.Enabled());
  EXPECT_TRUE(Eventually([&] { return calls.load() >= 1; }));
}

TEST(HiResTimer, SettingTheSameValueAgainDoesNothingAndRestartWorks) {
  THiResTimer t;
  t.Interval = 10;
  std::atomic<int> calls{0};
  t.OnTimer = [&](THiResTimer&) { ++calls; };
  t.SetEnabled(false);
  EXPECT_FALSE(t.Enabled());
  t.SetEnabled(true);
  t.SetEnabled(true);
  EXPECT_TRUE(t.Enabled());
  ASSERT_TRUE(Eventually([&] { return calls.load() >= 2; }));
  // One disable stops everything, although enable was set twice.
  t.SetEnabled(false);
  int stopped = calls.load();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(calls.load(), stopped);

  t.SetEnabled(true);
  EXPECT_TRUE(Eventually([&] { return calls.load() >= stopped + 2; }));
  // The destructor stops a running timer.
}

TEST(HiResTimer, TimerWithoutHandlerRunsAndStops) {
  THiResTimer t;
  t.Interval = 5;
  t.SetEnabled(true);
  std::this_thread::sleep_for(30ms);
  t.SetEnabled(false);
  EXPECT_FALSE(t.Enabled());
}

TEST(HiResTimer, TwoSessionsCountApart) {
  Session a, b;
  a.HiTimer1.SetEnabled(true);
  ASSERT_TRUE(Eventually([&] { return a.Flags.ElapsedMs.load() >= 200; }));
  a.HiTimer1.SetEnabled(false);
  EXPECT_EQ(b.Flags.ElapsedMs.load(), 0u);
}

}  // namespace
}  // namespace tarnwick
