// mpgsource-server: the decoding server that MPGSource clips talk to. Runs in the foreground until
// SIGINT, SIGTERM or SIGHUP, then removes its shared sections and events.
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/section.h"
#include "server/client_slots.h"
#include "server/section_layout.h"
#include "tools/decode-server/decode_server.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

void Usage(FILE* out) {
  std::fputs(
      "usage: mpgsource-server [--verbose] [--queue N] [--clients N] [--parent PID]\n"
      "  Serves MPGSource clips through the shared section \"NVSharedMem\" until SIGINT, SIGTERM\n"
      "  or SIGHUP.\n"
      "  --verbose    log each decode run (first GOP, units, pictures delivered)\n"
      "  --queue N    decoded pictures held ahead of the client (default 8)\n"
      "  --clients N  clients served at the same time, 1 to 16 (default 4): \"NVSharedMem\" and\n"
      "               \"NVSharedMem.1\" to \"NVSharedMem.<N-1>\"; a client beyond them is refused\n"
      "  --parent PID also stop (as on SIGTERM) once process PID has ended\n"
      "  The environment variable MPGSOURCE_IPC_NAMESPACE selects a separate set of objects.\n",
      out);
}

bool ParseCount(const char* text, long low, long high, long* value) {
  char* end = nullptr;
  errno = 0;
  *value = std::strtol(text, &end, 10);
  return *text != '\0' && *end == '\0' && errno == 0 && *value >= low && *value <= high;
}

// Sends this process SIGTERM once process `parent` has ended, so that the server stops as on any
// SIGTERM: names removed first, then the threads. Waits on a process descriptor; where the kernel
// has none (before Linux 5.3) it looks every 100 ms.
void StopWithParent(pid_t parent) {
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

}  // namespace

int main(int argc, char** argv) {
  decode_server::ServerOptions options;
  int clients = server::kDefaultClientSlots;
  pid_t parent = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--verbose") == 0 || std::strcmp(argv[i], "-v") == 0) {
      options.verbose = true;
    } else if (std::strcmp(argv[i], "--queue") == 0 && i + 1 < argc) {
      long value = 0;
      if (!ParseCount(argv[++i], 1, 1000, &value)) {
        std::fprintf(stderr, "mpgsource-server: --queue wants a number from 1 to 1000\n");
        return 2;
      }
      options.queuePictures = static_cast<size_t>(value);
    } else if (std::strcmp(argv[i], "--clients") == 0 && i + 1 < argc) {
      long value = 0;
      if (!ParseCount(argv[++i], 1, server::kMaxClientSlots, &value)) {
        std::fprintf(stderr, "mpgsource-server: --clients wants a number from 1 to %d\n",
                     server::kMaxClientSlots);
        return 2;
      }
      clients = static_cast<int>(value);
    } else if (std::strcmp(argv[i], "--parent") == 0 && i + 1 < argc) {
      long value = 0;
      if (!ParseCount(argv[++i], 1, 0x7fffffff, &value)) {
        std::fprintf(stderr, "mpgsource-server: --parent wants a process id\n");
        return 2;
      }
      parent = static_cast<pid_t>(value);
    } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      Usage(stdout);
      return 0;
    } else {
      std::fprintf(stderr, "mpgsource-server: unknown argument \"%s\"\n", argv[i]);
      Usage(stderr);
      return 2;
    }
  }
  av_log_set_level(options.verbose ? AV_LOG_ERROR : AV_LOG_QUIET);

  // The signals are taken by sigwait below, never by a handler, so every thread can be blocked in
  // a wait when they arrive; threads started later inherit the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  // A reader of our output that went away must not end the server before it has cleaned up.
  signal(SIGPIPE, SIG_IGN);

  // One server per slot, made from the highest slot down: slot 0 comes last, so a client that
  // finds it finds every slot. A slot that cannot be made stops the whole server (the slots made
  // so far are removed as their servers end).
  std::vector<std::unique_ptr<decode_server::DecodeServer>> servers(clients);
  for (int slot = clients - 1; slot >= 0; --slot) {
    decode_server::ServerOptions slotOptions = options;
    slotOptions.slot = slot;
    servers[slot] = std::make_unique<decode_server::DecodeServer>(slotOptions);
    std::string error;
    if (!servers[slot]->Start(&error)) {
      std::fprintf(stderr, "mpgsource-server: %s\n", error.c_str());
      return 1;
    }
  }
  // Started after the signal mask, so the watching thread never takes the signal itself.
  if (parent > 0) StopWithParent(parent);
  const char* space = std::getenv("MPGSOURCE_IPC_NAMESPACE");
  std::printf("mpgsource-server: serving \"%s\"%s%s%s for up to %d client%s; stop with Ctrl+C\n",
              server::kSectionName, space && *space ? " (namespace " : "",
              space && *space ? space : "", space && *space ? ")" : "", clients,
              clients == 1 ? "" : "s");
  std::fflush(stdout);

  int signal = 0;
  sigwait(&signals, &signal);
  platform::RemoveOwnedObjects();  // the names go first: no client can connect to a dying server
  for (auto& server : servers) server->Shutdown();
  std::printf("mpgsource-server: stopped (%s)\n", strsignal(signal));
  return 0;
}
