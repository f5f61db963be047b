// Finding and starting the decoding server for the command-line host.
#pragma once

#include <sys/types.h>

#include <string>

namespace cli {

// True while a live decoding server holds the shared section.
bool ServerRunning();

// The server program: $MPGSOURCE_SERVER, else "mpgsource-server" beside this program, else the
// name alone (looked up in PATH).
std::string ServerProgram();

// A decoding server started by this process; stopped (SIGTERM, then waited for) on destruction.
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
