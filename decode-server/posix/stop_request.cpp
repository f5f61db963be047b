#include "decode-server/stop_request.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace decode_server {

namespace {

sigset_t StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  return signals;
}

}  // namespace

bool PrepareStopRequests(std::string* error) {
  // The signals are taken by sigwait, never by a handler, so every thread can be blocked in a wait
  // when they arrive; threads started later inherit the mask.
  const sigset_t signals = StopSignals();
  const int result = pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  if (result != 0) {
    *error = std::string("cannot block the stop signals: ") + std::strerror(result);
    return false;
  }
  // A reader of our output that went away must not end the server before it has cleaned up.
  signal(SIGPIPE, SIG_IGN);
  return true;
}

// Sends this process SIGTERM once process `pid` has ended, so that the server stops as on any
// SIGTERM: names removed first, then the threads. Waits on a process descriptor; where the kernel
// has none (before Linux 5.3) it looks every 100 ms. The thread starts after the signal mask, so
// it never takes the signal itself.
void StopWhenProcessEnds(long pid) {
  const pid_t parent = static_cast<pid_t>(pid);
  std::thread([parent] {
#ifdef SYS_pidfd_open
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, parent, 0));
#else
    const int fd = -1;
#endif
    if (fd >= 0) {
      pollfd p{fd, POLLIN, 0};
      while (poll(&p, 1, -1) < 0 && errno == EINTR) {
      }
      close(fd);
    } else {
      while (kill(parent, 0) == 0 || errno == EPERM) usleep(100 * 1000);
    }
    kill(getpid(), SIGTERM);
  }).detach();
}

std::string WaitForStopRequest() {
  const sigset_t signals = StopSignals();
  int signal = 0;
  while (sigwait(&signals, &signal) != 0) {
  }
  return strsignal(signal);
}

}  // namespace decode_server
