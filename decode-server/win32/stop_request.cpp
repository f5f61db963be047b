// A console control handler and the named quit event both wake the main thread through events;
// the handler runs on a thread of its own that the system starts.
#include "decode-server/stop_request.h"

#include <windows.h>
#undef CreateEvent  // windows.h's A/W macro; the platform layer's function has this name

#include "platform/event.h"
#include "platform/handle.h"

namespace decode_server {

namespace {

platform::Handle g_console = nullptr;  // private, manual: a console event arrived
platform::Handle g_quit = nullptr;     // named, manual: kQuitEventName
volatile LONG g_consoleEvent = -1;     // which one, or kParentEnded

constexpr LONG kParentEnded = 0x7fff;

DWORD WINAPI WatchProcess(void* process) {
  ::WaitForSingleObject(static_cast<HANDLE>(process), INFINITE);
  ::CloseHandle(static_cast<HANDLE>(process));
  InterlockedExchange(&g_consoleEvent, kParentEnded);
  platform::SetEvent(g_console);
  return 0;
}

BOOL WINAPI OnConsoleEvent(DWORD type) {
  InterlockedExchange(&g_consoleEvent, static_cast<LONG>(type));
  platform::SetEvent(g_console);
  // For a closing console, log-off and shutdown the process ends when the handler returns: give
  // the main thread a moment to stop the server first. It ends the process itself when done.
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
    ::Sleep(5000);
  }
  return TRUE;
}

}  // namespace

bool PrepareStopRequests(std::string* error) {
  g_console = platform::CreateEvent(nullptr, true);
  g_quit = platform::CreateEvent(kQuitEventName, true);
  if (!g_console || !g_quit) {
    *error = std::string("cannot create the event \"") + kQuitEventName + "\"";
    return false;
  }
  // A request left set for a server that has gone is not meant for this one.
  platform::ResetEvent(g_quit);
  if (!::SetConsoleCtrlHandler(OnConsoleEvent, TRUE)) {
    *error = "cannot install the console control handler (Windows error " +
             std::to_string(::GetLastError()) + ")";
    return false;
  }
  return true;
}

void StopWhenProcessEnds(long pid) {
  HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (!process) {
    // Gone already (or never there): stop at once, as when it ends.
    InterlockedExchange(&g_consoleEvent, kParentEnded);
    platform::SetEvent(g_console);
    return;
  }
  HANDLE thread = ::CreateThread(nullptr, 0, WatchProcess, process, 0, nullptr);
  if (thread) {
    ::CloseHandle(thread);
  } else {
    ::CloseHandle(process);
  }
}

std::string WaitForStopRequest() {
  const int woken = platform::WaitForEither(g_console, g_quit, platform::kInfinite);
  if (woken != platform::kWaitObject0) return "quit event";
  switch (g_consoleEvent) {
    case CTRL_C_EVENT:
      return "Ctrl+C";
    case CTRL_BREAK_EVENT:
      return "Ctrl+Break";
    case CTRL_CLOSE_EVENT:
      return "console closed";
    case kParentEnded:
      return "the starting process ended";
    default:
      return "log-off or shutdown";
  }
}

}  // namespace decode_server
