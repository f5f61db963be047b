// mpgsource-server: the decoding server that MPGSource clips talk to. Runs in the foreground until
// asked to stop (tools/decode-server/stop_request.h), then removes its shared section and events.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/section.h"
#include "server/section_layout.h"
#include "tools/decode-server/decode_server.h"
#include "tools/decode-server/stop_request.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

void Usage(FILE* out) {
  std::fputs(
      "usage: mpgsource-server [--verbose] [--queue N]\n"
      "  Serves MPGSource clips through the shared section \"NVSharedMem\" until Ctrl+C (on\n"
      "  POSIX also SIGTERM or SIGHUP; on Windows also the event \"NVSharedMem.quit\").\n"
      "  --verbose   log each decode run (first GOP, units, pictures delivered)\n"
      "  --queue N   decoded pictures held ahead of the client (default 8)\n"
      "  The environment variable MPGSOURCE_IPC_NAMESPACE selects a separate set of objects.\n",
      out);
}

}  // namespace

int main(int argc, char** argv) {
  decode_server::ServerOptions options;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--verbose") == 0 || std::strcmp(argv[i], "-v") == 0) {
      options.verbose = true;
    } else if (std::strcmp(argv[i], "--queue") == 0 && i + 1 < argc) {
      char* end = nullptr;
      const long value = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || value < 1 || value > 1000) {
        std::fprintf(stderr, "mpgsource-server: --queue wants a number from 1 to 1000\n");
        return 2;
      }
      options.queuePictures = static_cast<size_t>(value);
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

  std::string error;
  if (!decode_server::PrepareStopRequests(&error)) {
    std::fprintf(stderr, "mpgsource-server: %s\n", error.c_str());
    return 1;
  }

  decode_server::DecodeServer server(options);
  if (!server.Start(&error)) {
    std::fprintf(stderr, "mpgsource-server: %s\n", error.c_str());
    return 1;
  }
  const char* space = std::getenv("MPGSOURCE_IPC_NAMESPACE");
  std::printf("mpgsource-server: serving \"%s\"%s%s%s; stop with Ctrl+C\n", server::kSectionName,
              space && *space ? " (namespace " : "", space && *space ? space : "",
              space && *space ? ")" : "");
  std::fflush(stdout);

  const std::string why = decode_server::WaitForStopRequest();
  platform::RemoveOwnedObjects();  // the names go first: no client can connect to a dying server
  server.Shutdown();
  std::printf("mpgsource-server: stopped (%s)\n", why.c_str());
  return 0;
}
