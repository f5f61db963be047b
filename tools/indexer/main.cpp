// mpgsource-index: writes the project file for an MPEG-2 elementary or transport stream.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/indexer/indexer.h"

namespace {

void Usage() {
  fprintf(stderr,
          "usage: %s [options] VIDEO PROJECT\n"
          "  --pid N          video PID of a transport stream (decimal or 0x hex)\n"
          "  --clip L,R,T,B   crop amounts written on the CLIP line\n"
          "  --lumfilt G,O    luminance correction (gamma, offset)\n"
          "  --quiet          no progress display\n",
          indexer::kToolName);
}

bool ParseInts(const char* text, int* values, int count) {
  for (int i = 0; i < count; ++i) {
    char* end = nullptr;
    long v = strtol(text, &end, 0);
    if (end == text || v < -1000000 || v > 1000000) return false;
    values[i] = static_cast<int>(v);
    if (i + 1 < count) {
      if (*end != ',') return false;
      text = end + 1;
    } else if (*end != '\0') {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  indexer::IndexOptions options;
  std::string positional[2];
  int positionals = 0;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    bool hasValue = i + 1 < argc;
    if (arg == "--pid" && hasValue) {
      int pid;
      if (!ParseInts(argv[++i], &pid, 1) || pid < 0) {
        fprintf(stderr, "%s: bad PID \"%s\"\n", indexer::kToolName, argv[i]);
        return 2;
      }
      options.pid = pid;
    } else if (arg == "--clip" && hasValue) {
      int v[4];
      if (!ParseInts(argv[++i], v, 4)) {
        fprintf(stderr, "%s: bad crop amounts \"%s\"\n", indexer::kToolName, argv[i]);
        return 2;
      }
      options.clipLeft = v[0], options.clipRight = v[1], options.clipTop = v[2];
      options.clipBottom = v[3];
    } else if (arg == "--lumfilt" && hasValue) {
      int v[2];
      if (!ParseInts(argv[++i], v, 2)) {
        fprintf(stderr, "%s: bad luminance correction \"%s\"\n", indexer::kToolName, argv[i]);
        return 2;
      }
      options.lumGamma = v[0], options.lumOffset = v[1];
    } else if (arg == "--quiet") {
      options.progress = false;
    } else if (arg == "-h" || arg == "--help") {
      Usage();
      return 0;
    } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
      Usage();
      return 2;
    } else if (positionals < 2) {
      positional[positionals++] = arg;
    } else {
      Usage();
      return 2;
    }
  }
  if (positionals != 2) {
    Usage();
    return 2;
  }
  options.videoPath = positional[0];
  options.projectPath = positional[1];
  std::string error;
  int result = indexer::WriteProject(options, &error);
  if (result != indexer::kIndexOk) {
    fprintf(stderr, "%s: %s\n", indexer::kToolName, error.c_str());
    return 1;
  }
  return 0;
}
