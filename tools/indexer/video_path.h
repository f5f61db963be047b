// The video path written on line 3 of a project file.
#pragma once

#include <string>

namespace indexer {

// Chooses the text of line 3 for the video at `videoPath` in a project file at `projectPath`:
// the path relative to the project's folder when the video lies in that folder or below it and
// the loader's resolution (platform::ResolveBeside) leads back to the same file; otherwise the
// video's absolute path. Paths are UTF-8, and so is the line. Returns false with a message when the
// video does not exist or its path cannot be written on one line that the loader reads back whole.
bool ProjectVideoPath(const std::string& videoPath, const std::string& projectPath,
                      std::string* line, std::string* error);

}  // namespace indexer
