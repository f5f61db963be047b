// mpgsource-server: the decoding server that MPGSource clips talk to. Runs in the foreground until
// asked to stop (decode-server/stop_request.h), then removes its shared sections and events.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "decode-server/decode_server.h"
#include "decode-server/stop_request.h"
#include "platform/section.h"
#include "server-link/client_slots.h"
#include "server-link/section_layout.h"
#include "tools/command_line/command_line.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

extern "C" {
#include <libavutil/log.h>
}

// Every slot's section and five events must be known to RemoveOwnedObjects, which removes the
// names first when the server stops.
static_assert(server::kMaxClientSlots * 6 <= platform::kMaxOwnedObjects,
              "the removal list covers every slot");

namespace {

// Every seek starts a run with a new decoder, whose picture buffers (megabytes) the previous run
// has just freed. By default the C library gives such blocks back to the system at once (each is
// mapped on its own, and the heap is trimmed), so every run pays again for fresh, zeroed pages:
// on small pictures that is a third of a random access. The server keeps freed memory for reuse
// instead; what it holds stays about one run's worth per client.
void KeepFreedMemory() {
#ifdef __GLIBC__
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
#endif
}

void Usage(FILE* out) {
  std::fputs(
      "usage: mpgsource-server [--verbose] [--queue N] [--clients N] [--parent PID] [--one-unit]\n"
      "                        [--copy-pictures]\n"
      "  Serves MPGSource clips through the shared section \"NVSharedMem\" until Ctrl+C (on POSIX\n"
      "  also SIGTERM or SIGHUP; on Windows also the event \"NVSharedMem.quit\").\n"
      "  --verbose    log each decode run (first GOP, units, pictures delivered)\n"
      "  --queue N    decoded pictures held ahead of the client (default 8)\n"
      "  --clients N  clients served at the same time, 1 to 16 (default 4): \"NVSharedMem\" and\n"
      "               \"NVSharedMem.1\" to \"NVSharedMem.<N-1>\"; a client beyond them is refused\n"
      "  --parent PID also stop once process PID has ended; quiet about start and stop\n"
      "  --one-unit   take one unit per request from every client, as from a client that does\n"
      "               not offer batches (for comparisons and troubleshooting)\n"
      "  --copy-pictures  copy every picture into the shared section, as for a client that does\n"
      "               not take pictures where they are decoded (for comparisons and "
      "troubleshooting)\n"
      "  The environment variable MPGSOURCE_IPC_NAMESPACE selects a separate set of objects.\n",
      out);
  std::fputs(command_line::kConventionsHelp, out);
}

bool ParseCount(const char* text, long low, long high, long* value) {
  long long number = 0;
  if (!command_line::ParseNumber(text, low, high, &number)) return false;
  *value = static_cast<long>(number);
  return true;
}

// Prints `text` on standard output; text that could not be written (a full disk, a closed
// pipe) fails the program.
int PrintAndFinish(const char* text) {
  errno = 0;
  if (std::fputs(text, stdout) >= 0 && std::fflush(stdout) == 0 && !std::ferror(stdout)) return 0;
  std::fprintf(stderr, "mpgsource-server: could not write to standard output: %s\n",
               std::strerror(errno != 0 ? errno : EIO));
  return command_line::kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
  decode_server::ServerOptions options;
  int clients = server::kDefaultClientSlots;
  long parent = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--verbose") == 0 || std::strcmp(argv[i], "-v") == 0) {
      options.verbose = true;
    } else if (std::strcmp(argv[i], "--one-unit") == 0) {
      options.oneUnit = true;
    } else if (std::strcmp(argv[i], "--copy-pictures") == 0) {
      options.copyPictures = true;
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
      parent = value;
    } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      Usage(stdout);
      return PrintAndFinish("");
    } else if (std::strcmp(argv[i], "--version") == 0) {
      return PrintAndFinish(command_line::VersionText("mpgsource-server").c_str());
    } else {
      std::fprintf(stderr, "mpgsource-server: unknown argument \"%s\"\n", argv[i]);
      Usage(stderr);
      return 2;
    }
  }
  av_log_set_level(options.verbose ? AV_LOG_ERROR : AV_LOG_QUIET);
  KeepFreedMemory();

  std::string error;
  if (!decode_server::PrepareStopRequests(&error)) {
    std::fprintf(stderr, "mpgsource-server: %s\n", error.c_str());
    return 1;
  }

  // One server per slot, made from the highest slot down: slot 0 comes last, so a client that
  // finds it finds every slot. A slot that cannot be made stops the whole server (the slots made
  // so far are removed as their servers end).
  std::vector<std::unique_ptr<decode_server::DecodeServer>> servers(clients);
  for (int slot = clients - 1; slot >= 0; --slot) {
    decode_server::ServerOptions slotOptions = options;
    slotOptions.slot = slot;
    servers[slot] = std::make_unique<decode_server::DecodeServer>(slotOptions);
    if (!servers[slot]->Start(&error)) {
      std::fprintf(stderr, "mpgsource-server: %s\n", error.c_str());
      return 1;
    }
  }
  if (parent > 0) decode_server::StopWhenProcessEnds(parent);
  // A server private to a parent's run (a command-line host started it) says nothing of its start
  // and stop unless --verbose; its errors still go to stderr.
  const bool announce = parent <= 0 || options.verbose;
  const char* space = std::getenv("MPGSOURCE_IPC_NAMESPACE");
  if (announce) {
    std::printf("mpgsource-server: serving \"%s\"%s%s%s for up to %d client%s; stop with Ctrl+C\n",
                server::kSectionName, space && *space ? " (namespace " : "",
                space && *space ? space : "", space && *space ? ")" : "", clients,
                clients == 1 ? "" : "s");
    std::fflush(stdout);
  }

  const std::string why = decode_server::WaitForStopRequest();
  platform::RemoveOwnedObjects();  // the names go first: no client can connect to a dying server
  for (auto& server : servers) server->Shutdown();
  if (announce) std::printf("mpgsource-server: stopped (%s)\n", why.c_str());
  return 0;
}
