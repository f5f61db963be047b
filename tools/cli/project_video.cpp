#include "tools/cli/project_video.h"

#include <cstdio>
#include <memory>
#include <vector>

#include "platform/file.h"
#include "platform/path.h"

namespace cli {

namespace {

// The lines of the project at `projectPath` up to the first for which `stop` is true (included);
// empty when it cannot be opened.
template <typename Stop>
std::vector<std::string> ReadLines(const std::string& projectPath, Stop stop) {
  std::vector<std::string> lines;
  char reason[512];
  std::unique_ptr<FILE, int (*)(FILE*)> in(
      platform::OpenRegularFile(projectPath.c_str(), nullptr, reason, sizeof reason), std::fclose);
  if (!in) return lines;
  std::string line;
  for (int c; (c = std::fgetc(in.get())) != EOF;) {
    if (c != '\n') {
      line += static_cast<char>(c);
      continue;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    if (stop(lines)) break;
    line.clear();
  }
  return lines;
}

}  // namespace

std::string ProjectVideo(const std::string& projectPath) {
  const auto lines =
      ReadLines(projectPath, [](const std::vector<std::string>& read) { return read.size() == 3; });
  if (lines.size() < 3) return "";
  std::string line = platform::Utf8Path(lines[2].c_str());
  if (line.empty() || !platform::PathIsRelative(line.c_str())) return line;
  platform::UseLocalSeparators(&line[0]);
  const std::string resolved = platform::ResolveBeside(projectPath, line);
  return resolved.empty() ? line : resolved;
}

int ProjectChroma(const std::string& projectPath) {
  int chroma = 420;
  ReadLines(projectPath, [&chroma](const std::vector<std::string>& read) {
    const std::string& line = read.back();
    if (line.rfind("SEQ ", 0) == 0) return true;
    if (line.rfind("CHROMA", 0) != 0) return false;
    chroma = line.find("422") != std::string::npos ? 422 : 420;
    return true;
  });
  return chroma;
}

}  // namespace cli
