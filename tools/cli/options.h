// Command-line parsing of the `mpgsource` host.
#pragma once

#include <string>
#include <vector>

#include "tools/indexer/index_command.h"

namespace cli {

struct ClipOptions {
  int deinterlace = -1;      // -1: not given (the defaults file or the built-in default applies)
  bool i420 = false;         // --i420 given
  bool bottomField = false;  // --bottom-field given (use_top_field=false)
  bool yv12 = false;         // --yv12 given (4:2:2 video served as 4:2:0)
};

struct Options {
  std::string command;  // index, server, info, pipe, hash
  std::string input;    // VIDEO for index, PROJECT for info/pipe/hash
  std::string output;   // pipe -o
  std::string frames;   // --frames LIST
  bool json = false;
  bool noServer = false;
  bool help = false;
  bool version = false;
  bool force = false;                   // pipe --force: a read-only output file is replaced too
  std::vector<std::string> serverArgs;  // server: --verbose, --queue N, --clients N
  indexer::IndexArgs index;             // index: its flags (and VIDEO, from `input`)
  ClipOptions clip;
};

// Parses argv (without the program name). Returns false with a message when the command line is
// not understood.
bool ParseOptions(const std::vector<std::string>& args, Options* options, std::string* error);

// The help text of one command, or of the program when `command` is empty.
std::string HelpText(const std::string& command);

}  // namespace cli
