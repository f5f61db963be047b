// mpgsource-index: writes the project file for an MPEG-2 elementary or transport stream.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/indexer/indexer.h"

namespace {

// The usage text, on `out`: standard output when asked for, standard error after a mistake.
void Usage(FILE* out = stderr) {
  fprintf(out,
          "usage: %s [options] VIDEO PROJECT\n"
          "  --pid N          video PID of a transport stream (decimal or 0x hex)\n"
          "  --track N        MPEG-2 video track of a Matroska file (from 0, in track order)\n"
          "  --clip L,R,T,B   crop amounts written on the CLIP line\n"
          "  --lumfilt G,O    luminance correction (gamma, offset)\n"
          "  --force          replace a read-only PROJECT\n"
          "  --quiet          no progress display\n"
          "PROJECT is written to a temporary file renamed into place, never onto VIDEO, a\n"
          "link, a folder, a FIFO or a device.\n",
          indexer::kToolName);
}

// Flushes standard output: the help text that could not be written fails the program.
int FinishStdout() {
  errno = 0;
  if (fflush(stdout) == 0 && !ferror(stdout)) return 0;
  fprintf(stderr, "%s: could not write to standard output: %s\n", indexer::kToolName,
          strerror(errno != 0 ? errno : EIO));
  return 1;
}

// Reads `count` comma-separated integers. Each is decimal (an optional minus sign and digits; a
// leading 0 is no octal prefix); with `hex`, "0x" and hexadecimal digits are taken too.
bool ParseInts(const char* text, int* values, int count, bool hex = false) {
  for (int i = 0; i < count; ++i) {
    const bool negative = *text == '-';
    if (negative) ++text;
    int base = 10;
    if (hex && !negative && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
      base = 16;
      text += 2;
    }
    long v = 0;
    const char* digits = text;
    for (;; ++text) {
      int digit;
      if (*text >= '0' && *text <= '9') {
        digit = *text - '0';
      } else if (base == 16 && *text >= 'a' && *text <= 'f') {
        digit = *text - 'a' + 10;
      } else if (base == 16 && *text >= 'A' && *text <= 'F') {
        digit = *text - 'A' + 10;
      } else {
        break;
      }
      v = v * base + digit;
      if (v > 1000000) return false;
    }
    if (text == digits) return false;
    if (negative) v = -v;
    const char* end = text;
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
      if (!ParseInts(argv[++i], &pid, 1, true) || pid < 0) {
        fprintf(stderr, "%s: bad PID \"%s\"\n", indexer::kToolName, argv[i]);
        return 2;
      }
      options.pid = pid;
    } else if (arg == "--track" && hasValue) {
      int track;
      if (!ParseInts(argv[++i], &track, 1) || track < 0 || track > 31) {
        fprintf(stderr, "%s: bad track \"%s\"\n", indexer::kToolName, argv[i]);
        return 2;
      }
      options.track = track;
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
    } else if (arg == "--force") {
      options.force = true;
    } else if (arg == "-h" || arg == "--help") {
      Usage(stdout);
      return FinishStdout();
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
