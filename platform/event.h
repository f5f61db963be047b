// Events with Win32 semantics: automatic-reset events release one waiter and clear themselves;
// manual-reset events stay set until reset. Named events are shared between processes; private ones
// (name null) belong to this process.
#pragma once

#include <cstdint>
#include <string>

#include "platform/handle.h"

namespace platform {

// Opens the named event, or creates it not signalled with the given reset kind when it does not
// exist yet. A null name makes a private event. Returns null on failure (on POSIX also when the
// object found under the name is not this user's own; see platform/section.h).
Handle CreateEvent(const char* name, bool manualReset);

// Owner side: creates the named event afresh, not signalled. Its name is removed by
// RemoveOwnedObjects() or when the handle is closed. On POSIX the object is always a new one, made
// exclusively: an object of ours left behind by a dead owner is removed first, another user's is
// removed where the system allows it; a live owner's refuses the call. Null on failure, with the
// reason in `error` (may be null).
Handle CreateOwnedEvent(const char* name, bool manualReset, std::string* error = nullptr);

// Client side: opens the named event that a live owner made with CreateOwnedEvent; never creates
// one. Null when there is none (yet: an owner makes its section before its events), with `error`
// (may be null) left empty, or when the object was refused, with the reason naming it in `error`.
Handle OpenOwnedEvent(const char* name, std::string* error);

void SetEvent(Handle event);
void ResetEvent(Handle event);

// Waits until the event is set or `timeoutMs` has passed (kInfinite: no limit; 0: a test).
// Returns kWaitObject0, kWaitTimeout or kWaitFailed. Consumes the signal of an automatic event.
int WaitForEvent(Handle event, uint32_t timeoutMs);

// Waits until either event is set. When both are set, `first` wins (kWaitObject0); only the event
// that ended the wait is consumed. Returns kWaitObject0, kWaitObject1, kWaitTimeout or kWaitFailed.
int WaitForEither(Handle first, Handle second, uint32_t timeoutMs);

}  // namespace platform
