// Opaque handles for the platform objects (sections, events, threads) and the Win32-style
// wait results. Callers never see what lies behind a handle.
#pragma once

#include <cstdint>

namespace platform {

struct HandleObject;
using Handle = HandleObject*;

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// Results of the wait functions.
constexpr int kWaitObject0 = 0;  // the first (or only) object ended the wait
constexpr int kWaitObject1 = 1;  // the second object ended the wait
constexpr int kWaitTimeout = 258;
constexpr int kWaitFailed = -1;

// Releases any handle made by this layer (section, event or thread). Null is ignored.
// A wait already in progress on the handle in another thread keeps the object alive until it ends
// (by its time-out, or when another process sets the named event); a call that starts after the
// close is an error, so join a thread before closing the handles it uses.
void CloseHandle(Handle handle);

}  // namespace platform
