#include "platform/thread.h"

#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "platform/event.h"
#include "platform/posix/handle_object.h"
#include "platform/posix/spin.h"

namespace platform {

namespace {

// Shared by the thread and its handle; whichever lets go last frees it, so closing the handle of a
// running thread neither waits for it nor pulls its state away from under it.
struct ThreadState {
  ThreadFunction function;
  void* argument;
  bool raisedPriority;
  Handle finished;  // private manual-reset event, set when `function` has returned
  std::atomic<int> references{2};
  unsigned exitCode = 0;
};

void ReleaseState(ThreadState* state) {
  if (state->references.fetch_sub(1) == 1) {
    CloseHandle(state->finished);
    delete state;
  }
}

void* ThreadMain(void* raw) {
  auto* state = static_cast<ThreadState*>(raw);
  if (state->raisedPriority) {
    // THREAD_PRIORITY_HIGHEST is two steps above normal; on Linux a thread's nice value is its
    // own. Lowering it needs CAP_SYS_NICE or RLIMIT_NICE: without them this fails, silently.
    const pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    if (errno == 0) setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice - 2);
  }
  state->exitCode = state->function(state->argument);
  SetEvent(state->finished);
  ReleaseState(state);
  return nullptr;
}

struct ThreadObject : HandleObject {
  ThreadObject() : HandleObject(Kind::kThread) {}
  ~ThreadObject() override {
    if (!joined) {
      // A thread that has finished is joined at once; one still running is left to end on its own.
      if (WaitForEvent(state->finished, 0) == kWaitObject0) {
        pthread_join(thread, nullptr);
      } else {
        pthread_detach(thread);
      }
    }
    ReleaseState(state);
  }

  pthread_t thread;
  ThreadState* state = nullptr;
  bool joined = false;
};

}  // namespace

Handle StartThread(ThreadFunction function, void* argument, bool raisedPriority) {
  if (function == nullptr) return nullptr;
  Handle finished = CreateEvent(nullptr, true);
  if (finished == nullptr) return nullptr;
  auto* state = new ThreadState{function, argument, raisedPriority, finished};
  auto* object = new ThreadObject;
  object->state = state;
  if (pthread_create(&object->thread, nullptr, ThreadMain, state) != 0) {
    object->joined = true;  // nothing to join or detach
    state->references.store(1);
    delete object;
    return nullptr;
  }
  return object;
}

int WaitForThread(Handle handle, uint32_t timeoutMs) {
  if (handle == nullptr || handle->kind != HandleObject::Kind::kThread) return kWaitFailed;
  auto* object = static_cast<ThreadObject*>(handle);
  if (object->joined) return kWaitObject0;
  if (pthread_equal(object->thread, pthread_self())) return kWaitFailed;  // would never end
  const int result = WaitForEvent(object->state->finished, timeoutMs);
  if (result != kWaitObject0) return result;
  // `function` has returned; what remains of the thread ends at once.
  pthread_join(object->thread, nullptr);
  object->joined = true;
  return kWaitObject0;
}

void Sleep(uint32_t ms) {
  if (ms == 0) {
    sched_yield();  // as Sleep(0): give up the rest of the time slice
    return;
  }
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += ms / 1000;
  deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

void PollPause(uint32_t, uint32_t attempt) {
  // The first pauses of a wait give the processor to any thread waiting for it, and then spin
  // briefly: the thread that will answer (just woken by the caller, it often waits for the
  // caller's own processor) then runs at once, and one on another processor is seen within
  // microseconds. About 2 us a pause, 200 us in all.
  constexpr uint32_t kSpinningPauses = 100;
  constexpr int kRelaxesPerPause = 32;
  if (attempt < kSpinningPauses && posix::CanSpin()) {
    sched_yield();
    for (int i = 0; i < kRelaxesPerPause; ++i) CpuRelax();
    return;
  }
  // Short enough that an answer is seen soon after it comes, long enough that the waiting thread
  // leaves the processor to the threads that are answering.
  constexpr long kPauseNs = 50000;
  const timespec pause{0, kPauseNs};
  clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
}

uint32_t timeGetTime() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t ms =
      static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

uint32_t CurrentProcessId() {
  return static_cast<uint32_t>(getpid());
}

}  // namespace platform
