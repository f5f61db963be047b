// Thin wrappers around the futex system calls used by the events.
#pragma once

#include <time.h>

#include <atomic>
#include <cstdint>

namespace platform {
namespace posix {

// Sleeps while `*word` holds `expected`, until woken or until the absolute CLOCK_MONOTONIC
// `deadline` (null: no limit). `shared` selects a futex visible to other processes (the word lies
// in shared memory). Returns 0 when woken or when the word no longer held `expected`, ETIMEDOUT,
// or EINTR.
int FutexWait(std::atomic<uint32_t>* word, uint32_t expected, bool shared,
              const timespec* deadline);

// Wakes up to `count` sleepers on `word`.
void FutexWake(std::atomic<uint32_t>* word, int count, bool shared);

struct FutexWaiter {
  std::atomic<uint32_t>* word;
  uint32_t expected;
  bool shared;
};

// Sleeps on two words at once (futex_waitv). Returns 0 when woken or when a word no longer held its
// expected value, ETIMEDOUT, EINTR, or ENOSYS when the kernel lacks futex_waitv (before 5.16).
int FutexWaitTwo(const FutexWaiter& a, const FutexWaiter& b, const timespec* deadline);

// Whether FutexWaitTwo may be used. Becomes false after the kernel reported ENOSYS once; tests
// switch it off to exercise the fallback.
bool FutexWaitvEnabled();
void SetFutexWaitvEnabled(bool enabled);

// CLOCK_MONOTONIC now plus `ms` milliseconds.
timespec DeadlineAfter(uint32_t ms);
bool DeadlinePassed(const timespec& deadline);

}  // namespace posix
}  // namespace platform
