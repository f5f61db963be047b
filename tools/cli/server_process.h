// Finding and starting the decoding server for the command-line host.
#pragma once

#include <sys/types.h>

#include <string>

namespace cli {

// True while a live decoding server holds the shared section (in this process's IPC namespace).
bool ServerRunning();

// The server program: $MPGSOURCE_SERVER, else "mpgsource-server" beside this program, else the
// name alone (looked up in PATH).
std::string ServerProgram();

// A decoding server of this process's own, which no other process shares: it runs in an IPC
// namespace private to this process (MPGSOURCE_IPC_NAMESPACE, with ".cli<pid>" appended, is set
// for this process and the server), serves one client, and ends with this process whatever ends
// it: stopped (SIGTERM, then waited for) on destruction, and sent SIGTERM by the kernel when this
// process dies, so that it removes its shared objects in every case.
class StartedServer {
 public:
  StartedServer() = default;
  ~StartedServer();
  StartedServer(const StartedServer&) = delete;
  StartedServer& operator=(const StartedServer&) = delete;

  // Starts the server and waits until its section is up (at most 10 s). False with a message when
  // it cannot be started or does not come up.
  bool Start(std::string* error);
  void Stop();
  bool running() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

}  // namespace cli
