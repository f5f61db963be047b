#include "tools/indexer/index_command.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/path.h"
#include "tools/command_line/command_line.h"
#include "tools/indexer/indexer.h"
#include "tools/indexer/list_streams.h"

namespace indexer {

const char* const kIndexFlagsHelp =
    "  -o PROJECT         the project file (default: VIDEO with the extension .vnt)\n"
    "  --pid N            the transport stream's video PID, decimal or hexadecimal with\n"
    "                     0x (481 or 0x1E1; default: the first MPEG-2 video stream of\n"
    "                     the first program that has one, in PAT order); for a program\n"
    "                     stream (VOB, MPG) the video's stream id, 0xE0 to 0xEF\n"
    "                     (default: the first video stream)\n"
    "  --next FILE        a further file of a program stream, read after VIDEO as one\n"
    "                     stream (repeat in order; VTS_nn_1.VOB brings the title's\n"
    "                     VOB files numbered after it without it)\n"
    "  --track N          the Matroska file's MPEG-2 video track, numbered from 0 in\n"
    "                     the file's track list as --list shows it (default: the\n"
    "                     first MPEG-2 video track)\n"
    "  --crop L,R,T,B     crop amounts written into the project (left, right, top, bottom)\n"
    "  --lumfilt G,O      luminance correction: gamma and offset\n"
    "  --timestamps FILE  also write each frame's time (mkvmerge timestamp format v2)\n"
    "  --list             list the programs and streams of VIDEO and write nothing\n"
    "  --force            replace a read-only PROJECT or timestamps FILE\n"
    "  --quiet            no progress display and no closing line (warnings still show)\n"
    "A file is written under a temporary name and renamed into place once complete, so a\n"
    "run that fails leaves none; it never replaces what the run reads (the video, the\n"
    "project, through any link), a link, a folder, a FIFO or a device.\n";

bool TakeIndexFlag(const std::vector<std::string>& args, size_t* i, IndexArgs* out,
                   std::string* error) {
  error->clear();
  const std::string& a = args[*i];
  auto value = [&](std::string* text) {
    if (*i + 1 >= args.size()) {
      *error = "option " + a + " needs a value";
      return false;
    }
    *text = args[++*i];
    return true;
  };
  auto file = [&](std::string* name) {
    if (!value(name)) return false;
    if (name->empty()) *error = a + " needs a file name, not an empty one";
    return error->empty();
  };
  std::string v;
  long long n[4] = {0, 0, 0, 0};
  if (a == "-o") return file(&out->project);
  if (a == "--timestamps") return file(&out->timestamps);
  if (a == "--next") {
    out->next.emplace_back();
    return file(&out->next.back());
  }
  if (a == "--pid") {
    if (!value(&v)) return false;
    if (!command_line::ParseNumber(v, 0, 8191, &n[0], true)) {
      *error = "--pid needs a PID from 0 to 8191, decimal or hexadecimal with 0x";
      return false;
    }
    out->pid = static_cast<int>(n[0]);
  } else if (a == "--track") {
    if (!value(&v)) return false;
    if (!command_line::ParseNumber(v, 0, 31, &n[0])) {
      *error = "--track needs a Matroska track number from 0 to 31 (as --list shows it)";
      return false;
    }
    out->track = static_cast<int>(n[0]);
  } else if (a == "--crop" || a == "--clip") {  // --clip: the indexer program's older name
    if (!value(&v)) return false;
    if (!command_line::ParseNumbers(v, 4, -INT_MAX, INT_MAX, n)) {
      *error = a + " needs four integers L,R,T,B";
      return false;
    }
    for (int k = 0; k < 4; ++k) out->crop[k] = static_cast<int>(n[k]);
  } else if (a == "--lumfilt") {
    if (!value(&v)) return false;
    if (!command_line::ParseNumbers(v, 2, -INT_MAX, INT_MAX, n)) {
      *error = "--lumfilt needs two integers GAMMA,OFFSET";
      return false;
    }
    out->lumfilt[0] = static_cast<int>(n[0]);
    out->lumfilt[1] = static_cast<int>(n[1]);
  } else if (a == "--list") {
    out->list = true;
  } else if (a == "--force") {
    out->force = true;
  } else if (a == "--quiet") {
    out->quiet = true;
  } else {
    return false;
  }
  return true;
}

std::string DefaultProjectPath(const std::string& video) {
  size_t slash = std::string::npos;
  for (size_t i = 0; i < video.size(); ++i) {
    if (platform::IsPathSeparator(video[i])) slash = i;
  }
  size_t dot = video.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return video + ".vnt";
  return video.substr(0, dot) + ".vnt";
}

int RunIndexCommand(const IndexArgs& args, const char* program) {
  std::string error;
  auto fail = [&]() {
    std::fprintf(stderr, "%s: %s\n", program, error.c_str());
    return command_line::kExitFailure;
  };
  if (args.list) {
    if (ListStreams(args.video, stdout, &error) != kIndexOk) return fail();
    // A listing that could not be written (a full disk, a closed pipe) fails the program.
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
      error = std::string("could not write to standard output: ") +
              std::strerror(errno != 0 ? errno : EIO);
      return fail();
    }
    return command_line::kExitSuccess;
  }
  IndexOptions options;
  options.videoPath = args.video;
  options.projectPath = args.project.empty() ? DefaultProjectPath(args.video) : args.project;
  options.timestampsPath = args.timestamps;
  options.force = args.force;
  options.progress = !args.quiet;
  options.pid = args.pid;
  options.nextVideoPaths = args.next;
  options.track = args.track;
  options.clipLeft = args.crop[0];
  options.clipRight = args.crop[1];
  options.clipTop = args.crop[2];
  options.clipBottom = args.crop[3];
  options.lumGamma = args.lumfilt[0];
  options.lumOffset = args.lumfilt[1];
  options.warn = [program](const std::string& text) {
    std::fprintf(stderr, "%s: warning: %s\n", program, text.c_str());
  };
  if (WriteProject(options, &error) != kIndexOk) return fail();
  if (!args.quiet) std::fprintf(stderr, "%s: wrote %s\n", program, options.projectPath.c_str());
  return command_line::kExitSuccess;
}

}  // namespace indexer
