#include "platform/thread.h"

#include <new>

#include "platform/win32/handle_object.h"

namespace platform {

namespace {

struct ThreadStart {
  ThreadFunction function;
  void* argument;
};

DWORD WINAPI Trampoline(LPVOID start) {
  const ThreadStart s = *static_cast<ThreadStart*>(start);
  delete static_cast<ThreadStart*>(start);
  return s.function(s.argument);
}

}  // namespace

Handle StartThread(ThreadFunction function, void* argument, bool raisedPriority) {
  if (!function) return nullptr;
  ThreadStart* start = new (std::nothrow) ThreadStart{function, argument};
  if (!start) return nullptr;
  HANDLE h = ::CreateThread(nullptr, 0, Trampoline, start, 0, nullptr);
  if (!h) {
    delete start;
    return nullptr;
  }
  if (raisedPriority) ::SetThreadPriority(h, THREAD_PRIORITY_HIGHEST);
  HandleObject* thread = new HandleObject(HandleObject::Kind::kThread);
  thread->handle = h;
  return thread;
}

int WaitForThread(Handle thread, uint32_t timeoutMs) {
  if (!thread || thread->kind != HandleObject::Kind::kThread) return kWaitFailed;
  const DWORD result = ::WaitForSingleObject(thread->handle, timeoutMs);
  if (result == WAIT_OBJECT_0) return kWaitObject0;
  return result == WAIT_TIMEOUT ? kWaitTimeout : kWaitFailed;
}

void Sleep(uint32_t ms) {
  ::Sleep(ms);
}

void PollPause(uint32_t ms, uint32_t) {
  ::Sleep(ms);
}

uint32_t timeGetTime() {
  return ::timeGetTime();
}

uint32_t CurrentProcessId() {
  return static_cast<uint32_t>(::GetCurrentProcessId());
}

}  // namespace platform
