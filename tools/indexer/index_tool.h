// The program mpgsource-index: writes the project file of an MPEG-2 video, with the flags of
// `mpgsource index` and the project as an optional second argument.
#pragma once

#include <string>
#include <vector>

namespace indexer {

// Runs mpgsource-index with `args` (the arguments after the program's name); returns the exit
// status. On Windows mpgsource.exe runs it for the small mpgsource-index.exe, which starts it.
int IndexToolMain(const std::vector<std::string>& args);

}  // namespace indexer
