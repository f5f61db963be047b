#include "tools/indexer/video_path.h"

#include <vector>

#include "platform/file.h"
#include "platform/path.h"

namespace indexer {
namespace {

// The loader reads line 3 into 1,998 characters, the newline included, and drops the last one.
constexpr size_t kMaxVideoLine = 1996;

// `path` (UTF-8) made absolute against the current folder, "." and ".." resolved by its text, and
// every folder separator the preferred one; empty when that does not fit a path.
std::string AbsoluteNormal(const std::string& path) {
  std::string absolute;
  if (platform::PathIsRelative(path.c_str())) {
    std::vector<char> current(platform::MaxPathLength() + 1);
    if (platform::GetCurrentDirectory(current.data(), current.size()) == 0) return std::string();
    absolute = current.data();
    if (!absolute.empty() && !platform::IsPathSeparator(absolute.back())) {
      absolute += platform::PreferredSeparator();
    }
  }
  absolute += path;
  for (char& c : absolute) {
    if (platform::IsPathSeparator(c)) c = platform::PreferredSeparator();
  }
  std::vector<char> normal(platform::MaxPathLength() + 1);
  if (!platform::PathCanonicalize(normal.data(), normal.size(), absolute.c_str())) {
    return std::string();
  }
  return normal.data();
}

// The folder part of the absolute path `file`, its last separator kept.
std::string FolderOf(const std::string& file) {
  size_t cut = file.size();
  while (cut > 0 && !platform::IsPathSeparator(file[cut - 1])) --cut;
  return file.substr(0, cut);
}

// `file` relative to `folder` (both absolute and normal) when it lies below that folder.
bool Below(const std::string& file, std::string folder, std::string* relative) {
  if (folder.empty() || file.empty()) return false;
  if (!platform::IsPathSeparator(folder.back())) folder += platform::PreferredSeparator();
  if (file.size() <= folder.size() || file.compare(0, folder.size(), folder) != 0) return false;
  *relative = file.substr(folder.size());
  // A '\' is a folder separator to a reader on Windows: a POSIX name holding one stays absolute.
  return platform::PreferredSeparator() == '\\' || relative->find('\\') == std::string::npos;
}

// `path` with its links resolved, or `path` itself when they cannot be.
std::string LinksResolved(const std::string& path) {
  const std::string resolved = platform::ResolveLinks(path);
  return resolved.empty() ? path : resolved;
}

}  // namespace

bool ProjectVideoPath(const std::string& videoPath, const std::string& projectPath,
                      std::string* line, std::string* error) {
  const std::string video = AbsoluteNormal(videoPath);
  if (video.empty() || !platform::SameFile(video, videoPath)) {
    *error = "cannot find \"" + videoPath + "\"";
    return false;
  }
  const std::string canonicalVideo = LinksResolved(video);
  const std::string project = AbsoluteNormal(projectPath);
  const std::string folder = FolderOf(project.empty() ? projectPath : project);
  const std::string canonicalFolder = folder.empty() ? folder : LinksResolved(folder);

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
  if (chosen.empty()) chosen = video;
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
