#include "tools/indexer/index_tool.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/command_line/command_line.h"
#include "tools/indexer/index_command.h"
#include "tools/indexer/indexer.h"

namespace indexer {
namespace {

// The usage text, on `out`: standard output when asked for, standard error after a mistake.
void Usage(FILE* out = stderr) {
  std::fprintf(out,
               "usage: %s [options] VIDEO [PROJECT]\n"
               "       %s VIDEO --list\n"
               "Indexes an MPEG-2 elementary stream, transport stream (188- or 192-byte packets),\n"
               "Matroska file or program stream (VOB, MPG; a DVD title from its VTS_nn_1.VOB)\n"
               "and writes the project file; the same as mpgsource index.\n",
               kToolName, kToolName);
  std::fputs(kIndexFlagsHelp, out);
  std::fputs(command_line::kConventionsHelp, out);
}

// Prints `text` on standard output; text that could not be written fails the program.
int PrintAndFinish(const std::string& text) {
  errno = 0;
  if (std::fputs(text.c_str(), stdout) >= 0 && std::fflush(stdout) == 0 && !std::ferror(stdout)) {
    return command_line::kExitSuccess;
  }
  std::fprintf(stderr, "%s: could not write to standard output: %s\n", kToolName,
               std::strerror(errno != 0 ? errno : EIO));
  return command_line::kExitFailure;
}

int UsageError(const std::string& message) {
  if (!message.empty()) std::fprintf(stderr, "%s: %s\n", kToolName, message.c_str());
  Usage();
  return command_line::kExitUsage;
}

}  // namespace

int IndexToolMain(const std::vector<std::string>& args) {
  IndexArgs index;
  std::vector<std::string> positional;
  std::string error;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (TakeIndexFlag(args, &i, &index, &error)) continue;
    if (!error.empty()) return UsageError(error);
    if (arg == "-h" || arg == "--help") {
      Usage(stdout);
      return PrintAndFinish("");
    }
    if (arg == "--version") return PrintAndFinish(command_line::VersionText(kToolName));
    if (!arg.empty() && arg[0] == '-' && arg != "-") return UsageError("unknown option " + arg);
    positional.push_back(arg);
  }
  if (positional.empty() || positional.size() > 2) return UsageError("");
  if (positional.size() == 2) {
    if (!index.project.empty()) return UsageError("PROJECT given twice (as -o and as argument)");
    index.project = positional[1];
  }
  index.video = positional[0];
  return RunIndexCommand(index, kToolName);
}

}  // namespace indexer
