// The video file that a project names (its third line), resolved as the plugin's loader resolves
// it: a relative path is taken from the project's folder.
#pragma once

#include <string>

namespace cli {

// The video's path, or "" when the project cannot be read or names none.
std::string ProjectVideo(const std::string& projectPath);

// The video's chroma format as the project gives it (its CHROMA line, before the GOP list): 422,
// or 420 (also when the project has no such line or cannot be read).
int ProjectChroma(const std::string& projectPath);

}  // namespace cli
