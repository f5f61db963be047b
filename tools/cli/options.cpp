#include "tools/cli/options.h"

#include <climits>
#include <string>
#include <utility>

#include "tools/command_line/command_line.h"

namespace cli {
namespace {

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
  if (args[0] == "--version") {
    options->version = true;
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
    if (cmd == "index") {
      if (indexer::TakeIndexFlag(args, &i, &options->index, error)) continue;
      if (!error->empty()) return false;
    }
    if (a == "--help" || a == "-h") {
      options->help = true;
    } else if (a == "--version") {
      options->version = true;
    } else if ((a == "--verbose" || a == "--one-unit" || a == "--copy-pictures") &&
               cmd == "server") {
      options->serverArgs.push_back(a);
    } else if ((a == "--queue" || a == "--clients") && cmd == "server") {
      if (!value(&v)) return false;
      long long n = 0;
      const long long most = a == "--queue" ? 1000 : 16;
      if (!command_line::ParseNumber(v, 1, most, &n)) {
        *error = a + " needs a number from 1 to " + std::to_string(most);
        return false;
      }
      options->serverArgs.push_back(a);
      options->serverArgs.push_back(v);
    } else if (a == "-o" && cmd == "pipe") {
      if (!value(&options->output)) return false;
      if (options->output.empty()) {
        *error = "-o needs a file name, not an empty one";
        return false;
      }
    } else if (a == "--force" && cmd == "pipe") {
      options->force = true;
    } else if (a == "--json" && cmd == "info") {
      options->json = true;
    } else if (a == "--frames" && (cmd == "pipe" || cmd == "hash")) {
      if (!value(&options->frames)) return false;
    } else if (takesClip && a == "--deinterlace") {
      if (!value(&v)) return false;
      long long mode = 0;
      if (!command_line::ParseNumber(v, 0, 2, &mode)) {
        *error = "--deinterlace needs 0, 1 or 2";
        return false;
      }
      options->clip.deinterlace = static_cast<int>(mode);
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
  options->index.video = options->input;
  if (!options->help && !options->version && cmd != "server" && options->input.empty()) {
    *error = cmd + " needs " + (cmd == "index" ? "a VIDEO file" : "a PROJECT file");
    return false;
  }
  return true;
}

namespace {

// The help in the words of this system: on Windows the programs end in .exe, environment
// variables are written %NAME%, and the plugin is the DLL beside the program.
std::string ForThisSystem(std::string text) {
#ifdef _WIN32
  const std::pair<const char*, const char*> words[] = {
      {"mpgsource-server", "mpgsource-server.exe"},
      {"mpgsource ", "mpgsource.exe "},
      {"$MPGSOURCE_IPC_NAMESPACE", "%MPGSOURCE_IPC_NAMESPACE%"},
      {"Ctrl-C", "Ctrl+C"},
  };
  for (const auto& word : words) {
    const std::string from = word.first, to = word.second;
    for (size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
      text.replace(at, from.size(), to);
    }
  }
#endif
  return text;
}

// Where the programs find the plugin and the server.
#ifdef _WIN32
const char* const kPlacement =
    "The plugin is VantuDecodeNV.dll beside this program (%MPGSOURCE_PLUGIN% overrides),\n"
    "the server mpgsource-server beside it (%MPGSOURCE_SERVER% overrides).\n";
#else
const char* const kPlacement =
    "The plugin is VantuDecodeNV.so beside this program or in ../lib/avisynth from it\n"
    "($MPGSOURCE_PLUGIN overrides), the server mpgsource-server beside this program\n"
    "($MPGSOURCE_SERVER overrides).\n";
#endif

std::string CommandHelp(const std::string& command);

}  // namespace

std::string HelpText(const std::string& command) {
  return ForThisSystem(CommandHelp(command));
}

namespace {

std::string CommandHelp(const std::string& command) {
  if (command == "index") {
    return std::string(
               "usage: mpgsource index VIDEO [-o PROJECT] [--pid N] [--next FILE]... [--track N]\n"
               "                       [--crop L,R,T,B] [--lumfilt G,O] [--timestamps FILE]\n"
               "                       [--force] [--quiet]\n"
               "       mpgsource index VIDEO --list\n"
               "Indexes an MPEG-2 elementary stream, transport stream (188- or 192-byte packets),\n"
               "Matroska file or program stream (VOB, MPG; a DVD title from its VTS_nn_1.VOB)\n"
               "and writes the project file.\n") +
           indexer::kIndexFlagsHelp + command_line::kConventionsHelp;
  }
  if (command == "server") {
    return std::string(
               "usage: mpgsource server [--verbose] [--queue N] [--clients N] [--one-unit]\n"
               "                        [--copy-pictures]\n"
               "Runs the decoding server (mpgsource-server) in the foreground until interrupted\n"
               "(Ctrl-C).\n"
               "  --verbose          log each decode run\n"
               "  --queue N          decoded pictures held ahead of a client, 1 to 1000 (default "
               "8)\n"
               "  --clients N        clients served at the same time, 1 to 16 (default 4)\n"
               "  --one-unit         take one unit per request from every client (no batches)\n"
               "  --copy-pictures    copy every picture to the clients (none taken in place)\n") +
           command_line::kConventionsHelp;
  }
  if (command == "info") {
    return std::string(
               "usage: mpgsource info PROJECT [--json] [CLIP]\n"
               "Prints width, height, frame rate, frame count, parity, pixel type and the\n"
               "video's chroma format (4:2:0 or 4:2:2).\n"
               "  --json             as one JSON object\n") +
           kClipHelp + command_line::kConventionsHelp;
  }
  if (command == "pipe") {
    return std::string(
               "usage: mpgsource pipe PROJECT [-o FILE|-] [--force] [--frames LIST] [CLIP]\n"
               "Writes the frames as a YUV4MPEG2 stream (default, and -o -: standard output):\n"
               "C420mpeg2 for YV12 and I420 frames, C422 (planar) for YUY2 frames.\n"
               "  --frames LIST      comma-separated frame numbers and ranges a-b, served\n"
               "                     in the order given (default: all)\n"
               "  --force            replace a read-only FILE\n") +
           kOutputHelp + kClipHelp + command_line::kConventionsHelp;
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
           kClipHelp + command_line::kConventionsHelp;
  }
  return "usage: mpgsource COMMAND ...\n"
         "A host for the MPGSource plugin (VantuDecodeNV): frame-accurate MPEG-2 serving.\n"
         "\n"
         "  mpgsource index VIDEO [-o PROJECT] [--pid N] [--next FILE]... [--track N]\n"
         "                  [--crop L,R,T,B] [--lumfilt G,O] [--timestamps FILE] [--list]\n"
         "                  [--force] [--quiet]\n"
         "  mpgsource server [--verbose] [--queue N] [--clients N]   decoding server\n"
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
         "($MPGSOURCE_IPC_NAMESPACE selects which).\n" +
         std::string(kPlacement) +
         "Run mpgsource COMMAND --help for each command's options.\n"
         "  mpgsource --version   print the program's name and version\n"
         "Exit status: 0 success, 1 failure, 2 a command line that was not understood.\n";
}

}  // namespace

}  // namespace cli
