#include "tools/cli/project_video.h"

#include <fstream>
#include <vector>

#include "platform/path.h"

namespace cli {

std::string ProjectVideo(const std::string& projectPath) {
  std::ifstream in(projectPath, std::ios::binary);
  std::string line;
  for (int i = 0; i < 3; ++i) {
    if (!std::getline(in, line)) return "";
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty() || !platform::PathIsRelative(line.c_str())) return line;
  // The project's folder, from the current folder when the project's name is relative.
  std::string base;
  if (platform::PathIsRelative(projectPath.c_str())) {
    std::vector<char> current(platform::MaxPathLength() + 1);
    if (platform::GetCurrentDirectory(current.data(), current.size()) == 0) return "";
    base = current.data();
    if (!base.empty() && !platform::IsPathSeparator(base.back())) {
      base += platform::PreferredSeparator();
    }
  }
  base += projectPath;
  size_t cut = base.size();
  while (cut > 0 && !platform::IsPathSeparator(base[cut - 1])) --cut;
  const std::string joined = base.substr(0, cut) + line;
  std::vector<char> canonical(joined.size() + 2);
  if (!platform::PathCanonicalize(canonical.data(), canonical.size(), joined.c_str()))
    return joined;
  return canonical.data();
}

int ProjectChroma(const std::string& projectPath) {
  std::ifstream in(projectPath, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("SEQ ", 0) == 0) break;
    if (line.rfind("CHROMA", 0) == 0) return line.find("422") != std::string::npos ? 422 : 420;
  }
  return 420;
}

}  // namespace cli
