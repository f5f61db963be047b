#include "platform/event.h"

#include <atomic>

#include "platform/thread.h"
#include "tests/win32/platform/children.h"
#include "tests/win32/support/check.h"
#include "tests/win32/support/process.h"

using namespace platform;

WIN_TEST(AutomaticEventReleasesOneWaitAndClears) {
  Handle e = CreateEvent(nullptr, false);
  REQUIRE(e);
  CHECK_EQ(kWaitTimeout, WaitForEvent(e, 0));
  SetEvent(e);
  CHECK_EQ(kWaitObject0, WaitForEvent(e, 0));
  CHECK_EQ(kWaitTimeout, WaitForEvent(e, 0));
  SetEvent(e);
  ResetEvent(e);
  CHECK_EQ(kWaitTimeout, WaitForEvent(e, 0));
  CloseHandle(e);
}

WIN_TEST(ManualEventStaysSetUntilReset) {
  Handle e = CreateEvent(nullptr, true);
  REQUIRE(e);
  SetEvent(e);
  CHECK_EQ(kWaitObject0, WaitForEvent(e, 0));
  CHECK_EQ(kWaitObject0, WaitForEvent(e, 10));
  ResetEvent(e);
  CHECK_EQ(kWaitTimeout, WaitForEvent(e, 0));
  CloseHandle(e);
}

WIN_TEST(WaitForEitherPrefersTheFirstAndConsumesOnlyIt) {
  Handle first = CreateEvent(nullptr, false);
  Handle second = CreateEvent(nullptr, false);
  REQUIRE(first && second);
  SetEvent(second);
  SetEvent(first);
  CHECK_EQ(kWaitObject0, WaitForEither(first, second, 0));
  CHECK_EQ(kWaitObject1, WaitForEither(first, second, 0));
  CHECK_EQ(kWaitTimeout, WaitForEither(first, second, 0));
  CHECK_EQ(kWaitTimeout, WaitForEither(first, second, 20));
  CloseHandle(first);
  CloseHandle(second);
}

WIN_TEST(WaitForEitherWakesWhenTheOtherThreadSets) {
  struct Shared {
    Handle quit;
    Handle request;
  } shared{CreateEvent(nullptr, false), CreateEvent(nullptr, true)};
  REQUIRE(shared.quit && shared.request);
  Handle thread = StartThread(
      [](void* p) -> unsigned {
        Shared* s = static_cast<Shared*>(p);
        platform::Sleep(20);
        SetEvent(s->request);
        return 0;
      },
      &shared, false);
  REQUIRE(thread);
  CHECK_EQ(kWaitObject1, WaitForEither(shared.quit, shared.request, kInfinite));
  // The manual event stays set after the wait.
  CHECK_EQ(kWaitObject0, WaitForEvent(shared.request, 0));
  CHECK_EQ(kWaitObject0, WaitForThread(thread, kInfinite));
  CloseHandle(thread);
  CloseHandle(shared.quit);
  CloseHandle(shared.request);
}

WIN_TEST(NamedEventsOpenTheSameObject) {
  Handle a = CreateEvent("PlatformTestShared", false);
  Handle b = CreateEvent("PlatformTestShared", false);
  REQUIRE(a && b);
  SetEvent(a);
  CHECK_EQ(kWaitObject0, WaitForEvent(b, 0));
  CHECK_EQ(kWaitTimeout, WaitForEvent(a, 0));
  CloseHandle(a);
  CloseHandle(b);
}

WIN_TEST(OwnedEventStartsNotSignalledEvenWhenLeftSet) {
  Handle left = CreateEvent("PlatformTestLeft", true);
  REQUIRE(left);
  SetEvent(left);
  Handle owned = CreateOwnedEvent("PlatformTestLeft", true);
  REQUIRE(owned);
  CHECK_EQ(kWaitTimeout, WaitForEvent(owned, 0));
  CloseHandle(owned);
  CloseHandle(left);
}

WIN_TEST(NamedEventsCarrySignalsBetweenProcesses) {
  Handle ping = CreateEvent(kPing, false);
  Handle pong = CreateEvent(kPong, false);
  Handle ready = CreateEvent(kChildReady, true);
  REQUIRE(ping && pong && ready);
  ResetEvent(ready);
  HANDLE child = wintest::StartSelf("--child-pong");
  REQUIRE(child);
  CHECK_EQ(kWaitObject0, WaitForEvent(ready, 10000));
  int answered = 0;
  for (int i = 0; i < kRoundTrips; ++i) {
    SetEvent(ping);
    if (WaitForEvent(pong, 10000) != kWaitObject0) break;
    ++answered;
  }
  CHECK_EQ(kRoundTrips, answered);
  CHECK_EQ(0, wintest::WaitForExit(child, 10000));
  ::CloseHandle(child);
  CloseHandle(ping);
  CloseHandle(pong);
  CloseHandle(ready);
}

WIN_TEST(BadHandlesFailInsteadOfCrashing) {
  CHECK_EQ(kWaitFailed, WaitForEvent(nullptr, 0));
  Handle e = CreateEvent(nullptr, false);
  CHECK_EQ(kWaitFailed, WaitForEither(e, nullptr, 0));
  platform::SetEvent(nullptr);
  platform::ResetEvent(nullptr);
  platform::CloseHandle(nullptr);
  CHECK(CreateEvent("", false) == nullptr);
  CHECK(CreateEvent("bad\\name", false) == nullptr);
  CloseHandle(e);
}
