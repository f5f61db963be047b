#include "tools/cli/options.h"

#include <cstdlib>

namespace cli {
namespace {

// A decimal integer: an optional minus sign and digits, nothing else (a leading 0 is no octal
// prefix). With `hex`, "0x" or "0X" and hexadecimal digits are taken too, as PIDs are written.
bool ParseInt(const std::string& text, int* value, bool hex = false) {
  size_t i = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) ++i;
  int base = 10;
  if (hex && !negative && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    i = 2;
  }
  if (i >= text.size()) return false;
  long long v = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    v = v * base + digit;
    if (v > 2147483647LL) return false;
  }
  *value = static_cast<int>(negative ? -v : v);
  return true;
}

// "a,b,c,d" into exactly `count` integers.
bool ParseInts(const std::string& text, int* values, int count) {
  size_t start = 0;
  for (int i = 0; i < count; ++i) {
    size_t comma = text.find(',', start);
    if ((comma == std::string::npos) != (i == count - 1)) return false;
    if (!ParseInt(text.substr(start, comma - start), &values[i])) return false;
    start = comma + 1;
  }
  return true;
}

const char* const kOutputHelp =
    "A file is written under a temporary name and renamed into place once complete, so a\n"
    "run that fails leaves none; it never replaces what the run reads (the video, the\n"
    "project, through any link), a link, a folder, a FIFO or a device.\n";

const char* const kClipHelp =
    "CLIP options:\n"
    "  --deinterlace N   0 frames as coded, 1 one picture per frame from one field,\n"
    "                    2 both fields (double rate and frame count)\n"
    "  --i420            label the output I420 instead of YV12 (same bytes)\n"
    "  --yv12            serve 4:2:2 video as 4:2:0 (YV12, or I420 with --i420), converted\n"
    "                    field by field as ffmpeg -vf scale=interl=-1 -pix_fmt yuv420p does;\n"
    "                    without it 4:2:2 video is served as YUY2 (packed 4:2:2)\n"
    "  --bottom-field    with --deinterlace 1, make each picture from the bottom field\n"
    "  --no-server       start no decoding server of this run's own: share the one running\n";

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, Options* options, std::string* error) {
  *options = Options();
  size_t i = 0;
  if (args.empty()) {
    *error = "no command given (try mpgsource --help)";
    return false;
  }
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    options->help = true;
    if (args.size() > 1) options->command = args[1];
    return true;
  }
  options->command = args[i++];
  const std::string& cmd = options->command;
  if (cmd != "index" && cmd != "server" && cmd != "info" && cmd != "pipe" && cmd != "hash") {
    *error = "unknown command \"" + cmd + "\" (try mpgsource --help)";
    return false;
  }
  bool takesClip = cmd == "info" || cmd == "pipe" || cmd == "hash";
  for (; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= args.size()) {
        *error = "option " + a + " needs a value";
        return false;
      }
      *out = args[++i];
      return true;
    };
    std::string v;
    if (a == "--help" || a == "-h") {
      options->help = true;
    } else if (a == "--verbose" && cmd == "server") {
      options->verbose = true;
    } else if (a == "-o" && (cmd == "index" || cmd == "pipe")) {
      if (!value(&options->output)) return false;
      if (options->output.empty()) {
        *error = "-o needs a file name, not an empty one";
        return false;
      }
    } else if (a == "--force" && (cmd == "index" || cmd == "pipe")) {
      options->force = true;
    } else if (a == "--pid" && cmd == "index") {
      if (!value(&v)) return false;
      if (!ParseInt(v, &options->pid, true) || options->pid < 0 || options->pid > 8191) {
        *error = "--pid needs a PID from 0 to 8191, decimal or hexadecimal with 0x";
        return false;
      }
    } else if (a == "--track" && cmd == "index") {
      if (!value(&v)) return false;
      if (!ParseInt(v, &options->track) || options->track < 0 || options->track > 31) {
        *error = "--track needs a Matroska track number from 0 to 31 (as --list shows it)";
        return false;
      }
    } else if (a == "--crop" && cmd == "index") {
      if (!value(&v)) return false;
      if (!ParseInts(v, options->crop, 4)) {
        *error = "--crop needs four integers L,R,T,B";
        return false;
      }
    } else if (a == "--lumfilt" && cmd == "index") {
      if (!value(&v)) return false;
      if (!ParseInts(v, options->lumfilt, 2)) {
        *error = "--lumfilt needs two integers GAMMA,OFFSET";
        return false;
      }
    } else if (a == "--timestamps" && cmd == "index") {
      if (!value(&options->timestamps)) return false;
      if (options->timestamps.empty()) {
        *error = "--timestamps needs a file name, not an empty one";
        return false;
      }
    } else if (a == "--list" && cmd == "index") {
      options->list = true;
    } else if (a == "--json" && cmd == "info") {
      options->json = true;
    } else if (a == "--frames" && (cmd == "pipe" || cmd == "hash")) {
      if (!value(&options->frames)) return false;
    } else if (takesClip && a == "--deinterlace") {
      if (!value(&v)) return false;
      if (!ParseInt(v, &options->clip.deinterlace) || options->clip.deinterlace < 0 ||
          options->clip.deinterlace > 2) {
        *error = "--deinterlace needs 0, 1 or 2";
        return false;
      }
    } else if (takesClip && a == "--i420") {
      options->clip.i420 = true;
    } else if (takesClip && a == "--yv12") {
      options->clip.yv12 = true;
    } else if (takesClip && a == "--bottom-field") {
      options->clip.bottomField = true;
    } else if (takesClip && a == "--no-server") {
      options->noServer = true;
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      *error = "unknown option " + a + " for " + cmd + " (try mpgsource " + cmd + " --help)";
      return false;
    } else if (options->input.empty() && cmd != "server") {
      options->input = a;
    } else {
      *error = "unexpected argument \"" + a + "\"";
      return false;
    }
  }
  if (!options->help && cmd != "server" && options->input.empty()) {
    *error = cmd + " needs " + (cmd == "index" ? "a VIDEO file" : "a PROJECT file");
    return false;
  }
  return true;
}

std::string HelpText(const std::string& command) {
  if (command == "index") {
    return "usage: mpgsource index VIDEO [-o PROJECT] [--pid N] [--track N] [--crop L,R,T,B] "
           "[--lumfilt GAMMA,OFFSET] [--timestamps FILE] [--force]\n"
           "       mpgsource index VIDEO --list\n"
           "Indexes an MPEG-2 elementary stream, transport stream (188- or 192-byte packets) or\n"
           "Matroska file and writes the project file (default: VIDEO with the extension .vnt).\n"
           "  --pid N            the transport stream's video PID, decimal or hexadecimal with\n"
           "                     0x (481 or 0x1E1; default: the first MPEG-2 video stream of\n"
           "                     the first program that has one, in PAT order)\n"
           "  --track N          the Matroska file's MPEG-2 video track, numbered from 0 in\n"
           "                     the file's track list as --list shows it (default: the\n"
           "                     first MPEG-2 video track)\n"
           "  --crop L,R,T,B     crop amounts written into the project (left, right, top, bottom)\n"
           "  --lumfilt G,O      luminance correction: gamma and offset\n"
           "  --timestamps FILE  also write each frame's time (mkvmerge timestamp format v2)\n"
           "  --list             list the programs and streams of VIDEO and write nothing\n"
           "  --force            replace a read-only PROJECT or timestamps FILE\n" +
           std::string(kOutputHelp);
  }
  if (command == "server") {
    return "usage: mpgsource server [--verbose]\n"
           "Runs the decoding server in the foreground until interrupted (Ctrl-C).\n"
           "  --verbose          log each decode run\n";
  }
  if (command == "info") {
    return std::string(
               "usage: mpgsource info PROJECT [--json] [CLIP]\n"
               "Prints width, height, frame rate, frame count, parity, pixel type and the\n"
               "video's chroma format (4:2:0 or 4:2:2).\n"
               "  --json             as one JSON object\n") +
           kClipHelp;
  }
  if (command == "pipe") {
    return std::string(
               "usage: mpgsource pipe PROJECT [-o FILE|-] [--force] [--frames LIST] [CLIP]\n"
               "Writes the frames as a YUV4MPEG2 stream (default, and -o -: standard output):\n"
               "C420mpeg2 for YV12 and I420 frames, C422 (planar) for YUY2 frames.\n"
               "  --frames LIST      comma-separated frame numbers and ranges a-b, served\n"
               "                     in the order given (default: all)\n"
               "  --force            replace a read-only FILE\n") +
           kOutputHelp + kClipHelp;
  }
  if (command == "hash") {
    return std::string(
               "usage: mpgsource hash PROJECT [--frames LIST] [CLIP]\n"
               "Prints one line per frame, \"<n> <md5>\": for YV12 and I420 frames the MD5 of\n"
               "the visible Y rows, then U, then V, packed (what ffmpeg -f framemd5 -pix_fmt\n"
               "yuv420p prints); for YUY2 frames (4:2:2 video) the MD5 of the packed rows\n"
               "(what ffmpeg -f framemd5 -pix_fmt yuyv422 prints).\n"
               "  --frames LIST      comma-separated frame numbers and ranges a-b, served\n"
               "                     in the order given (default: all)\n") +
           kClipHelp;
  }
  return "usage: mpgsource COMMAND ...\n"
         "A host for the MPGSource plugin (VantuDecodeNV): frame-accurate MPEG-2 serving.\n"
         "\n"
         "  mpgsource index VIDEO [-o PROJECT] [--pid N] [--crop L,R,T,B] [--lumfilt "
         "GAMMA,OFFSET]\n"
         "  mpgsource server                        decoding server in the foreground\n"
         "  mpgsource info PROJECT [--json] [CLIP]  width, height, fps, frames, parity, pixel "
         "type\n"
         "  mpgsource pipe PROJECT [-o FILE|-] [--frames LIST] [CLIP]    YUV4MPEG2 stream\n"
         "  mpgsource hash PROJECT [--frames LIST] [CLIP]                one line per frame\n"
         "\n"
         "CLIP:  --deinterlace N  --i420  --yv12  --bottom-field  --no-server\n"
         "LIST:  comma-separated frame numbers and ranges a-b, served in the order given\n"
         "Numbers are decimal; a PID may also be written in hexadecimal with 0x.\n"
         "\n"
         "info, pipe and hash start a decoding server of their own, private to the run and\n"
         "ended with it however it ends; with --no-server they share the server already running\n"
         "($MPGSOURCE_IPC_NAMESPACE selects which). The plugin is VantuDecodeNV.so beside this\n"
         "program or in ../lib/avisynth from it (on Windows VantuDecodeNV.dll beside it;\n"
         "$MPGSOURCE_PLUGIN overrides), the server mpgsource-server beside this program\n"
         "($MPGSOURCE_SERVER overrides).\n"
         "Run mpgsource COMMAND --help for each command's options.\n";
}

}  // namespace cli
