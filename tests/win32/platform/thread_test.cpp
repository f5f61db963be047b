#include "platform/thread.h"

#include "platform/event.h"
#include "platform/win32/handle_object.h"
#include "tests/win32/support/check.h"
#include "tests/win32/support/win.h"

using namespace platform;

namespace {

struct Job {
  Handle go;
  int value;
  int priority;
};

unsigned RunJob(void* argument) {
  Job* job = static_cast<Job*>(argument);
  job->priority = GetThreadPriority(GetCurrentThread());
  WaitForEvent(job->go, kInfinite);
  job->value = 42;
  return 7;
}

}  // namespace

WIN_TEST(ThreadRunsWithItsArgumentAtRaisedPriority) {
  Job job{CreateEvent(nullptr, true), 0, 0};
  REQUIRE(job.go);
  Handle thread = StartThread(&RunJob, &job, true);
  REQUIRE(thread);
  CHECK_EQ(kWaitTimeout, WaitForThread(thread, 20));
  SetEvent(job.go);
  CHECK_EQ(kWaitObject0, WaitForThread(thread, kInfinite));
  CHECK_EQ(42, job.value);
  CHECK_EQ(THREAD_PRIORITY_HIGHEST, job.priority);
  DWORD code = 0;
  CHECK(GetExitCodeThread(thread->handle, &code));
  CHECK_EQ(7u, static_cast<unsigned>(code));
  CloseHandle(thread);
  CloseHandle(job.go);
}

WIN_TEST(ThreadWithoutRaisedPriorityKeepsNormal) {
  Job job{CreateEvent(nullptr, true), 0, 0};
  SetEvent(job.go);
  Handle thread = StartThread(&RunJob, &job, false);
  REQUIRE(thread);
  CHECK_EQ(kWaitObject0, WaitForThread(thread, kInfinite));
  CHECK_EQ(THREAD_PRIORITY_NORMAL, job.priority);
  CloseHandle(thread);
  CloseHandle(job.go);
  CHECK(StartThread(nullptr, nullptr, false) == nullptr);
  CHECK_EQ(kWaitFailed, WaitForThread(nullptr, 0));
}

WIN_TEST(SleepLastsAtLeastItsTimeOnTheMillisecondClock) {
  const uint32_t before = platform::timeGetTime();
  platform::Sleep(30);
  const uint32_t elapsed = platform::timeGetTime() - before;
  // The clock ticks in milliseconds; allow for its granularity.
  CHECK(elapsed >= 25);
  CHECK(elapsed < 60000);
}
