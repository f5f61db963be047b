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
// tests once every `ms` milliseconds. On Windows this is Sleep(ms), the cadence that a peer there
// may rely on. On POSIX the pause lasts some tens of microseconds: a test is cheap and the other
// side usually answers within microseconds, so whole milliseconds would only add latency. Callers
// bound their polling by the clock (timeGetTime), not by counting pauses.
void PollPause(uint32_t ms);

// A millisecond clock that wraps at 2^32, like timeGetTime.
uint32_t timeGetTime();

}  // namespace platform
