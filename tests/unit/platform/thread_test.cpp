#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/event.h"

using namespace platform;

namespace {

struct Gate {
  Handle open = CreateEvent(nullptr, true);
  std::atomic<int> ran{0};
  ~Gate() { CloseHandle(open); }
};

unsigned WaitAtGate(void* argument) {
  auto* gate = static_cast<Gate*>(argument);
  WaitForEvent(gate->open, kInfinite);
  ++gate->ran;
  return 0;
}

TEST(ThreadTest, WaitForThreadTimesOutWhileRunningAndEndsWhenDone) {
  for (bool raised : {false, true}) {
    Gate gate;
    Handle thread = StartThread(WaitAtGate, &gate, raised);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForThread(thread, 0), kWaitTimeout);
    EXPECT_EQ(WaitForThread(thread, 10), kWaitTimeout);
    SetEvent(gate.open);
    EXPECT_EQ(WaitForThread(thread, kInfinite), kWaitObject0);
    EXPECT_EQ(WaitForThread(thread, 0), kWaitObject0);
    EXPECT_EQ(gate.ran.load(), 1);
    CloseHandle(thread);
  }
}

TEST(ThreadTest, ClosingTheHandleOfARunningThreadLetsItFinishOnItsOwn) {
  Gate gate;
  Handle thread = StartThread(WaitAtGate, &gate, true);
  ASSERT_NE(thread, nullptr);
  CloseHandle(thread);
  SetEvent(gate.open);
  for (int i = 0; i < 1000 && gate.ran.load() == 0; ++i) Sleep(1);
  EXPECT_EQ(gate.ran.load(), 1);
  Sleep(5);  // lets the detached thread finish before the gate goes away
}

TEST(ThreadTest, ClosingTheHandleOfAFinishedThreadJoinsIt) {
  Gate gate;
  SetEvent(gate.open);
  Handle thread = StartThread(WaitAtGate, &gate, false);
  ASSERT_NE(thread, nullptr);
  for (int i = 0; i < 1000 && gate.ran.load() == 0; ++i) Sleep(1);
  Sleep(2);
  CloseHandle(thread);
  EXPECT_EQ(StartThread(nullptr, nullptr, false), nullptr);
  EXPECT_EQ(WaitForThread(nullptr, 0), kWaitFailed);
}

TEST(ThreadTest, SleepAndClockMeasureMilliseconds) {
  const uint32_t start = timeGetTime();
  Sleep(20);
  const uint32_t elapsed = timeGetTime() - start;  // wraps correctly in unsigned arithmetic
  EXPECT_GE(elapsed, 20u);
  EXPECT_LT(elapsed, 5000u);
  Sleep(0);
}

}  // namespace
