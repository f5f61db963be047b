// Unit hand-overs through the server link: the plugin's SendUnit ("NVExec" with the unit in the
// section, the server copies it out and answers "NVDone") against a real mpgsource-server, for a
// small unit and for a large one. The units are user data (00 00 01 B2 ...), which the server's
// decoder accepts and ignores, so the figure is the link's own cost.
//
//   link_roundtrip [SMALL_COUNT [LARGE_COUNT]]
//
// Prints one line of key=value pairs per unit size for scripts:
//   unit_bytes=B units=N per_s=R mb_s=M median_us=U p99_us=P
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/event.h"
#include "platform/thread.h"
#include "server-link/link.h"
#include "server-link/section_layout.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

bool Measure(server::Link& link, unsigned char* request, platform::Handle abort, size_t bytes,
             int count) {
  std::vector<unsigned char> unit(bytes, 0xFF);
  unit[0] = 0;
  unit[1] = 0;
  unit[2] = 1;
  unit[3] = 0xB2;
  // A few untimed hand-overs first.
  for (int i = 0; i < 50; ++i) {
    if (link.SendUnit(request, unit.data(), int32_t(bytes), abort) != server::kAnswered) {
      return false;
    }
  }
  std::vector<double> latencies(static_cast<size_t>(count));
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    const auto before = Clock::now();
    if (link.SendUnit(request, unit.data(), int32_t(bytes), abort) != server::kAnswered) {
      std::fprintf(stderr, "link_roundtrip: hand-over %d failed\n", i);
      return false;
    }
    latencies[size_t(i)] = std::chrono::duration<double>(Clock::now() - before).count();
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::sort(latencies.begin(), latencies.end());
  auto at = [&](double q) { return 1e6 * latencies[size_t(q * double(count - 1))]; };
  std::printf("unit_bytes=%zu units=%d per_s=%.0f mb_s=%.1f median_us=%.1f p99_us=%.1f\n", bytes,
              count, count / seconds, double(bytes) * count / seconds / 1e6, at(0.5), at(0.99));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int small = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20000;
  const int large = argc > 2 ? std::max(1, std::atoi(argv[2])) : 2000;
  if (!std::getenv("MPGSOURCE_IPC_NAMESPACE")) {
    const std::string space = "link_roundtrip_" + std::to_string(getpid());
    setenv("MPGSOURCE_IPC_NAMESPACE", space.c_str(), 1);
  }
  pid_t serverPid = -1;
  char* serverArgv[] = {const_cast<char*>(MPGSOURCE_SERVER_PATH), nullptr};
  if (posix_spawn(&serverPid, MPGSOURCE_SERVER_PATH, nullptr, nullptr, serverArgv, environ) != 0) {
    std::fprintf(stderr, "link_roundtrip: cannot start %s\n", MPGSOURCE_SERVER_PATH);
    return 1;
  }
  server::Link link;
  server::ConnectResult connected = server::kServerNotRunning;
  for (int tries = 0; tries < 500 && connected != server::kConnected; ++tries) {
    platform::Sleep(10);
    connected = link.Connect();
  }
  bool ok = connected == server::kConnected;
  if (!ok) std::fprintf(stderr, "link_roundtrip: cannot connect to the server\n");
  if (ok) {
    unsigned char* request = link.View() + server::kRequestOffset;
    platform::Handle abort = platform::CreateEvent(nullptr, false);
    ok = link.StartHandshake(request, 0, true, nullptr) == server::kAnswered &&
         Measure(link, request, abort, 64, small) &&
         Measure(link, request, abort, 256 * 1024, large);
    link.StopDecoding();
    link.Disconnect();
    platform::CloseHandle(abort);
  }
  kill(serverPid, SIGTERM);
  waitpid(serverPid, nullptr, 0);
  return ok ? 0 : 1;
}
