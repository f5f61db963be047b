#include "tools/indexer/video_path.h"

#include <filesystem>
#include <system_error>

#include "platform/path.h"

namespace fs = std::filesystem;

namespace indexer {
namespace {

// The loader reads line 3 into 1,998 characters, the newline included, and drops the last one.
constexpr size_t kMaxVideoLine = 1996;

// What the loader makes of `relative` for a project at `projectPath`; empty when it cannot
// resolve a relative path there (no folder separator after the first character).
std::string LoaderResolution(const std::string& projectPath, const std::string& relative) {
  std::error_code ec;
  fs::path project(projectPath);
  std::string text =
      project.is_absolute() ? projectPath : (fs::current_path(ec) / project).string();
  if (ec) return std::string();
  size_t last = text.find_last_of(fs::path::preferred_separator);
  if (last == std::string::npos || last == 0) return std::string();
  return fs::path(text.substr(0, last + 1) + relative).lexically_normal().string();
}

bool Below(const fs::path& file, const fs::path& folder, std::string* relative) {
  fs::path rel = file.lexically_relative(folder);
  if (rel.empty() || *rel.begin() == ".." || *rel.begin() == "." || rel.is_absolute()) {
    return false;
  }
  *relative = rel.string();
  return true;
}

}  // namespace

bool ProjectVideoPath(const std::string& videoPath, const std::string& projectPath,
                      std::string* line, std::string* error) {
  std::error_code ec;
  fs::path video = fs::absolute(videoPath, ec).lexically_normal();
  if (ec || !fs::exists(video, ec)) {
    *error = "cannot find \"" + videoPath + "\"";
    return false;
  }
  fs::path canonicalVideo = fs::canonical(video, ec);
  if (ec) canonicalVideo = video;
  fs::path folder = fs::absolute(projectPath, ec).lexically_normal().parent_path();
  fs::path canonicalFolder = fs::canonical(folder, ec);
  if (ec) canonicalFolder = folder;

  // Relative candidates: from the paths as given, then with links resolved.
  std::string chosen;
  std::string candidates[2];
  bool found[2] = {Below(video, folder, &candidates[0]),
                   Below(canonicalVideo, canonicalFolder, &candidates[1])};
  for (int i = 0; i < 2 && chosen.empty(); ++i) {
    if (!found[i]) continue;
    std::string resolved = LoaderResolution(projectPath, candidates[i]);
    // The loader resolves a relative path in buffers of the platform's longest path.
    if (resolved.empty() || resolved.size() > platform::MaxPathLength()) continue;
    if (fs::equivalent(resolved, video, ec) && !ec) chosen = candidates[i];
  }
  if (chosen.empty()) chosen = video.string();
  if (chosen.find_first_of("\r\n") != std::string::npos) {
    *error = "the path of \"" + videoPath + "\" holds a line break and cannot be written";
    return false;
  }
  if (chosen.size() > kMaxVideoLine) {
    *error = "the path of \"" + videoPath + "\" is longer than " + std::to_string(kMaxVideoLine) +
             " characters";
    return false;
  }
  *line = chosen;
  return true;
}

}  // namespace indexer
