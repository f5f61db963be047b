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

// A millisecond clock that wraps at 2^32, like timeGetTime.
uint32_t timeGetTime();

}  // namespace platform
