#include "platform/posix/futex.h"

#include <errno.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>

#ifndef SYS_futex_waitv
#define SYS_futex_waitv 449
#endif

namespace platform {
namespace posix {

namespace {

std::atomic<bool> g_waitvEnabled{true};

// The kernel reads the futex word as a plain 32-bit integer; std::atomic<uint32_t> has that layout.
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "futex word must be 32 bits");

uint32_t* Address(std::atomic<uint32_t>* word) {
  return reinterpret_cast<uint32_t*>(word);
}

}  // namespace

int FutexWait(std::atomic<uint32_t>* word, uint32_t expected, bool shared,
              const timespec* deadline) {
  // FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC deadline, so retries after EINTR never
  // stretch the wait.
  const int op = FUTEX_WAIT_BITSET | (shared ? 0 : FUTEX_PRIVATE_FLAG);
  const long result =
      syscall(SYS_futex, Address(word), op, expected, deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
  if (result == 0) return 0;
  if (errno == EAGAIN) return 0;
  return errno;
}

void FutexWake(std::atomic<uint32_t>* word, int count, bool shared) {
  const int op = FUTEX_WAKE | (shared ? 0 : FUTEX_PRIVATE_FLAG);
  syscall(SYS_futex, Address(word), op, count, nullptr, nullptr, 0);
}

int FutexWaitTwo(const FutexWaiter& a, const FutexWaiter& b, const timespec* deadline) {
  struct futex_waitv waiters[2] = {};
  const FutexWaiter* in[2] = {&a, &b};
  for (int i = 0; i < 2; ++i) {
    waiters[i].val = in[i]->expected;
    waiters[i].uaddr = reinterpret_cast<uintptr_t>(Address(in[i]->word));
    waiters[i].flags = FUTEX_32 | (in[i]->shared ? 0 : FUTEX_PRIVATE_FLAG);
  }
  const long result = syscall(SYS_futex_waitv, waiters, 2, 0, deadline, CLOCK_MONOTONIC);
  if (result >= 0) return 0;
  if (errno == EAGAIN) return 0;
  if (errno == ENOSYS) g_waitvEnabled.store(false);
  return errno;
}

bool FutexWaitvEnabled() {
  return g_waitvEnabled.load(std::memory_order_relaxed);
}

void SetFutexWaitvEnabled(bool enabled) {
  g_waitvEnabled.store(enabled);
}

timespec DeadlineAfter(uint32_t ms) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  now.tv_sec += ms / 1000;
  now.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (now.tv_nsec >= 1000000000L) {
    now.tv_sec += 1;
    now.tv_nsec -= 1000000000L;
  }
  return now;
}

bool DeadlinePassed(const timespec& deadline) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec > deadline.tv_sec ||
         (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

}  // namespace posix
}  // namespace platform
