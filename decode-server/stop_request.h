// How the decoding server learns that it must stop. On POSIX: SIGINT, SIGTERM or SIGHUP. On
// Windows: Ctrl+C or Ctrl+Break in its console, the console closing, the user logging off or the
// system shutting down, or the named event kQuitEventName (in the server's IPC namespace) being
// set, which is how a program that started the server in the background stops it.
#pragma once

#include <string>

namespace decode_server {

// The manual-reset event that asks a server on Windows to stop.
constexpr const char* kQuitEventName = "NVSharedMem.quit";

// Prepares the process for WaitForStopRequest. Call it before any thread starts (on POSIX the
// threads inherit the blocked signals, so that only WaitForStopRequest takes them). False, with
// the reason in `error`, when the process cannot be prepared.
bool PrepareStopRequests(std::string* error);

// Also requests a stop once process `pid` has ended (the program that started this server), from
// a thread of its own. Call it after PrepareStopRequests.
void StopWhenProcessEnds(long pid);

// Waits until a stop is requested; returns what asked for it ("SIGTERM", "Ctrl+C", ...).
std::string WaitForStopRequest();

}  // namespace decode_server
