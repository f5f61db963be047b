#include "tools/indexer/video_path.h"

#include <filesystem>
#include <system_error>

#include "platform/file.h"
#include "platform/path.h"

namespace fs = std::filesystem;

namespace indexer {
namespace {

// The loader reads line 3 into 1,998 characters, the newline included, and drops the last one.
constexpr size_t kMaxVideoLine = 1996;

// Paths are UTF-8 here and in the project file, whatever the system's narrow encoding.
fs::path FromUtf8(const std::string& text) {
  return fs::u8path(text);
}

bool Below(const fs::path& file, const fs::path& folder, std::string* relative) {
  fs::path rel = file.lexically_relative(folder);
  if (rel.empty() || *rel.begin() == ".." || *rel.begin() == "." || rel.is_absolute()) {
    return false;
  }
  *relative = rel.u8string();
  // A '\' is a folder separator to a reader on Windows: a POSIX name holding one stays absolute.
  return fs::path::preferred_separator == '\\' || relative->find('\\') == std::string::npos;
}

}  // namespace

bool ProjectVideoPath(const std::string& videoPath, const std::string& projectPath,
                      std::string* line, std::string* error) {
  std::error_code ec;
  fs::path video = fs::absolute(FromUtf8(videoPath), ec).lexically_normal();
  if (ec || !platform::SameFile(video.u8string(), videoPath)) {
    *error = "cannot find \"" + videoPath + "\"";
    return false;
  }
  fs::path canonicalVideo = fs::canonical(video, ec);
  if (ec) canonicalVideo = video;
  fs::path folder = fs::absolute(FromUtf8(projectPath), ec).lexically_normal().parent_path();
  fs::path canonicalFolder = fs::canonical(folder, ec);
  if (ec) canonicalFolder = folder;

  // Relative candidates: from the paths as given, then with links resolved.
  std::string chosen;
  std::string candidates[2];
  bool found[2] = {Below(video, folder, &candidates[0]),
                   Below(canonicalVideo, canonicalFolder, &candidates[1])};
  for (int i = 0; i < 2 && chosen.empty(); ++i) {
    if (!found[i]) continue;
    // What the loader makes of it must lead back to the same file.
    const std::string resolved = platform::ResolveBeside(projectPath, candidates[i]);
    if (!resolved.empty() && platform::SameFile(resolved, videoPath)) chosen = candidates[i];
  }
  if (chosen.empty()) chosen = video.u8string();
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
