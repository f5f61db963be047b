#include "platform/event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/posix/futex.h"
#include "platform/section.h"
#include "platform/thread.h"
#include "tests/unit/platform/ipc_test_support.h"

using namespace platform;
using platform_test::RunChild;
using platform_test::ScopedNamespace;
using platform_test::StartChild;
using platform_test::WaitChild;

namespace {

// Exit codes of the child processes: 0 success, anything else names the step that failed.
constexpr uint32_t kChildTimeoutMs = 10000;

struct EventCloser {
  Handle handle;
  ~EventCloser() { CloseHandle(handle); }
};

TEST(EventTest, AutomaticEventReleasesOneWaitAndClearsItself) {
  Handle event = CreateEvent(nullptr, false);
  ASSERT_NE(event, nullptr);
  EventCloser closer{event};
  EXPECT_EQ(WaitForEvent(event, 0), kWaitTimeout);
  SetEvent(event);
  SetEvent(event);  // setting a set event changes nothing
  EXPECT_EQ(WaitForEvent(event, 0), kWaitObject0);
  EXPECT_EQ(WaitForEvent(event, 0), kWaitTimeout);
  SetEvent(event);
  ResetEvent(event);
  EXPECT_EQ(WaitForEvent(event, 0), kWaitTimeout);
}

TEST(EventTest, ManualEventStaysSetUntilReset) {
  Handle event = CreateEvent(nullptr, true);
  ASSERT_NE(event, nullptr);
  EventCloser closer{event};
  SetEvent(event);
  EXPECT_EQ(WaitForEvent(event, 0), kWaitObject0);
  EXPECT_EQ(WaitForEvent(event, kInfinite), kWaitObject0);
  ResetEvent(event);
  EXPECT_EQ(WaitForEvent(event, 0), kWaitTimeout);
}

TEST(EventTest, TimedWaitEndsAfterItsTimeout) {
  Handle event = CreateEvent(nullptr, false);
  EventCloser closer{event};
  const uint32_t start = timeGetTime();
  EXPECT_EQ(WaitForEvent(event, 30), kWaitTimeout);
  EXPECT_GE(timeGetTime() - start, 30u);
  Handle other = CreateEvent(nullptr, true);
  EventCloser otherCloser{other};
  const uint32_t startEither = timeGetTime();
  EXPECT_EQ(WaitForEither(event, other, 30), kWaitTimeout);
  EXPECT_GE(timeGetTime() - startEither, 30u);
}

TEST(EventTest, HandlesOfOtherKindsAndNullFailTheWait) {
  EXPECT_EQ(WaitForEvent(nullptr, 0), kWaitFailed);
  SetEvent(nullptr);
  ResetEvent(nullptr);
  CloseHandle(nullptr);
  ScopedNamespace space;
  bool existed = true;
  Handle section = CreateSection("Sec", 4096, &existed);
  ASSERT_NE(section, nullptr);
  EXPECT_EQ(WaitForEvent(section, 0), kWaitFailed);
  EXPECT_EQ(WaitForEither(section, section, 0), kWaitFailed);
  CloseHandle(section);
  EXPECT_EQ(CreateEvent("a/b", false), nullptr);
  EXPECT_EQ(CreateEvent("", false), nullptr);
}

TEST(EventTest, ManualSetReleasesEveryWaiter) {
  Handle event = CreateEvent(nullptr, true);
  EventCloser closer{event};
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      if (WaitForEvent(event, kChildTimeoutMs) == kWaitObject0) ++released;
    });
  }
  Sleep(5);
  SetEvent(event);
  for (std::thread& t : waiters) t.join();
  EXPECT_EQ(released.load(), 4);
}

TEST(EventTest, AutomaticSetReleasesExactlyOneOfSeveralWaiters) {
  Handle event = CreateEvent(nullptr, false);
  EventCloser closer{event};
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (WaitForEvent(event, 200) == kWaitObject0) ++released;
    });
  }
  Sleep(5);
  SetEvent(event);
  for (std::thread& t : waiters) t.join();
  EXPECT_EQ(released.load(), 1);
}

// As with Win32 handles, closing an event while another thread waits on it leaves that wait
// intact: it ends at its time-out, without touching freed memory.
TEST(EventTest, ClosingAnEventDuringAWaitLeavesTheWaitIntact) {
  Handle event = CreateEvent(nullptr, false);
  Handle other = CreateEvent(nullptr, true);
  std::atomic<int> single{-2};
  std::atomic<int> either{-2};
  std::atomic<int> started{0};
  std::thread a([&] {
    ++started;
    single = WaitForEvent(event, 50);
  });
  std::thread b([&] {
    ++started;
    either = WaitForEither(event, other, 50);
  });
  // Both threads are about to wait (on a loaded machine a thread may start late); give them time
  // to enter the wait before the handles go.
  while (started.load() < 2) std::this_thread::yield();
  Sleep(10);
  CloseHandle(event);
  CloseHandle(other);
  a.join();
  b.join();
  EXPECT_EQ(single.load(), kWaitTimeout);
  EXPECT_EQ(either.load(), kWaitTimeout);
}

class WaitForEitherTest : public ::testing::TestWithParam<bool> {
 protected:
  // The parameter selects the kernel's futex_waitv (true) or the fallback for older kernels.
  void SetUp() override { posix::SetFutexWaitvEnabled(GetParam()); }
  void TearDown() override { posix::SetFutexWaitvEnabled(true); }
};

TEST_P(WaitForEitherTest, FirstWinsAndOnlyTheWinnerIsConsumed) {
  Handle first = CreateEvent(nullptr, false);
  Handle second = CreateEvent(nullptr, false);
  EventCloser a{first}, b{second};
  EXPECT_EQ(WaitForEither(first, second, 0), kWaitTimeout);
  SetEvent(first);
  SetEvent(second);
  EXPECT_EQ(WaitForEither(first, second, 0), kWaitObject0);
  EXPECT_EQ(WaitForEither(first, second, 0), kWaitObject1);
  EXPECT_EQ(WaitForEither(first, second, 0), kWaitTimeout);
  SetEvent(second);
  EXPECT_EQ(WaitForEither(first, second, kInfinite), kWaitObject1);
  EXPECT_EQ(WaitForEvent(second, 0), kWaitTimeout);
}

TEST_P(WaitForEitherTest, ManualEventIsNotConsumed) {
  Handle quit = CreateEvent(nullptr, false);
  Handle request = CreateEvent(nullptr, true);
  EventCloser a{quit}, b{request};
  SetEvent(request);
  EXPECT_EQ(WaitForEither(quit, request, 0), kWaitObject1);
  EXPECT_EQ(WaitForEither(quit, request, 0), kWaitObject1);
  SetEvent(quit);
  EXPECT_EQ(WaitForEither(quit, request, 0), kWaitObject0);
  EXPECT_EQ(WaitForEither(quit, request, 0), kWaitObject1);
}

TEST_P(WaitForEitherTest, BlockedWaitEndsOnEitherEvent) {
  Handle first = CreateEvent(nullptr, false);
  Handle second = CreateEvent(nullptr, false);
  EventCloser a{first}, b{second};
  for (int which = 0; which < 2; ++which) {
    std::atomic<int> result{-2};
    std::thread waiter([&] { result = WaitForEither(first, second, kChildTimeoutMs); });
    Sleep(5);
    SetEvent(which == 0 ? first : second);
    waiter.join();
    EXPECT_EQ(result.load(), which);
  }
  EXPECT_EQ(WaitForEither(first, second, 0), kWaitTimeout);
}

// `first` is set, then `second`. The either-waiter always ends with `first`; the set of `second`
// may still have spent its single wake on that waiter, which must then pass it on to the waiter
// that sleeps on `second` alone, or that one would sleep beside a set event.
TEST_P(WaitForEitherTest, WakeIsPassedOnWhenTheOtherEventIsTaken) {
  Handle first = CreateEvent(nullptr, false);
  Handle second = CreateEvent(nullptr, false);
  EventCloser a{first}, b{second};
  for (int round = 0; round < 100; ++round) {
    std::atomic<int> eitherResult{-2};
    std::atomic<int> singleResult{-2};
    std::thread either([&] { eitherResult = WaitForEither(first, second, kChildTimeoutMs); });
    Handle singleDone = CreateEvent(nullptr, true);
    EventCloser c{singleDone};
    std::thread single([&] {
      singleResult = WaitForEvent(second, kChildTimeoutMs);
      SetEvent(singleDone);
    });
    Sleep(1);
    SetEvent(first);
    SetEvent(second);
    either.join();
    // A lost wake would leave the single waiter asleep until its own time-out; a set event that
    // wakes nobody within two seconds is such a loss.
    EXPECT_EQ(WaitForEvent(singleDone, 2000), kWaitObject0) << "round " << round;
    single.join();
    ASSERT_EQ(eitherResult.load(), kWaitObject0) << "round " << round;
    ASSERT_EQ(singleResult.load(), kWaitObject0) << "round " << round;
    ASSERT_EQ(WaitForEither(first, second, 0), kWaitTimeout);
  }
}

// Signals that arrive while the waiter is still watching the words before it sleeps (the setter
// answers at once, as the other side of the link does) are taken like signals that wake a
// sleeper: each set exactly once, and only the event that ends a wait is consumed.
TEST_P(WaitForEitherTest, SignalsDuringTheShortSpinAreEachTakenOnce) {
  Handle first = CreateEvent(nullptr, false);
  Handle second = CreateEvent(nullptr, false);
  Handle go = CreateEvent(nullptr, false);
  Handle taken = CreateEvent(nullptr, false);
  EventCloser a{first}, b{second}, c{go}, d{taken};
  constexpr int kRounds = 2000;
  std::atomic<bool> stop{false};
  std::thread setter([&] {
    for (int round = 0; round < kRounds; ++round) {
      if (WaitForEvent(go, kChildTimeoutMs) != kWaitObject0 || stop) return;
      SetEvent(first);
      SetEvent(second);
      if (WaitForEvent(taken, kChildTimeoutMs) != kWaitObject0) return;
    }
  });
  int failedRound = -1;
  for (int round = 0; round < kRounds && failedRound < 0; ++round) {
    SetEvent(go);
    const int one = WaitForEither(first, second, kChildTimeoutMs);
    const int other = WaitForEither(first, second, kChildTimeoutMs);
    // Either order can happen (`second` may be seen before `first` is), but never one event twice.
    const bool eachOnce = (one == kWaitObject0 && other == kWaitObject1) ||
                          (one == kWaitObject1 && other == kWaitObject0);
    if (!eachOnce || WaitForEither(first, second, 0) != kWaitTimeout) failedRound = round;
    SetEvent(taken);
  }
  stop = true;
  SetEvent(go);
  setter.join();
  EXPECT_EQ(failedRound, -1);
}

// An automatic event set many times in quick succession, each set answered before the next:
// waits that end while watching the word and waits that end asleep take one set each.
TEST(EventTest, QuickRoundTripsBetweenThreadsTakeEverySetOnce) {
  Handle ping = CreateEvent(nullptr, false);
  Handle pong = CreateEvent(nullptr, false);
  EventCloser a{ping}, b{pong};
  constexpr int kRounds = 5000;
  std::atomic<int> answered{0};
  std::thread answerer([&] {
    for (int round = 0; round < kRounds; ++round) {
      if (WaitForEvent(ping, kChildTimeoutMs) != kWaitObject0) return;
      ++answered;
      SetEvent(pong);
    }
  });
  for (int round = 0; round < kRounds; ++round) {
    SetEvent(ping);
    ASSERT_EQ(WaitForEvent(pong, kChildTimeoutMs), kWaitObject0) << "round " << round;
    ASSERT_EQ(answered.load(), round + 1);
  }
  answerer.join();
  EXPECT_EQ(WaitForEvent(ping, 0), kWaitTimeout);
  EXPECT_EQ(WaitForEvent(pong, 0), kWaitTimeout);
}

INSTANTIATE_TEST_SUITE_P(Kernel, WaitForEitherTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("Waitv") : std::string("Fallback");
                         });

class NamedEventTest : public ::testing::Test {
 protected:
  ScopedNamespace space_;
};

TEST_F(NamedEventTest, OpeningAnExistingEventKeepsItsKindAndState) {
  space_.EventFile("Kind");
  Handle made = CreateEvent("Kind", true);
  ASSERT_NE(made, nullptr);
  SetEvent(made);
  Handle opened = CreateEvent("Kind", false);  // the existing manual event is used
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(WaitForEvent(opened, 0), kWaitObject0);
  EXPECT_EQ(WaitForEvent(opened, 0), kWaitObject0);
  ResetEvent(opened);
  EXPECT_EQ(WaitForEvent(made, 0), kWaitTimeout);
  CloseHandle(opened);
  CloseHandle(made);
}

TEST_F(NamedEventTest, OwnedEventReplacesWhatAnEarlierOwnerLeftAndGoesOnRemove) {
  const std::string file = space_.EventFile("Owned");
  // An owner that dies without cleaning up leaves its event set.
  ASSERT_EQ(RunChild([] {
              Handle earlier = CreateOwnedEvent("Owned", true);
              SetEvent(earlier);
              return earlier != nullptr ? 0 : 1;
            }),
            0);
  Handle stale = CreateEvent("Owned", false);
  ASSERT_NE(stale, nullptr);
  EXPECT_EQ(WaitForEvent(stale, 0), kWaitObject0);  // still manual, still set
  std::string error = "unset";
  EXPECT_EQ(OpenOwnedEvent("Owned", &error), nullptr) << "no live owner";
  EXPECT_EQ(error, "");
  Handle owned = CreateOwnedEvent("Owned", false, &error);
  ASSERT_NE(owned, nullptr) << error;
  EXPECT_EQ(WaitForEvent(owned, 0), kWaitTimeout);
  // A handle on the old object is not connected to the new owner's event; a client's is.
  SetEvent(stale);
  EXPECT_EQ(WaitForEvent(owned, 0), kWaitTimeout);
  Handle client = OpenOwnedEvent("Owned", &error);
  ASSERT_NE(client, nullptr) << error;
  SetEvent(client);
  EXPECT_EQ(WaitForEvent(owned, 0), kWaitObject0);
  EXPECT_EQ(WaitForEvent(client, 0), kWaitTimeout) << "automatic, as the owner made it";
  EXPECT_EQ(access(file.c_str(), F_OK), 0);
  RemoveOwnedObjects();
  EXPECT_NE(access(file.c_str(), F_OK), 0);
  for (Handle h : {client, owned, stale}) CloseHandle(h);
}

// A client only opens what a live owner made: it never creates an event that an owner would then
// have to take over, and a second owner is refused while the first lives.
TEST_F(NamedEventTest, ClientsOpenOnlyALiveOwnersEvent) {
  const std::string file = space_.EventFile("Early");
  std::string error = "unset";
  EXPECT_EQ(OpenOwnedEvent("Early", &error), nullptr);
  EXPECT_EQ(error, "");
  EXPECT_NE(access(file.c_str(), F_OK), 0) << "opening made the object";
  Handle owned = CreateOwnedEvent("Early", false, &error);
  ASSERT_NE(owned, nullptr) << error;
  const int second = RunChild([] {
    std::string childError;
    return CreateOwnedEvent("Early", false, &childError) == nullptr &&
                   childError.find("held by another running process") != std::string::npos
               ? 0
               : 1;
  });
  EXPECT_EQ(second, 0);
  Handle client = OpenOwnedEvent("Early", &error);
  ASSERT_NE(client, nullptr) << error;
  CloseHandle(client);
  CloseHandle(owned);
  EXPECT_EQ(OpenOwnedEvent("Early", &error), nullptr) << "the owner has gone";
}

TEST_F(NamedEventTest, ClosingAnOwnedEventRemovesItsName) {
  const std::string file = space_.EventFile("Closed");
  Handle owned = CreateOwnedEvent("Closed", true);
  ASSERT_NE(owned, nullptr);
  EXPECT_EQ(access(file.c_str(), F_OK), 0);
  CloseHandle(owned);
  EXPECT_NE(access(file.c_str(), F_OK), 0);
}

// The decode thread's wait: a private event of this process and a named event set by another.
TEST_F(NamedEventTest, SetInAnotherProcessEndsAWaitBesideAPrivateEvent) {
  space_.EventFile("Exec");
  space_.EventFile("Done");
  Handle abort = CreateEvent(nullptr, false);
  Handle exec = CreateEvent("Exec", false);
  Handle done = CreateEvent("Done", false);
  const pid_t child = StartChild([] {
    Handle in = CreateEvent("Exec", false);
    Handle out = CreateEvent("Done", false);
    if (WaitForEvent(in, kChildTimeoutMs) != kWaitObject0) return 1;
    Sleep(5);  // lets the parent fall asleep first
    SetEvent(out);
    return 0;
  });
  SetEvent(exec);
  EXPECT_EQ(WaitForEither(abort, done, kChildTimeoutMs), kWaitObject1);
  EXPECT_EQ(WaitChild(child), 0);
  EXPECT_EQ(WaitForEvent(exec, 0), kWaitTimeout);  // consumed by the child
  std::thread aborter([&] {
    Sleep(5);
    SetEvent(abort);
  });
  EXPECT_EQ(WaitForEither(abort, done, kChildTimeoutMs), kWaitObject0);
  aborter.join();
  for (Handle h : {abort, exec, done}) CloseHandle(h);
}

// Many round trips between two processes, each side waiting for the other's event, with a counter
// in shared memory: any lost wake-up stalls the run, any doubled one shows in the counter.
TEST_F(NamedEventTest, RoundTripsBetweenProcessesLoseAndDoubleNothing) {
  space_.EventFile("Ping");
  space_.EventFile("Pong");
  space_.EventFile("Quit");
  space_.SectionFile("Counter");
  constexpr int kRounds = 2000;
  std::string error;
  Handle section = CreateOwnedSection("Counter", 4096, &error);
  ASSERT_NE(section, nullptr) << error;
  auto* counter = static_cast<std::atomic<int>*>(MapSection(section, 4096));
  ASSERT_NE(counter, nullptr);
  Handle ping = CreateOwnedEvent("Ping", false);
  Handle pong = CreateOwnedEvent("Pong", false);
  Handle quit = CreateOwnedEvent("Quit", true);
  const pid_t child = StartChild([] {
    bool existed = false;
    Handle s = CreateSection("Counter", 4096, &existed);
    if (!existed) return 1;
    auto* shared = static_cast<std::atomic<int>*>(MapSection(s, 4096));
    Handle in = CreateEvent("Ping", false);
    Handle out = CreateEvent("Pong", false);
    Handle stop = CreateEvent("Quit", true);
    for (int expected = 1;; ++expected) {
      // Alternate the two wait functions so that both carry traffic.
      const int r = (expected % 2) ? WaitForEither(stop, in, kChildTimeoutMs)
                                   : WaitForEvent(in, kChildTimeoutMs);
      if (r == kWaitObject0 && (expected % 2)) return 0;
      if (r == kWaitTimeout) return 2;
      if (shared->load() != expected) return 3;
      SetEvent(out);
    }
  });
  for (int i = 1; i <= kRounds; ++i) {
    counter->store(i);
    SetEvent(ping);
    ASSERT_EQ(WaitForEvent(pong, kChildTimeoutMs), kWaitObject0) << "round " << i;
  }
  // Make the child's next wait a WaitForEither.
  if (kRounds % 2 != 0) {
    counter->store(kRounds + 1);
    SetEvent(ping);
    ASSERT_EQ(WaitForEvent(pong, kChildTimeoutMs), kWaitObject0);
  }
  SetEvent(quit);
  EXPECT_EQ(WaitChild(child), 0);
  EXPECT_EQ(WaitForEvent(ping, 0), kWaitTimeout);
  EXPECT_EQ(WaitForEvent(pong, 0), kWaitTimeout);
  UnmapSection(counter, 4096);
  for (Handle h : {ping, pong, quit, section}) CloseHandle(h);
}

}  // namespace
