// Events are Win32 events: the semantics the callers rely on (automatic reset releasing one
// waiter, the first of two set events winning a wait for either) are the kernel's own.
#include "platform/event.h"

#include <string>

#include "platform/win32/handle_object.h"

namespace platform {

namespace {

Handle Wrap(HANDLE h) {
  if (!h) return nullptr;
  HandleObject* event = new HandleObject(HandleObject::Kind::kEvent);
  event->handle = h;
  return event;
}

int WaitResult(DWORD result, DWORD count) {
  if (result == WAIT_TIMEOUT) return kWaitTimeout;
  if (result < WAIT_OBJECT_0 + count) return static_cast<int>(result - WAIT_OBJECT_0);
  return kWaitFailed;
}

bool IsEvent(Handle h) {
  return h && h->kind == HandleObject::Kind::kEvent;
}

}  // namespace

Handle CreateEvent(const char* name, bool manualReset) {
  if (!name) return Wrap(::CreateEventA(nullptr, manualReset, FALSE, nullptr));
  char objectName[MAX_PATH + 1];
  if (!win32::KernelObjectName(name, nullptr, objectName, sizeof objectName)) return nullptr;
  return Wrap(::CreateEventA(nullptr, manualReset, FALSE, objectName));
}

Handle CreateOwnedEvent(const char* name, bool manualReset, std::string* error) {
  char objectName[MAX_PATH + 1];
  if (!win32::KernelObjectName(name, nullptr, objectName, sizeof objectName)) {
    if (error) *error = std::string("invalid event name \"") + (name ? name : "") + "\"";
    return nullptr;
  }
  HANDLE h = ::CreateEventA(nullptr, manualReset, FALSE, objectName);
  const DWORD status = ::GetLastError();
  if (!h) {
    if (error) {
      *error = std::string("cannot create the event \"") + objectName + "\" (Windows error " +
               std::to_string(status) + ")";
    }
    return nullptr;
  }
  // An event kept alive by a client of an earlier owner cannot be replaced (a kernel object lives
  // as long as any handle); it starts afresh not signalled instead.
  if (status == ERROR_ALREADY_EXISTS) ::ResetEvent(h);
  return Wrap(h);
}

Handle OpenOwnedEvent(const char* name, std::string* error) {
  if (error) error->clear();
  char objectName[MAX_PATH + 1];
  if (!win32::KernelObjectName(name, nullptr, objectName, sizeof objectName)) {
    if (error) *error = std::string("invalid event name \"") + (name ? name : "") + "\"";
    return nullptr;
  }
  HANDLE h = ::OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, objectName);
  const DWORD status = ::GetLastError();
  if (!h && error && status != ERROR_FILE_NOT_FOUND) {
    *error = std::string("cannot open the event \"") + objectName + "\" (Windows error " +
             std::to_string(status) + ")";
  }
  return Wrap(h);
}

void SetEvent(Handle event) {
  if (IsEvent(event)) ::SetEvent(event->handle);
}

void ResetEvent(Handle event) {
  if (IsEvent(event)) ::ResetEvent(event->handle);
}

int WaitForEvent(Handle event, uint32_t timeoutMs) {
  if (!IsEvent(event)) return kWaitFailed;
  return WaitResult(::WaitForSingleObject(event->handle, timeoutMs), 1);
}

int WaitForEither(Handle first, Handle second, uint32_t timeoutMs) {
  if (!IsEvent(first) || !IsEvent(second)) return kWaitFailed;
  // With bWaitAll FALSE the kernel reports (and consumes) the lowest-numbered signalled object
  // only, so `first` wins when both are set.
  const HANDLE both[2] = {first->handle, second->handle};
  return WaitResult(::WaitForMultipleObjects(2, both, FALSE, timeoutMs), 2);
}

}  // namespace platform
