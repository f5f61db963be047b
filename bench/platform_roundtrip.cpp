// Cross-process event round trips: one process sets "Ping" and waits for "Pong", the other waits
// for "Ping" and sets "Pong", as the plugin and the decoding server do for every unit and picture.
// Prints round trips per second and the latency spread, for WaitForEvent and WaitForEither.
//
// Usage: platform_roundtrip [round trips per run, default 20000]
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/event.h"
#include "platform/section.h"

using namespace platform;

namespace {

double NowUs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1e6 + now.tv_nsec / 1e3;
}

// The answering side: waits for "Ping" (alone, or together with "Quit") and answers with "Pong".
int Answer(bool either) {
  Handle ping = CreateEvent("Ping", false);
  Handle pong = CreateEvent("Pong", false);
  Handle quit = CreateEvent("Quit", true);
  for (;;) {
    const int result = either ? WaitForEither(quit, ping, 10000) : WaitForEvent(ping, 10000);
    if (result != kWaitObject1 && either) return result == kWaitObject0 ? 0 : 1;
    if (result != kWaitObject0 && !either) return 1;
    if (!either && WaitForEvent(quit, 0) == kWaitObject0) return 0;
    SetEvent(pong);
  }
}

bool Run(const char* label, bool either, int rounds) {
  Handle ping = CreateOwnedEvent("Ping", false);
  Handle pong = CreateOwnedEvent("Pong", false);
  Handle quit = CreateOwnedEvent("Quit", true);
  const pid_t child = fork();
  if (child == 0) _exit(Answer(either));
  std::vector<double> latencies;
  latencies.reserve(rounds);
  // A few untimed rounds let the child start up.
  for (int i = 0; i < 100; ++i) {
    SetEvent(ping);
    WaitForEvent(pong, 10000);
  }
  const double start = NowUs();
  for (int i = 0; i < rounds; ++i) {
    const double before = NowUs();
    SetEvent(ping);
    if (WaitForEvent(pong, 10000) != kWaitObject0) {
      std::fprintf(stderr, "%s: round trip %d timed out\n", label, i);
      return false;
    }
    latencies.push_back(NowUs() - before);
  }
  const double total = NowUs() - start;
  SetEvent(quit);
  SetEvent(ping);
  int status = 0;
  waitpid(child, &status, 0);
  for (Handle h : {ping, pong, quit}) CloseHandle(h);
  std::sort(latencies.begin(), latencies.end());
  auto at = [&](double q) { return latencies[static_cast<size_t>(q * (latencies.size() - 1))]; };
  std::printf(
      "%-14s %7d round trips  %9.0f per s  median %6.1f us  p90 %6.1f us  p99 %6.1f us  max %7.1f "
      "us\n",
      label, rounds, rounds / (total / 1e6), at(0.5), at(0.9), at(0.99), latencies.back());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20000;
  const std::string space = "bench." + std::to_string(getpid());
  setenv("MPGSOURCE_IPC_NAMESPACE", space.c_str(), 1);
  bool ok = Run("WaitForEvent", false, rounds);
  ok = Run("WaitForEither", true, rounds) && ok;
  RemoveOwnedObjects();
  return ok ? 0 : 1;
}
