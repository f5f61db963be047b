// Threads and time with their Win32 meaning.
#pragma once

#include <cstdint>

#include "platform/handle.h"

namespace platform {

using ThreadFunction = unsigned (*)(void* argument);

// Starts a thread running `function(argument)` at once. With `raisedPriority` the thread asks for
// the highest normal priority (best effort: on Linux raising it needs privileges).
// Returns null when the thread cannot be made.
Handle StartThread(ThreadFunction function, void* argument, bool raisedPriority);

// Waits for the thread to end: kWaitObject0 when it has, kWaitTimeout when not within `timeoutMs`.
int WaitForThread(Handle thread, uint32_t timeoutMs);

// Sleeps for at least `ms` milliseconds.
void Sleep(uint32_t ms);

// Pauses between two tests of a state that another thread or process changes, for a caller that
// tests once every `ms` milliseconds; `attempt` counts the pauses of this wait so far, from 0. On
// Windows this is Sleep(ms), the cadence that a peer there may rely on. On POSIX a test is cheap
// and the other side usually answers within microseconds, so whole milliseconds would only add
// latency: the first pauses of a wait yield the processor and spin for a few microseconds (the
// other side, just woken, may be waiting for this very processor), the later ones sleep some tens
// of microseconds. Callers bound their polling by the clock (timeGetTime), not by counting pauses.
void PollPause(uint32_t ms, uint32_t attempt);

// Tells the processor that the caller is spinning on a state another processor changes (x86
// PAUSE, ARM YIELD): the spin then takes less from a sibling hardware thread and leaves the loop
// at once when the state changes.
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

// A millisecond clock that wraps at 2^32, like timeGetTime.
uint32_t timeGetTime();

// The calling process's id.
uint32_t CurrentProcessId();

}  // namespace platform
