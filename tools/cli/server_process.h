// Finding and starting the decoding server for the command-line host. posix/ and win32/ hold the
// two systems' ways of starting, stopping and watching a process.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace cli {

// This program's folder with its trailing separator, or "" when it cannot be found.
std::string ProgramFolder();

// True while a live decoding server holds the shared section (in this process's IPC namespace).
bool ServerRunning();

// The server program: $MPGSOURCE_SERVER, else "mpgsource-server" (on Windows
// "mpgsource-server.exe") beside this program, else the name alone (looked up in PATH).
std::string ServerProgram();

// Runs the server in the foreground (`mpgsource server`): on POSIX this process becomes the
// server; on Windows the server runs as a child that shares the console, and its exit code is
// returned. Returns only on failure on POSIX, with the reason in `error`.
int RunServerInForeground(const std::vector<std::string>& serverArgs, std::string* error);

// A decoding server of this process's own, which no other process shares: it runs in an IPC
// namespace private to this process (MPGSOURCE_IPC_NAMESPACE, with ".cli<pid>" appended, is set
// for this process and the server), serves one client, and ends with this process whatever ends
// it: asked to stop and waited for on destruction; and when this process dies, on POSIX the
// kernel sends the server SIGTERM, on Windows the server sees this process end (and a job object
// ends it), so that it removes its shared objects in every case.
class StartedServer {
 public:
  StartedServer();
  ~StartedServer();
  StartedServer(const StartedServer&) = delete;
  StartedServer& operator=(const StartedServer&) = delete;

  // Starts the server and waits until its section is up (at most 10 s). False with a message when
  // it cannot be started or does not come up.
  bool Start(std::string* error);
  void Stop();
  bool running() const { return process_ != nullptr; }

 private:
  struct Process;  // the system's handle of the started server
  std::unique_ptr<Process> process_;
};

}  // namespace cli
