#include "tools/decode-server/stop_request.h"

#include <signal.h>

#include <cstring>

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
  return true;
}

std::string WaitForStopRequest() {
  const sigset_t signals = StopSignals();
  int signal = 0;
  while (sigwait(&signals, &signal) != 0) {
  }
  return strsignal(signal);
}

}  // namespace decode_server
