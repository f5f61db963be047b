// Events with Win32 semantics: automatic-reset events release one waiter and clear themselves;
// manual-reset events stay set until reset. Named events are shared between processes; private ones
// (name null) belong to this process.
#pragma once

#include <cstdint>

#include "platform/handle.h"

namespace platform {

// Opens the named event, or creates it not signalled with the given reset kind when it does not
// exist yet. A null name makes a private event. Returns null on failure.
Handle CreateEvent(const char* name, bool manualReset);

// Owner side: creates the named event afresh (replacing any object of that name left behind), not
// signalled. Its name is removed by RemoveOwnedObjects() or when the handle is closed.
// On POSIX an object of that name is taken over in place with the given reset kind, so that clients
// that opened it already stay connected; a signal left by an earlier owner's link is cleared.
Handle CreateOwnedEvent(const char* name, bool manualReset);

void SetEvent(Handle event);
void ResetEvent(Handle event);

// Waits until the event is set or `timeoutMs` has passed (kInfinite: no limit; 0: a test).
// Returns kWaitObject0, kWaitTimeout or kWaitFailed. Consumes the signal of an automatic event.
int WaitForEvent(Handle event, uint32_t timeoutMs);

// Waits until either event is set. When both are set, `first` wins (kWaitObject0); only the event
// that ended the wait is consumed. Returns kWaitObject0, kWaitObject1, kWaitTimeout or kWaitFailed.
int WaitForEither(Handle first, Handle second, uint32_t timeoutMs);

}  // namespace platform
