// A program's command-line arguments as UTF-8, the text our path functions take.
#pragma once

#include <string>
#include <vector>

namespace platform {

// The arguments after the program's name. On Windows they come from the wide command line
// (GetCommandLineW), so that names outside the ANSI code page arrive whole; elsewhere they are
// `argv` as given.
std::vector<std::string> ProgramArguments(int argc, char** argv);

}  // namespace platform
