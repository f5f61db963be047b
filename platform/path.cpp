// The path functions that are the same on every system, built on the system's own.
#include "platform/path.h"

#include <vector>

namespace platform {

std::string ResolveBeside(const std::string& file, const std::string& relative) {
  std::string base;
  if (PathIsRelative(file.c_str())) {
    std::vector<char> current(MaxPathLength() + 1);
    if (GetCurrentDirectory(current.data(), current.size()) == 0) return std::string();
    base = current.data();
    if (!base.empty() && !IsPathSeparator(base.back())) base += PreferredSeparator();
  }
  base += file;
  size_t cut = base.size();
  while (cut > 0 && !IsPathSeparator(base[cut - 1])) --cut;
  if (cut == 0) return std::string();
  const std::string joined = base.substr(0, cut) + relative;
  std::vector<char> canonical(MaxPathLength() + 1);
  if (!PathCanonicalize(canonical.data(), canonical.size(), joined.c_str())) return std::string();
  return canonical.data();
}

}  // namespace platform
